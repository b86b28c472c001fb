// Kernels of the fine contour stage, each beside its launch, and the stage.
#include "detail/fine/fine.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "detail/device/device.h"
#include "detail/device/launch.h"
#include "detail/pixel/pixel_math.cuh"

namespace roughgc::detail {

// The full-resolution feature image: each pixel's inverted colour on the
// colour axes, plus 20 times its row and column on the first two. The w
// channel of the input is never read; the output's is 255.
// Formerly imageProcessing1.
__global__ void fineFeatures(const uchar4* photo, float4* features, int height, int width) {
    const int column = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (column < width && row < height) {
        const int i = row * width + column;
        const uchar4 p = photo[i];
        // Positions scaled in double, where they are exact: 20 times a column
        // can pass the int range on a wide image.
        const float3 f = featurePoint(255 - p.x, 255 - p.y, 255 - p.z, 20.0 * static_cast<double>(row),
                                      20.0 * static_cast<double>(column));
        features[i] = make_float4(f.x, f.y, f.z, 255.0f);
    }
}

// Marks the 3 x 3 block of fine-map pixels under every rough cell whose
// value is below 255 (NaN is not), leaving the rest of the mark map as it
// is. Cells of row 0 and column 0 are never handled.
// Formerly imageProcessing2.
__global__ void markRoughBlocks(float* roughCells, float* marks, int roughHeight, int roughWidth, int fineWidth) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x > 0 && x < roughWidth && y > 0 && y < roughHeight && roughCells[y * roughWidth + x] < 255.0f) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) marks[(3 * y + i) * fineWidth + 3 * x + j] = 1.0f;
    }
}

// At every marked pixel (mark > 0), the metric quotient of u = window (R - Q)
// and v = window (P - Q), where P, Q and R are the feature image filtered over
// the window x window pixels around it with filterP, filterQ and filterR;
// 0 at every other pixel.
// Window elements above or left of the image are left out of the sums.
__global__ void fineContours(float* fineMap, float* marks, float4* features, float* filterP,
                             float* filterQ, float* filterR, int fineHeight, int fineWidth, int window) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= fineWidth || y >= fineHeight) return;
    const int k = y * fineWidth + x;
    if (!(marks[k] > 0.0f)) {
        fineMap[k] = 0.0f;
        return;
    }
    const int h = window / 2;
    const int imageWidth = fineWidth + window;
    float px = 0.0f, py = 0.0f, pz = 0.0f;
    float qx = 0.0f, qy = 0.0f, qz = 0.0f;
    float rx = 0.0f, ry = 0.0f, rz = 0.0f;
    for (int i = 0; i < window; ++i) {
        const int r = y - h + i;
        if (r < 0) continue;
        for (int j = 0; j < window; ++j) {
            const int c = x - h + j;
            if (c < 0) continue;
            const float4 p = features[r * imageWidth + c];
            const float w1 = filterP[i * window + j], w2 = filterQ[i * window + j], w3 = filterR[i * window + j];
            px += w1 * p.x;
            py += w1 * p.y;
            pz += w1 * p.z;
            qx += w2 * p.x;
            qy += w2 * p.y;
            qz += w2 * p.z;
            rx += w3 * p.x;
            ry += w3 * p.y;
            rz += w3 * p.z;
        }
    }
    const float f = static_cast<float>(window);
    const float3 u{f * (rx - qx), f * (ry - qy), f * (rz - qz)};
    const float3 v{f * (px - qx), f * (py - qy), f * (pz - qz)};
    fineMap[k] = metricQuotient(u, v);
}

void launchFineFeatures(const uchar4* d_photo, float4* d_features, size_t height, size_t width) {
    const dim3 blockSize(32, 32);
    const dim3 gridSize(gridExtent(width, 32), gridExtent(height, 32));
    LAUNCH_KERNEL(fineFeatures, gridSize, blockSize, d_photo, d_features, static_cast<int>(height),
                  static_cast<int>(width));
}

void launchMarkRoughBlocks(float* d_roughCells, float* d_marks, size_t height, size_t width, size_t window) {
    const size_t mHeight = height / 3, mWidth = width / 3;
    const dim3 blockSize(32, 32);
    const dim3 gridSize(gridExtent(mWidth - 2, 32), gridExtent(mHeight - 2, 32));
    LAUNCH_KERNEL(markRoughBlocks, gridSize, blockSize, d_roughCells, d_marks,
                  static_cast<int>(mHeight - 2), static_cast<int>(mWidth - 2), static_cast<int>(width - window));
}

void launchFineContours(float* d_fineMap, float* d_marks, float4* d_features, float* d_filterP,
                        float* d_filterQ, float* d_filterR, size_t height, size_t width, size_t window) {
    const dim3 blockSize(16, 16);
    // 2 (extent) / 32 + 1 is extent / 16 + 1: the same grid of 16 x 16 blocks.
    const dim3 gridSize(gridExtent(2 * (width - window), 32), gridExtent(2 * (height - window), 32));
    LAUNCH_KERNEL(fineContours, gridSize, blockSize, d_fineMap, d_marks, d_features, d_filterP,
                  d_filterQ, d_filterR, static_cast<int>(height - window), static_cast<int>(width - window),
                  static_cast<int>(window));
}

std::string fineSizeProblem(size_t height, size_t width, size_t window) {
    char line[200];
    // Below 6 pixels the rough map has no cell; a larger window would put the
    // blocks of the last rough cells outside the fine map.
    if (height < 6 || width < 6) {
        std::snprintf(line, sizeof line, "image of %zu x %zu pixels; at least 6 x 6 needed", width, height);
        return line;
    }
    const size_t maxWindow = 6 + std::min(height % 3, width % 3);
    if (window > maxWindow) {
        std::snprintf(line, sizeof line, "window %zu too large for an image of %zu x %zu pixels; at most %zu fits",
                      window, width, height, maxWindow);
        return line;
    }
    if (height > INT_MAX / width) {
        std::snprintf(line, sizeof line, "image of %zu x %zu pixels; at most %d pixels supported", width, height,
                      INT_MAX);
        return line;
    }
    // The fine map's launch has blocks of 16 rows over height - window rows; the
    // other two have blocks of 32 rows and never set the tighter limit.
    if (height - window > maxGridRows(16)) {
        std::snprintf(line, sizeof line, "image of %zu x %zu pixels; at most %zu rows supported with window %zu",
                      width, height, maxGridRows(16) + window, window);
        return line;
    }
    return "";
}

void runFineContours(const uchar4* photo, const float* roughCells, float* fineMap, const float* filterP,
                     const float* filterQ, const float* filterR, size_t height, size_t width, size_t window,
                     int device) {
    const size_t imgSize = height * width;
    const size_t mHeight = height / 3;
    const size_t mWidth = width / 3;
    const size_t mSize1 = (mHeight - 2) * (mWidth - 2);
    const size_t mSize2 = (height - window) * (width - window);

    selectDevice(device);

    uchar4* d_photo = nullptr;
    float4* d_features = nullptr;
    float* d_roughCells = nullptr;
    float* d_filterP = nullptr;
    float* d_filterQ = nullptr;
    float* d_filterR = nullptr;
    float* d_marks = nullptr;
    float* d_fineMap = nullptr;
    const FreeOnExit release(d_photo, d_features, d_roughCells, d_filterP, d_filterQ, d_filterR, d_marks,
                             d_fineMap);
    ROUGHGC_CUDA_CHECK(cudaMalloc(&d_photo, sizeof(uchar4) * imgSize));
    ROUGHGC_CUDA_CHECK(cudaMalloc(&d_features, sizeof(float4) * imgSize));
    ROUGHGC_CUDA_CHECK(cudaMalloc(&d_roughCells,sizeof(float) * mSize1));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&d_filterP, sizeof(float) * window * window));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&d_filterQ, sizeof(float) * window * window));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&d_filterR, sizeof(float) * window * window));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&d_marks, sizeof(float) * mSize2));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&d_fineMap, sizeof(float) * mSize2));

    ROUGHGC_CUDA_CHECK(cudaMemcpy(d_photo, photo, sizeof(uchar4) * imgSize, cudaMemcpyHostToDevice));
    ROUGHGC_CUDA_CHECK(cudaMemcpy(d_roughCells, roughCells, sizeof(float) * mSize1, cudaMemcpyHostToDevice));
    // The caller's d_marks are the mark map's starting content.
    ROUGHGC_CUDA_CHECK(cudaMemcpy(d_marks, fineMap, sizeof(float) * mSize2, cudaMemcpyHostToDevice));
    ROUGHGC_CUDA_CHECK(cudaMemcpy(d_filterP, filterP, sizeof(float) * window * window, cudaMemcpyHostToDevice));
    ROUGHGC_CUDA_CHECK(cudaMemcpy(d_filterQ, filterQ, sizeof(float) * window * window, cudaMemcpyHostToDevice));
    ROUGHGC_CUDA_CHECK(cudaMemcpy(d_filterR, filterR, sizeof(float) * window * window, cudaMemcpyHostToDevice));

    // Created only after the uploads.
    const Event stop;

    launchFineFeatures(d_photo, d_features, height, width);
    deviceCheck(stop);
    launchMarkRoughBlocks(d_roughCells, d_marks, height, width, window);
    deviceCheck(stop);
    launchFineContours(d_fineMap, d_marks, d_features, d_filterP, d_filterQ, d_filterR, height, width,
                       window);
    deviceCheck(stop);

    ROUGHGC_CUDA_CHECK(cudaMemcpy(fineMap, d_fineMap, sizeof(float) * mSize2, cudaMemcpyDeviceToHost));
}

void loadFineKernels() {
    cudaFuncAttributes attributes;
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, fineFeatures));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, markRoughBlocks));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, fineContours));
}

}  // namespace roughgc::detail

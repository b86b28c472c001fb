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
__global__ void imageProcessing1(const uchar4* imageRGB, float4* newImage, int height, int width) {
    const int column = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (column < width && row < height) {
        const int i = row * width + column;
        const uchar4 p = imageRGB[i];
        // Positions scaled in double, where they are exact: 20 times a column
        // can pass the int range on a wide image.
        const float3 f = featurePoint(255 - p.x, 255 - p.y, 255 - p.z, 20.0 * static_cast<double>(row),
                                      20.0 * static_cast<double>(column));
        newImage[i] = make_float4(f.x, f.y, f.z, 255.0f);
    }
}

// Marks the 3 x 3 block of fine-map pixels under every rough cell whose
// value is below 255 (NaN is not), leaving the rest of the mark map as it
// is. Cells of row 0 and column 0 are never handled. kc2 is not used.
__global__ void imageProcessing2(float* roughCont, float* tempFineContours, int roughHeight, int roughWidth,
                                 int fineWidth, int kc2) {
    (void)kc2;
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x > 0 && x < roughWidth && y > 0 && y < roughHeight && roughCont[y * roughWidth + x] < 255.0f) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) tempFineContours[(3 * y + i) * fineWidth + 3 * x + j] = 1.0f;
    }
}

// At every marked pixel (mark > 0), the metric quotient of u = kc2 (R - Q)
// and v = kc2 (P - Q), where P, Q and R are the feature image filtered over
// the kc2 x kc2 window with fmat1, fmat2 and fmat3; 0 at every other pixel.
// Window elements above or left of the image are left out of the sums.
__global__ void fineContours(float* outContours, float* tempFineContours, float4* newImage, float* fmat1,
                             float* fmat2, float* fmat3, int fineHeight, int fineWidth, int kc2) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= fineWidth || y >= fineHeight) return;
    const int k = y * fineWidth + x;
    if (!(tempFineContours[k] > 0.0f)) {
        outContours[k] = 0.0f;
        return;
    }
    const int h = kc2 / 2;
    const int imageWidth = fineWidth + kc2;
    float px = 0.0f, py = 0.0f, pz = 0.0f;
    float qx = 0.0f, qy = 0.0f, qz = 0.0f;
    float rx = 0.0f, ry = 0.0f, rz = 0.0f;
    for (int i = 0; i < kc2; ++i) {
        const int r = y - h + i;
        if (r < 0) continue;
        for (int j = 0; j < kc2; ++j) {
            const int c = x - h + j;
            if (c < 0) continue;
            const float4 p = newImage[r * imageWidth + c];
            const float w1 = fmat1[i * kc2 + j], w2 = fmat2[i * kc2 + j], w3 = fmat3[i * kc2 + j];
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
    const float f = static_cast<float>(kc2);
    const float3 u{f * (rx - qx), f * (ry - qy), f * (rz - qz)};
    const float3 v{f * (px - qx), f * (py - qy), f * (pz - qz)};
    outContours[k] = metricQuotient(u, v);
}

void launchImageProcessing1(const uchar4* d_imageRGB, float4* d_newImage, size_t height, size_t width) {
    const dim3 blockSize(32, 32);
    const dim3 gridSize(gridExtent(width, 32), gridExtent(height, 32));
    LAUNCH_KERNEL(imageProcessing1, gridSize, blockSize, d_imageRGB, d_newImage, static_cast<int>(height),
                  static_cast<int>(width));
}

void launchImageProcessing2(float* d_roughCont, float* tempFineContours, size_t height, size_t width, size_t kc2) {
    const size_t mHeight = height / 3, mWidth = width / 3;
    const dim3 blockSize(32, 32);
    const dim3 gridSize(gridExtent(mWidth - 2, 32), gridExtent(mHeight - 2, 32));
    LAUNCH_KERNEL(imageProcessing2, gridSize, blockSize, d_roughCont, tempFineContours,
                  static_cast<int>(mHeight - 2), static_cast<int>(mWidth - 2), static_cast<int>(width - kc2),
                  static_cast<int>(kc2));
}

void launchFineContours(float* devFineContours, float* tempFineContours, float4* d_newImage, float* devfmat1,
                        float* devfmat2, float* devfmat3, size_t height, size_t width, size_t kc2) {
    const dim3 blockSize(16, 16);
    // 2 (extent) / 32 + 1 is extent / 16 + 1: the same grid of 16 x 16 blocks.
    const dim3 gridSize(gridExtent(2 * (width - kc2), 32), gridExtent(2 * (height - kc2), 32));
    LAUNCH_KERNEL(fineContours, gridSize, blockSize, devFineContours, tempFineContours, d_newImage, devfmat1,
                  devfmat2, devfmat3, static_cast<int>(height - kc2), static_cast<int>(width - kc2),
                  static_cast<int>(kc2));
}

std::string fineSizeProblem(size_t height, size_t width, size_t kc2) {
    char line[200];
    // Below 6 pixels the rough map has no cell; a larger kc2 would put the
    // blocks of the last rough cells outside the fine map.
    if (height < 6 || width < 6) {
        std::snprintf(line, sizeof line, "image of %zu x %zu pixels; at least 6 x 6 needed", width, height);
        return line;
    }
    const size_t maxWindow = 6 + std::min(height % 3, width % 3);
    if (kc2 > maxWindow) {
        std::snprintf(line, sizeof line, "window %zu too large for an image of %zu x %zu pixels; at most %zu fits",
                      kc2, width, height, maxWindow);
        return line;
    }
    if (height > INT_MAX / width) {
        std::snprintf(line, sizeof line, "image of %zu x %zu pixels; at most %d pixels supported", width, height,
                      INT_MAX);
        return line;
    }
    // The fine map's launch has blocks of 16 rows over height - kc2 rows; the
    // other two have blocks of 32 rows and never set the tighter limit.
    if (height - kc2 > maxGridRows(16)) {
        std::snprintf(line, sizeof line, "image of %zu x %zu pixels; at most %zu rows supported with window %zu",
                      width, height, maxGridRows(16) + kc2, kc2);
        return line;
    }
    return "";
}

void runFineContours(const uchar4* h_imageRGB, const float* h_roughCont, float* h_fineContours, const float* h_fmat1,
                     const float* h_fmat2, const float* h_fmat3, size_t height, size_t width, size_t kc2, int device) {
    const size_t imgSize = height * width;
    const size_t mHeight = height / 3;
    const size_t mWidth = width / 3;
    const size_t mSize1 = (mHeight - 2) * (mWidth - 2);
    const size_t mSize2 = (height - kc2) * (width - kc2);

    selectDevice(device);

    uchar4* d_imageRGB = nullptr;
    float4* d_newImage = nullptr;
    float* d_roughCont = nullptr;
    float* devfmat1 = nullptr;
    float* devfmat2 = nullptr;
    float* devfmat3 = nullptr;
    float* tempFineContours = nullptr;
    float* devFineContours = nullptr;
    const FreeOnExit release(d_imageRGB, d_newImage, d_roughCont, devfmat1, devfmat2, devfmat3, tempFineContours,
                             devFineContours);
    ROUGHGC_CUDA_CHECK(cudaMalloc(&d_imageRGB, sizeof(uchar4) * imgSize));
    ROUGHGC_CUDA_CHECK(cudaMalloc(&d_newImage, sizeof(float4) * imgSize));
    ROUGHGC_CUDA_CHECK(cudaMalloc(&d_roughCont,sizeof(float) * mSize1));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&devfmat1, sizeof(float) * kc2 * kc2));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&devfmat2, sizeof(float) * kc2 * kc2));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&devfmat3, sizeof(float) * kc2 * kc2));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&tempFineContours, sizeof(float) * mSize2));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&devFineContours, sizeof(float) * mSize2));

    ROUGHGC_CUDA_CHECK(cudaMemcpy(d_imageRGB, h_imageRGB, sizeof(uchar4) * imgSize, cudaMemcpyHostToDevice));
    ROUGHGC_CUDA_CHECK(cudaMemcpy(d_roughCont, h_roughCont, sizeof(float) * mSize1, cudaMemcpyHostToDevice));
    // The caller's marks are the mark map's starting content.
    ROUGHGC_CUDA_CHECK(cudaMemcpy(tempFineContours, h_fineContours, sizeof(float) * mSize2, cudaMemcpyHostToDevice));
    ROUGHGC_CUDA_CHECK(cudaMemcpy(devfmat1, h_fmat1, sizeof(float) * kc2 * kc2, cudaMemcpyHostToDevice));
    ROUGHGC_CUDA_CHECK(cudaMemcpy(devfmat2, h_fmat2, sizeof(float) * kc2 * kc2, cudaMemcpyHostToDevice));
    ROUGHGC_CUDA_CHECK(cudaMemcpy(devfmat3, h_fmat3, sizeof(float) * kc2 * kc2, cudaMemcpyHostToDevice));

    // Created only after the uploads.
    const Event stop;

    launchImageProcessing1(d_imageRGB, d_newImage, height, width);
    deviceCheck(stop);
    launchImageProcessing2(d_roughCont, tempFineContours, height, width, kc2);
    deviceCheck(stop);
    launchFineContours(devFineContours, tempFineContours, d_newImage, devfmat1, devfmat2, devfmat3, height, width,
                       kc2);
    deviceCheck(stop);

    ROUGHGC_CUDA_CHECK(cudaMemcpy(h_fineContours, devFineContours, sizeof(float) * mSize2, cudaMemcpyDeviceToHost));
}

void loadFineKernels() {
    cudaFuncAttributes attributes;
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, imageProcessing1));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, imageProcessing2));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, fineContours));
}

}  // namespace roughgc::detail

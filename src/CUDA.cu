// The GPU library: host entry points and the launches of its kernels.
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CUDA_stages.h"
#include "CUDA_wrappers.h"
#include "rough_host.h"
#include "rough_kernels.cuh"

namespace {

// Grid extent for `extent` elements in blocks of `block`: always one block
// more than the truncating quotient, as every launch of the library does.
unsigned int gridExtent(size_t extent, unsigned int block) { return static_cast<unsigned int>(extent / block + 1); }

// Device selection at the start of every entry point. The status of
// cudaSetDevice itself surfaces through the last error.
void selectDevice() {
    cudaSetDevice(0);
    checkCudaErrors(cudaGetLastError());
}

// The two checks that end a phase of GPU work. Waiting for `stop` makes a
// failed launch or kernel surface in the last error.
void eventCheck(cudaEvent_t stop) {
    cudaEventRecord(stop, 0);
    cudaEventSynchronize(stop);
    checkCudaErrors(cudaGetLastError());
}

void deviceCheck(cudaEvent_t stop) {
    cudaEventRecord(stop, 0);
    cudaEventSynchronize(stop);
    cudaDeviceSynchronize();
    checkCudaErrors(cudaGetLastError());
}

// Writes the rows x cols binary map as an 8-bit grey BMP. Returns false,
// with a reason in `why`, if the file could not be written.
bool writeRoughMap(const uchar* contMatrRes, int rows, int cols, const char* path, std::string& why) {
    cv::Mat mat_res(rows, cols, CV_8UC1);
    for (int i = 0; i < rows; ++i) std::memcpy(mat_res.ptr<uchar>(i), contMatrRes + static_cast<size_t>(i) * cols, cols);
    errno = 0;
    try {
        if (cv::imwrite(path, mat_res, std::vector<int>())) return true;
        why = errno != 0 ? std::strerror(errno) : "the encoder failed";
    } catch (const cv::Exception& e) {
        why = e.what();
    }
    return false;
}

}  // namespace

void FirstRun() {
    selectDevice();
    cudaEvent_t start, stop;
    checkCudaErrors(cudaEventCreate(&start));
    checkCudaErrors(cudaEventCreate(&stop));
}

// ---------------------------------------------------------------------------
// Stages of the rough pipeline.

void launchAveraging(const uchar3* d_imageRGB, float3* d_averImage, size_t mHeight, size_t mWidth, size_t width) {
    const dim3 blockSize(32, 16);
    const dim3 gridSize(gridExtent(mWidth, 32), gridExtent(mHeight, 16));
    LAUNCH_KERNEL(averaging, gridSize, blockSize, d_imageRGB, d_averImage, static_cast<int>(mHeight),
                  static_cast<int>(mWidth), static_cast<int>(width));
}

void launchMetric(float* devContMatr, float3* d_averImage, size_t mHeight, size_t mWidth, size_t kc2) {
    const dim3 blockSize(32, 32);
    const dim3 gridSize(gridExtent(mWidth, 32), gridExtent(mHeight, 32));
    LAUNCH_KERNEL(calculate_derive_metric_optimized, gridSize, blockSize, devContMatr, d_averImage,
                  static_cast<int>(mHeight), static_cast<int>(mWidth), static_cast<int>(kc2));
}

void evaluationPass(const RoughPassBuffers& b, int sr, int k, cudaEvent_t start, cudaEvent_t stop) {
    const int N = kBoxSide;
    // Kernel sizes are 32-bit values formed from the truncated sizes.
    const int rows = static_cast<int>(b.mHeight) - static_cast<int>(b.kc2);
    const int cols = static_cast<int>(b.mWidth) - static_cast<int>(b.kc2);
    const size_t mapRows = b.mHeight - b.kc2, mapCols = b.mWidth - b.kc2;
    const size_t tHeight = mapRows / N, tWidth = mapCols / N;
    const int boxRows = static_cast<int>(tHeight), boxCols = static_cast<int>(tWidth);

    const dim3 blockSize(32, 32);
    const dim3 mapGrid(gridExtent(mapCols, 32), gridExtent(mapRows, 32));
    const dim3 coarseGrid(gridExtent(tWidth, 32), gridExtent(tHeight, 32));
    const dim3 fineGrid(gridExtent(2 * tWidth, 32), gridExtent(2 * tHeight, 32));

    cudaEventRecord(start, 0);
    LAUNCH_KERNEL(threshold, mapGrid, blockSize, b.devContMatr, b.d_out, b.d_kvant, rows, cols, sr);
    deviceCheck(stop);

    cudaEventRecord(start, 0);
    LAUNCH_KERNEL(calculating0, coarseGrid, blockSize, b.d_temp1, boxRows, boxCols);
    deviceCheck(stop);
    cudaEventRecord(start, 0);
    LAUNCH_KERNEL(calculating1, mapGrid, blockSize, b.d_out, b.d_temp1, rows, cols, boxRows, boxCols, N);
    deviceCheck(stop);
    cudaEventRecord(start, 0);
    LAUNCH_KERNEL(calculating2, coarseGrid, blockSize, b.d_temp1, b.d_res, boxRows, boxCols, k);
    deviceCheck(stop);

    cudaEventRecord(start, 0);
    LAUNCH_KERNEL(calculating0, fineGrid, blockSize, b.d_temp2, 2 * boxRows, 2 * boxCols);
    deviceCheck(stop);
    cudaEventRecord(start, 0);
    LAUNCH_KERNEL(calculating1, mapGrid, blockSize, b.d_out, b.d_temp2, rows, cols, 2 * boxRows, 2 * boxCols, N / 2);
    deviceCheck(stop);
    cudaEventRecord(start, 0);
    LAUNCH_KERNEL(calculating2, fineGrid, blockSize, b.d_temp2, b.d_res, 2 * boxRows, 2 * boxCols, k + 1);
    deviceCheck(stop);
}

SearchTrace thresholdSearch(const RoughPassBuffers& b, int* res, const float* kvant, int size, float dim, float eps,
                            cudaEvent_t start, cudaEvent_t stop) {
    const int N = kBoxSide;
    int begin = 0;
    int end = size - 1;
    int sr = static_cast<int>(size * 0.5);
    const int k = 0;
    res[0] = res[1] = 0;
    int count = 0;
    int* d_res = b.d_res;
    float* d_kvant = b.d_kvant;
    SearchTrace trace;

    // One pass for the current index; the counters must be uploaded as zeros
    // before it.
    auto evaluate = [&] {
        evaluationPass(b, sr, k, start, stop);
        checkCudaErrors(cudaMemcpy(res, d_res, 2 * sizeof(int), cudaMemcpyDeviceToHost));
        trace.indices.push_back(sr);
        trace.dimension = dimensionEstimate(res[k], res[k + 1], N);
        res[0] = res[1] = 0;
    };

    checkCudaErrors(cudaMemcpy(d_res, res, sizeof(int) * 2, cudaMemcpyHostToDevice));
    checkCudaErrors(cudaMemcpy(d_kvant, kvant, sizeof(float) * size, cudaMemcpyHostToDevice));
    evaluate();
    // A NaN estimate fails the test and ends the search.
    while (std::fabs(trace.dimension - dim) > eps && count <= 10) {
        ++count;
        // Above the target: too many rough boxes, so raise the threshold.
        if (trace.dimension > dim) {
            begin = sr;
        } else {
            end = sr;
        }
        sr = static_cast<int>((begin + end) * 0.5);
        checkCudaErrors(cudaMemcpy(d_res, res, sizeof(int) * 2, cudaMemcpyHostToDevice));
        evaluate();
    }
    return trace;
}

// ---------------------------------------------------------------------------
// The rough contour pipeline.

size_t roughMinimumSide(size_t kc2) { return 3 * (kc2 + kBoxSide); }

void requireRoughImageSize(size_t height, size_t width, size_t kc2) {
    const size_t side = roughMinimumSide(kc2);
    if (kc2 == 0) {
        std::fprintf(stderr, "(!) The metric window must be at least 1 averaged pixel, not 0\n");
    } else if (height < side || width < side) {
        std::fprintf(stderr, "(!) Image too small: %zu x %zu pixels; at least %zu x %zu needed\n", width, height, side,
                     side);
    } else if (height > INT_MAX / width) {
        std::fprintf(stderr, "(!) Image too large: %zu x %zu pixels; at most %d pixels supported\n", width, height,
                     INT_MAX);
    } else {
        return;
    }
    std::exit(kExitUnsupportedImageSize);
}

void processImageCUDA(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2, float dim, float eps) {
    // Refused before anything is allocated: smaller maps would leave the box
    // grids empty, and sizes below kc2 would wrap around.
    requireRoughImageSize(height, width, kc2);

    const int N = kBoxSide;
    const int size = 2048;
    int* hist = new int[size];
    float* kvant = new float[size];
    int* cnt = new int[1];
    int* res = new int[2];
    const size_t imgSize = height * width;
    const size_t mHeight = height / 3;
    const size_t mWidth = width / 3;
    const size_t mSize = mHeight * mWidth;
    const size_t tHeight = (mHeight - kc2) / N;
    const size_t tWidth = (mWidth - kc2) / N;
    const size_t tSize = (mHeight - kc2) * (mWidth - kc2);
    float* contMatr = new float[tSize];
    uchar* contMatrRes = new uchar[tSize];

    selectDevice();
    cudaEvent_t start, stop;
    checkCudaErrors(cudaEventCreate(&start));
    checkCudaErrors(cudaEventCreate(&stop));

    uchar3* d_imageRGB = nullptr;
    float3* d_averImage = nullptr;
    float* devContMatr = nullptr;
    uchar* d_out = nullptr;
    float* d_kvant = nullptr;
    uchar* d_temp1 = nullptr;
    uchar* d_temp2 = nullptr;
    int* d_res = nullptr;
    cudaEventRecord(start, 0);
    checkCudaErrors(cudaMalloc(&d_imageRGB, sizeof(uchar3) * imgSize));
    checkCudaErrors(cudaMalloc(&d_averImage, sizeof(float3) * mSize));
    checkCudaErrors(cudaMalloc((void**)&devContMatr, sizeof(float) * tSize));
    checkCudaErrors(cudaMalloc((void**)&d_out, sizeof(uchar) * tSize));
    checkCudaErrors(cudaMalloc((void**)&d_kvant, sizeof(float) * size));
    checkCudaErrors(cudaMalloc((void**)&d_temp1, sizeof(uchar) * tWidth * tHeight));
    checkCudaErrors(cudaMalloc((void**)&d_temp2, sizeof(uchar) * 4 * tWidth * tHeight));
    checkCudaErrors(cudaMalloc((void**)&d_res, 2 * sizeof(int)));
    eventCheck(stop);

    cudaEventRecord(start, 0);
    checkCudaErrors(cudaMemcpy(d_imageRGB, h_imageRGB, sizeof(uchar3) * imgSize, cudaMemcpyHostToDevice));
    eventCheck(stop);

    cudaEventRecord(start, 0);
    launchAveraging(d_imageRGB, d_averImage, mHeight, mWidth, width);
    eventCheck(stop);

    cudaEventRecord(start, 0);
    launchMetric(devContMatr, d_averImage, mHeight, mWidth, kc2);
    deviceCheck(stop);

    cudaEventRecord(start, 0);
    checkCudaErrors(cudaMemcpy(contMatr, devContMatr, sizeof(float) * tSize, cudaMemcpyDeviceToHost));
    deviceCheck(stop);

    metricHistogram(contMatr, mHeight - kc2, mWidth - kc2, hist, cnt, size);
    quantileTable(hist, cnt, kvant, size);

    const RoughPassBuffers buffers{devContMatr, d_out, d_kvant, d_temp1, d_temp2, d_res, mHeight, mWidth, kc2};
    thresholdSearch(buffers, res, kvant, size, dim, eps, start, stop);

    checkCudaErrors(cudaMemcpy(contMatrRes, d_out, tSize * sizeof(uchar), cudaMemcpyDeviceToHost));
    std::string why;
    const bool written = writeRoughMap(contMatrRes, static_cast<int>(mHeight - kc2), static_cast<int>(mWidth - kc2),
                                       "RoughGC.bmp", why);

    cudaFree(d_imageRGB);
    cudaFree(d_averImage);
    cudaFree(devContMatr);
    cudaFree(d_temp1);
    cudaFree(d_temp2);
    cudaFree(d_res);
    cudaFree(d_out);
    cudaFree(d_kvant);
    cudaEventDestroy(start);
    cudaEventDestroy(stop);
    delete[] hist;
    delete[] kvant;
    delete[] cnt;
    delete[] res;
    delete[] contMatr;
    delete[] contMatrRes;

    if (!written) {
        std::fprintf(stderr, "(!) Error writing RoughGC.bmp: %s\n", why.c_str());
        std::exit(kExitOutputNotWritten);
    }
}

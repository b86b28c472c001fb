// The GPU library: host entry points and the launches of its kernels.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "CUDA_stages.h"
#include "CUDA_wrappers.h"
#include "fine_kernels.cuh"
#include "histogram_kernel.cuh"
#include "map_file.h"
#include "rough_host.h"
#include "rough_extractor.h"
#include "rough_kernels.cuh"

namespace {

// Grid extent for `extent` elements in blocks of `block`: always one block
// more than the truncating quotient, as every launch of the library does.
unsigned int gridExtent(size_t extent, unsigned int block) { return static_cast<unsigned int>(extent / block + 1); }

// The largest extent whose grid a GPU still accepts in y (65535 blocks) for
// blocks of `block` rows. The entry points' size limits follow from it.
constexpr size_t maxGridRows(unsigned int block) { return size_t{65535} * block - 1; }

}  // namespace

// The status of cudaSetDevice itself surfaces through the last error.
void selectDevice() {
    cudaSetDevice(0);
    checkCudaErrors(cudaGetLastError());
}

// Waiting for `stop` makes a failed launch or kernel surface in the last
// error.
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

// Asking for a kernel's attributes loads it. Since CUDA 12.2 a kernel is
// otherwise loaded at its first launch, inside the work that is timed.
template <class... Kernels>
void loadKernels(Kernels*... kernels) {
    cudaFuncAttributes attributes;
    (checkCudaErrors(cudaFuncGetAttributes(&attributes, kernels)), ...);
}

void FirstRun() {
    selectDevice();
    loadKernels(averaging, calculate_derive_metric_optimized, threshold, calculating0, calculating1, calculating2,
                histogram, imageProcessing1, imageProcessing2, fineContours);
    cudaEvent_t start, stop;
    checkCudaErrors(cudaEventCreate(&start));
    checkCudaErrors(cudaEventCreate(&stop));
    cudaEventDestroy(start);
    cudaEventDestroy(stop);
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
                            cudaEvent_t start, cudaEvent_t stop, StageTimes* times) {
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
        trace.coarseBoxes = res[k];
        trace.fineBoxes = res[k + 1];
        trace.dimension = dimensionEstimate(res[k], res[k + 1], N);
        res[0] = res[1] = 0;
        if (times) times->mark("search pass " + std::to_string(trace.indices.size()));
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

// The averaging launch has blocks of 16 rows over the averaged grid, whose
// rows are three image rows each; the other launches are shorter.
const size_t kMaxRoughImageRows = 3 * maxGridRows(16) + 2;
static_assert(3 * (kMaxRoughWindow + kBoxSide) <= 46340 && 3 * (kMaxRoughWindow + 1 + kBoxSide) > 46340,
              "the largest window whose smallest square image has at most INT_MAX pixels");

size_t roughMinimumSide(size_t kc2) {
    return kc2 > kMaxRoughWindow ? SIZE_MAX : 3 * (kc2 + kBoxSide);
}

namespace {

std::string formatted(const char* format, auto... values) {
    char line[256];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

}  // namespace

std::string roughImageSizeProblem(size_t height, size_t width, size_t kc2) {
    if (kc2 == 0) return "(!) The metric window must be at least 1 averaged pixel, not 0";
    if (kc2 > kMaxRoughWindow)
        return formatted("(!) The metric window must be at most %zu averaged pixels, not %zu", kMaxRoughWindow, kc2);
    const size_t side = roughMinimumSide(kc2);
    if (height < side || width < side)
        return formatted("(!) Image too small: %zu x %zu pixels; at least %zu x %zu needed", width, height, side, side);
    if (height > INT_MAX / width)
        return formatted("(!) Image too large: %zu x %zu pixels; at most %d pixels supported", width, height, INT_MAX);
    if (height > kMaxRoughImageRows)
        return formatted("(!) Image too tall: %zu x %zu pixels; at most %zu rows supported", width, height,
                         kMaxRoughImageRows);
    return "";
}

void requireRoughImageSize(size_t height, size_t width, size_t kc2) {
    const std::string problem = roughImageSizeProblem(height, width, kc2);
    if (problem.empty()) return;
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::exit(kExitUnsupportedImageSize);
}

void processImageCUDA(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2, float dim, float eps) {
    processImageStaged(h_imageRGB, height, width, kc2, dim, eps, nullptr);
}

void processImageStaged(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2, float dim, float eps,
                        StageTimes* times) {
    if (times) times->start();
    // Refused before anything is allocated: smaller maps would leave the box
    // grids empty, and sizes below kc2 would wrap around.
    requireRoughImageSize(height, width, kc2);

    std::string why;
    bool written = false;
    {
        RoughExtractor extractor;
        extractor.recordStageTimes(times);
        const RoughMap& map = extractor.extractChecked(h_imageRGB, height, width, kc2, dim, eps);
        written = writeGreyBmp(map.pixels, static_cast<int>(map.rows), static_cast<int>(map.cols), "RoughGC.bmp", why);
        if (times) times->mark("file write");
    }
    if (times) times->mark("release");

    if (!written) {
        std::fprintf(stderr, "(!) Error writing RoughGC.bmp: %s\n", why.c_str());
        std::exit(kExitOutputNotWritten);
    }
}

// ---------------------------------------------------------------------------
// The GPU histogram.

void histogramCUDA(float* h_matr, int* h_hist, int* h_cnt, size_t height, size_t width, float begin, float end,
                   size_t N) {
    // The block-shared bins hold at most 2048 bins.
    if (N == 0 || N > static_cast<size_t>(kMaxHistogramBins)) {
        std::fprintf(stderr, "histogramCUDA: %zu bins requested; 1 to %d supported\n", N, kMaxHistogramBins);
        return;
    }
    if (height == 0 || width == 0) return;
    if (height > INT_MAX / width) {
        std::fprintf(stderr, "histogramCUDA: %zu x %zu elements; at most %d supported\n", height, width, INT_MAX);
        return;
    }
    if (height > maxGridRows(32)) {
        std::fprintf(stderr, "histogramCUDA: %zu x %zu elements; at most %zu rows supported\n", height, width,
                     maxGridRows(32));
        return;
    }
    const size_t imgSize = height * width;
    float milliseconds = 0;

    selectDevice();
    cudaEvent_t start, stop;
    checkCudaErrors(cudaEventCreate(&start));
    checkCudaErrors(cudaEventCreate(&stop));

    float* d_matr = nullptr;
    int* d_hist = nullptr;
    int* d_cnt = nullptr;
    checkCudaErrors(cudaMalloc((void**)&d_matr, sizeof(float) * imgSize));
    checkCudaErrors(cudaMalloc((void**)&d_hist, sizeof(int) * N));
    checkCudaErrors(cudaMalloc((void**)&d_cnt, sizeof(int)));

    cudaEventRecord(start, 0);
    checkCudaErrors(cudaMemcpy(d_matr, h_matr, sizeof(float) * imgSize, cudaMemcpyHostToDevice));
    checkCudaErrors(cudaMemcpy(d_hist, h_hist, sizeof(int) * N, cudaMemcpyHostToDevice));
    checkCudaErrors(cudaMemcpy(d_cnt, h_cnt, sizeof(int), cudaMemcpyHostToDevice));
    deviceCheck(stop);

    const dim3 blockSize(32, 32);
    const dim3 gridSize(gridExtent(width, 32), gridExtent(height, 32));
    cudaEventRecord(start, 0);
    LAUNCH_KERNEL(histogram, gridSize, blockSize, d_matr, d_hist, d_cnt, static_cast<int>(height),
                  static_cast<int>(width), begin, end, static_cast<int>(N));
    eventCheck(stop);
    cudaEventElapsedTime(&milliseconds, start, stop);
    std::cout << "CUDA histogram kernel (ms): " << milliseconds << std::endl;

    cudaEventRecord(start, 0);
    checkCudaErrors(cudaMemcpy(h_hist, d_hist, sizeof(int) * N, cudaMemcpyDeviceToHost));
    checkCudaErrors(cudaMemcpy(h_cnt, d_cnt, sizeof(int), cudaMemcpyDeviceToHost));
    deviceCheck(stop);

    cudaFree(d_matr);
    cudaFree(d_hist);
    cudaFree(d_cnt);
    cudaEventDestroy(start);
    cudaEventDestroy(stop);
}

// ---------------------------------------------------------------------------
// The fine contour stage.

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

void fineContoursCUDA(const uchar4* h_imageRGB, float* h_roughCont, float* h_fineContours, float* h_fmat1,
                      float* h_fmat2, float* h_fmat3, size_t height, size_t width, size_t kc2) {
    // Below 6 pixels the rough map has no cell; a larger kc2 would put the
    // blocks of the last rough cells outside the fine map.
    if (height < 6 || width < 6) {
        std::fprintf(stderr, "fineContoursCUDA: image of %zu x %zu pixels; at least 6 x 6 needed\n", width, height);
        return;
    }
    const size_t maxWindow = 6 + std::min(height % 3, width % 3);
    if (kc2 > maxWindow) {
        std::fprintf(stderr, "fineContoursCUDA: window %zu too large for an image of %zu x %zu pixels; at most %zu fits\n",
                     kc2, width, height, maxWindow);
        return;
    }
    if (height > INT_MAX / width) {
        std::fprintf(stderr, "fineContoursCUDA: image of %zu x %zu pixels; at most %d pixels supported\n", width,
                     height, INT_MAX);
        return;
    }
    // The fine map's launch has blocks of 16 rows over height - kc2 rows; the
    // other two have blocks of 32 rows and never set the tighter limit.
    if (height - kc2 > maxGridRows(16)) {
        std::fprintf(stderr, "fineContoursCUDA: image of %zu x %zu pixels; at most %zu rows supported with window %zu\n",
                     width, height, maxGridRows(16) + kc2, kc2);
        return;
    }

    const size_t imgSize = height * width;
    const size_t mHeight = height / 3;
    const size_t mWidth = width / 3;
    const size_t mSize1 = (mHeight - 2) * (mWidth - 2);
    const size_t mSize2 = (height - kc2) * (width - kc2);

    selectDevice();

    uchar4* d_imageRGB = nullptr;
    float4* d_newImage = nullptr;
    float* d_roughCont = nullptr;
    float* devfmat1 = nullptr;
    float* devfmat2 = nullptr;
    float* devfmat3 = nullptr;
    float* tempFineContours = nullptr;
    float* devFineContours = nullptr;
    checkCudaErrors(cudaMalloc(&d_imageRGB, sizeof(uchar4) * imgSize));
    checkCudaErrors(cudaMalloc(&d_newImage, sizeof(float4) * imgSize));
    checkCudaErrors(cudaMalloc(&d_roughCont,sizeof(float) * mSize1));
    checkCudaErrors(cudaMalloc((void**)&devfmat1, sizeof(float) * kc2 * kc2));
    checkCudaErrors(cudaMalloc((void**)&devfmat2, sizeof(float) * kc2 * kc2));
    checkCudaErrors(cudaMalloc((void**)&devfmat3, sizeof(float) * kc2 * kc2));
    checkCudaErrors(cudaMalloc((void**)&tempFineContours, sizeof(float) * mSize2));
    checkCudaErrors(cudaMalloc((void**)&devFineContours, sizeof(float) * mSize2));

    checkCudaErrors(cudaMemcpy(d_imageRGB, h_imageRGB, sizeof(uchar4) * imgSize, cudaMemcpyHostToDevice));
    checkCudaErrors(cudaMemcpy(d_roughCont, h_roughCont, sizeof(float) * mSize1, cudaMemcpyHostToDevice));
    // The caller's marks are the mark map's starting content.
    checkCudaErrors(cudaMemcpy(tempFineContours, h_fineContours, sizeof(float) * mSize2, cudaMemcpyHostToDevice));
    checkCudaErrors(cudaMemcpy(devfmat1, h_fmat1, sizeof(float) * kc2 * kc2, cudaMemcpyHostToDevice));
    checkCudaErrors(cudaMemcpy(devfmat2, h_fmat2, sizeof(float) * kc2 * kc2, cudaMemcpyHostToDevice));
    checkCudaErrors(cudaMemcpy(devfmat3, h_fmat3, sizeof(float) * kc2 * kc2, cudaMemcpyHostToDevice));

    cudaEvent_t start, stop;
    checkCudaErrors(cudaEventCreate(&start));
    checkCudaErrors(cudaEventCreate(&stop));

    cudaEventRecord(start, 0);
    launchImageProcessing1(d_imageRGB, d_newImage, height, width);
    deviceCheck(stop);
    cudaEventRecord(start, 0);
    launchImageProcessing2(d_roughCont, tempFineContours, height, width, kc2);
    deviceCheck(stop);
    cudaEventRecord(start, 0);
    launchFineContours(devFineContours, tempFineContours, d_newImage, devfmat1, devfmat2, devfmat3, height, width,
                       kc2);
    deviceCheck(stop);

    checkCudaErrors(cudaMemcpy(h_fineContours, devFineContours, sizeof(float) * mSize2, cudaMemcpyDeviceToHost));

    cudaFree(d_imageRGB);
    cudaFree(d_roughCont);
    cudaFree(d_newImage);
    cudaFree(devfmat1);
    cudaFree(devfmat2);
    cudaFree(devfmat3);
    cudaFree(devFineContours);
    cudaFree(tempFineContours);
    cudaEventDestroy(start);
    cudaEventDestroy(stop);
}

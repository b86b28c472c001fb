// The GPU histogram: its kernel, beside its launch in runHistogram.
#include "detail/histogram/histogram.h"

#include <climits>
#include <cstdio>

#include "detail/device/device.h"
#include "detail/device/launch.h"

namespace roughgc::detail {

// Float to int as the GPU converts: toward zero, saturating at the int
// range, NaN to 0. Spelled out so that both backends agree where a plain
// cast would be undefined in C++.
__device__ __forceinline__ int truncateToInt(float q) {
    if (q != q) return 0;
    if (q >= 2147483648.0f) return 2147483647;
    if (q <= -2147483648.0f) return -2147483647 - 1;
    return static_cast<int>(q);
}

// Counts the elements of `values` into N bins of width (end - begin) / N starting at
// 0 (begin only sets the width): per block in shared memory first, then
// merged into hist and *counted by the block's first thread.
__global__ void histogram(float* values, int* hist, int* counted, int height, int width, float begin, float end,
                          int N) {
    __shared__ int binCounts[kMaxHistogramBins + 1];
    const int col = blockDim.x * blockIdx.x + threadIdx.x;
    const int row = blockDim.y * blockIdx.y + threadIdx.y;
    const bool first = threadIdx.x == 0 && threadIdx.y == 0;

    if (first) {
        for (int k = 0; k <= N; ++k) binCounts[k] = 0;
    }
    __syncthreads();

    if (row < height && col < width) {
        const float w = (end - begin) / static_cast<float>(N);
        const float v = values[row * width + col];
        const int k = truncateToInt(v / w);
        if (k >= 0 && k < N) {
            atomicAdd(&binCounts[k], 1);
            atomicAdd(&binCounts[N], 1);
        }
    }
    __syncthreads();

    if (first) {
        for (int k = 0; k < N; ++k) atomicAdd(&hist[k], binCounts[k]);
        atomicAdd(counted, binCounts[N]);
    }
    __syncthreads();
}

std::string histogramSizeProblem(size_t height, size_t width, size_t N) {
    char line[160];
    if (N == 0 || N > static_cast<size_t>(kMaxHistogramBins)) {
        std::snprintf(line, sizeof line, "%zu bins requested; 1 to %d supported", N, kMaxHistogramBins);
        return line;
    }
    if (height == 0 || width == 0) return "";
    if (height > INT_MAX / width) {
        std::snprintf(line, sizeof line, "%zu x %zu elements; at most %d supported", height, width, INT_MAX);
        return line;
    }
    if (height > maxGridRows(32)) {
        std::snprintf(line, sizeof line, "%zu x %zu elements; at most %zu rows supported", height, width,
                      maxGridRows(32));
        return line;
    }
    return "";
}

void runHistogram(const float* values, int* hist, int* counted, size_t height, size_t width, float begin, float end,
                  size_t N, int device, void (*kernelTime)(float)) {
    const size_t imgSize = height * width;
    float milliseconds = 0;

    selectDevice(device);
    const EventPair events;
    const cudaEvent_t start = events.start, stop = events.stop;

    float* d_values = nullptr;
    int* d_hist = nullptr;
    int* d_counted = nullptr;
    const FreeOnExit release(d_values, d_hist, d_counted);
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&d_values, sizeof(float) * imgSize));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&d_hist, sizeof(int) * N));
    ROUGHGC_CUDA_CHECK(cudaMalloc((void**)&d_counted, sizeof(int)));

    cudaEventRecord(start, 0);
    ROUGHGC_CUDA_CHECK(cudaMemcpy(d_values, values, sizeof(float) * imgSize, cudaMemcpyHostToDevice));
    ROUGHGC_CUDA_CHECK(cudaMemcpy(d_hist, hist, sizeof(int) * N, cudaMemcpyHostToDevice));
    ROUGHGC_CUDA_CHECK(cudaMemcpy(d_counted, counted, sizeof(int), cudaMemcpyHostToDevice));
    deviceCheck(stop);

    const dim3 blockSize(32, 32);
    const dim3 gridSize(gridExtent(width, 32), gridExtent(height, 32));
    cudaEventRecord(start, 0);
    LAUNCH_KERNEL(histogram, gridSize, blockSize, d_values, d_hist, d_counted, static_cast<int>(height),
                  static_cast<int>(width), begin, end, static_cast<int>(N));
    eventCheck(stop);
    cudaEventElapsedTime(&milliseconds, start, stop);
    if (kernelTime) kernelTime(milliseconds);

    cudaEventRecord(start, 0);
    ROUGHGC_CUDA_CHECK(cudaMemcpy(hist, d_hist, sizeof(int) * N, cudaMemcpyDeviceToHost));
    ROUGHGC_CUDA_CHECK(cudaMemcpy(counted, d_counted, sizeof(int), cudaMemcpyDeviceToHost));
    deviceCheck(stop);
}

void loadHistogramKernels() {
    cudaFuncAttributes attributes;
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, histogram));
}

}  // namespace roughgc::detail

// The GPU histogram's kernel.
#pragma once

#include "gpu_runtime.h"

// Bin capacity of the block-shared array: the bins and, behind them, the
// block's count of counted elements.
constexpr int kMaxHistogramBins = 2048;

// Float to int as the GPU converts: toward zero, saturating at the int
// range, NaN to 0. Spelled out so that both backends agree where a plain
// cast would be undefined in C++.
__device__ __forceinline__ int truncateToInt(float q) {
    if (q != q) return 0;
    if (q >= 2147483648.0f) return 2147483647;
    if (q <= -2147483648.0f) return -2147483647 - 1;
    return static_cast<int>(q);
}

// Counts matr's elements into N bins of width (end - begin) / N starting at
// 0 (begin only sets the width): per block in shared memory first, then
// merged into hist and cnt by the block's first thread.
__global__ void histogram(float* matr, int* hist, int* cnt, int height, int width, float begin, float end, int N) {
    __shared__ int temp[kMaxHistogramBins + 1];
    const int col = blockDim.x * blockIdx.x + threadIdx.x;
    const int row = blockDim.y * blockIdx.y + threadIdx.y;
    const bool first = threadIdx.x == 0 && threadIdx.y == 0;

    if (first) {
        for (int k = 0; k <= N; ++k) temp[k] = 0;
    }
    __syncthreads();

    if (row < height && col < width) {
        const float w = (end - begin) / static_cast<float>(N);
        const float v = matr[row * width + col];
        const int k = truncateToInt(v / w);
        if (k >= 0 && k < N) {
            atomicAdd(&temp[k], 1);
            atomicAdd(&temp[N], 1);
        }
    }
    __syncthreads();

    if (first) {
        for (int k = 0; k < N; ++k) atomicAdd(&hist[k], temp[k]);
        atomicAdd(cnt, temp[N]);
    }
    __syncthreads();
}

// Kernels of the rough contour pipeline.
#pragma once

#include "canonical_nan.cuh"
#include "gpu_runtime.h"

// Averages each 3 x 3 block of the image into one point of the feature
// space: the block's grid position times 60 plus its inverted colour on the
// orthonormal axes (-2, 1, 1)/sqrt(6), (0, 1, -1)/sqrt(2), (1, 1, 1)/sqrt(3).
// The last height % 3 rows and width % 3 columns are never read.
__global__ void averaging(const uchar3* imageRGB, float3* averImage, int mHeight, int mWidth, int width) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < mWidth && row < mHeight) {
        // Whole-number sums up to 2295, exact in any order and in single
        // precision, so integers give the same sums faster: the nine
        // inverted channels sum to 9 * 255 less the nine channels.
        int sx = 9 * 255, sy = 9 * 255, sz = 9 * 255;
        const uchar3* block = imageRGB + (3 * row) * width + 3 * col;
        for (int dr = 0; dr < 3; ++dr) {
            const uchar3* line = block + dr * width;
            for (int dc = 0; dc < 3; ++dc) {
                sx -= line[dc].x;
                sy -= line[dc].y;
                sz -= line[dc].z;
            }
        }
        // The single-precision quotient by 9.0, truncated, equals the integer
        // quotient for every sum from 0 to 2295.
        const int ix = sx / 9;
        const int iy = sy / 9;
        const int iz = sz / 9;

        // Each mean times its constant, summed left to right, the position
        // last: this order fixes the last bit of every component.
        const double c6 = 0.40824829046, c2 = 0.70710678118, c3 = 0.57735026919;
        const double x = (static_cast<double>(-2 * ix) * c6 + static_cast<double>(iy) * c6 +
                          static_cast<double>(iz) * c6) + static_cast<double>(60 * row);
        const double y = (c2 * static_cast<double>(iy) - c2 * static_cast<double>(iz)) + static_cast<double>(60 * col);
        const double z = static_cast<double>(ix) * c3 + static_cast<double>(iy) * c3 + static_cast<double>(iz) * c3;
        averImage[row * mWidth + col] = float3{static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
    }
}

// The metric quotient (E + G)^2 / (E G - F^2) of the feature surface at each
// averaged pixel at least kc2 / 2 from the top and left, from the forward
// differences to its right and lower neighbours. 4 on flat colour, larger
// across edges. The map has kc2 fewer rows and columns than the grid.
__global__ void calculate_derive_metric_optimized(float* metricMap, float3* averImage, int mHeight, int mWidth,
                                                  int kc2) {
    const int j = blockIdx.x * blockDim.x + threadIdx.x;
    const int i = blockIdx.y * blockDim.y + threadIdx.y;
    const int h = kc2 / 2;
    const int outWidth = mWidth - kc2, outHeight = mHeight - kc2;
    if (j >= h && j < h + outWidth && i >= h && i < h + outHeight) {
        const float3 p = averImage[i * mWidth + j];
        const float3 r = averImage[i * mWidth + j + 1];
        const float3 b = averImage[(i + 1) * mWidth + j];
        const float ux = (r.x - p.x) * 3.0f, uy = (r.y - p.y) * 3.0f, uz = (r.z - p.z) * 3.0f;
        const float vx = (b.x - p.x) * 3.0f, vy = (b.y - p.y) * 3.0f, vz = (b.z - p.z) * 3.0f;
        const float e = ux * ux + uy * uy + uz * uz;
        const float f = ux * vx + uy * vy + uz * vz;
        const float g = vx * vx + vy * vy + vz * vz;
        // Unguarded: a vanishing denominator gives an infinity or a NaN,
        // which the threshold treats as rough.
        metricMap[(i - h) * outWidth + (j - h)] = canonicalNaN(((e + g) * (e + g)) / (e * g - f * f));
    }
}

// 255 (smooth) where the metric lies below kvant[kvantIndex], 0 (rough)
// elsewhere, NaN included.
__global__ void threshold(float* metricMap, uchar* binMap, float* kvant, int rows, int cols, int kvantIndex) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < cols && row < rows) {
        const float t = kvant[kvantIndex];
        binMap[row * cols + col] = metricMap[row * cols + col] < t ? 255 : 0;
    }
}

// Box counting, in three launches per box size: clear the box grid, mark the
// boxes that hold a rough pixel (any byte but 255), count the marks.
__global__ void calculating0(uchar* boxes, int boxRows, int boxCols) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < boxCols && row < boxRows) boxes[row * boxCols + col] = 0;
}

// Number of trailing zero bits of v > 0.
__device__ __forceinline__ int trailingZeros(unsigned int v) {
#if defined(__CUDA_ARCH__)
    return __ffs(static_cast<int>(v)) - 1;
#else
    return __builtin_ctz(v);
#endif
}

// Only whole boxes that lie inside the box grid are examined.
__global__ void calculating1(uchar* binMap, uchar* boxes, int rows, int cols, int boxRows, int boxCols, int boxSize) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int rowsW = rows - rows % boxSize, colsW = cols - cols % boxSize;
    if (x >= colsW || y >= rowsW) return;
    // The pipeline's box sides are powers of two, where a shift gives the
    // quotient of these non-negative coordinates; a division per thread
    // would cost more than the rest of the kernel on a CPU.
    const bool powerOfTwo = (boxSize & (boxSize - 1)) == 0;
    const int shift = trailingZeros(static_cast<unsigned int>(boxSize));
    const int by = powerOfTwo ? y >> shift : y / boxSize;
    const int bx = powerOfTwo ? x >> shift : x / boxSize;
    if (by >= boxRows || bx >= boxCols) return;
    if (binMap[y * cols + x] == 255) return;
    // Every thread of a box stores the same 1: plain stores suffice.
    boxes[by * boxCols + bx] = 1;
}

__global__ void calculating2(uchar* boxes, int* res, int boxRows, int boxCols, int resIndex) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < boxCols && row < boxRows && boxes[row * boxCols + col] != 0) atomicAdd(&res[resIndex], 1);
}

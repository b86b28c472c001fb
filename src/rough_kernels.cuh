// Kernels of the rough contour pipeline.
#pragma once

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
        // precision, so integers give the same sums faster.
        int sx = 0, sy = 0, sz = 0;
        for (int ir = 3 * row; ir < 3 * row + 3; ++ir) {
            for (int ic = 3 * col; ic < 3 * col + 3; ++ic) {
                const uchar3 p = imageRGB[ir * width + ic];
                sx += 255 - p.x;
                sy += 255 - p.y;
                sz += 255 - p.z;
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

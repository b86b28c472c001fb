// Kernels of the fine contour stage.
#pragma once

#include "canonical_nan.cuh"
#include "gpu_runtime.h"

// The full-resolution feature image: each pixel's inverted colour on the
// axes (-2, 1, 1)/sqrt(6), (0, 1, -1)/sqrt(2), (1, 1, 1)/sqrt(3), plus 20
// times its row and column on the first two. The w channel of the input is
// never read; the output's is 255.
__global__ void imageProcessing1(const uchar4* imageRGB, float4* newImage, int height, int width) {
    const int column = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (column < width && row < height) {
        const int i = row * width + column;
        const uchar4 p = imageRGB[i];
        const int a = 255 - p.x, b = 255 - p.y, c = 255 - p.z;
        const double c6 = 0.40824829046, c2 = 0.70710678118, c3 = 0.57735026919;
        // Products of integers with the constants, summed left to right. The
        // positions are scaled in double, where they are exact: 20 times a
        // column can pass the int range on a wide image.
        const double x = 20.0 * static_cast<double>(row) +
                         (static_cast<double>(-2 * a) * c6 + static_cast<double>(b) * c6 + static_cast<double>(c) * c6);
        const double y = 20.0 * static_cast<double>(column) + (static_cast<double>(b) * c2 - static_cast<double>(c) * c2);
        const double z = static_cast<double>(a) * c3 + static_cast<double>(b) * c3 + static_cast<double>(c) * c3;
        newImage[i] = make_float4(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z), 255.0f);
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
    const float ux = f * (rx - qx), uy = f * (ry - qy), uz = f * (rz - qz);
    const float vx = f * (px - qx), vy = f * (py - qy), vz = f * (pz - qz);
    const float e = ux * ux + uy * uy + uz * uz;
    const float fuv = vx * ux + vy * uy + vz * uz;
    const float g = vx * vx + vy * vy + vz * vz;
    outContours[k] = canonicalNaN(((g + e) * (g + e)) / (g * e - fuv * fuv));
}

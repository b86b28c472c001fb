// Per-pixel arithmetic that more than one kernel performs, written once for
// the kernels of both backends and for the host code that checks them.
// Every operation's order is fixed: it decides the last bit of the result.
#pragma once

#include "gpu_runtime.h"

#if !defined(__CUDA_ARCH__)
#include <bit>
#include <cstdint>
#endif

namespace roughgc::detail {

// v, or the canonical quiet NaN 0x7fffffff when v is a NaN. A GPU's own
// arithmetic gives that NaN, while x86 gives 0xffc00000 for 0/0 and passes a
// NaN operand's payload on; storing through this makes the stored bits the
// same everywhere. Every other value, infinities and -0 included, is kept.
__host__ __device__ __forceinline__ float canonicalNaN(float v) {
#if defined(__CUDA_ARCH__)
    return v != v ? __int_as_float(0x7fffffff) : v;
#else
    return v != v ? std::bit_cast<float>(std::uint32_t{0x7fffffff}) : v;
#endif
}

// The orthonormal colour axes (-2, 1, 1)/sqrt(6), (0, 1, -1)/sqrt(2) and
// (1, 1, 1)/sqrt(3), each factor to eleven decimals.
constexpr double kAxisFactor6 = 0.40824829046;
constexpr double kAxisFactor2 = 0.70710678118;
constexpr double kAxisFactor3 = 0.57735026919;

// The feature point of an inverted colour (a, b, c) = 255 - (blue, green,
// red), or of a mean of such colours, at a position already scaled: the
// colour on the three axes, each product summed left to right in double
// precision, the position added to the first two, then rounded to float.
__host__ __device__ __forceinline__ float3 featurePoint(int a, int b, int c, double row, double column) {
    const double x = static_cast<double>(-2 * a) * kAxisFactor6 + static_cast<double>(b) * kAxisFactor6 +
                     static_cast<double>(c) * kAxisFactor6;
    const double y = static_cast<double>(b) * kAxisFactor2 - static_cast<double>(c) * kAxisFactor2;
    const double z = static_cast<double>(a) * kAxisFactor3 + static_cast<double>(b) * kAxisFactor3 +
                     static_cast<double>(c) * kAxisFactor3;
    return float3{static_cast<float>(x + row), static_cast<float>(y + column), static_cast<float>(z)};
}

// The metric quotient (E + G)^2 / (E G - F^2) of the surface whose tangent
// vectors are u and v (E = u.u, F = u.v, G = v.v), in single precision.
// Unguarded: a vanishing denominator gives an infinity or the canonical NaN.
__host__ __device__ __forceinline__ float metricQuotient(float3 u, float3 v) {
    const float e = u.x * u.x + u.y * u.y + u.z * u.z;
    const float f = u.x * v.x + u.y * v.y + u.z * v.z;
    const float g = v.x * v.x + v.y * v.y + v.z * v.z;
    return canonicalNaN(((e + g) * (e + g)) / (e * g - f * f));
}

// The feature point of the averaged pixel at (row, col) of the averaged
// grid, from the sums of its 3 x 3 block's blue, green and red: the means of
// the inverted channels (whole-number sums up to 2295, so the truncating
// integer quotient is the single-precision one), the position times 60.
__host__ __device__ __forceinline__ float3 averagedFeature(int sumBlue, int sumGreen, int sumRed, int row, int col) {
    return featurePoint((9 * 255 - sumBlue) / 9, (9 * 255 - sumGreen) / 9, (9 * 255 - sumRed) / 9,
                        static_cast<double>(60 * row), static_cast<double>(60 * col));
}

// The metric quotient at a feature point p from the forward differences to
// its right and lower neighbours.
__host__ __device__ __forceinline__ float neighbourMetric(float3 p, float3 right, float3 below) {
    const float3 u{(right.x - p.x) * 3.0f, (right.y - p.y) * 3.0f, (right.z - p.z) * 3.0f};
    const float3 v{(below.x - p.x) * 3.0f, (below.y - p.y) * 3.0f, (below.z - p.z) * 3.0f};
    return metricQuotient(u, v);
}

// The binary map's byte for a metric value at threshold t: 255 (smooth)
// strictly below it, 0 (rough) otherwise, NaN included.
__host__ __device__ __forceinline__ unsigned char binaryPixel(float metric, float t) {
    return metric < t ? 255 : 0;
}

// The larger of a box's maximum so far and a value, a NaN counting as the
// largest: a box is occupied at threshold t exactly when !(maximum < t).
__host__ __device__ __forceinline__ float boxMaximum(float maximum, float value) {
    return (value > maximum || value != value) && maximum == maximum ? value : maximum;
}

}  // namespace roughgc::detail

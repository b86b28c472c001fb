// The rough pipeline's per-pixel stages scheduled as plain row loops on the
// host's cores, for the cpu backend, where "device" memory is host memory:
// the same per-pixel functions as the kernels (pixel_math.cuh), in an order
// that the compiler vectorises. Every byte and float they store is the
// kernels' (the tests hold the two equal).
#pragma once

#include <cstddef>

#include "gpu_runtime.h"

namespace roughgc::detail {

// The feature map of a photo of `channels` bytes a pixel (3: BGR, 1: grey,
// 4: BGRA), rows `step` bytes apart: what the averaging kernel makes of it
// as BGR. mHeight x mWidth points.
void averageRows(const unsigned char* photo, size_t step, int channels, size_t mHeight, size_t mWidth, float3* out);

// The metric map of an mHeight x mWidth feature map with window kc2, as the
// metric kernel makes it: (mHeight - kc2) x (mWidth - kc2) floats.
void metricRows(const float3* features, size_t mHeight, size_t mWidth, size_t kc2, float* out);

// The binary map of `count` metric values at threshold t, as the threshold
// kernel makes it.
void thresholdRows(const float* metric, size_t count, float t, unsigned char* out);

}  // namespace roughgc::detail

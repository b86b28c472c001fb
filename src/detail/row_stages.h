// The rough pipeline's per-pixel stages scheduled as row loops on the
// host's cores, for the cpu backend, where "device" memory is host memory:
// the same per-pixel functions as the kernels (pixel_math.cuh), in an order
// that the compiler vectorises. Every float, count and byte they store is
// the kernels' and the host steps' (the tests hold them equal).
#pragma once

#include <cstddef>

#include "gpu_runtime.h"

namespace roughgc::detail {

struct BoxMaxima;

// What metricPass makes besides the metric map.
struct MetricPassOutputs {
    int* hist;           // `bins` histogram bins of the metric, as metricHistogram counts them
    int* counted;        // and the number counted
    int bins;
    BoxMaxima* boxes;    // the box maxima, as boxMaxima takes them; null for none
};

// The metric map of a photo with window kc2, in one pass over its rows in
// bands, each band's feature points made and used while they are in the
// cache: averaging, metric, histogram and box maxima together. The photo has
// `channels` bytes a pixel (3: BGR, 1: grey, 4: BGRA), rows `step` bytes
// apart; the map, (mHeight - kc2) x (mWidth - kc2) floats, is what the
// averaging and metric kernels make of it as BGR. Needs mHeight and mWidth
// above kc2.
void metricPass(const unsigned char* photo, size_t step, int channels, size_t mHeight, size_t mWidth, size_t kc2,
                float* metric, const MetricPassOutputs& outputs);

// The binary map of `count` metric values at threshold t, as the threshold
// kernel makes it.
void thresholdRows(const float* metric, size_t count, float t, unsigned char* out);

}  // namespace roughgc::detail

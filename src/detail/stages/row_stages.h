// The rough pipeline's per-pixel stages scheduled as row loops on the
// host's cores, for the cpu backend, where "device" memory is host memory:
// the same per-pixel functions as the kernels (pixel_math.cuh), in an order
// that the compiler vectorises. Every float, count and byte they store is
// the kernels' and the host steps' (the tests hold them equal).
#pragma once

#include <cstddef>
#include <vector>

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

// The metric map of a photo with metric window `window`, in one pass over its rows in
// bands, each band's feature points made and used while they are in the
// cache: averaging, metric, histogram and box maxima together. The photo has
// `channels` bytes a pixel (3: BGR, 1: grey, 4: BGRA), rows `step` bytes
// apart; the map, (mHeight - window) x (mWidth - window) floats, is what the
// averaging and metric kernels make of it as BGR. Needs mHeight and mWidth
// above window.
void metricPass(const unsigned char* photo, size_t step, int channels, size_t mHeight, size_t mWidth, size_t window,
                float* metric, const MetricPassOutputs& outputs);

// Rows of a photo as they are decoded, top to bottom, 8-bit BGR.
class PhotoRowSource {
public:
    virtual ~PhotoRowSource() = default;
    // The next `count` rows, `step` bytes apart from `first` on; false if
    // the photo cannot be read.
    virtual bool read(unsigned char* first, size_t step, size_t count) = 0;
    // The rows after the last one read, read to the end of the photo; false
    // if the photo cannot be read after all.
    virtual bool finish() = 0;
};

// metricPass over a photo of `height` x `width` BGR pixels that comes row by
// row from `source`, on this thread: never more than a band's rows of it
// (kept in `rows` from one photo to the next) are held. Every photo row is
// read, the unused ones too. The same metric map, histogram and box maxima
// as metricPass; false, with them incomplete, if the source fails.
bool metricPassStreamed(PhotoRowSource& source, size_t height, size_t width, size_t window, float* metric,
                        const MetricPassOutputs& outputs, std::vector<unsigned char>& rows);

// The bytes metricPassStreamed holds of a photo `width` pixels wide.
size_t streamedRowBytes(size_t width);

// The binary map of `count` metric values at threshold t, as the threshold
// kernel makes it.
void thresholdRows(const float* metric, size_t count, float t, unsigned char* out);

}  // namespace roughgc::detail

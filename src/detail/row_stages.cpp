#include "detail/row_stages.h"

#include "detail/pixel_math.cuh"

namespace roughgc::detail {

namespace {

// Rows are shared out over the cores; a row is long enough (a third of the
// photo's width) for the split to cost nothing. Each row's loop is built
// twice, for the x86-64 baseline and for AVX2, and the processor picks; no
// contraction into fused multiply-adds in either (-ffp-contract=off), so
// both store the same bits.
#define ROUGHGC_ROW_CLONES __attribute__((target_clones("avx2", "default")))

// Inlined into each clone of the row functions below, which cannot be
// templates themselves.
template <int Channels>
__attribute__((always_inline)) inline void averageRowOf(const unsigned char* photo, size_t step, int row,
                                                        size_t mWidth, float3* out) {
    const unsigned char* line[3] = {photo + 3 * static_cast<size_t>(row) * step,
                                    photo + (3 * static_cast<size_t>(row) + 1) * step,
                                    photo + (3 * static_cast<size_t>(row) + 2) * step};
    // Grey pixels stand for three equal channels; BGRA's alpha is not read.
    constexpr int green = Channels == 1 ? 0 : 1, red = Channels == 1 ? 0 : 2;
    for (size_t col = 0; col < mWidth; ++col) {
        int sb = 0, sg = 0, sr = 0;
        for (int dr = 0; dr < 3; ++dr) {
            const unsigned char* p = line[dr] + 3 * col * Channels;
            for (int dc = 0; dc < 3; ++dc) {
                sb += p[dc * Channels];
                sg += p[dc * Channels + green];
                sr += p[dc * Channels + red];
            }
        }
        out[col] = averagedFeature(sb, sg, sr, row, static_cast<int>(col));
    }
}

ROUGHGC_ROW_CLONES void averageRowBgr(const unsigned char* photo, size_t step, int row, size_t mWidth, float3* out) {
    averageRowOf<3>(photo, step, row, mWidth, out);
}
ROUGHGC_ROW_CLONES void averageRowGrey(const unsigned char* photo, size_t step, int row, size_t mWidth, float3* out) {
    averageRowOf<1>(photo, step, row, mWidth, out);
}
ROUGHGC_ROW_CLONES void averageRowBgra(const unsigned char* photo, size_t step, int row, size_t mWidth, float3* out) {
    averageRowOf<4>(photo, step, row, mWidth, out);
}

ROUGHGC_ROW_CLONES void metricRow(const float3* features, size_t mWidth, size_t i, size_t h, size_t outWidth,
                                  float* out) {
    const float3* p = features + i * mWidth + h;
    const float3* below = p + mWidth;
    for (size_t j = 0; j < outWidth; ++j) out[j] = neighbourMetric(p[j], p[j + 1], below[j]);
}

ROUGHGC_ROW_CLONES void thresholdRow(const float* metric, size_t count, float t, unsigned char* out) {
    for (size_t k = 0; k < count; ++k) out[k] = binaryPixel(metric[k], t);
}

using AverageRow = void (*)(const unsigned char*, size_t, int, size_t, float3*);

void averageAll(AverageRow averageRow, const unsigned char* photo, size_t step, size_t mHeight, size_t mWidth,
                float3* out) {
    const long rows = static_cast<long>(mHeight);
#pragma omp parallel for schedule(static)
    for (long row = 0; row < rows; ++row)
        averageRow(photo, step, static_cast<int>(row), mWidth, out + static_cast<size_t>(row) * mWidth);
}

}  // namespace

void averageRows(const unsigned char* photo, size_t step, int channels, size_t mHeight, size_t mWidth, float3* out) {
    averageAll(channels == 1 ? averageRowGrey : channels == 4 ? averageRowBgra : averageRowBgr, photo, step, mHeight,
               mWidth, out);
}

void metricRows(const float3* features, size_t mHeight, size_t mWidth, size_t kc2, float* out) {
    if (mHeight <= kc2 || mWidth <= kc2) return;
    const size_t h = kc2 / 2, outHeight = mHeight - kc2, outWidth = mWidth - kc2;
    const long rows = static_cast<long>(outHeight);
#pragma omp parallel for schedule(static)
    for (long r = 0; r < rows; ++r)
        metricRow(features, mWidth, static_cast<size_t>(r) + h, h, outWidth, out + static_cast<size_t>(r) * outWidth);
}

void thresholdRows(const float* metric, size_t count, float t, unsigned char* out) {
    // In slices of 64 KiB values, a few per core.
    constexpr size_t kSlice = size_t{1} << 16;
    const long slices = static_cast<long>((count + kSlice - 1) / kSlice);
#pragma omp parallel for schedule(static) if (slices > 1)
    for (long s = 0; s < slices; ++s) {
        const size_t begin = static_cast<size_t>(s) * kSlice;
        thresholdRow(metric + begin, std::min(kSlice, count - begin), t, out + begin);
    }
}

}  // namespace roughgc::detail

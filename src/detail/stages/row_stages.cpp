#include "detail/stages/row_stages.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "detail/search/box_search.h"
#include "detail/pixel/pixel_math.cuh"
#include "detail/pixel/row_clones.h"
#include "detail/search/rough_host.h"

namespace roughgc::detail {

namespace {

// Metric rows a band: four rows of fine boxes, so that a band holds whole
// boxes of both sides.
constexpr size_t kBand = 4 * kFineBoxSide;
static_assert(kBand % kFineBoxSide == 0 && kBand % kBoxSide == 0, "a band holds whole boxes");

struct Geometry {
    const unsigned char* photo;  // averaged row firstRow's first photo row
    size_t step;
    size_t mWidth, window, rows, cols;
    size_t fineRows, fineCols;  // of the fine box grid
    size_t firstRow = 0;
};

// A thread's working rows: the band's feature points (one row more than
// the band, for the lower neighbours), and its sums along the way.
struct Scratch {
    std::vector<unsigned short> vertical, horizontal;
    std::vector<int> sums;
    std::vector<float> coordinates;
    std::vector<float3> features;
    std::vector<int> bins;  // of a metric row
    // Four histograms, counted in turn: runs of equal values (flat colour)
    // would otherwise make each count wait for the one before.
    std::vector<int> hist;
};

// The feature points of averaged row `row`: the sums of three photo rows,
// then of three neighbours along them, both over contiguous bytes; each
// block's sums picked out; the points made (in double, as the kernel makes
// them) into separate coordinates, then put together.
template <int Channels>
__attribute__((always_inline)) inline void featureRow(const Geometry& g, size_t row, Scratch& s, float3* out) {
    const unsigned char* r0 = g.photo + 3 * (row - g.firstRow) * g.step;
    const unsigned char* r1 = r0 + g.step;
    const unsigned char* r2 = r1 + g.step;
    const size_t bytes = 3 * g.mWidth * Channels, mWidth = g.mWidth;
    unsigned short* v = s.vertical.data();
    unsigned short* h = s.horizontal.data();
    for (size_t k = 0; k < bytes; ++k) v[k] = static_cast<unsigned short>(r0[k] + r1[k] + r2[k]);
    for (size_t k = 0; k + 2 * Channels < bytes; ++k)
        h[k] = static_cast<unsigned short>(v[k] + v[k + Channels] + v[k + 2 * Channels]);
    // Grey pixels stand for three equal channels; BGRA's alpha is not read.
    constexpr int green = Channels == 1 ? 0 : 1, red = Channels == 1 ? 0 : 2;
    int* sb = s.sums.data();
    int* sg = sb + mWidth;
    int* sr = sg + mWidth;
    for (size_t col = 0; col < mWidth; ++col) {
        const unsigned short* p = h + 3 * col * Channels;
        sb[col] = p[0];
        sg[col] = p[green];
        sr[col] = p[red];
    }
    float* xs = s.coordinates.data();
    float* ys = xs + mWidth;
    float* zs = ys + mWidth;
    for (size_t col = 0; col < mWidth; ++col) {
        const float3 f = averagedFeature(sb[col], sg[col], sr[col], static_cast<int>(row), static_cast<int>(col));
        xs[col] = f.x;
        ys[col] = f.y;
        zs[col] = f.z;
    }
    for (size_t col = 0; col < mWidth; ++col) out[col] = float3{xs[col], ys[col], zs[col]};
}

// Metric rows first .. last - 1: their feature points, their values, their
// histogram counts and their boxes' maxima.
template <int Channels>
__attribute__((always_inline)) inline void band(const Geometry& g, size_t first, size_t last, float* metric,
                                                const MetricPassOutputs& out, Scratch& s) {
    const size_t h = g.window / 2, mWidth = g.mWidth;
    for (size_t i = first; i <= last; ++i) featureRow<Channels>(g, i + h, s, s.features.data() + (i - first) * mWidth);
    // Copies, which no store below can change: they stay in registers.
    const int bins = out.bins;
    const float width = metricBinWidth(bins);
    const size_t cols = g.cols;
    for (size_t r = first; r < last; ++r) {
        const float3* p = s.features.data() + (r - first) * mWidth + h;
        const float3* below = p + mWidth;
        float* row = metric + r * cols;
        for (size_t j = 0; j < cols; ++j) row[j] = neighbourMetric(p[j], p[j + 1], below[j]);
        // The bins first, wide; then the counts, one by one.
        int* rowBins = s.bins.data();
        for (size_t j = 0; j < cols; ++j) rowBins[j] = metricBin(row[j], width, bins);
        int* hist = s.hist.data();
        for (size_t j = 0; j < cols; ++j)
            if (rowBins[j] >= 0) ++hist[(j & 3) * static_cast<size_t>(bins) + static_cast<size_t>(rowBins[j])];
    }
    if (out.boxes != nullptr)
        for (size_t fr = first / kFineBoxSide; fr < last / kFineBoxSide && fr < g.fineRows; ++fr)
            fineBoxMaximaRow(metric + kFineBoxSide * fr * g.cols, g.cols, g.fineCols, out.boxes->fine.data() + fr * g.fineCols);
}

ROUGHGC_ROW_CLONES void bandBgr(const Geometry& g, size_t first, size_t last, float* metric,
                                const MetricPassOutputs& out, Scratch& s) {
    band<3>(g, first, last, metric, out, s);
}
ROUGHGC_ROW_CLONES void bandGrey(const Geometry& g, size_t first, size_t last, float* metric,
                                 const MetricPassOutputs& out, Scratch& s) {
    band<1>(g, first, last, metric, out, s);
}
ROUGHGC_ROW_CLONES void bandBgra(const Geometry& g, size_t first, size_t last, float* metric,
                                 const MetricPassOutputs& out, Scratch& s) {
    band<4>(g, first, last, metric, out, s);
}

ROUGHGC_ROW_CLONES void thresholdSlice(const float* metric, size_t count, float t, unsigned char* out) {
    for (size_t k = 0; k < count; ++k) out[k] = binaryPixel(metric[k], t);
}

}  // namespace

namespace {

// The geometry of a pass, with the box grid sized and the counts cleared.
Geometry passGeometry(const unsigned char* photo, size_t step, size_t mWidth, size_t mHeight, size_t window,
                      const MetricPassOutputs& out) {
    Geometry g{photo, step, mWidth, window, mHeight - window, mWidth - window, 0, 0};
    if (out.boxes != nullptr) {
        BoxMaxima& b = *out.boxes;
        b.tHeight = g.rows / kBoxSide;
        b.tWidth = g.cols / kBoxSide;
        b.fine.resize(4 * b.tHeight * b.tWidth);
        b.coarse.resize(b.tHeight * b.tWidth);
        g.fineRows = 2 * b.tHeight;
        g.fineCols = 2 * b.tWidth;
    }
    std::fill(out.hist, out.hist + out.bins, 0);
    *out.counted = 0;
    return g;
}

Scratch scratchFor(const Geometry& g, int channels, int bins) {
    Scratch s;
    const size_t bytes = 3 * g.mWidth * static_cast<size_t>(channels);
    s.vertical.resize(bytes);
    s.horizontal.resize(bytes);
    s.sums.resize(3 * g.mWidth);
    s.coordinates.resize(3 * g.mWidth);
    s.features.resize((kBand + 1) * g.mWidth);
    s.bins.resize(g.cols);
    s.hist.assign(4 * static_cast<size_t>(bins), 0);
    return s;
}

// Integer counts: the same sums in any order.
void addCounts(const Scratch& s, const MetricPassOutputs& out) {
    for (int k = 0; k < out.bins; ++k)
        out.hist[k] += s.hist[k] + s.hist[k + out.bins] + s.hist[k + 2 * out.bins] + s.hist[k + 3 * out.bins];
}

void finishPass(const MetricPassOutputs& out) {
    for (int k = 0; k < out.bins; ++k) *out.counted += out.hist[k];
    if (out.boxes != nullptr) coarseBoxMaxima(*out.boxes);
}

}  // namespace

void metricPass(const unsigned char* photo, size_t step, int channels, size_t mHeight, size_t mWidth, size_t window,
                float* metric, const MetricPassOutputs& out) {
    const Geometry g = passGeometry(photo, step, mWidth, mHeight, window, out);
    auto run = channels == 1 ? bandGrey : channels == 4 ? bandBgra : bandBgr;
    const long bands = static_cast<long>((g.rows + kBand - 1) / kBand);
#pragma omp parallel
    {
        Scratch s = scratchFor(g, channels, out.bins);
#pragma omp for schedule(static) nowait
        for (long b = 0; b < bands; ++b) {
            const size_t first = static_cast<size_t>(b) * kBand;
            run(g, first, std::min(g.rows, first + kBand), metric, out, s);
        }
#pragma omp critical
        addCounts(s, out);
    }
    finishPass(out);
}

// A band's feature rows are averaged rows first + h .. last + h, photo rows
// three times that: a band and the one after share one averaged row, whose
// three photo rows move to the front of `rows` for the next band.
size_t streamedRowBytes(size_t width) { return 3 * (kBand + 1) * 3 * width; }

bool metricPassStreamed(PhotoRowSource& source, size_t height, size_t width, size_t window, float* metric,
                        const MetricPassOutputs& out, std::vector<unsigned char>& rows) {
    const size_t step = 3 * width, mHeight = height / 3, h = window / 2;
    rows.resize(streamedRowBytes(width));
    Geometry g = passGeometry(rows.data(), step, width / 3, mHeight, window, out);
    Scratch s = scratchFor(g, 3, out.bins);
    // The photo rows above the first feature row, read and dropped.
    for (size_t skipped = 0; skipped < 3 * h;) {
        const size_t n = std::min(3 * h - skipped, 3 * (kBand + 1));
        if (!source.read(rows.data(), step, n)) return false;
        skipped += n;
    }
    size_t held = 0;  // photo rows at the front of `rows`, from averaged row g.firstRow on
    for (size_t first = 0; first < g.rows; first += kBand) {
        const size_t last = std::min(g.rows, first + kBand);
        g.firstRow = first + h;
        const size_t needed = 3 * (last - first + 1);
        if (!source.read(rows.data() + held * step, step, needed - held)) return false;
        bandBgr(g, first, last, metric, out, s);
        std::memmove(rows.data(), rows.data() + (needed - 3) * step, 3 * step);
        held = 3;
    }
    if (!source.finish()) return false;
    addCounts(s, out);
    finishPass(out);
    return true;
}

void thresholdRows(const float* metric, size_t count, float t, unsigned char* out) {
    // In slices of 64 Ki values, a few per core.
    constexpr size_t kSlice = size_t{1} << 16;
    const long slices = static_cast<long>((count + kSlice - 1) / kSlice);
#pragma omp parallel for schedule(static) if (slices > 1)
    for (long s = 0; s < slices; ++s) {
        const size_t begin = static_cast<size_t>(s) * kSlice;
        thresholdSlice(metric + begin, std::min(kSlice, count - begin), t, out + begin);
    }
}

}  // namespace roughgc::detail

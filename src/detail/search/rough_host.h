// Host-side steps of the rough contour pipeline: the metric histogram, the
// quantile table of thresholds, and the box-counting dimension estimate.
#pragma once

#include <cstddef>
#include <vector>

namespace roughgc::detail {

// Side of the coarse boxes of the box count; the fine ones have half of it.
constexpr int kBoxSide = 8;
constexpr int kFineBoxSide = kBoxSide / 2;
// Box indices are taken by shifts, and a coarse box is 2 x 2 fine ones.
static_assert(kFineBoxSide > 0 && (kFineBoxSide & (kFineBoxSide - 1)) == 0 && kBoxSide == 2 * kFineBoxSide,
              "box sides are powers of two, the coarse twice the fine");
// Bins of the metric histogram, and entries of the quantile table.
constexpr int kTableSize = 2048;

// The width of the metric histogram's bins: (150 - 4) / size.
float metricBinWidth(int size);

// The histogram bin of a metric value: its quotient by the bin width,
// truncated toward zero, or -1 when that falls outside 0 .. size - 1 or the
// value is not a number.
inline int metricBin(float value, float width, int size) {
    const float q = value / width;
    // Truncation toward zero gives a bin in 0 .. size - 1 exactly for
    // -1 < q < size; this also leaves out NaNs and infinities. Written
    // without a branch, so that a loop over a row is vectorised.
    return static_cast<int>(q > -1.0f && q < static_cast<float>(size) ? q : -1.0f);
}

// Counts the rows x cols metric values into `size` bins of width
// (150 - 4) / size, starting at 0: bin = value / width, truncated. Values
// whose bin would fall outside 0 .. size - 1, and NaNs, are not counted.
// Fills hist[0 .. size - 1] and cnt[0], the number of counted values.
void metricHistogram(const float* metric, size_t rows, size_t cols, int* hist, int* cnt, int size);

// The quantile table: quantiles[j] is the value below which (j + 1) / size of
// the counted values lie, interpolated linearly inside a bin. Every entry is
// written and the table is non-decreasing; it is all NaN when nothing was
// counted.
void quantileTable(const int* hist, const int* cnt, float* quantiles, int size);

// The least-squares line y = theta[0] x + theta[1] through the points
// (x[j], y[j]), solved through the explicit inverse of the 2 x 2 normal
// matrix in single precision, for as many points as both vectors hold: the
// C interface's NormalEquations2d.
std::vector<float> leastSquaresLine(const std::vector<float>& y, const std::vector<float>& x);

// The box-counting dimension of a map with `coarse` occupied boxes of side
// `side` and `fine` occupied boxes of side side / 2: the slope of the
// least-squares line through (ln(1/side), ln coarse) and (ln(2/side), ln fine).
float dimensionEstimate(int coarse, int fine, int side);

}  // namespace roughgc::detail

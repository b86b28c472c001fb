// Host-side arithmetic of the rough contour pipeline. Every operation is
// single precision in a fixed order, so the results are the same to the bit
// whichever backend runs the kernels.
#include "detail/search/rough_host.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace roughgc::detail {

namespace {

// The metric range that the histogram covers; only the width of the range
// matters, as bins start at 0.
constexpr float kMetricMax = 150.0f;
constexpr float kMetricMin = 4.0f;

}  // namespace

float metricBinWidth(int size) { return (kMetricMax - kMetricMin) / static_cast<float>(size); }

void metricHistogram(const float* metric, size_t rows, size_t cols, int* hist, int* cnt, int size) {
    const float len = metricBinWidth(size);
    std::fill(hist, hist + size, 0);
    int counted = 0;
    // Rows are shared out over the cores, each counting into bins of its
    // own; integer counts merge to the same result in any order.
#pragma omp parallel if (rows * cols >= (size_t{1} << 18))
    {
        std::vector<int> local(size, 0);
        int localCount = 0;
#pragma omp for schedule(static) nowait
        for (long i = 0; i < static_cast<long>(rows); ++i) {
            const float* row = metric + static_cast<size_t>(i) * cols;
            for (size_t j = 0; j < cols; ++j) {
                const int bin = metricBin(row[j], len, size);
                if (bin < 0) continue;
                ++local[bin];
                ++localCount;
            }
        }
#pragma omp critical
        {
            for (int b = 0; b < size; ++b) hist[b] += local[b];
            counted += localCount;
        }
    }
    cnt[0] = counted;
}

void quantileTable(const int* hist, const int* cnt, float* quantiles, int size) {
    const float len = metricBinWidth(size);
    const float step = static_cast<float>(1.0 / size);  // 1/2048 is exact
    const float last = static_cast<float>(size) * step;
    int sum = 0;
    float s = step;
    int count = 0;
    for (int i = 0; i < size; ++i) {
        sum += hist[i];
        // The fractions s, s + step, ... that bins 0 .. i hold, each one
        // entered once, in the first bin whose cumulative count reaches it.
        for (float k = s; k <= last && count < size; k += step) {
            const float b = static_cast<float>(cnt[0]) * k;
            if (b > static_cast<float>(sum)) {
                s = k;
                break;
            }
            const float inBin = (b - static_cast<float>(sum - hist[i])) / static_cast<float>(hist[i]);
            quantiles[count] = inBin * len + static_cast<float>(i) * len;
            ++count;
        }
        if (count >= size) break;
    }
}

float dimensionEstimate(int coarse, int fine, int side) {
    // Keyed by ln(1 / side): the coarse point comes first.
    std::map<float, float> points;
    const std::pair<float, float> elem1(static_cast<float>(std::log(1.0 / side)),
                                        static_cast<float>(std::log(static_cast<double>(coarse))));
    const std::pair<float, float> elem2(static_cast<float>(std::log(1.0 / (side / 2))),
                                        static_cast<float>(std::log(static_cast<double>(fine))));
    points.insert(elem1);
    points.insert(elem2);
    std::vector<float> y(points.size(), 0.0f), x(points.size(), 0.0f);
    unsigned int c = 0;
    for (const auto& [key, value] : points) {
        y[c] = value;
        x[c] = key;
        ++c;
    }
    return leastSquaresLine(y, x)[0];
}

std::vector<float> leastSquaresLine(const std::vector<float>& y, const std::vector<float>& x) {
    // Points come in pairs; a shorter y limits the fit to the points it has.
    const size_t n = std::min(x.size(), y.size());

    float xtx[2][2] = {{0.0f, 0.0f}, {0.0f, 0.0f}};
    for (size_t j = 0; j < n; ++j) {
        xtx[0][1] += x[j];
        xtx[0][0] += x[j] * x[j];
    }
    xtx[1][0] = xtx[0][1];
    xtx[1][1] = static_cast<float>(n);

    // The explicit 2 x 2 inverse; the determinant is not guarded.
    float xtxInv[2][2] = {{0.0f, 0.0f}, {0.0f, 0.0f}};
    const float det = xtx[1][1] * xtx[0][0] - xtx[0][1] * xtx[1][0];
    const float d = 1.0f / det;
    xtxInv[0][0] = xtx[1][1] * d;
    xtxInv[0][1] = -xtx[0][1] * d;
    xtxInv[1][0] = -xtx[1][0] * d;
    xtxInv[1][1] = xtx[0][0] * d;

    std::vector<std::vector<float>> xtxInvxt(2, std::vector<float>(n, 0.0f));
    for (int i = 0; i < 2; ++i)
        for (size_t j = 0; j < n; ++j) xtxInvxt[i][j] = x[j] * xtxInv[i][0] + xtxInv[i][1];

    std::vector<float> theta = {0.0f, 0.0f};
    for (int i = 0; i < 2; ++i)
        for (size_t j = 0; j < n; ++j) theta[i] += xtxInvxt[i][j] * y[j];
    return theta;
}

}  // namespace roughgc::detail

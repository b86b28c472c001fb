#include "detail/search/box_search.h"

#include <cmath>

#include "detail/pixel/row_clones.h"
#include "detail/search/rough_host.h"

namespace roughgc::detail {

namespace {

ROUGHGC_ROW_CLONES void fineBoxRows(const float* metric, size_t cols, size_t first, size_t last, size_t boxes,
                                    float* out) {
    for (size_t r = first; r < last; ++r) fineBoxMaximaRow(metric + kFineBoxSide * r * cols, cols, boxes, out + r * boxes);
}

ROUGHGC_ROW_CLONES int countOccupied(const float* maxima, size_t count, float t) {
    int occupied = 0;
    for (size_t i = 0; i < count; ++i) occupied += !(maxima[i] < t);
    return occupied;
}

}  // namespace

void boxMaxima(const float* metric, size_t rows, size_t cols, BoxMaxima& out) {
    const size_t tHeight = rows / kBoxSide, tWidth = cols / kBoxSide;
    out.tHeight = tHeight;
    out.tWidth = tWidth;
    out.fine.resize(4 * tHeight * tWidth);
    out.coarse.resize(tHeight * tWidth);
    const long fineRows = static_cast<long>(2 * tHeight);
#pragma omp parallel for schedule(static) if (rows * cols >= (size_t{1} << 18))
    for (long r = 0; r < fineRows; ++r)
        fineBoxRows(metric, cols, static_cast<size_t>(r), static_cast<size_t>(r) + 1, 2 * tWidth, out.fine.data());
    coarseBoxMaxima(out);
}

void coarseBoxMaxima(BoxMaxima& boxes) {
    const size_t tHeight = boxes.tHeight, tWidth = boxes.tWidth;
    for (size_t r = 0; r < tHeight; ++r)
        for (size_t c = 0; c < tWidth; ++c) {
            const float* top = boxes.fine.data() + 2 * r * 2 * tWidth + 2 * c;
            const float* bottom = top + 2 * tWidth;
            boxes.coarse[r * tWidth + c] = boxMaximum(boxMaximum(top[0], top[1]), boxMaximum(bottom[0], bottom[1]));
        }
}

int occupiedBoxes(const std::vector<float>& maxima, float t) { return countOccupied(maxima.data(), maxima.size(), t); }

SearchTrace searchOnBoxMaxima(const BoxMaxima& boxes, const float* quantiles, int size, float dim, float eps) {
    return bisectQuantileTable(size, dim, eps, [&](int index, SearchTrace& trace) {
        trace.coarseBoxes = occupiedBoxes(boxes.coarse, quantiles[index]);
        trace.fineBoxes = occupiedBoxes(boxes.fine, quantiles[index]);
        trace.dimension = dimensionEstimate(trace.coarseBoxes, trace.fineBoxes, kBoxSide);
    });
}

}  // namespace roughgc::detail

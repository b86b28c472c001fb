#include "detail/box_search.h"

#include <cmath>
#include <limits>

#include "detail/pixel_math.cuh"
#include "detail/rough_host.h"

namespace roughgc::detail {

namespace {

#define ROUGHGC_ROW_CLONES __attribute__((target_clones("avx2", "default")))

// The maxima of one row of fine boxes: four map rows, four pixels a box.
ROUGHGC_ROW_CLONES void fineBoxRow(const float* rows, size_t cols, size_t boxes, float* out) {
    constexpr float kLowest = -std::numeric_limits<float>::infinity();
    for (size_t b = 0; b < boxes; ++b) {
        float m = kLowest;
        for (size_t y = 0; y < 4; ++y) {
            const float* p = rows + y * cols + 4 * b;
            m = boxMaximum(m, boxMaximum(boxMaximum(p[0], p[1]), boxMaximum(p[2], p[3])));
        }
        out[b] = m;
    }
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
        fineBoxRow(metric + 4 * static_cast<size_t>(r) * cols, cols, 2 * tWidth,
                   out.fine.data() + static_cast<size_t>(r) * 2 * tWidth);
    // A coarse box is four fine ones.
    for (size_t r = 0; r < tHeight; ++r)
        for (size_t c = 0; c < tWidth; ++c) {
            const float* top = out.fine.data() + 2 * r * 2 * tWidth + 2 * c;
            const float* bottom = top + 2 * tWidth;
            out.coarse[r * tWidth + c] = boxMaximum(boxMaximum(top[0], top[1]), boxMaximum(bottom[0], bottom[1]));
        }
}

int occupiedBoxes(const std::vector<float>& maxima, float t) { return countOccupied(maxima.data(), maxima.size(), t); }

SearchTrace searchOnBoxMaxima(const BoxMaxima& boxes, const float* kvant, int size, float dim, float eps) {
    int begin = 0;
    int end = size - 1;
    int sr = static_cast<int>(size * 0.5);
    int count = 0;
    SearchTrace trace;
    auto evaluate = [&] {
        trace.indices.push_back(sr);
        trace.coarseBoxes = occupiedBoxes(boxes.coarse, kvant[sr]);
        trace.fineBoxes = occupiedBoxes(boxes.fine, kvant[sr]);
        trace.dimension = dimensionEstimate(trace.coarseBoxes, trace.fineBoxes, kBoxSide);
    };
    evaluate();
    // The moves of thresholdSearch, to the letter.
    while (std::fabs(trace.dimension - dim) > eps && count <= 10) {
        ++count;
        if (trace.dimension > dim) {
            begin = sr;
        } else {
            end = sr;
        }
        sr = static_cast<int>((begin + end) * 0.5);
        evaluate();
    }
    return trace;
}

}  // namespace roughgc::detail

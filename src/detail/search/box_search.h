// The threshold search on box maxima: the same bisection as the evaluation
// passes (search.h), with the same indices, counts, estimates and moves,
// but each candidate counted over the boxes' largest metric values instead
// of thresholding the map and counting its boxes with kernels.
//
// A box is occupied at threshold t exactly when some pixel is rough there,
// !(metric < t): exactly when !(maximum < t), a NaN counting as the largest
// value. So one pass over the metric map gives every box's maximum, and a
// candidate costs a count over about a sixteenth of the map.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "detail/pixel/pixel_math.cuh"
#include "detail/search/bisection.h"
#include "detail/search/rough_host.h"

namespace roughgc::detail {

// The largest metric value of every box of side kFineBoxSide (fine) and
// kBoxSide (coarse) of
// the box grids that the evaluation pass examines: 2 tHeight x 2 tWidth and
// tHeight x tWidth boxes over the map's top-left 8 tHeight x 8 tWidth
// pixels, tHeight = rows / 8, tWidth = cols / 8.
struct BoxMaxima {
    std::vector<float> fine, coarse;
    size_t tHeight = 0, tWidth = 0;
};

// Of a rows x cols metric map (rows of `cols` floats).
void boxMaxima(const float* metric, size_t rows, size_t cols, BoxMaxima& out);

// The maxima of one row of fine boxes: `boxes` boxes of four pixels in each
// of four map rows, the first at `rows`.
static_assert(kFineBoxSide == 4, "a fine box's row is read as four values");
__attribute__((always_inline)) inline void fineBoxMaximaRow(const float* rows, size_t cols, size_t boxes, float* out) {
    for (size_t b = 0; b < boxes; ++b) {
        float m = -std::numeric_limits<float>::infinity();
        for (size_t y = 0; y < kFineBoxSide; ++y) {
            const float* p = rows + y * cols + kFineBoxSide * b;
            m = boxMaximum(m, boxMaximum(boxMaximum(p[0], p[1]), boxMaximum(p[2], p[3])));
        }
        out[b] = m;
    }
}

// The coarse maxima from the fine ones: a coarse box is four fine boxes.
void coarseBoxMaxima(BoxMaxima& boxes);

// Boxes occupied at threshold t.
int occupiedBoxes(const std::vector<float>& maxima, float t);

// thresholdSearch's bisection of the quantile table on the maxima; the map
// of the final index is left to the caller.
SearchTrace searchOnBoxMaxima(const BoxMaxima& boxes, const float* quantiles, int size, float dim, float eps);

}  // namespace roughgc::detail

// The threshold search by evaluation passes: each candidate table index is
// evaluated by kernels (threshold the metric map, count the occupied boxes
// at two sides), and the index is bisected toward the target
// (bisection.h). The reference route; box_search.h is the other.
#pragma once

#include <cstddef>

#include "detail/search/bisection.h"
#include "gpu_runtime.h"

namespace roughgc::detail {

class StageTimes;

// The device buffers and sizes of the search. The maps have
// mHeight - window rows of mWidth - window elements; coarseBoxes holds one
// byte per box of side 8, fineBoxes one per box of side 4; counts two
// counters.
struct RoughPassBuffers {
    float* metric;
    uchar* binaryMap;
    float* quantiles;
    uchar* coarseBoxes;
    uchar* fineBoxes;
    int* counts;
    size_t mHeight, mWidth, window;
};

// The binary map of a rows x cols metric map at quantiles[index]: blocks of
// 32 x 32 threads over the map. Launch only.
void launchThreshold(float* metric, uchar* binaryMap, float* quantiles, size_t rows, size_t cols, int index);

// One evaluation of table index `index`: thresholds the metric into
// binaryMap and adds the occupied boxes of side 8 to counts[0] and of side 4
// to counts[1]. Seven launches, each followed by a device check on `stop`.
void evaluationPass(const RoughPassBuffers& b, int index, cudaEvent_t stop);

// Bisects the quantile table (size entries, uploaded to b.quantiles here)
// for a map whose box-counting dimension lies within eps of dim, for at most
// eleven moves from the middle index. `counts` is the host copy of the two
// counters. The map of the last index is left in b.binaryMap. Marks each
// pass in `times` when it is not null.
SearchTrace thresholdSearch(const RoughPassBuffers& b, int* counts, const float* quantiles, int size, float dim,
                            float eps, cudaEvent_t stop, StageTimes* times = nullptr);

// Loads the search's kernels ahead of their first launch (see FirstRun).
void loadSearchKernels();

}  // namespace roughgc::detail

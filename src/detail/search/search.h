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

// The device buffers and sizes of the search. The maps have mHeight - kc2
// rows of mWidth - kc2 elements; d_temp1 holds one byte per box of side 8,
// d_temp2 one per box of side 4; d_res two counters.
struct RoughPassBuffers {
    float* devContMatr;
    uchar* d_out;
    float* d_kvant;
    uchar* d_temp1;
    uchar* d_temp2;
    int* d_res;
    size_t mHeight, mWidth, kc2;
};

// The binary map of a rows x cols metric map at kvant[index]: blocks of
// 32 x 32 threads over the map. Launch only.
void launchThreshold(float* devContMatr, uchar* d_out, float* d_kvant, size_t rows, size_t cols, int index);

// One evaluation of table index sr: thresholds the metric into d_out and
// adds the occupied boxes of side 8 to d_res[0] and of side 4 to d_res[1].
// Seven launches, each followed by a device check on `stop`.
void evaluationPass(const RoughPassBuffers& b, int sr, cudaEvent_t stop);

// Bisects the quantile table (size entries, uploaded to d_kvant here) for a
// map whose box-counting dimension lies within eps of dim, for at most
// eleven moves from the middle index. res is the host copy of the two
// counters. The map of the last index is left in d_out. Marks each pass in
// `times` when it is not null.
SearchTrace thresholdSearch(const RoughPassBuffers& b, int* res, const float* kvant, int size, float dim, float eps,
                            cudaEvent_t stop, StageTimes* times = nullptr);

// Loads the search's kernels ahead of their first launch (see FirstRun).
void loadSearchKernels();

}  // namespace roughgc::detail

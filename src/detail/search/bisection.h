// The bisection of the quantile table toward a target dimension, written
// once for both ways of evaluating a candidate: the evaluation passes
// (search.h) and the count on box maxima (box_search.h).
#pragma once

#include <cmath>
#include <vector>

namespace roughgc::detail {

// What the search did: the table indices it evaluated, in order, and the
// last pass's box counts and dimension estimate.
struct SearchTrace {
    std::vector<int> indices;
    float dimension;
    int coarseBoxes, fineBoxes;  // the last pass's counts at sides 8 and 4
};

// The bisection of a quantile table of `size` entries, whichever way the
// candidates are evaluated: from the middle index, for at most eleven moves,
// while the estimate lies farther than eps from dim (a NaN estimate ends
// it). `evaluate(index, trace)` sets the trace's counts and estimate for
// `index`, already appended to trace.indices.
template <class Evaluate>
SearchTrace bisectQuantileTable(int size, float dim, float eps, Evaluate evaluate) {
    int begin = 0;
    int end = size - 1;
    int index = static_cast<int>(size * 0.5);
    SearchTrace trace;
    const auto visit = [&] {
        trace.indices.push_back(index);
        evaluate(index, trace);
    };
    visit();
    for (int count = 0; std::fabs(trace.dimension - dim) > eps && count <= 10;) {
        ++count;
        // Above the target: too many rough boxes, so raise the threshold.
        if (trace.dimension > dim) {
            begin = index;
        } else {
            end = index;
        }
        index = static_cast<int>((begin + end) * 0.5);
        visit();
    }
    return trace;
}

}  // namespace roughgc::detail

// The image sizes and windows that the rough contour pipeline takes.
#pragma once

#include <cstddef>
#include <string>

namespace roughgc::detail {

// The largest metric window: with a larger one even the smallest accepted
// square image would have more than INT_MAX pixels.
constexpr size_t kMaxRoughWindow = 15438;

// Smallest image side for metric window `window` (both box grids need at least one box
// in each direction); SIZE_MAX for a window above kMaxRoughWindow.
size_t roughMinimumSide(size_t window);

// Empty if the pipeline takes a height x width image with metric window `window`;
// otherwise the one line (without its newline) saying why not. The limits:
// 1 <= window <= kMaxRoughWindow; both sides at least roughMinimumSide(window);
// at most INT_MAX pixels, for 32-bit indices; at most 3145679 rows, so that
// no launch needs more than the 65535 blocks a GPU allows in y. Any size_t
// values may be passed: nothing wraps around.
std::string roughImageSizeProblem(size_t height, size_t width, size_t window);

}  // namespace roughgc::detail

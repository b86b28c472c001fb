// The image sizes and windows that the rough contour pipeline takes.
#pragma once

#include <cstddef>
#include <optional>
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

// A photo size and window that roughImageSizeProblem takes, with the sizes
// of the grids and maps that follow from them.
struct RoughGeometry {
    size_t height, width, window;
    size_t mHeight, mWidth;   // the averaged grid: a point per 3 x 3 block
    size_t rows, cols;        // the metric and binary maps: mHeight - window x mWidth - window
    size_t boxRows, boxCols;  // the grid of coarse boxes (side kBoxSide) over the maps

    size_t mapPixels() const { return rows * cols; }
};

// The geometry of a height x width photo with window `window`; nothing, with
// roughImageSizeProblem's line in `problem` where it is given, for a size or
// window that it refuses.
std::optional<RoughGeometry> roughGeometry(size_t height, size_t width, size_t window,
                                           std::string* problem = nullptr);

}  // namespace roughgc::detail

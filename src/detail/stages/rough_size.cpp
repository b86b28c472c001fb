#include "detail/stages/rough_size.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "detail/device/launch.h"
#include "detail/search/rough_host.h"

namespace roughgc::detail {

namespace {

// The averaging launch has blocks of 16 rows over the averaged grid, whose
// rows are three image rows each; the other launches are shorter.
constexpr size_t kMaxRoughImageRows = 3 * maxGridRows(16) + 2;
static_assert(3 * (kMaxRoughWindow + kBoxSide) <= 46340 && 3 * (kMaxRoughWindow + 1 + kBoxSide) > 46340,
              "the largest window whose smallest square image has at most INT_MAX pixels");

std::string formatted(const char* format, auto... values) {
    char line[256];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

}  // namespace

size_t roughMinimumSide(size_t window) { return window > kMaxRoughWindow ? SIZE_MAX : 3 * (window + kBoxSide); }

std::string roughImageSizeProblem(size_t height, size_t width, size_t window) {
    if (window == 0) return "(!) The metric window must be at least 1 averaged pixel, not 0";
    if (window > kMaxRoughWindow)
        return formatted("(!) The metric window must be at most %zu averaged pixels, not %zu", kMaxRoughWindow, window);
    const size_t side = roughMinimumSide(window);
    if (height < side || width < side)
        return formatted("(!) Image too small: %zu x %zu pixels; at least %zu x %zu needed", width, height, side, side);
    if (height > INT_MAX / width)
        return formatted("(!) Image too large: %zu x %zu pixels; at most %d pixels supported", width, height, INT_MAX);
    if (height > kMaxRoughImageRows)
        return formatted("(!) Image too tall: %zu x %zu pixels; at most %zu rows supported", width, height,
                         kMaxRoughImageRows);
    return "";
}

std::optional<RoughGeometry> roughGeometry(size_t height, size_t width, size_t window, std::string* problem) {
    std::string refusal = roughImageSizeProblem(height, width, window);
    if (!refusal.empty()) {
        if (problem != nullptr) *problem = std::move(refusal);
        return std::nullopt;
    }
    const size_t mHeight = height / 3, mWidth = width / 3, rows = mHeight - window, cols = mWidth - window;
    return RoughGeometry{height, width, window, mHeight, mWidth, rows, cols, rows / kBoxSide, cols / kBoxSide};
}

}  // namespace roughgc::detail

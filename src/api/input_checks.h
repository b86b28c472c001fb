// Checks that the library's face makes on the matrices it is given.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "roughgc/errors.hpp"

namespace roughgc::detail {

// Throws InputError "(!) WHAT must be DEMAND, not TYPE" unless `ok`.
void requireType(bool ok, const char* what, const char* demand, const cv::Mat& m);

// The refusal of a file that is not a readable photo, as readPhoto and
// extractFile word it: "(!) Error reading image: PATH".
InputError unreadablePhoto(const std::string& path);

// The matrix as one block of rows without padding: `m` itself when it is
// one already, otherwise a copy.
cv::Mat continuous(const cv::Mat& m);

}  // namespace roughgc::detail

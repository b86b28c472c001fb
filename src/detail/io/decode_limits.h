// OpenCV's limits on the size of an image it decodes: 2^30 pixels and 2^20
// on a side, unless OPENCV_IO_MAX_IMAGE_PIXELS, OPENCV_IO_MAX_IMAGE_WIDTH or
// OPENCV_IO_MAX_IMAGE_HEIGHT say otherwise. Every decoding route refuses
// what cv::imread refuses under them.
#pragma once

#include <cstddef>
#include <string>

namespace roughgc::detail {

// Why the limits cannot be known: one of the variables holds a value that
// OpenCV does not read (it stops the process when its image codecs load),
// such as "1M" or "": the line that says so. Empty when they are fine.
std::string decodeLimitsProblem();

// Whether OpenCV decodes an image of `width` x `height` pixels. Nothing is
// within limits that cannot be known.
bool withinDecodeLimits(size_t width, size_t height);

// The line that refuses a photo of that size, as too large to decode: "(!)
// Image too large to decode: W x H pixels; at most N pixels and M on a
// side".
std::string decodeLimitProblem(size_t width, size_t height);

// A value of those variables as OpenCV reads it: decimal digits, then
// nothing, "KB", "Kb" or "kb" (times 1024) or "MB", "Mb" or "mb" (times
// 2^20), wrapping as OpenCV's arithmetic wraps. False for anything else.
bool parseOpenCvSize(const char* text, size_t& value);

}  // namespace roughgc::detail

// Files written whole or not at all.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <string>

namespace roughgc::detail {

// Writes `size` bytes to `path` so that the file is either the complete new
// content or, on failure, exactly what was there before (nothing, if there
// was nothing): the bytes go to a temporary file beside the target, which is
// renamed over it only once every write and the close have succeeded. A
// symbolic link is followed to the file it names, and the link is kept. A
// target that exists but is not a regular file writable by the caller (a
// directory, a pipe, a device) is refused without being opened, so a pipe
// with no reader cannot block the call. On failure returns false with the
// reason, one line, in `why`, and errno set to the reason's error number (0
// where the reason is not a system error).
bool writeFileWhole(const std::string& path, const void* data, size_t size, std::string& why);

// `image` encoded by OpenCV in the format of `extension` (".bmp", ".png",
// ...) and written with writeFileWhole. An image the encoder refuses fails
// with its reason, one line.
bool writeImageFile(const cv::Mat& image, const std::string& extension, const std::string& path, std::string& why);

// A rows x cols map of bytes, rows stored one after another, encoded as an
// 8-bit grey BMP and written with writeFileWhole.
bool writeGreyBmp(const unsigned char* map, int rows, int cols, const std::string& path, std::string& why);

}  // namespace roughgc::detail

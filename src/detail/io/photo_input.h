// Decoding of the photo that the tool is given.
#pragma once

#include <cstddef>
#include <functional>
#include <opencv2/core.hpp>
#include <string>

namespace roughgc::detail {

// The most bytes read from a photo that is not a regular file (a pipe, a
// character device): enough for any photo, and a stop for endless sources
// such as /dev/zero.
constexpr size_t kMaxStreamedPhotoBytes = size_t{1} << 30;

// The photo at `path` as 8-bit BGR pixels in one continuous block, or an
// empty matrix if it cannot be read or decoded. Grey and four-channel files
// come out as three channels, and EXIF orientation is applied, as
// cv::imread(path, IMREAD_COLOR) does. Regular files are decoded by
// cv::imread itself; pipes and character devices are read once, to their
// end (at most kMaxStreamedPhotoBytes), into an unnamed file in memory that
// cv::imread then decodes (cv::imread of the pipe itself would open it twice
// and wait forever for the second writer), so that the same bytes give the
// same pixels whichever way they come.
//
// A named pipe that nobody writes to yet is waited for. With
// `stopRequested`, the wait is given up within about 100 ms of its
// returning true (it is asked between steps of the wait, and while a pipe
// has nothing to read): the result is then empty and `*interrupted`, if
// given, true. `*interrupted` is false whenever the photo was read to the
// end or failed for another reason.
cv::Mat readPhoto(const std::string& path, const std::function<bool()>& stopRequested = {},
                  bool* interrupted = nullptr);

enum class StreamEnd { Complete, Failed, Interrupted };

// Everything the non-blocking descriptor `fd` yields up to its end, handed
// to `append` a read buffer at a time (at most limit + 1 bytes are read).
// Failed if reading or `append` fails or the stream is longer than `limit`,
// or nothing came. A FIFO (`waitsForWriter`) is waited for as readPhoto
// waits, Interrupted when `stopRequested` says so.
StreamEnd readToEnd(int fd, bool waitsForWriter, size_t limit, const std::function<bool()>& stopRequested,
                    const std::function<bool(const unsigned char*, size_t)>& append);

// For a photo that readPhoto could not read: the line that refuses it as too
// large to decode, when its header announces a size over OpenCV's limits;
// empty otherwise.
std::string decodeLimitProblemOfFile(const std::string& path);

// An encoded photo in memory, decoded as readPhoto decodes it: as a file.
cv::Mat decodePhoto(const unsigned char* bytes, size_t size);

}  // namespace roughgc::detail

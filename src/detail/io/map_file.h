// Files written whole or not at all.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <string>

namespace roughgc::detail {

// Writes `size` bytes to `path` so that the file is either the complete new
// content or, on failure, exactly what was there before (nothing, if there
// was nothing): the bytes go to an unnamed file in the target's folder (or,
// where the file system has none, to a file with a short random name
// there), which is linked to the target's name or renamed over it only once
// complete. The temporary's name never depends on the target's, so any
// legal name can be written. A symbolic link is followed to the file it
// names, and the link is kept. A target that exists but is not a regular
// file writable by the caller (a directory, a pipe, a device) is refused
// without being opened, so a pipe with no reader cannot block the call. On
// failure returns false with the reason, one line, in `why`, and errno set
// to the reason's error number (0 where the reason is not a system error).
// Safe to call from many threads at once.
// `durable`: the new file is flushed to disk before it gets the name, and
// the folder after, so that this holds across a crash of the machine too;
// should flushing the folder fail, the call fails with that error, though
// the new content already has the name. Not durable: nothing is flushed,
// for files that are cheaper to make again than to flush one by one (a
// crash of the machine, not of the process, may then leave an empty or
// partial file under the name).
bool writeFileWhole(const std::string& path, const void* data, size_t size, std::string& why, bool durable = true);

// How a map is encoded, from its path's extension, as cv::imwrite chooses:
// the letters and digits after the last dot of its name, in any case.
struct MapFormat {
    enum Kind { Bmp, Png, Codecs } kind = Codecs;
    std::string extension;  // ".bmp", ".tif": those letters, in lower case
    // Why no map can be written there, in one line: no such format, or
    // one whose encoder is OpenCV's and the codecs are not installed. Empty
    // when one can.
    std::string refusal;
};
MapFormat mapFormatOf(const std::string& path);

// `image` encoded in `format` and written with writeFileWhole: BMP (of a
// grey image) and PNG with the bytes cv::imencode gives, here; any other
// format by OpenCV itself, in the codec plugin. An image the encoder
// refuses fails with its reason, one line.
bool writeImageFile(const cv::Mat& image, const MapFormat& format, const std::string& path, std::string& why);

// A rows x cols map of bytes, rows stored one after another, encoded as an
// 8-bit grey BMP and written with writeFileWhole.
bool writeGreyBmp(const unsigned char* map, int rows, int cols, const std::string& path, std::string& why);

// The same map encoded as a 1-bit grey PNG (see encodeBilevelPng), rows
// `step` bytes apart, and written with writeFileWhole.
bool writeBilevelPng(const unsigned char* map, size_t step, int rows, int cols, const std::string& path,
                     std::string& why);

// Removes every named temporary that a writeFileWhole in flight in this
// process has made, for a signal handler about to end the process at once.
// (On most file systems a write has one only for the moment between linking
// the finished file and renaming it; an unnamed file goes with the process.)
// Async-signal-safe: it uses lock-free atomics, nanosleep and unlink,
// nothing else, and leaves errno as it was. It is for a process about to
// end: from then on no writer makes a name (one about to make one waits
// for the end), and one making a name meanwhile is waited for (at most a
// second) so that its name is removed too.
// Names are kept in 64 slots: a 65th writer at once waits for a free one.
void removeTemporaryFiles() noexcept;

}  // namespace roughgc::detail

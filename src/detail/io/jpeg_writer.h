// Pictures (overlays) written as JPEG files by libjpeg itself: the library
// and the tool link OpenCV's core alone, not its image codecs.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace roughgc::detail {

// The image of `rows` x `cols` 8-bit BGR pixels, rows `step` bytes apart
// from `pixels` on, encoded as a baseline JFIF file of `quality` (1 to
// 100), its colour sampled at half the resolution in both directions
// (4:2:0), with the exact integer transform: the same pixels give the same
// bytes on every machine. Into `out`, which is replaced. False, with the
// reason in `why` and `out` empty, for a quality outside 1 to 100 or an
// image libjpeg refuses (more than 65500 pixels a side). Throws
// std::bad_alloc where memory runs out.
bool encodeJpeg(const unsigned char* pixels, size_t step, int rows, int cols, int quality,
                std::vector<unsigned char>& out, std::string& why);

// `bgr` (CV_8UC3, any row step) encoded by encodeJpeg and written with
// writeFileWhole: `path` holds the whole picture or what it held before.
// False on failure, with the reason in `why` and errno set as
// writeFileWhole sets it (0 where the encoder refused the image). Not
// `durable`: not flushed to the disk (see writeFileWhole).
bool writeJpeg(const cv::Mat& bgr, int quality, const std::string& path, std::string& why, bool durable = true);

}  // namespace roughgc::detail

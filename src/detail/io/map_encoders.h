// Maps encoded in memory with the bytes cv::imencode gives them, without
// OpenCV's image codecs: BMP by hand, PNG with libpng.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace roughgc::detail {

// The image of `rows` x `cols` 8-bit grey pixels, rows `step` bytes apart
// from `pixels` on, encoded as cv::imencode(".bmp") encodes it: into `out`,
// which is replaced. `rows` and `cols` are at least 1.
void encodeGreyBmp(const unsigned char* pixels, size_t step, int rows, int cols, std::vector<unsigned char>& out);

// The image of `rows` x `cols` 8-bit pixels of `channels` (1 grey, 3 BGR
// or 4 BGRA), rows `step` bytes apart, encoded as cv::imencode(".png")
// with no parameters encodes it: into `out`, which is replaced. False, with
// libpng's reason in `why`, where libpng fails. Throws std::bad_alloc where
// memory runs out.
bool encodePng(const unsigned char* pixels, size_t step, int rows, int cols, int channels,
               std::vector<unsigned char>& out, std::string& why);

// A map of `rows` x `cols` bytes, 0 black and any other value white, rows
// `step` bytes apart, encoded as a 1-bit grey PNG (lossless for a map of 0
// and 255, which it decodes to): into `out`, which is replaced. False, with
// libpng's reason in `why`, where libpng fails. Throws std::bad_alloc where
// memory runs out.
bool encodeBilevelPng(const unsigned char* pixels, size_t step, int rows, int cols, std::vector<unsigned char>& out,
                      std::string& why);

}  // namespace roughgc::detail

// The size of a photo read from its file's header, without decoding it, for
// the formats photos come in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace roughgc::detail {

struct PhotoDimensions {
    uint64_t width, height;
};

// The width and height that the header of an encoded photo announces, for
// JPEG, PNG, BMP, TIFF, WebP and the PNM formats; nothing for any other
// format or a header that is cut short or makes no sense. `bytes` is the
// start of the file (64 KiB hold every header these formats have, bar a
// JPEG whose metadata comes first: see photoDimensionsOfFile).
std::optional<PhotoDimensions> photoDimensions(const unsigned char* bytes, size_t size);

// The same for a regular file: reads as much of it as the header needs.
// Nothing for a file that is not regular or cannot be read.
std::optional<PhotoDimensions> photoDimensionsOfFile(const char* path);

}  // namespace roughgc::detail

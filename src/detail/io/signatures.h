// The first bytes that mark a file's format, for every reader that looks at
// them before it decodes.
#pragma once

#include <cstddef>
#include <cstring>

namespace roughgc::detail {

// Whether `bytes` begin with the PNG signature, as OpenCV takes a file for a
// PNG.
inline bool looksLikePng(const unsigned char* bytes, size_t size) {
    return size >= 8 && std::memcmp(bytes, "\x89PNG\r\n\x1a\n", 8) == 0;
}

// A RIFF container of WebP.
inline bool looksLikeWebp(const unsigned char* bytes, size_t size) {
    return size >= 12 && std::memcmp(bytes, "RIFF", 4) == 0 && std::memcmp(bytes + 8, "WEBP", 4) == 0;
}

}  // namespace roughgc::detail

// PNG files put together chunk by chunk, for the tests of the ways a photo is
// read: headers that lie, cut files, EXIF blocks before and after the rows.
#pragma once

#include <cstdint>
#include <string>

namespace png_edits {

inline std::string bigEndian32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A PNG chunk: length, type, data and the CRC-32 of type and data.
inline std::string chunk(const std::string& type, const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : type + data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return bigEndian32(static_cast<uint32_t>(data.size())) + type + data + bigEndian32(~crc);
}

inline const std::string kSignature("\x89PNG\r\n\x1a\n", 8);

// The IHDR data of an 8-bit RGB photo, not interlaced.
inline std::string rgbHeader(uint32_t width, uint32_t height) {
    return bigEndian32(width) + bigEndian32(height) + std::string{8, 2, 0, 0, 0};
}

// An EXIF block (as a PNG's eXIf chunk holds it) with one orientation entry.
inline std::string exifOrientation(int orientation) {
    // Appended piece by piece: GCC 12 warns wrongly on a string + char.
    std::string exif("MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0", 19);
    exif += static_cast<char>(orientation);
    exif.append(6, '\0');
    return exif;
}

}  // namespace png_edits

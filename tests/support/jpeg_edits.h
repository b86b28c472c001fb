// JPEG files edited as cameras and careless tools leave them, for the tests
// of the ways a photo is read.
#pragma once

#include <string>

namespace jpeg_edits {

// `jpeg` with an APP1 EXIF segment right after its start marker, holding one
// orientation entry, in Motorola (as most cameras write it) or Intel byte
// order.
inline std::string withOrientation(const std::string& jpeg, int orientation, bool intel = false) {
    std::string tiff = intel ? std::string("II\x2A\0\x08\0\0\0", 8) : std::string("MM\0\x2A\0\0\0\x08", 8);
    auto u16 = [&](unsigned v) {
        const char low = static_cast<char>(v & 0xFF), high = static_cast<char>(v >> 8);
        tiff += intel ? std::string{low, high} : std::string{high, low};
    };
    u16(1);       // entries
    u16(0x0112);  // orientation
    u16(3);       // a short
    u16(0);
    u16(1);  // one of them
    u16(static_cast<unsigned>(orientation));
    u16(0);
    tiff += std::string(4, '\0');  // no next directory
    const std::string body = std::string("Exif\0\0", 6) + tiff;
    const size_t length = body.size() + 2;
    std::string segment = "\xFF\xE1";
    segment += static_cast<char>(length >> 8);
    segment += static_cast<char>(length & 0xFF);
    return jpeg.substr(0, 2) + segment + body + jpeg.substr(2);
}

}  // namespace jpeg_edits

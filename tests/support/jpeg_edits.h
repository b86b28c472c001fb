// JPEG files edited as cameras and careless tools leave them, for the tests
// of the ways a photo is read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace jpeg_edits {

// A marker segment: the marker, its length and `body`.
inline std::string segment(unsigned char marker, const std::string& body) {
    const size_t length = body.size() + 2;
    return std::string{'\xFF', static_cast<char>(marker), static_cast<char>(length >> 8),
                       static_cast<char>(length & 0xFF)} +
           body;
}

// `jpeg` with `added` (whole segments) after its start marker and the
// `after` segments that follow it.
inline std::string withSegment(const std::string& jpeg, const std::string& added, int after = 0) {
    size_t at = 2;
    for (int i = 0; i < after; ++i)
        at += 2 + (static_cast<unsigned char>(jpeg[at + 2]) << 8 | static_cast<unsigned char>(jpeg[at + 3]));
    return jpeg.substr(0, at) + added + jpeg.substr(at);
}

// One entry of an EXIF directory: its tag, type and count, and the four
// bytes of its value field as they lie in the file.
struct ExifEntry {
    unsigned tag, type;
    uint32_t count;
    std::string value;
};

// The value field of an entry holding one short.
inline std::string shortValue(unsigned v, bool intel = false) {
    const char low = static_cast<char>(v & 0xFF), high = static_cast<char>(v >> 8);
    return intel ? std::string{low, high, '\0', '\0'} : std::string{high, low, '\0', '\0'};
}

// An APP1 EXIF segment whose only directory holds `entries`, in Motorola (as
// most cameras write it) or Intel byte order.
inline std::string exifSegment(const std::vector<ExifEntry>& entries, bool intel = false) {
    std::string tiff = intel ? std::string("II\x2A\0\x08\0\0\0", 8) : std::string("MM\0\x2A\0\0\0\x08", 8);
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            const int shift = 8 * (intel ? i : bytes - 1 - i);
            tiff += static_cast<char>(v >> shift & 0xFF);
        }
    };
    put(static_cast<uint32_t>(entries.size()), 2);
    for (const ExifEntry& e : entries) {
        put(e.tag, 2);
        put(e.type, 2);
        put(e.count, 4);
        tiff += e.value;
    }
    tiff += std::string(4, '\0');  // no next directory
    return segment(0xE1, std::string("Exif\0\0", 6) + tiff);
}

// `jpeg` with an APP1 EXIF segment right after its start marker, holding one
// orientation entry.
inline std::string withOrientation(const std::string& jpeg, int orientation, bool intel = false) {
    return withSegment(jpeg, exifSegment({{0x0112, 3, 1, shortValue(static_cast<unsigned>(orientation), intel)}}, intel));
}

// An APP1 segment holding an XMP packet, as photo editors write one after
// the EXIF segment: OpenCV reads the orientation from the first APP1 alone.
inline std::string xmpSegment() {
    return segment(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) +
                             "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                             "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
                             "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" tiff:Orientation=\"1\"/></rdf:RDF></x:xmpmeta>");
}

}  // namespace jpeg_edits

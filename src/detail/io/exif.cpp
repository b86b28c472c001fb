#include "detail/io/exif.h"

#include <cstdint>

namespace roughgc::detail {

ExifOrientation exifOrientation(const unsigned char* d, size_t n) {
    ExifOrientation found;
    // Two equal bytes 'I' mean little-endian; anything else is read as
    // big-endian, as that reader does.
    const bool intel = n >= 1 && d[0] == 'I' && !(n > 1 && d[1] != d[0]);
    auto in = [n](uint64_t at, uint64_t bytes) { return at + bytes <= n; };
    auto u16 = [&](uint64_t at) -> unsigned {
        return intel ? d[at] | d[at + 1] << 8 : d[at] << 8 | d[at + 1];
    };
    auto u32 = [&](uint64_t at) -> uint64_t {
        const uint64_t b0 = d[at], b1 = d[at + 1], b2 = d[at + 2], b3 = d[at + 3];
        return intel ? b0 | b1 << 8 | b2 << 16 | b3 << 24 : b0 << 24 | b1 << 16 | b2 << 8 | b3;
    };
    if (!in(2, 2) || u16(2) != 0x2A || !in(4, 4)) return found;
    uint64_t at = u32(4);
    if (!in(at, 2)) return found;
    const unsigned entries = u16(at);
    at += 2;
    for (unsigned e = 0; e < entries; ++e, at += 12) {
        if (!in(at, 2)) return found;
        const unsigned tag = u16(at);
        switch (tag) {
            case 0x0112:  // orientation: a short in the entry
                if (!in(at + 8, 2)) {
                    found.sure = false;
                    return found;
                }
                found.value = static_cast<int>(u16(at + 8));
                if (found.value < 1 || found.value > 8) found.value = 1;
                return found;
            // Strings: a count and an offset to the characters.
            case 0x010E: case 0x010F: case 0x0110: case 0x0131: case 0x0132: case 0x013B: case 0x8298:
                if (!in(at + 8, 4) || !in(u32(at + 8), u32(at + 4))) found.sure = false;
                break;
            // Rationals, up to six of them, at an offset.
            case 0x011A: case 0x011B: case 0x013E: case 0x013F: case 0x0211: case 0x0214:
                if (!in(at + 8, 4) || !in(u32(at + 8), 48)) found.sure = false;
                break;
            // Shorts and offsets in the entry.
            case 0x0128: case 0x0213: case 0x8769:
                if (!in(at + 8, 4)) found.sure = false;
                break;
            default:
                break;
        }
        if (!found.sure) return found;
    }
    return found;
}

}  // namespace roughgc::detail

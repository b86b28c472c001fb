#include "detail/io/photo_header.h"

#include <unistd.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "detail/io/opened_file.h"
#include "detail/io/signatures.h"

namespace roughgc::detail {

namespace {

uint32_t be16(const unsigned char* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t be32(const unsigned char* p) { return be16(p) << 16 | be16(p + 2); }
uint32_t le16(const unsigned char* p) { return static_cast<uint32_t>(p[1]) << 8 | p[0]; }
uint32_t le24(const unsigned char* p) { return static_cast<uint32_t>(p[2]) << 16 | le16(p); }
uint32_t le32(const unsigned char* p) { return le16(p + 2) << 16 | le16(p); }

std::optional<PhotoDimensions> sized(uint64_t width, uint64_t height) {
    if (width == 0 || height == 0) return std::nullopt;
    return PhotoDimensions{width, height};
}

// Walks the segments up to the first frame header (SOF0 .. SOF15 but DHT,
// JPG and DAC), which holds the height, then the width.
std::optional<PhotoDimensions> jpeg(const unsigned char* b, size_t n) {
    size_t at = 2;
    while (at + 4 <= n) {
        if (b[at] != 0xFF) return std::nullopt;
        const unsigned char marker = b[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {  // no length
            at += 2;
            continue;
        }
        const size_t length = be16(b + at + 2);
        if (length < 2) return std::nullopt;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (at + 9 > n || length < 7) return std::nullopt;
            return sized(be16(b + at + 7), be16(b + at + 5));
        }
        if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // scan or end before any frame
        at += 2 + length;
    }
    return std::nullopt;
}

std::optional<PhotoDimensions> png(const unsigned char* b, size_t n) {
    if (n < 24 || std::memcmp(b + 12, "IHDR", 4) != 0) return std::nullopt;
    return sized(be32(b + 16), be32(b + 20));
}

std::optional<PhotoDimensions> bmp(const unsigned char* b, size_t n) {
    if (n < 26) return std::nullopt;
    const uint32_t header = le32(b + 14);
    if (header == 12) return sized(le16(b + 18), le16(b + 20));
    const int32_t width = static_cast<int32_t>(le32(b + 18)), height = static_cast<int32_t>(le32(b + 22));
    // A negative height stores the rows top down.
    if (width <= 0 || height == INT32_MIN) return std::nullopt;
    return sized(static_cast<uint64_t>(width), static_cast<uint64_t>(height < 0 ? -height : height));
}

// P1 .. P6: the magic, then width and height as decimal text, with white
// space and # comments between.
std::optional<PhotoDimensions> pnm(const unsigned char* b, size_t n) {
    size_t at = 2;
    uint64_t values[2];
    for (uint64_t& v : values) {
        for (;;) {
            while (at < n && std::isspace(b[at])) ++at;
            if (at < n && b[at] == '#') {
                while (at < n && b[at] != '\n') ++at;
                continue;
            }
            break;
        }
        if (at >= n || !std::isdigit(b[at])) return std::nullopt;
        v = 0;
        while (at < n && std::isdigit(b[at])) {
            if (v > (uint64_t{1} << 40)) return std::nullopt;
            v = v * 10 + (b[at++] - '0');
        }
    }
    return sized(values[0], values[1]);
}

// The first image's ImageWidth (256) and ImageLength (257) tags.
std::optional<PhotoDimensions> tiff(const unsigned char* b, size_t n) {
    const bool little = b[0] == 'I';
    auto u16 = [&](size_t at) { return little ? le16(b + at) : be16(b + at); };
    auto u32 = [&](size_t at) { return little ? le32(b + at) : be32(b + at); };
    if (n < 8) return std::nullopt;
    const size_t ifd = u32(4);
    if (ifd > n || n - ifd < 2) return std::nullopt;
    const size_t entries = u16(ifd);
    uint64_t width = 0, height = 0;
    for (size_t e = 0; e < entries; ++e) {
        const size_t at = ifd + 2 + 12 * e;
        if (at + 12 > n) return std::nullopt;
        const uint32_t tag = u16(at), type = u16(at + 2);
        const uint64_t value = type == 3 ? u16(at + 8) : type == 4 ? u32(at + 8) : 0;
        if (tag == 256) width = value;
        if (tag == 257) height = value;
    }
    return sized(width, height);
}

std::optional<PhotoDimensions> webp(const unsigned char* b, size_t n) {
    if (n < 30) return std::nullopt;
    // The canvas's width and height less one, 24 bits each, end the 30
    // bytes of an extended header.
    if (std::memcmp(b + 12, "VP8X", 4) == 0) return sized(1 + le24(b + 24), 1 + le24(b + 27));
    if (std::memcmp(b + 12, "VP8L", 4) == 0 && b[20] == 0x2F) {
        const uint32_t bits = le32(b + 21);
        return sized(1 + (bits & 0x3FFF), 1 + ((bits >> 14) & 0x3FFF));
    }
    if (std::memcmp(b + 12, "VP8 ", 4) == 0 && b[23] == 0x9D && b[24] == 0x01 && b[25] == 0x2A)
        return sized(le16(b + 26) & 0x3FFF, le16(b + 28) & 0x3FFF);
    return std::nullopt;
}

}  // namespace

std::optional<PhotoDimensions> photoDimensions(const unsigned char* b, size_t n) {
    if (n < 4) return std::nullopt;
    if (b[0] == 0xFF && b[1] == 0xD8) return jpeg(b, n);
    if (looksLikePng(b, n)) return png(b, n);
    if (b[0] == 'B' && b[1] == 'M') return bmp(b, n);
    if (b[0] == 'P' && b[1] >= '1' && b[1] <= '6' && std::isspace(b[2])) return pnm(b, n);
    if (std::memcmp(b, "II*\0", 4) == 0 || std::memcmp(b, "MM\0*", 4) == 0) return tiff(b, n);
    if (looksLikeWebp(b, n)) return webp(b, n);
    return std::nullopt;
}

std::optional<PhotoDimensions> photoDimensionsOfFile(const char* path) {
    const OpenedFile file(path, true);
    if (!file.regular()) return std::nullopt;
    // JPEG metadata segments come before the frame header, each at most
    // 64 KiB: read more while the header is not found.
    std::optional<PhotoDimensions> found;
    std::vector<unsigned char> bytes;
    for (size_t want = size_t{64} << 10; !found && want <= (size_t{4} << 20); want *= 4) {
        const size_t had = bytes.size();
        bytes.resize(want);
        const ssize_t n = pread(file.fd(), bytes.data() + had, want - had, static_cast<off_t>(had));
        bytes.resize(had + static_cast<size_t>(n > 0 ? n : 0));
        found = photoDimensions(bytes.data(), bytes.size());
        if (n <= 0 || bytes.size() < want) break;
    }
    return found;
}

}  // namespace roughgc::detail

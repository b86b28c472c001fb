// PngRows held to cv::imread of the same file: its pixels, its orientation,
// and where it fails, whichever way the rows are read.
#include "detail/io/png_rows.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "address_sanitizer.h"
#include "scratch_dir.h"

using namespace roughgc::detail;
using Bytes = std::vector<unsigned char>;

namespace {

struct Kind {
    int color, depth;
    bool trns = false, interlaced = false;
    int width = 13, height = 9, entries = 256;  // palette entries, at most what the depth allows
};

// A PNG of noise, in IDAT chunks of 64 bytes; `exif` goes before them.
Bytes makePng(const Kind& k, const Bytes& exif = {}) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    auto write = [](png_structp p, png_bytep d, size_t n) {
        static_cast<Bytes*>(png_get_io_ptr(p))->insert(static_cast<Bytes*>(png_get_io_ptr(p))->end(), d, d + n);
    };
    png_set_write_fn(png, &out, write, [](png_structp) {});
    png_set_IHDR(png, info, k.width, k.height, k.depth, k.color, k.interlaced ? PNG_INTERLACE_ADAM7 : 0, 0, 0);
    png_color palette[256];
    png_byte alpha[256];
    for (int i = 0; i < 256; ++i)
        palette[i] = {png_byte(i * 37), png_byte(i * 91), png_byte(i)}, alpha[i] = png_byte(i * 5);
    const int entries = std::min(k.entries, 1 << std::min(k.depth, 8));
    if (k.color == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette, entries);
    png_color_16 key{0, 1, 1, 1, 1};
    if (k.trns) png_set_tRNS(png, info, alpha, entries / 2, &key);
    if (!exif.empty()) png_set_eXIf_1(png, info, uint32_t(exif.size()), const_cast<png_bytep>(exif.data()));
    png_set_compression_buffer_size(png, 64);
    png_set_check_for_invalid_index(png, -1);
    png_write_info(png, info);
    const size_t step = png_get_rowbytes(png, info);
    Bytes pixels(step * k.height);
    std::mt19937 noise(k.color * 32 + k.depth);
    for (auto& p : pixels) p = png_byte(noise());
    std::vector<png_bytep> rows;
    for (int y = 0; y < k.height; ++y) rows.push_back(&pixels[y * step]);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

uint32_t be32(const unsigned char* p) { return uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// The offset of the first chunk of `type`, or of the last.
size_t chunkAt(const Bytes& b, const char* type, bool last = false) {
    size_t found = 0;
    for (size_t at = 8; at + 8 <= b.size() && (last || !found); at += 12 + be32(&b[at]))
        if (std::memcmp(&b[at + 4], type, 4) == 0) found = at;
    return found;
}

Bytes chunk(const char* type, const Bytes& data) {
    Bytes c(12 + data.size());
    std::memcpy(&c[4], type, 4);
    std::copy(data.begin(), data.end(), c.begin() + 8);
    const uLong crc = crc32(0, &c[4], uInt(data.size() + 4));
    for (int i = 0; i < 4; ++i) {
        c[i] = png_byte(data.size() >> (24 - 8 * i));
        c[8 + data.size() + i] = png_byte(crc >> (24 - 8 * i));
    }
    return c;
}

// `b` with `piece` in place of its `replaced` bytes from `at` on.
Bytes spliced(Bytes b, size_t at, const Bytes& piece, size_t replaced = 0) {
    b.erase(b.begin() + long(at), b.begin() + long(at + replaced));
    b.insert(b.begin() + long(at), piece.begin(), piece.end());
    return b;
}

// IHDR's data byte `at` set to `v`, with its CRC made right again.
Bytes withIhdr(const Bytes& b, size_t at, unsigned char v) {
    Bytes data(b.begin() + 16, b.begin() + 29);
    data[at] = v;
    return spliced(b, 8, chunk("IHDR", data), 25);
}

// `png` with its image data inflated, edited by `edit`, and deflated again
// into one IDAT.
template <class Edit>
Bytes reimaged(const Bytes& png, Edit edit) {
    Bytes z, raw(1 << 16);
    size_t at = chunkAt(png, "IDAT");
    const size_t first = at;
    for (; std::memcmp(&png[at + 4], "IDAT", 4) == 0; at += 12 + be32(&png[at]))
        z.insert(z.end(), png.begin() + long(at + 8), png.begin() + long(at + 8 + be32(&png[at])));
    uLongf size = raw.size();
    uncompress(raw.data(), &size, z.data(), z.size());
    raw.resize(size);
    edit(raw);
    z.resize(compressBound(raw.size()));
    size = z.size();
    compress(z.data(), &size, raw.data(), raw.size());
    return spliced(png, first, chunk("IDAT", Bytes(z.begin(), z.begin() + long(size))), at - first);
}

Bytes badCrc(Bytes b, size_t at) {
    b[at + 8 + be32(&b[at])] ^= 1;
    return b;
}

// A first directory with nothing but an orientation entry.
Bytes exifWith(int orientation, bool intel) {
    const png_byte o = png_byte(orientation);
    return intel ? Bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3, 0, 1, 0, 0, 0, o, 0, 0, 0, 0, 0, 0, 0}
                 : Bytes{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 1, 0x12, 0, 3, 0, 0, 0, 1, 0, o, 0, 0, 0, 0, 0, 0};
}

// As cv::imread turns a photo by its orientation.
cv::Mat turned(const cv::Mat& photo, int orientation) {
    cv::Mat m = photo.clone();
    if (orientation >= 5) cv::transpose(m, m);
    static const int flips[9] = {2, 2, 1, -1, 0, 2, 1, -1, 0};  // 2 for none
    if (flips[orientation] != 2) cv::flip(m, m, flips[orientation]);
    return m;
}

bool same(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0);
}

// Hands out its bytes from a new copy on every fetch, the old one freed; or
// throws, if it has none.
struct MovingBytes final : ByteSource {
    explicit MovingBytes(Bytes all) : all(std::move(all)) {}
    size_t fetch(size_t want) override {
        if (all.empty()) throw std::runtime_error("gone");
        copy = Bytes(all.begin(), all.begin() + long(std::min(want, all.size())));
        return ++fetches, copy.size();
    }
    const unsigned char* data() const override { return copy.data(); }
    Bytes all, copy;
    int fetches = 0;
};

}  // namespace

class PngRowsTest : public InScratchDir {
protected:
    // Decodes `png` with readImage(), with a reader fresh and with one that
    // decoded every photo before; then, not interlaced, row by row, and only
    // its first rows (none, interlaced) before finish(). Each way must give
    // what cv::imread gives for it as a file, silently. The fresh reader's
    // header comes back.
    PngHeader expectAsImread(const Bytes& png, const std::string& name) {
        SCOPED_TRACE(name);
        std::ofstream("p.png", std::ios::binary).write(reinterpret_cast<const char*>(png.data()), long(png.size()));
        testing::internal::CaptureStderr();  // what OpenCV's libpng prints
        const cv::Mat want = cv::imread("p.png", cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
        const cv::Mat upright = cv::imread("p.png", cv::IMREAD_COLOR);
        testing::internal::GetCapturedStderr();
        PngRows fresh;
        PngHeader first;
        testing::internal::CaptureStderr();
        for (int way = 0; way < 4; ++way) {
            PngRows& rows = way == 0 ? fresh : used_;
            PngHeader h;
            cv::Mat got;
            bool ok = rows.start(png.data(), png.size(), h) && rows.begin();
            if (way == 0) first = h;
            if (ok) got = cv::Mat(int(h.height), int(h.width), CV_8UC3, cv::Scalar(1, 2, 3));
            const int rowsRead = way == 3 ? got.rows / 2 : got.rows;
            if (ok && (way < 2 || h.interlaced)) {
                EXPECT_TRUE(way < 2 || !rows.read(got.data, got.step, 1));
                if (way < 3) ok = rows.readImage(got.data, got.step);
            } else {
                for (int y = 0, n = 1; ok && y < rowsRead; y += n, n = std::min(n % 3 + 1, rowsRead - y))
                    ok = rows.read(got.ptr(y), got.step, n);
            }
            int orientation = 0;
            bool sure = false;
            ok = ok && rows.finish(orientation, sure);
            EXPECT_EQ(ok, !want.empty()) << "way " << way;
            if (!ok || want.empty()) continue;
            const cv::Rect shown(0, 0, want.cols, way < 3 ? want.rows : h.interlaced ? 0 : rowsRead);
            EXPECT_TRUE(same(got(shown), want(shown))) << "way " << way;
            EXPECT_TRUE(sure && same(turned(want, orientation), upright)) << "way " << way;
            EXPECT_TRUE(h.exifAfterData || (h.orientation == orientation && h.orientationSure));
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        return first;
    }
    PngRows used_;
};

TEST_F(PngRowsTest, EveryFormatAsImread) {
    const Kind kinds[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {0, 1, true}, {0, 2, true}, {0, 8, true},
                          {0, 16, true}, {4, 8}, {4, 16}, {2, 8}, {2, 16}, {2, 8, true}, {2, 16, true}, {6, 8},
                          {6, 16}, {3, 1}, {3, 2}, {3, 4}, {3, 8}, {3, 2, true}, {3, 8, true},
                          {3, 4, false, false, 13, 9, 3}};  // indices past the palette's end
    for (Kind k : kinds)
        for (int form = 0; form < 3; ++form) {
            k.interlaced = form > 0;
            if (form == 2) k.width = 3, k.height = 2;
            const PngHeader h = expectAsImread(makePng(k), std::to_string(k.color * 100 + k.depth * 10 + form));
            EXPECT_TRUE(h.width == size_t(k.width) && h.height == size_t(k.height) && h.bitDepth == k.depth &&
                        h.colorType == k.color && h.interlaced == k.interlaced && h.upright());
        }
}

TEST_F(PngRowsTest, ExifOrientationBeforeOrAfterTheImageData) {
    for (int o = 1; o <= 8; ++o) {
        const Kind k{2, 8, false, o % 2 == 0, 5, 3};
        const Bytes before = makePng(k, exifWith(o, o < 5)), plain = makePng(k);
        const PngHeader h = expectAsImread(before, "before " + std::to_string(o));
        EXPECT_TRUE(h.orientation == o && !h.exifAfterData);
        const Bytes after = spliced(plain, chunkAt(plain, "IEND"), chunk("eXIf", exifWith(o, o > 4)));
        EXPECT_TRUE(expectAsImread(after, "after " + std::to_string(o)).exifAfterData);
        // One before the image data wins, unless libpng drops it.
        const Bytes both = spliced(before, chunkAt(before, "IEND"), chunk("eXIf", exifWith(9 - o, true)));
        EXPECT_FALSE(expectAsImread(both, "both").exifAfterData);
        EXPECT_TRUE(expectAsImread(badCrc(both, chunkAt(both, "eXIf")), "broken before").exifAfterData);
    }
}

TEST_F(PngRowsTest, FailsWhereImreadFails) {
    const Bytes plain = makePng({2, 8}), laced = makePng({2, 8, false, true}), palette = makePng({3, 8});
    const Bytes exif = makePng({3, 4, true, true}, exifWith(6, false)), junk = {1, 2, 3, 4, 5};
    const size_t end = chunkAt(plain, "IEND");
    // The last row is 40 bytes: a filter type, then 13 pixels.
    auto badFilter = [](Bytes& raw) { raw[raw.size() - 40] = 5; };
    const std::pair<std::string, Bytes> cases[] = {
        {"bad IHDR CRC", badCrc(plain, 8)}, {"bad IDAT CRC", badCrc(plain, chunkAt(plain, "IDAT"))},
        {"bad last IDAT CRC", badCrc(plain, chunkAt(plain, "IDAT", true))}, {"bad IEND CRC", badCrc(plain, end)},
        {"bad eXIf CRC", badCrc(exif, chunkAt(exif, "eXIf"))}, {"zero width", withIhdr(plain, 3, 0)},
        {"zero height", withIhdr(plain, 7, 0)}, {"width over 2^31", withIhdr(plain, 0, 0x80)},
        {"RGB of 1 bit", withIhdr(plain, 8, 1)}, {"grey of 3 bits", withIhdr(withIhdr(plain, 9, 0), 8, 3)},
        {"palette of 16 bits", withIhdr(palette, 8, 16)}, {"interlace method 2", withIhdr(plain, 12, 2)},
        {"no IEND", Bytes(plain.begin(), plain.begin() + long(end))},
        {"trailing bytes", spliced(plain, end + 12, junk)},
        {"IDAT after the image data", spliced(plain, end, chunk("IDAT", junk))},
        {"unknown critical chunk", spliced(plain, end, chunk("ABCD", junk))},
        {"length over 2^31", spliced(plain, end, {0x80, 0, 0, 0, 't', 'E', 'X', 't'})},
        {"bad filter in the last row", reimaged(plain, badFilter)},
        {"bad filter in the last pass", reimaged(laced, badFilter)},
        {"a row short", reimaged(plain, [](Bytes& raw) { raw.resize(raw.size() - 40); })},
        {"a row to spare", reimaged(plain, [](Bytes& raw) { raw.resize(raw.size() + 40); })},
        {"all rows again", reimaged(laced, [](Bytes&) {})}};
    for (const auto& [name, png] : cases)
        EXPECT_EQ(expectAsImread(png, name).exifAfterData, name == "no IEND" || name[0] == 'l') << name;
    for (const Bytes* png : {&plain, &exif})
        for (size_t size = 0; size < png->size(); ++size) {
            const PngHeader h = expectAsImread(Bytes(png->begin(), png->begin() + long(size)), std::to_string(size));
            EXPECT_TRUE(h.width == 0 || h.exifAfterData || png == &exif);
        }
}

TEST_F(PngRowsTest, ReadsASourceThatMovesOnEveryFetch) {
    // Over the 4 MiB asked for at first, so that the bytes move under libpng.
    const Bytes png = makePng({2, 8, false, false, 1200, 1200}, exifWith(3, true));
    PngRows rows;
    PngHeader h;
    MovingBytes failing({}), moving(png);
    EXPECT_THROW(rows.start(failing, h), std::runtime_error);
    ASSERT_TRUE(rows.start(moving, h) && rows.begin());
    cv::Mat got(int(h.height), int(h.width), CV_8UC3);
    int orientation = 0;
    bool sure = false;
    ASSERT_TRUE(rows.readImage(got.data, got.step) && rows.finish(orientation, sure));
    EXPECT_TRUE(same(got, cv::imdecode(png, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION)));
    EXPECT_EQ(orientation, 3);
    EXPECT_EQ(moving.fetches, 2);
}

TEST(PngRowsDeathTest, ThrowsWhenMemoryRunsOut) {
#if defined(ROUGHGC_ASAN)
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
    // A million 16-bit RGBA pixels a row: libpng's 8 MB row buffer, with 2 MiB to spare.
    const Bytes wide = withIhdr(withIhdr(withIhdr(makePng({6, 16}), 1, 0x0F), 2, 0x42), 3, 0x40);
    const auto decodeWithLittleMemory = [&] {
        long pages = 0;
        std::FILE* statm = std::fopen("/proc/self/statm", "r");
        if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) std::_Exit(3);
        const rlim_t bytes = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (2 << 20);
        const rlimit limit{bytes, bytes};
        PngRows rows;
        PngHeader h;
        try {
            if (rows.start(wide.data(), wide.size(), h) && setrlimit(RLIMIT_AS, &limit) == 0) rows.begin();
        } catch (const std::bad_alloc&) {
            std::_Exit(1);
        }
        std::_Exit(2);
    };
    EXPECT_EXIT(decodeWithLittleMemory(), testing::ExitedWithCode(1), "");
}

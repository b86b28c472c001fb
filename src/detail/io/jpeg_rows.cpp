#include "detail/io/jpeg_rows.h"

// jpeglib.h needs FILE and size_t declared before it.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <jpeglib.h>

namespace roughgc::detail {

namespace {

// OpenCV's limits on a decoded image, which larger headers make cv::imread
// fail: its defaults, or what its environment variables set when OpenCV was
// loaded. A value this reading does not understand as OpenCV would (a
// suffix) is taken as no size at all, which sends every JPEG to imread.
struct ImageLimits {
    size_t width, height, pixels;
};

size_t limitFromEnvironment(const char* name, size_t fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr) return fallback;
    size_t n = 0;
    for (const char* c = value; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || n > (SIZE_MAX - 9) / 10) return 0;
        n = 10 * n + static_cast<size_t>(*c - '0');
    }
    return *value == '\0' ? 0 : n;
}

const ImageLimits& imageLimits() {
    static const ImageLimits limits{limitFromEnvironment("OPENCV_IO_MAX_IMAGE_WIDTH", size_t{1} << 20),
                                    limitFromEnvironment("OPENCV_IO_MAX_IMAGE_HEIGHT", size_t{1} << 20),
                                    limitFromEnvironment("OPENCV_IO_MAX_IMAGE_PIXELS", size_t{1} << 30)};
    return limits;
}

// The orientation as OpenCV's EXIF reader finds it in the TIFF structure
// that follows the 6 bytes "Exif\0\0" of an APP1 segment (it does not check
// those bytes). That reader walks the first directory entry by entry and
// stops at the first read out of bounds, keeping the entries before it; the
// first orientation entry counts. Where an entry that it would parse, before
// the orientation entry, reaches out of bounds, this walk cannot be sure
// what it does, and says so.
struct ExifOrientation {
    int value = 1;
    bool sure = true;
};

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

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

extern "C" void failJump(j_common_ptr cinfo) { longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1); }
extern "C" void stayQuiet(j_common_ptr) {}

}  // namespace

bool withinDecodeLimits(size_t width, size_t height) {
    const ImageLimits& limits = imageLimits();
    return width > 0 && height > 0 && width <= limits.width && height <= limits.height &&
           width <= limits.pixels / height;
}

std::string decodeLimitProblem(size_t width, size_t height) {
    const ImageLimits& limits = imageLimits();
    char line[192];
    std::snprintf(line, sizeof line, "(!) Image too large to decode: %zu x %zu pixels; at most %zu pixels and %zu on a side",
                  width, height, limits.pixels, std::min(limits.width, limits.height));
    return line;
}

bool JpegHeader::decodesAsOpenCv() const {
    return components != 4 && !tablesMissing && withinDecodeLimits(width, height);
}

bool looksLikeJpeg(const unsigned char* bytes, size_t size) {
    return size >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

struct JpegRows::State {
    jpeg_decompress_struct cinfo;
    ErrorManager errors;
    bool created = false, decoding = false;

    // A decompressor of its own for each photo, as cv::imread makes one:
    // libjpeg keeps the Huffman and quantisation tables of one datastream
    // for the next, so that a photo without tables of its own would be
    // decoded with the last photo's.
    void renew() {
        if (created) jpeg_destroy_decompress(&cinfo);
        cinfo.err = jpeg_std_error(&errors.pub);
        errors.pub.error_exit = failJump;
        errors.pub.output_message = stayQuiet;
        jpeg_create_decompress(&cinfo);
        // OpenCV reads the EXIF orientation from the saved APP1 segments.
        jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
        created = true;
        decoding = false;
    }
};

JpegRows::JpegRows() : state_(std::make_unique<State>()) {}

JpegRows::~JpegRows() {
    if (state_->created) jpeg_destroy_decompress(&state_->cinfo);
}

// Each call below keeps libjpeg's calls apart from any object with a
// destructor: a failure jumps back to its setjmp.

bool JpegRows::start(const unsigned char* bytes, size_t size, JpegHeader& header) {
    State& s = *state_;
    j_decompress_ptr cinfo = &s.cinfo;
    header = JpegHeader{};
    s.renew();
    if (setjmp(s.errors.jump) != 0) {
        jpeg_abort_decompress(cinfo);
        s.decoding = false;
        return false;
    }
    jpeg_mem_src(cinfo, bytes, static_cast<unsigned long>(size));
    jpeg_read_header(cinfo, TRUE);
    header.width = cinfo->image_width;
    header.height = cinfo->image_height;
    header.components = cinfo->num_components;
    header.progressive = cinfo->progressive_mode != 0;
    header.tablesMissing = cinfo->ac_huff_tbl_ptrs[0] == nullptr && cinfo->ac_huff_tbl_ptrs[1] == nullptr &&
                           cinfo->dc_huff_tbl_ptrs[0] == nullptr && cinfo->dc_huff_tbl_ptrs[1] == nullptr;
    if (header.progressive) {
        // Two bytes a coefficient, 64 a block, every block of every component.
        size_t blocks = 0;
        for (int c = 0; c < cinfo->num_components; ++c) {
            const jpeg_component_info& k = cinfo->comp_info[c];
            const size_t wide = (size_t{cinfo->image_width} * k.h_samp_factor + 8 * cinfo->max_h_samp_factor - 1) /
                                (8 * cinfo->max_h_samp_factor);
            const size_t high = (size_t{cinfo->image_height} * k.v_samp_factor + 8 * cinfo->max_v_samp_factor - 1) /
                                (8 * cinfo->max_v_samp_factor);
            blocks += (wide + k.h_samp_factor) * (high + k.v_samp_factor);
        }
        header.coefficientBytes = blocks * 64 * sizeof(JCOEF);
    }
    for (jpeg_saved_marker_ptr m = cinfo->marker_list; m != nullptr; m = m->next) {
        if (m->marker != JPEG_APP0 + 1) continue;
        if (m->data_length > 6) {
            const ExifOrientation o = exifOrientation(m->data + 6, m->data_length - 6);
            header.orientation = o.value;
            header.orientationSure = o.sure;
        }
        break;
    }
    return true;
}

bool JpegRows::begin() {
    State& s = *state_;
    j_decompress_ptr cinfo = &s.cinfo;
    if (setjmp(s.errors.jump) != 0) {
        jpeg_abort_decompress(cinfo);
        s.decoding = false;
        return false;
    }
    cinfo->out_color_space = JCS_EXT_BGR;
    cinfo->out_color_components = 3;
    jpeg_start_decompress(cinfo);
    s.decoding = true;
    return true;
}

bool JpegRows::read(unsigned char* first, size_t step, size_t count) {
    State& s = *state_;
    j_decompress_ptr cinfo = &s.cinfo;
    if (!s.decoding) return false;
    if (setjmp(s.errors.jump) != 0) {
        jpeg_abort_decompress(cinfo);
        s.decoding = false;
        return false;
    }
    for (size_t r = 0; r < count;) {
        if (cinfo->output_scanline >= cinfo->output_height) return false;
        // A memory source never suspends: every call yields a row or more.
        JSAMPROW rows[4];
        JDIMENSION want = 0;
        for (; want < 4 && r + want < count; ++want) rows[want] = first + (r + want) * step;
        const JDIMENSION got = jpeg_read_scanlines(cinfo, rows, want);
        if (got == 0) return false;
        r += got;
    }
    return true;
}

bool JpegRows::finish() {
    State& s = *state_;
    j_decompress_ptr cinfo = &s.cinfo;
    if (!s.decoding || !readRest()) return false;
    // What libjpeg fails on after the last row (a bad marker before the end
    // of the image) does not unmake a photo that cv::imread has read: its
    // rows are all there.
    if (setjmp(s.errors.jump) != 0) {
        jpeg_abort_decompress(cinfo);
        s.decoding = false;
        return true;
    }
    jpeg_finish_decompress(cinfo);
    s.decoding = false;
    return true;
}

bool JpegRows::readRest() {
    State& s = *state_;
    j_decompress_ptr cinfo = &s.cinfo;
    if (setjmp(s.errors.jump) != 0) {
        jpeg_abort_decompress(cinfo);
        s.decoding = false;
        return false;
    }
    // Rows nobody asked for are still decoded: an error in them makes the
    // file unreadable, as it makes cv::imread fail.
    if (cinfo->output_scanline < cinfo->output_height) {
        JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                     cinfo->output_width * 3, 1);
        while (cinfo->output_scanline < cinfo->output_height)
            if (jpeg_read_scanlines(cinfo, row, 1) == 0) return false;
    }
    return true;
}


}  // namespace roughgc::detail

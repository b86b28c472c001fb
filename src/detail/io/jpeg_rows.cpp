#include "detail/io/jpeg_rows.h"

#include "detail/io/decode_limits.h"
#include "detail/io/exif.h"

// jpeglib.h needs FILE and size_t declared before it.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <jpeglib.h>

namespace roughgc::detail {

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

extern "C" void failJump(j_common_ptr cinfo) { longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1); }
extern "C" void stayQuiet(j_common_ptr) {}

}  // namespace

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

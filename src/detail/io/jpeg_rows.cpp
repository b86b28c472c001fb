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
#include <jerror.h>
#include <new>
#include <vector>

namespace roughgc::detail {

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

extern "C" void failJump(j_common_ptr cinfo) { longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1); }
extern "C" void stayQuiet(j_common_ptr) {}

// libjpeg's input from a ByteSource, as its memory source reads a buffer:
// the bytes in order, then, past their end, an end-of-image marker for
// every request (with the warning that a file cut short gets). Each
// request asks for at least as much again as was read, so that a photo in
// a file is read in a few calls.
struct ByteSourceManager {
    jpeg_source_mgr pub;
    ByteSource* bytes;
    size_t handedOut;
};

constexpr size_t kLeastRead = size_t{4} << 20;

void initSource(j_decompress_ptr) {}
void termSource(j_decompress_ptr) {}

boolean fillInput(j_decompress_ptr cinfo) {
    auto* m = reinterpret_cast<ByteSourceManager*>(cinfo->src);
    const size_t have = m->bytes->fetch(m->handedOut + std::max(kLeastRead, m->handedOut));
    if (have <= m->handedOut) {
        static const JOCTET end[2] = {0xFF, JPEG_EOI};
        WARNMS(cinfo, JWRN_JPEG_EOF);
        m->pub.next_input_byte = end;
        m->pub.bytes_in_buffer = 2;
        return TRUE;
    }
    m->pub.next_input_byte = m->bytes->data() + m->handedOut;
    m->pub.bytes_in_buffer = have - m->handedOut;
    m->handedOut = have;
    return TRUE;
}

void skipInput(j_decompress_ptr cinfo, long count) {
    jpeg_source_mgr* src = cinfo->src;
    if (count <= 0) return;
    while (count > static_cast<long>(src->bytes_in_buffer)) {
        count -= static_cast<long>(src->bytes_in_buffer);
        fillInput(cinfo);
    }
    src->next_input_byte += count;
    src->bytes_in_buffer -= static_cast<size_t>(count);
}

// OpenCV's conversion of libjpeg's CMYK rows (as Adobe writes them,
// inverted) to BGR, with its integer arithmetic.
void cmykToBgr(const unsigned char* cmyk, unsigned char* bgr, size_t width) {
    for (size_t i = 0; i < width; ++i, cmyk += 4, bgr += 3) {
        const int c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        bgr[2] = static_cast<unsigned char>(k - ((255 - c) * k >> 8));
        bgr[1] = static_cast<unsigned char>(k - ((255 - m) * k >> 8));
        bgr[0] = static_cast<unsigned char>(k - ((255 - y) * k >> 8));
    }
}

}  // namespace

bool JpegHeader::decodesAsOpenCv() const { return withinDecodeLimits(width, height); }

bool looksLikeJpeg(const unsigned char* bytes, size_t size) {
    return size >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

struct JpegRows::State {
    jpeg_decompress_struct cinfo;
    ErrorManager errors;
    ByteSourceManager source;
    MemoryBytes memory;
    std::vector<unsigned char> cmykRow;  // a four-component photo's row, before conversion
    bool created = false, decoding = false, cmyk = false;

    // What a failure that jumped back was: memory that ran out is not a
    // broken photo.
    void failed() {
        jpeg_abort_decompress(&cinfo);
        decoding = false;
        if (errors.pub.msg_code == JERR_OUT_OF_MEMORY) throw std::bad_alloc();
    }

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
        errors.pub.msg_code = 0;
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
    state_->memory = MemoryBytes(bytes, size);
    return start(state_->memory, header);
}

bool JpegRows::start(ByteSource& bytes, JpegHeader& header) {
    State& s = *state_;
    j_decompress_ptr cinfo = &s.cinfo;
    header = JpegHeader{};
    s.renew();
    s.source.pub.init_source = initSource;
    s.source.pub.fill_input_buffer = fillInput;
    s.source.pub.skip_input_data = skipInput;
    s.source.pub.resync_to_restart = jpeg_resync_to_restart;
    s.source.pub.term_source = termSource;
    s.source.pub.next_input_byte = nullptr;
    s.source.pub.bytes_in_buffer = 0;
    s.source.bytes = &bytes;
    s.source.handedOut = 0;
    cinfo->src = &s.source.pub;
    if (setjmp(s.errors.jump) != 0) {
        s.failed();
        return false;
    }
    // An empty source is an error at once, as for libjpeg's own sources.
    if (bytes.fetch(1) == 0) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    jpeg_read_header(cinfo, TRUE);
    header.width = cinfo->image_width;
    header.height = cinfo->image_height;
    header.components = cinfo->num_components;
    header.progressive = cinfo->progressive_mode != 0;
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
        s.failed();
        return false;
    }
    // As OpenCV asks for them: CMYK for four components, converted by its
    // arithmetic below; colour otherwise, here in BGR order straight away.
    s.cmyk = cinfo->num_components == 4;
    cinfo->out_color_space = s.cmyk ? JCS_CMYK : JCS_EXT_BGR;
    cinfo->out_color_components = s.cmyk ? 4 : 3;
    jpeg_start_decompress(cinfo);
    s.decoding = true;
    return true;
}

bool JpegRows::read(unsigned char* first, size_t step, size_t count) {
    State& s = *state_;
    j_decompress_ptr cinfo = &s.cinfo;
    if (!s.decoding) return false;
    if (s.cmyk && s.cmykRow.size() < size_t{4} * cinfo->output_width) s.cmykRow.resize(size_t{4} * cinfo->output_width);
    if (setjmp(s.errors.jump) != 0) {
        s.failed();
        return false;
    }
    for (size_t r = 0; r < count;) {
        if (cinfo->output_scanline >= cinfo->output_height) return false;
        // The source never suspends: every call yields a row or more.
        JSAMPROW rows[4];
        JDIMENSION want = 0;
        if (s.cmyk) {
            rows[want++] = s.cmykRow.data();
        } else {
            for (; want < 4 && r + want < count; ++want) rows[want] = first + (r + want) * step;
        }
        const JDIMENSION got = jpeg_read_scanlines(cinfo, rows, want);
        if (got == 0) return false;
        if (s.cmyk) cmykToBgr(s.cmykRow.data(), first + r * step, cinfo->output_width);
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
        s.failed();
        return false;
    }
    // Rows nobody asked for are still decoded: an error in them makes the
    // file unreadable, as it makes cv::imread fail.
    if (cinfo->output_scanline < cinfo->output_height) {
        JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                     cinfo->output_width * cinfo->out_color_components, 1);
        while (cinfo->output_scanline < cinfo->output_height)
            if (jpeg_read_scanlines(cinfo, row, 1) == 0) return false;
    }
    return true;
}


}  // namespace roughgc::detail

#include "detail/io/jpeg_writer.h"

#include "detail/io/map_file.h"

// jpeglib.h needs FILE and size_t declared before it.
#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <new>
#include <jpeglib.h>
#include <jerror.h>

#ifndef JCS_EXTENSIONS
#error "BGR rows go to libjpeg as they are: this needs libjpeg-turbo's colour space extensions"
#endif

namespace roughgc::detail {

namespace {

// What libjpeg's callbacks share with the encoder, through the client_data
// of its compressor. Plain data: a failure longjmps across the frames that
// hold it.
struct JpegJob {
    jpeg_error_mgr errors;
    jpeg_destination_mgr destination;
    jmp_buf jump;
    std::vector<unsigned char>* out;
    bool outOfMemory;
};

JpegJob& jobOf(j_common_ptr cinfo) { return *static_cast<JpegJob*>(cinfo->client_data); }

// C++ linkage, private to this file: an extern "C" name would be global,
// whatever namespace holds it.
void failJump(j_common_ptr cinfo) { std::longjmp(jobOf(cinfo).jump, 1); }

// A picture written in the middle of a batch prints nothing.
void stayQuiet(j_common_ptr) {}

void startOutput(j_compress_ptr cinfo) {
    std::vector<unsigned char>& out = *jobOf(reinterpret_cast<j_common_ptr>(cinfo)).out;
    cinfo->dest->next_output_byte = out.data();
    cinfo->dest->free_in_buffer = out.size();
}

// libjpeg has filled the whole buffer: it doubles, and the bytes go on
// after those written.
boolean growOutput(j_compress_ptr cinfo) {
    JpegJob& job = jobOf(reinterpret_cast<j_common_ptr>(cinfo));
    const size_t written = job.out->size();
    // No exception may cross libjpeg's C frames, nor a longjmp leave a
    // catch block: the failure is noted there and raised after it.
    try {
        job.out->resize(2 * written);
    } catch (const std::bad_alloc&) {
        job.outOfMemory = true;
    }
    if (job.outOfMemory) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    cinfo->dest->next_output_byte = job.out->data() + written;
    cinfo->dest->free_in_buffer = job.out->size() - written;
    return TRUE;
}

void endOutput(j_compress_ptr cinfo) {
    std::vector<unsigned char>& out = *jobOf(reinterpret_cast<j_common_ptr>(cinfo)).out;
    out.resize(out.size() - cinfo->dest->free_in_buffer);
}

// libjpeg's calls, with nothing here that has a destructor: a failure jumps
// back to the setjmp below. False with libjpeg's message in `message`.
bool compress(JpegJob& job, const unsigned char* pixels, size_t step, int rows, int cols, int quality,
              char (&message)[JMSG_LENGTH_MAX]) {
    jpeg_compress_struct cinfo{};
    cinfo.err = jpeg_std_error(&job.errors);
    job.errors.error_exit = failJump;
    job.errors.output_message = stayQuiet;
    cinfo.client_data = &job;
    volatile bool written = false;
    if (setjmp(job.jump) == 0) {
        jpeg_create_compress(&cinfo);
        job.destination.init_destination = startOutput;
        job.destination.empty_output_buffer = growOutput;
        job.destination.term_destination = endOutput;
        cinfo.dest = &job.destination;
        cinfo.image_width = static_cast<JDIMENSION>(cols);
        cinfo.image_height = static_cast<JDIMENSION>(rows);
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_EXT_BGR;
        // YCbCr at 4:2:0 and Huffman tables of the standard's examples. A
        // contour a pixel wide keeps its place in the brightness, at full
        // resolution; its colour is spread over two. Full-resolution colour
        // would cost twice the encoding time, which in batch mode is most
        // of an overlay's cost.
        jpeg_set_defaults(&cinfo);
        // The floating-point and fast transforms may differ from one SIMD
        // route to another; the integer one is exact everywhere.
        cinfo.dct_method = JDCT_ISLOW;
        jpeg_set_quality(&cinfo, quality, TRUE);
        jpeg_start_compress(&cinfo, TRUE);
        while (cinfo.next_scanline < cinfo.image_height) {
            JSAMPROW row = const_cast<JSAMPROW>(pixels + step * cinfo.next_scanline);
            jpeg_write_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_compress(&cinfo);
        written = true;
    } else {
        job.errors.format_message(reinterpret_cast<j_common_ptr>(&cinfo), message);
        if (job.errors.msg_code == JERR_OUT_OF_MEMORY) job.outOfMemory = true;
    }
    jpeg_destroy_compress(&cinfo);
    return written;
}

}  // namespace

bool encodeJpeg(const unsigned char* pixels, size_t step, int rows, int cols, int quality,
                std::vector<unsigned char>& out, std::string& why) {
    out.clear();
    if (quality < 1 || quality > 100) {
        why = "JPEG quality must be 1 to 100, not " + std::to_string(quality);
        return false;
    }
    // All the memory it has held, to start with: a picture the size of the
    // last one is written without growing it. Out here, where an exception
    // may be thrown.
    out.resize(std::max<size_t>(out.capacity(), size_t{1} << 16));
    JpegJob job{};
    job.out = &out;
    char message[JMSG_LENGTH_MAX] = "";
    const bool written = compress(job, pixels, step, rows, cols, quality, message);
    if (!written) out.clear();
    if (job.outOfMemory) throw std::bad_alloc();
    if (!written) why = message;
    return written;
}

bool writeJpeg(const cv::Mat& bgr, int quality, const std::string& path, std::string& why, bool durable) {
    // Kept from one picture to the next: a fresh buffer of a megabyte or
    // more would be mapped anew, and fault in page by page, every time.
    thread_local std::vector<unsigned char> encoded;
    if (bgr.dims != 2 || bgr.type() != CV_8UC3)
        why = "JPEG pictures are 8-bit BGR, not " + (bgr.empty() ? std::string("empty") : cv::typeToString(bgr.type()));
    else if (encodeJpeg(bgr.data, bgr.step[0], bgr.rows, bgr.cols, quality, encoded, why))
        return writeFileWhole(path, encoded.data(), encoded.size(), why, durable);
    // No system call failed: what errno holds is no reason.
    errno = 0;
    return false;
}

}  // namespace roughgc::detail

#include "detail/io/map_encoders.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <png.h>
#include <zlib.h>

namespace roughgc::detail {

namespace {

void putLittleEndian(unsigned char* at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// What libpng's callbacks report to the encoder. Plain data: a failure
// longjmps across the frames that hold it.
struct PngJob {
    std::vector<unsigned char>* out;
    bool outOfMemory;
    char message[256];
};

// The callbacks keep C++ linkage, private to this file: an extern "C" name
// is global whatever namespace holds it, and would collide with another
// file's callbacks of the same name.
void pngFail(png_structp png, png_const_charp message) {
    PngJob& job = *static_cast<PngJob*>(png_get_error_ptr(png));
    std::snprintf(job.message, sizeof job.message, "%s", message);
    png_longjmp(png, 1);
}

// OpenCV's encoder prints libpng's warnings to stderr; a map written in
// the middle of a batch must not.
void pngStayQuiet(png_structp, png_const_charp) {}

// libpng turns a failed allocation into an error like any other (or, here
// and there, into a warning it recovers from); only the record made here
// tells running out of memory apart from a bad image.
png_voidp pngAllocate(png_structp png, png_alloc_size_t size) {
    void* memory = std::malloc(size);
    if (memory == nullptr) static_cast<PngJob*>(png_get_mem_ptr(png))->outOfMemory = true;
    return memory;
}

void pngRelease(png_structp, png_voidp memory) { std::free(memory); }

void pngAppend(png_structp png, png_bytep data, size_t size) {
    if (size == 0) return;
    PngJob& job = *static_cast<PngJob*>(png_get_io_ptr(png));
    // No exception may cross libpng's C frames, nor a longjmp leave a catch
    // block: the failure is noted there and raised after it.
    try {
        job.out->insert(job.out->end(), data, data + size);
        return;
    } catch (const std::bad_alloc&) {
        job.outOfMemory = true;
    }
    png_error(png, "Out of memory");
}

void pngFlush(png_structp) {}

// libpng's calls as PngEncoder::write makes them when given no parameters,
// in its order. Nothing here has a destructor: a failure jumps back to the
// setjmp below.
bool writePng(PngJob& job, png_bytepp rows, int height, int width, int channels, int bitDepth = 8) {
    png_structp png =
        png_create_write_struct_2(PNG_LIBPNG_VER_STRING, &job, pngFail, pngStayQuiet, &job, pngAllocate, pngRelease);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    volatile bool written = false;
    if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
        png_set_write_fn(png, &job, pngAppend, pngFlush);
        if (bitDepth == 8) {
            png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
            png_set_compression_level(png, Z_BEST_SPEED);
            png_set_compression_strategy(png, Z_RLE);
        }
        png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), bitDepth,
                     channels == 1   ? PNG_COLOR_TYPE_GRAY
                     : channels == 3 ? PNG_COLOR_TYPE_RGB
                                     : PNG_COLOR_TYPE_RGBA,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        if (bitDepth == 8) {
            png_set_bgr(png);
            // A no-op for 8-bit samples, but OpenCV sets it on little-endian
            // hosts, and the calls are kept its own.
            png_set_swap(png);
        }
        png_write_image(png, rows);
        png_write_end(png, info);
        written = true;
    }
    png_destroy_write_struct(&png, &info);
    return written;
}

// writePng into `out`, with its failures as encodePng reports them.
bool encodeRows(png_bytepp rows, int height, int width, int channels, int bitDepth, std::vector<unsigned char>& out,
                std::string& why) {
    PngJob job{&out, false, "libpng could not be started"};
    const bool written = writePng(job, rows, height, width, channels, bitDepth);
    if (job.outOfMemory) {
        // What libpng recovered from may still have changed the bytes.
        out.clear();
        throw std::bad_alloc();
    }
    if (!written) {
        out.clear();
        why = job.message;
        return false;
    }
    return true;
}

}  // namespace

void encodeGreyBmp(const unsigned char* pixels, size_t step, int rows, int cols, std::vector<unsigned char>& out) {
    constexpr size_t kInfoSize = 40, kHeaderSize = 14 + kInfoSize + 256 * 4;
    const size_t width = static_cast<size_t>(cols), fileStep = (width + 3) & ~size_t{3};
    const size_t fileSize = kHeaderSize + fileStep * static_cast<size_t>(rows);
    // One allocation, and the row padding and the header's zero fields are
    // zero already.
    out.clear();
    out.resize(fileSize);
    unsigned char* const p = out.data();

    p[0] = 'B';
    p[1] = 'M';
    // OpenCV refuses a file over 2 GiB instead; a map never comes near.
    putLittleEndian(p + 2, static_cast<uint32_t>(fileSize), 4);
    putLittleEndian(p + 10, kHeaderSize, 4);
    putLittleEndian(p + 14, kInfoSize, 4);
    putLittleEndian(p + 18, static_cast<uint32_t>(cols), 4);
    // Positive: the rows are stored from the bottom up.
    putLittleEndian(p + 22, static_cast<uint32_t>(rows), 4);
    putLittleEndian(p + 26, 1, 2);
    putLittleEndian(p + 28, 8, 2);
    for (unsigned grey = 0; grey < 256; ++grey) {
        unsigned char* entry = p + 14 + kInfoSize + 4 * grey;
        entry[0] = entry[1] = entry[2] = static_cast<unsigned char>(grey);
    }

    unsigned char* into = p + kHeaderSize;
    for (int y = rows - 1; y >= 0; --y, into += fileStep)
        std::memcpy(into, pixels + static_cast<size_t>(y) * step, width);
}

bool encodePng(const unsigned char* pixels, size_t step, int rows, int cols, int channels,
               std::vector<unsigned char>& out, std::string& why) {
    out.clear();
    if (channels != 1 && channels != 3 && channels != 4) {
        why = "PNG maps have 1, 3 or 4 channels";
        return false;
    }
    // Allocated out here, where a destructor may run.
    std::vector<png_bytep> rowPointers(static_cast<size_t>(rows));
    for (size_t y = 0; y < rowPointers.size(); ++y) rowPointers[y] = const_cast<png_bytep>(pixels + y * step);

    return encodeRows(rowPointers.data(), rows, cols, channels, 8, out, why);
}

bool encodeBilevelPng(const unsigned char* pixels, size_t step, int rows, int cols, std::vector<unsigned char>& out,
                      std::string& why) {
    out.clear();
    // Eight pixels a byte, the leftmost in the highest bit; the padding
    // bits of a row's last byte stay 0.
    const size_t width = static_cast<size_t>(cols), rowBytes = (width + 7) / 8;
    std::vector<unsigned char> packed(rowBytes * static_cast<size_t>(rows));
    std::vector<png_bytep> rowPointers(static_cast<size_t>(rows));
    for (size_t y = 0; y < rowPointers.size(); ++y) {
        const unsigned char* from = pixels + y * step;
        unsigned char* into = packed.data() + y * rowBytes;
        for (size_t x = 0; x < width; ++x)
            if (from[x] != 0) into[x / 8] |= static_cast<unsigned char>(0x80u >> (x % 8));
        rowPointers[y] = into;
    }
    return encodeRows(rowPointers.data(), rows, cols, 1, 1, out, why);
}

}  // namespace roughgc::detail

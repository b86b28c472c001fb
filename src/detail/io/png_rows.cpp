#include "detail/io/png_rows.h"

#include "detail/io/exif.h"

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

namespace roughgc::detail {

namespace {

// libpng asks for a few bytes at a time; a file source is asked for the
// rest of the photo, or this much, whichever is more, so that a photo takes
// few reads however it is chunked.
constexpr size_t kFetchStep = size_t{4} << 20;

// The bytes libpng reads, and the walk over the chunks after the image
// data, from the photo's source.
struct Input {
    ByteSource* source = nullptr;
    const unsigned char* data = nullptr;
    size_t available = 0, pos = 0;
    // What the source threw: it cannot cross libpng, and is thrown again
    // once libpng's frames are left behind.
    std::exception_ptr failure;

    void reset(ByteSource& bytes) {
        source = &bytes;
        data = nullptr;
        available = pos = 0;
        failure = nullptr;
    }

    // Whether the `length` bytes from `from` on are at data().
    bool reach(size_t from, size_t length) {
        if (length > SIZE_MAX - from) return false;
        if (from + length <= available) return true;
        if (failure) return false;
        const size_t step = std::max(length, kFetchStep);
        try {
            available = source->fetch(step > SIZE_MAX - from ? SIZE_MAX : from + step);
            data = source->data();
        } catch (...) {
            failure = std::current_exception();
            return false;
        }
        return from + length <= available;
    }
};

// Whether any allocation of libpng's failed: libpng may carry on without
// the memory (an ancillary chunk dropped), which a photo decoded with
// enough of it would not.
struct Allocations {
    bool failed = false;
};

constexpr uint32_t kIdat = 0x49444154, kIend = 0x49454E44, kExif = 0x65584966;

uint32_t bigEndian32(const unsigned char* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// libpng's callbacks keep C++ linkage, private to this file, so that no
// other file's callbacks of the same name collide with them.
void pngReadBytes(png_structp png, png_bytep out, size_t length) {
    if (length == 0) return;
    Input& in = *static_cast<Input*>(png_get_io_ptr(png));
    // OpenCV's readers, of a file and of memory alike, fail on a cut file.
    if (!in.reach(in.pos, length)) png_error(png, "cut");
    std::memcpy(out, in.data + in.pos, length);
    in.pos += length;
}

[[noreturn]] void pngFailJump(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void pngStayQuiet(png_structp, png_const_charp) {}

png_voidp pngAllocate(png_structp png, png_alloc_size_t size) {
    void* block = std::malloc(size);
    if (block == nullptr) static_cast<Allocations*>(png_get_mem_ptr(png))->failed = true;
    return block;
}
void pngDeallocate(png_structp, png_voidp block) { std::free(block); }

// Whether an eXIf chunk follows the first IDAT, or the chunks cannot be
// walked from the signature to IEND. Only the chunk headers are looked at,
// as libpng steps over the chunks: by their lengths, whatever they hold.
bool exifMayFollow(Input& in) {
    size_t at = 8;
    bool afterData = false;
    for (;;) {
        if (!in.reach(at, 8)) return true;
        const uint32_t length = bigEndian32(in.data + at);
        // Over 2^31 - 1, libpng refuses the length.
        if (length > 0x7FFFFFFFu) return true;
        const uint32_t type = bigEndian32(in.data + at + 4);
        if (type == kIend) return !afterData || !in.reach(at, size_t{12} + length);
        if (type == kExif && afterData) return true;
        afterData = afterData || type == kIdat;
        if (size_t{12} + length > SIZE_MAX - at) return true;
        at += size_t{12} + length;
    }
}

}  // namespace

struct PngRows::State {
    png_structp png = nullptr;
    png_infop info = nullptr, endInfo = nullptr;
    Input input;
    MemoryBytes memory;
    Allocations allocations;
    enum class Phase { None, Header, Rows } phase = Phase::None;
    size_t width = 0, height = 0;
    int bitDepth = 0, colorType = 0;
    bool interlaced = false;
    // The calls of png_read_row still due: every row once per pass.
    size_t rowsDue = 0, rowsInAll = 0;
    // Where png_read_image writes the rows, kept from photo to photo.
    std::vector<png_bytep> rowPointers;

    void release() {
        if (png != nullptr) png_destroy_read_struct(&png, &info, &endInfo);
        png = nullptr;
        info = endInfo = nullptr;
        phase = Phase::None;
    }

    // A reader of its own for each photo, as cv::imread makes one, with
    // libpng's own limits on sizes and chunks.
    bool renew(ByteSource& bytes) {
        release();
        input.reset(bytes);
        allocations.failed = false;
        png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, nullptr, pngFailJump, pngStayQuiet, &allocations,
                                       pngAllocate, pngDeallocate);
        if (png != nullptr) {
            info = png_create_info_struct(png);
            endInfo = png_create_info_struct(png);
        }
        if (png == nullptr || info == nullptr || endInfo == nullptr) {
            release();
            if (allocations.failed) throw std::bad_alloc();
            return false;
        }
        return true;
    }

    // The end of a call that libpng failed in, or that ran short of memory
    // or of bytes from the source: the photo is abandoned.
    bool fail() {
        release();
        if (input.failure) {
            const std::exception_ptr thrown = input.failure;
            input.failure = nullptr;
            std::rethrow_exception(thrown);
        }
        if (allocations.failed) throw std::bad_alloc();
        return false;
    }

    bool succeed() {
        if (allocations.failed || input.failure) return fail();
        return true;
    }
};

PngRows::PngRows() : state_(std::make_unique<State>()) {}

PngRows::~PngRows() { state_->release(); }

// Each call below keeps libpng's calls apart from any object with a
// destructor: a failure jumps back to its setjmp.

bool PngRows::start(const unsigned char* bytes, size_t size, PngHeader& header) {
    state_->memory = MemoryBytes(bytes, size);
    return start(state_->memory, header);
}

bool PngRows::start(ByteSource& bytes, PngHeader& header) {
    State& s = *state_;
    header = PngHeader{};
    if (!s.renew(bytes)) return false;
    png_structp png = s.png;
    png_infop info = s.info;
    if (setjmp(png_jmpbuf(png)) != 0) return s.fail();
    png_set_read_fn(png, &s.input, pngReadBytes);
    png_read_info(png, info);
    png_uint_32 width = 0, height = 0;
    int depth = 0, color = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &color, &interlace, nullptr, nullptr);
    // What OpenCV refuses, though libpng takes no other depth.
    if (depth > 8 && depth != 16) {
        s.release();
        return false;
    }
    s.width = header.width = width;
    s.height = header.height = height;
    s.bitDepth = header.bitDepth = depth;
    s.colorType = header.colorType = color;
    s.interlaced = header.interlaced = interlace != PNG_INTERLACE_NONE;
    png_uint_32 exifSize = 0;
    png_bytep exif = nullptr;
    if (png_get_valid(png, info, PNG_INFO_eXIf) != 0) {
        png_get_eXIf_1(png, info, &exifSize, &exif);
        if (exif != nullptr && exifSize > 0) {
            const ExifOrientation o = exifOrientation(exif, exifSize);
            header.orientation = o.value;
            header.orientationSure = o.sure;
        }
    } else {
        // cv::imread takes a later eXIf only where there is none before the
        // image data.
        header.exifAfterData = exifMayFollow(s.input);
    }
    s.phase = State::Phase::Header;
    return s.succeed();
}

bool PngRows::begin() {
    State& s = *state_;
    if (s.phase != State::Phase::Header) return false;
    png_structp png = s.png;
    png_infop info = s.info;
    if (setjmp(png_jmpbuf(png)) != 0) return s.fail();
    // OpenCV's transformations for 8-bit, three-channel output, in its
    // order: libpng's results depend on both.
    if (s.bitDepth == 16)
        png_set_strip_16(png);
    else
        png_set_swap(png);
    png_set_strip_alpha(png);
    if (s.colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if ((s.colorType & PNG_COLOR_MASK_COLOR) == 0 && s.bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if ((s.colorType & PNG_COLOR_MASK_COLOR) != 0)
        png_set_bgr(png);
    else
        png_set_gray_to_rgb(png);
    s.rowsInAll = s.rowsDue = static_cast<size_t>(png_set_interlace_handling(png)) * s.height;
    png_read_update_info(png, info);
    // Rows of any other shape would overrun the caller's.
    if (png_get_rowbytes(png, info) != 3 * s.width || png_get_bit_depth(png, info) != 8 ||
        png_get_channels(png, info) != 3) {
        s.release();
        return false;
    }
    s.phase = State::Phase::Rows;
    return s.succeed();
}

bool PngRows::read(unsigned char* first, size_t step, size_t count) {
    State& s = *state_;
    if (s.phase != State::Phase::Rows || s.interlaced || count > s.rowsDue) return false;
    png_structp png = s.png;
    if (setjmp(png_jmpbuf(png)) != 0) return s.fail();
    for (size_t r = 0; r < count; ++r, --s.rowsDue) png_read_row(png, first + r * step, nullptr);
    return s.succeed();
}

bool PngRows::readImage(unsigned char* first, size_t step) {
    State& s = *state_;
    if (s.phase != State::Phase::Rows || s.rowsDue != s.rowsInAll) return false;
    if (s.rowPointers.size() < s.height) s.rowPointers.resize(s.height);
    for (size_t y = 0; y < s.height; ++y) s.rowPointers[y] = first + y * step;
    png_structp png = s.png;
    if (setjmp(png_jmpbuf(png)) != 0) return s.fail();
    png_read_image(png, s.rowPointers.data());
    s.rowsDue = 0;
    return s.succeed();
}

bool PngRows::finish(int& orientation, bool& orientationSure) {
    State& s = *state_;
    orientation = 1;
    orientationSure = true;
    if (s.phase != State::Phase::Rows) return false;
    png_structp png = s.png;
    png_infop info = s.info, endInfo = s.endInfo;
    if (setjmp(png_jmpbuf(png)) != 0) return s.fail();
    // Rows nobody asked for are still decoded: an error in them makes the
    // photo unreadable, as it makes cv::imread fail.
    for (; s.rowsDue > 0; --s.rowsDue) png_read_row(png, nullptr, nullptr);
    png_read_end(png, endInfo);
    png_uint_32 exifSize = 0;
    png_bytep exif = nullptr;
    if (png_get_valid(png, info, PNG_INFO_eXIf) != 0)
        png_get_eXIf_1(png, info, &exifSize, &exif);
    else if (png_get_valid(png, endInfo, PNG_INFO_eXIf) != 0)
        png_get_eXIf_1(png, endInfo, &exifSize, &exif);
    if (exif != nullptr && exifSize > 0) {
        const ExifOrientation o = exifOrientation(exif, exifSize);
        orientation = o.value;
        orientationSure = o.sure;
    }
    if (!s.succeed()) return false;
    s.release();
    return true;
}

}  // namespace roughgc::detail

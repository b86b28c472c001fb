// The tool's two ways into a photo, a file and bytes in memory, on the same
// bytes: both fail, or both give the same 8-bit BGR pixels in one block.
// And the header reader that batch mode sizes photos with, which must not
// read past the bytes it is given nor announce an empty photo.
//
// Input: the encoded photo.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "detail/io/photo_header.h"
#include "detail/io/photo_input.h"
#include "fuzz_input.h"

namespace {

std::string photoPath;

void requireBgr(const cv::Mat& image, const char* how) {
    FUZZ_REQUIRE(image.type() == CV_8UC3 && image.isContinuous(), "%s gave type %d, %s", how, image.type(),
                 image.isContinuous() ? "continuous" : "not continuous");
}

// OpenCV is not instrumented: to the fuzzer a PNG, a JPEG and a refused
// file look alike, and it would keep one input for them all. These branches
// tell the formats, by their first byte, and the outcomes apart.
void distinguish(const uint8_t* data, size_t size, const cv::Mat& image) {
    static volatile int seen;
    switch (size == 0 ? 0 : data[0]) {
        case 'B':
            seen = 1;
            break;  // BMP
        case 0x89:
            seen = 2;
            break;  // PNG
        case 0xFF:
            seen = 3;
            break;  // JPEG
        case 'P':
            seen = 4;
            break;  // PNM
        case 'I':
        case 'M':
            seen = 5;
            break;  // TIFF
        case 'R':
            seen = 6;
            break;  // WebP
        case '#':
            seen = 7;
            break;  // Radiance
        case 0x76:
            seen = 8;
            break;  // OpenEXR
        case 0x59:
            seen = 9;
            break;  // Sun raster
        default:
            seen = 0;
    }
    if (image.empty()) seen = -seen;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    limitOpenCvPixels(*argv);
    photoPath = (privateDirectory() / "photo").string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(photoPath.c_str(), "wb");
    FUZZ_REQUIRE(file != nullptr, "cannot create %s", photoPath.c_str());
    const bool written = std::fwrite(data, 1, size, file) == size;
    FUZZ_REQUIRE(std::fclose(file) == 0 && written, "cannot write %s", photoPath.c_str());

    if (const auto announced = roughgc::detail::photoDimensions(data, size))
        FUZZ_REQUIRE(announced->width != 0 && announced->height != 0, "a header announced %llu x %llu",
                     static_cast<unsigned long long>(announced->width), static_cast<unsigned long long>(announced->height));

    const cv::Mat fromFile = roughgc::detail::readPhoto(photoPath);
    const cv::Mat fromMemory = roughgc::detail::decodePhoto(data, size);
    FUZZ_REQUIRE(fromFile.empty() == fromMemory.empty(), "the file %s, the bytes %s",
                 fromFile.empty() ? "failed" : "decoded", fromMemory.empty() ? "failed" : "decoded");
    distinguish(data, size, fromFile);
    if (fromFile.empty()) return 0;
    requireBgr(fromFile, "the file");
    requireBgr(fromMemory, "the bytes");
    FUZZ_REQUIRE(fromFile.size() == fromMemory.size(), "the file gave %d x %d, the bytes %d x %d", fromFile.cols,
                 fromFile.rows, fromMemory.cols, fromMemory.rows);
    const size_t bytes = fromFile.total() * fromFile.elemSize();
    FUZZ_REQUIRE(std::memcmp(fromFile.data, fromMemory.data, bytes) == 0, "different pixels (%d x %d)", fromFile.cols,
                 fromFile.rows);
    return 0;
}

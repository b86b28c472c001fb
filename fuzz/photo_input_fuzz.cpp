// The two ways a photo comes in, a file and a pipe, on the same bytes: both
// fail, or both give the same 8-bit BGR pixels in one block. And the header
// readers that batch mode sizes photos with and that name a format, which
// must not read past the bytes they are given nor announce an empty photo.
//
// Input: the encoded photo.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "detail/io/codec_plugin.h"
#include "detail/io/photo_header.h"
#include "detail/io/photo_reader.h"
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

// The photo as it comes down a pipe: the bytes written and the writing end
// closed before it is read (a fuzzer's input fits in the pipe's buffer).
cv::Mat fromPipe(roughgc::detail::PhotoReader& reader, const uint8_t* data, size_t size) {
    int ends[2];
    FUZZ_REQUIRE(pipe2(ends, O_CLOEXEC) == 0, "cannot make a pipe");
    if (fcntl(ends[1], F_GETPIPE_SZ) < static_cast<int>(size)) fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(size));
    const bool written = size == 0 || write(ends[1], data, size) == static_cast<ssize_t>(size);
    close(ends[1]);
    cv::Mat image;
    if (written && reader.load("/proc/self/fd/" + std::to_string(ends[0])) == roughgc::detail::LoadEnd::Loaded)
        image = reader.decode(reader.keptTarget()).clone();
    close(ends[0]);
    FUZZ_REQUIRE(written, "cannot write %zu bytes into a pipe", size);
    return image;
}

cv::Mat fromFile(roughgc::detail::PhotoReader& reader) {
    if (reader.load(photoPath) != roughgc::detail::LoadEnd::Loaded) return cv::Mat();
    return reader.decode(reader.keptTarget()).clone();
}

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    limitOpenCvPixels(*argv);
    setenv("ROUGHGC_CODECS_PLUGIN", ROUGHGC_CODECS_PLUGIN_PATH, 1);
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

    (void)roughgc::detail::codecFormat(data, size);

    static roughgc::detail::PhotoReader reader;
    const cv::Mat fromFile = ::fromFile(reader);
    const cv::Mat fromMemory = fromPipe(reader, data, size);
    FUZZ_REQUIRE(fromFile.empty() == fromMemory.empty(), "the file %s, the pipe %s",
                 fromFile.empty() ? "failed" : "decoded", fromMemory.empty() ? "failed" : "decoded");
    distinguish(data, size, fromFile);
    if (fromFile.empty()) return 0;
    requireBgr(fromFile, "the file");
    requireBgr(fromMemory, "the pipe");
    FUZZ_REQUIRE(fromFile.size() == fromMemory.size(), "the file gave %d x %d, the pipe %d x %d", fromFile.cols,
                 fromFile.rows, fromMemory.cols, fromMemory.rows);
    const size_t bytes = fromFile.total() * fromFile.elemSize();
    FUZZ_REQUIRE(std::memcmp(fromFile.data, fromMemory.data, bytes) == 0, "different pixels (%d x %d)", fromFile.cols,
                 fromFile.rows);
    return 0;
}

// The routes a PNG can take (libpng whole or row by row into the first
// pass, turned by an EXIF block before or after its rows, or cv::imread in
// the codec plugin where OpenCV's reading of its EXIF is its own), held to
// cv::imread and extract(): see photo_routes.h.
//
// Input: the encoded photo (mutations of small PNGs: grey, palette, alpha,
// transparency, 16-bit, interlaced, turned, cut).
#include "photo_routes.h"

namespace {
std::string photoPath;
}

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    photo_routes::prepare(*argv);
    photoPath = (privateDirectory() / "photo.png").string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return photo_routes::check(data, size, photoPath);
}

// The routes a JPEG can take (libjpeg whole or row by row into the first
// pass, turned or not, or cv::imread in the codec plugin where OpenCV's
// reading of its EXIF is its own), held to cv::imread and extract(): see
// photo_routes.h.
//
// Input: the encoded photo (mutations of small JPEGs: baseline, progressive,
// grey, CMYK, turned, with restart markers).
#include "photo_routes.h"

namespace {
std::string photoPath;
}

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    photo_routes::prepare(*argv);
    photoPath = (privateDirectory() / "photo.jpg").string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return photo_routes::check(data, size, photoPath);
}

// The route of every format the library leaves to OpenCV (BMP, TIFF, WebP,
// the PNM family, Sun raster, Radiance and the rest): cv::imread in the
// codec plugin, its pixels copied into kept memory, held to cv::imread and
// extract(): see photo_routes.h. Whatever the bytes turn into, a JPEG or a
// PNG among them, the routes agree.
//
// Input: the encoded photo (mutations of small files of those formats).
#include "photo_routes.h"

namespace {
std::string photoPath;
}

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    photo_routes::prepare(*argv);
    photoPath = (privateDirectory() / "photo").string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return photo_routes::check(data, size, photoPath);
}

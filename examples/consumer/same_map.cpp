// same_map PHOTO MAP: makes the rough contour map of PHOTO with
// RoughExtractor and compares it, byte for byte, with MAP, the RoughGC.bmp
// that `roughgc PHOTO` wrote. Status 0 when they are the same, 1 when not,
// 2 when a file cannot be read.
#include <cstdio>
#include <cstring>
#include <opencv2/imgcodecs.hpp>

#include "rough_extractor.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: same_map PHOTO MAP\n");
        return 2;
    }
    const cv::Mat photo = cv::imread(argv[1], cv::IMREAD_COLOR);
    const cv::Mat written = cv::imread(argv[2], cv::IMREAD_UNCHANGED);
    if (photo.empty() || written.empty()) {
        std::fprintf(stderr, "same_map: cannot read %s\n", photo.empty() ? argv[1] : argv[2]);
        return 2;
    }

    RoughExtractor extractor;
    const RoughMap& map = extractor.extract(photo.ptr<uchar3>(), photo.rows, photo.cols);

    if (written.type() != CV_8UC1 || static_cast<size_t>(written.rows) != map.rows ||
        static_cast<size_t>(written.cols) != map.cols) {
        std::printf("different maps: %zu x %zu grey from the library, %d x %d of type %d in %s\n", map.cols, map.rows,
                    written.cols, written.rows, written.type(), argv[2]);
        return 1;
    }
    size_t differing = 0;
    for (size_t r = 0; r < map.rows; ++r) {
        const unsigned char* a = map.pixels + r * map.cols;
        const unsigned char* b = written.ptr<unsigned char>(static_cast<int>(r));
        for (size_t c = 0; c < map.cols; ++c) differing += a[c] != b[c];
    }
    if (differing != 0) {
        std::printf("different maps: %zu of %zu bytes differ\n", differing, map.rows * map.cols);
        return 1;
    }
    std::printf("same map: %zu x %zu, %d passes\n", map.cols, map.rows, map.passes);
    return 0;
}

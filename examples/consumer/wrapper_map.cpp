// wrapper_map PHOTO: the C entry points, as a C++ caller of
// CUDA_wrappers.h uses them: writes PHOTO's map to RoughGC.bmp in the working
// directory, as `roughgc PHOTO` does.
#include <cstdio>
#include <opencv2/imgcodecs.hpp>

#include "CUDA_wrappers.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: wrapper_map PHOTO\n");
        return 2;
    }
    const cv::Mat photo = cv::imread(argv[1], cv::IMREAD_COLOR);
    if (photo.empty()) {
        std::fprintf(stderr, "wrapper_map: cannot read %s\n", argv[1]);
        return 2;
    }
    FirstRun();
    processImageCUDA(photo.ptr<uchar3>(), photo.rows, photo.cols, 7, 1.7f, 0.1f);
    return 0;
}

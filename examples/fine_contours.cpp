// The two stages together: the rough contour map of a photo picks the
// places worth a closer look, and the fine stage evaluates the metric there
// at full resolution.
//
//   roughgc_fine PHOTO [OUT.png]
//
// Writes RoughGC.bmp (the rough map) and OUT.png (default FineContours.png)
// in the working directory.
//
// The rough map is made with a metric window of 2, the geometry that
// fineContoursCUDA takes: (H/3 - 2) x (W/3 - 2) cells, each over a 3 x 3
// block of the photo. Its black cells (0, below 255) mark their blocks.
//
// The filter matrices are 3 x 3 and pick single pixels: fmat2 the pixel
// itself (Q), fmat3 its right neighbour (R) and fmat1 the pixel below (P).
// So u and v are the forward differences of the feature image, and the fine
// value is the same metric as the rough stage's, per pixel: 4 on flat
// colour, growing across edges.
//
// In OUT.png unmarked pixels are white and marked ones grey, darker the
// larger the value: 255 - 64 log2(value / 4), clamped to 0 .. 255; values
// that are not finite numbers of at least 4 are black.
#include <cmath>
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "CUDA_wrappers.h"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::cerr << "usage: roughgc_fine PHOTO [OUT.png]\n";
        return 2;
    }
    const std::string out = argc == 3 ? argv[2] : "FineContours.png";
    cv::Mat photo = cv::imread(argv[1], cv::IMREAD_COLOR);
    if (photo.empty()) {
        std::cerr << "roughgc_fine: cannot read " << argv[1] << "\n";
        return 1;
    }
    const size_t height = photo.rows, width = photo.cols;

    // Stage one: the rough map, with window 2.
    FirstRun();
    processImageCUDA(photo.ptr<uchar3>(0), height, width, 2, 1.7f, 0.1f);
    cv::Mat rough = cv::imread("RoughGC.bmp", cv::IMREAD_GRAYSCALE);
    if (rough.rows != static_cast<int>(height / 3 - 2) || rough.cols != static_cast<int>(width / 3 - 2)) {
        std::cerr << "roughgc_fine: unexpected rough map\n";
        return 1;
    }
    cv::Mat roughCont;
    rough.convertTo(roughCont, CV_32F);

    // Stage two: four-channel pixels, the neighbour-difference filters, no
    // marks of our own.
    cv::Mat alpha(photo.size(), CV_8UC1, cv::Scalar(255)), bgra;
    cv::merge(std::vector<cv::Mat>{photo, alpha}, bgra);
    const size_t kc2 = 3;
    float fmat1[9] = {0, 0, 0, 0, 0, 0, 0, 1, 0};
    float fmat2[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};
    float fmat3[9] = {0, 0, 0, 0, 0, 1, 0, 0, 0};
    cv::Mat fine(static_cast<int>(height - kc2), static_cast<int>(width - kc2), CV_32F, cv::Scalar(0));
    fineContoursCUDA(bgra.ptr<uchar4>(0), roughCont.ptr<float>(0), fine.ptr<float>(0), fmat1, fmat2, fmat3, height,
                     width, kc2);

    cv::Mat picture(fine.size(), CV_8UC1);
    size_t marked = 0;
    for (int y = 0; y < fine.rows; ++y)
        for (int x = 0; x < fine.cols; ++x) {
            const float v = fine.at<float>(y, x);
            int grey = 255;
            if (v != 0.0f) {
                ++marked;
                grey = std::isfinite(v) && v >= 4.0f ? 255 - static_cast<int>(64.0 * std::log2(v / 4.0)) : 0;
            }
            picture.at<uchar>(y, x) = static_cast<uchar>(std::clamp(grey, 0, 255));
        }
    if (!cv::imwrite(out, picture)) {
        std::cerr << "roughgc_fine: cannot write " << out << "\n";
        return 1;
    }
    std::cout << "Marked pixels: " << marked << " of " << fine.total() << "\nWrote RoughGC.bmp and " << out << "\n";
    return 0;
}

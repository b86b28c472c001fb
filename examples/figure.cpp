// Puts a photo and its rough contour map side by side in one PNG, the map
// scaled back up by 3 and placed where its pixels lie in the photo.
//   roughgc_figure photo.jpg RoughGC.bmp out.png
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: roughgc_figure PHOTO ROUGHGC_BMP OUT_PNG\n";
        return 2;
    }
    const cv::Mat photo = cv::imread(argv[1], cv::IMREAD_COLOR);
    const cv::Mat map = cv::imread(argv[2], cv::IMREAD_GRAYSCALE);
    if (photo.empty() || map.empty()) {
        std::cerr << "roughgc_figure: cannot read the inputs\n";
        return 1;
    }
    // Map pixel (i, j) stands for the 3 x 3 block at averaged pixel
    // (i + 3, j + 3) of the photo; the margin stays white.
    cv::Mat big;
    cv::resize(map, big, cv::Size(), 3, 3, cv::INTER_NEAREST);
    cv::Mat placed(photo.size(), CV_8UC1, cv::Scalar(255));
    const cv::Rect where(9, 9, std::min(big.cols, photo.cols - 9), std::min(big.rows, photo.rows - 9));
    big(cv::Rect(0, 0, where.width, where.height)).copyTo(placed(where));
    cv::Mat placedColour, out;
    cv::cvtColor(placed, placedColour, cv::COLOR_GRAY2BGR);
    const cv::Mat gap(photo.rows, 16, CV_8UC3, cv::Scalar(255, 255, 255));
    cv::hconcat(std::vector<cv::Mat>{photo, gap, placedColour}, out);
    if (!cv::imwrite(argv[3], out)) {
        std::cerr << "roughgc_figure: cannot write " << argv[3] << "\n";
        return 1;
    }
    return 0;
}

// Draws the README's picture: a photo beside its overlay (roughgc::overlay,
// the map's rough pixels in red over the photo at the map's scale), the
// overlay scaled back up by 3, each of its pixels standing for its 3 x 3
// block, so that both are seen at the photo's size.
//   roughgc_figure photo.jpg out.png
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <roughgc/roughgc.hpp>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: roughgc_figure PHOTO OUT_PNG\n";
        return 2;
    }
    try {
        const cv::Mat photo = roughgc::readPhoto(argv[1]);
        const roughgc::Result result = roughgc::roughContours(photo);
        cv::Mat small, big;
        roughgc::overlay(photo, result, small);
        cv::resize(small, big, cv::Size(), 3, 3, cv::INTER_NEAREST);
        // Side by side, top-aligned; the photo's last rows and columns
        // beyond a whole block have no overlay pixel.
        cv::Mat out(photo.rows, photo.cols + 16 + big.cols, CV_8UC3, cv::Scalar(255, 255, 255));
        photo.copyTo(out(cv::Rect(0, 0, photo.cols, photo.rows)));
        big.copyTo(out(cv::Rect(photo.cols + 16, 0, big.cols, big.rows)));
        if (!cv::imwrite(argv[2], out, {cv::IMWRITE_PNG_COMPRESSION, 9})) {
            std::cerr << "roughgc_figure: cannot write " << argv[2] << "\n";
            return 1;
        }
    } catch (const std::exception& e) {
        std::cerr << "roughgc_figure: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

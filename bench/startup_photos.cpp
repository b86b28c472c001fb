// The 12-megapixel photos of roughgc_startup: a cubic upscale of a photo to
// 4000 x 3000, as a JPEG of quality 95 and as a PNG.
//
//   roughgc_startup_photos SOURCE OUT.jpg OUT.png
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const cv::Mat small = cv::imread(argv[1]);
    if (small.empty()) return 1;
    cv::Mat large;
    cv::resize(small, large, cv::Size(4000, 3000), 0, 0, cv::INTER_CUBIC);
    return cv::imwrite(argv[2], large, {cv::IMWRITE_JPEG_QUALITY, 95}) && cv::imwrite(argv[3], large) ? 0 : 1;
}

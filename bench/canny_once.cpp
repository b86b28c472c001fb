// What a user would otherwise run for an edge map of one photo, as a
// one-shot program: read, grey, Canny(50, 150), write.
//
//   roughgc_canny_once PHOTO OUT.bmp
#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: roughgc_canny_once PHOTO OUT.bmp\n");
        return 2;
    }
    const cv::Mat photo = cv::imread(argv[1], cv::IMREAD_COLOR);
    if (photo.empty()) return 1;
    cv::Mat grey, edges;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    cv::Canny(grey, edges, 50, 150);
    return cv::imwrite(argv[2], edges) ? 0 : 1;
}

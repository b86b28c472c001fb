// same_map PHOTO MAP: makes the rough contour map of PHOTO with
// roughgc::Extractor and compares it, byte for byte, with MAP, the
// RoughGC.bmp that `roughgc PHOTO` wrote; then the map of a region of the
// photo with that of a copy of the region. Status 0 when all agree, 1 when
// not, 2 when a file cannot be read.
//
// It includes the library's header alone, and names of its own that a GPU
// runtime's header would clash with: nothing of that runtime reaches it.
#include <cstdio>
#include <roughgc/roughgc.hpp>
#include <opencv2/imgcodecs.hpp>

struct dim3 {
    int x, y, z;
};
dim3 threadIdx{0, 0, 0};
int check(int value) { return value; }
#define checkCudaErrors(x) check(x)

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: same_map PHOTO MAP\n");
        return 2;
    }
    cv::Mat photo;
    try {
        photo = roughgc::readPhoto(argv[1]);
    } catch (const roughgc::InputError& e) {
        std::fprintf(stderr, "same_map: %s\n", e.what());
        return 2;
    }
    const cv::Mat written = cv::imread(argv[2], cv::IMREAD_UNCHANGED);
    if (written.empty()) {
        std::fprintf(stderr, "same_map: cannot read %s\n", argv[2]);
        return 2;
    }

    roughgc::Extractor extractor;
    const roughgc::Result r = extractor.extract(photo);
    if (written.type() != CV_8UC1 || written.size() != r.map.size()) {
        std::printf("different maps: %d x %d grey from the library, %d x %d of type %d in %s\n", r.map.cols,
                    r.map.rows, written.cols, written.rows, written.type(), argv[2]);
        return 1;
    }
    const int differing = cv::countNonZero(r.map != written);
    if (differing != 0) {
        std::printf("different maps: %d of %d bytes differ\n", differing, static_cast<int>(r.map.total()));
        return checkCudaErrors(1);
    }

    const cv::Rect region(photo.cols / 7, photo.rows / 5, photo.cols / 2, photo.rows / 2);
    const roughgc::Result cropped = extractor.extract(photo(region));
    const roughgc::Result copied = extractor.extract(photo(region).clone());
    if (cv::countNonZero(cropped.map != copied.map) != 0 || cropped.passes != copied.passes) {
        std::printf("different maps of a region and of its copy\n");
        return 1;
    }
    std::printf("same map: %d x %d, %d passes; a region's map as its copy's\n", r.map.cols, r.map.rows, r.passes);
    return threadIdx.x;
}

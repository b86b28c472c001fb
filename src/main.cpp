// roughgc: writes the rough contour map of one photograph to RoughGC.bmp.
#include <sys/time.h>

#include <cstring>
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include "CUDA_wrappers.h"

// Wall-clock milliseconds, wrapping at 32 bits; only differences are used.
unsigned int GetTickCount() {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return 0;
    return static_cast<unsigned int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

template <typename T>
void prepareImagePointers1(cv::Mat& image, T** out) {
    *out = image.ptr<T>(0);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cout << "Wrong number of arguments!" << std::endl;
        return -1;
    }
    // Our own line reports an unreadable file; OpenCV's warnings would only
    // repeat it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);

    cv::Mat image;
    try {
        image = cv::imread(argv[1], 1);
    } catch (const cv::Exception&) {
        // A header announcing more pixels than OpenCV accepts.
        image.release();
    }
    if (image.data == nullptr) {
        std::cout << "(!) Error reading images \n" << std::endl;
        return -2;
    }

    std::cout << "Width of image: " << image.cols << std::endl;
    std::cout << "Height of image: " << image.rows << std::endl;
    std::cout << std::endl;

    const size_t kc2 = 7;
    const float dim = 1.7f;
    const float eps = 0.1f;
    const size_t height = static_cast<size_t>(image.rows), width = static_cast<size_t>(image.cols);
    requireRoughImageSize(height, width, kc2);

    // The pixels as one block of BGR triples, in page-locked memory for a
    // fast upload; kept until the process ends.
    if (!image.isContinuous()) image = image.clone();
    uchar3* pixels = nullptr;
    prepareImagePointers1<uchar3>(image, &pixels);
    uchar3* h_imageRGB = nullptr;
    const size_t bytes = height * width * 3;
    checkCudaErrors(cudaMallocHost<uchar3>(&h_imageRGB, bytes, 0));
    std::memcpy(h_imageRGB, pixels, bytes);

    // Context creation stays outside the measured time.
    FirstRun();

    const unsigned int startTime = GetTickCount();
    processImageCUDA(h_imageRGB, height, width, kc2, dim, eps);
    const unsigned int endTime = GetTickCount();
    std::cout << "GC time (ms): " << endTime - startTime << std::endl;
    return 0;
}

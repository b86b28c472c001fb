// roughgc: writes the rough contour map of one photograph to RoughGC.bmp.
#include <sys/time.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "CUDA_wrappers.h"
#include "roughgc/roughgc.hpp"
#include "cli/batch.h"
#include "cli/batch_options.h"
#include "detail/io/photo_input.h"
#include "cli/stdout_watch.h"


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
    // Our own lines report unreadable files; OpenCV's warnings would only
    // repeat them.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    if (isBatchCommandLine(argc, argv)) return runBatch(argc, argv);
    StdoutWatch out;
    if (argc != 2) {
        std::cout << "Wrong number of arguments!" << std::endl;
        return out.finish(-1);
    }
    // Past a file-size limit, a write then fails with EFBIG and is reported
    // like any other failed write, instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);

    cv::Mat image;
    try {
        image = roughgc::detail::readPhoto(argv[1]);
    } catch (const std::bad_alloc&) {
        // No memory to decode it: for this tool, as unreadable as a broken file.
    }
    if (image.data == nullptr) {
        // A photo over the decoder's size limits is not broken: it is too
        // large, as one over the extraction's limits is.
        if (const std::string tooLarge = roughgc::detail::decodeLimitProblemOfFile(argv[1]); !tooLarge.empty()) {
            std::fprintf(stderr, "%s\n", tooLarge.c_str());
            return out.finish(kExitUnsupportedImageSize);
        }
        std::cout << "(!) Error reading images \n" << std::endl;
        return out.finish(-2);
    }

    errno = 0;
    std::cout << "Width of image: " << image.cols << std::endl;
    std::cout << "Height of image: " << image.rows << std::endl;
    std::cout << std::endl;
    out.check();

    // The library's defaults: window 7, dimension 1.7, tolerance 0.1.
    const roughgc::Params defaults;
    const size_t kc2 = static_cast<size_t>(defaults.window);
    const float dim = defaults.dimension;
    const float eps = defaults.tolerance;
    const size_t height = static_cast<size_t>(image.rows), width = static_cast<size_t>(image.cols);
    requireRoughImageSize(height, width, kc2);

    // The pixels as one block of BGR triples, in page-locked memory for a
    // fast upload; kept until the process ends.
    uchar3* pixels = nullptr;
    prepareImagePointers1<uchar3>(image, &pixels);
    uchar3* h_imageRGB = nullptr;
    const size_t bytes = height * width * 3;
    checkCudaErrors(cudaMallocHost<uchar3>(&h_imageRGB, bytes, 0));
    std::memcpy(h_imageRGB, pixels, bytes);

    // Context creation and kernel loading stay outside the measured time.
    FirstRun();

    const unsigned int startTime = GetTickCount();
    processImageCUDA(h_imageRGB, height, width, kc2, dim, eps);
    const unsigned int endTime = GetTickCount();
    errno = 0;
    std::cout << "GC time (ms): " << endTime - startTime << std::endl;
    return out.finish(0);
}

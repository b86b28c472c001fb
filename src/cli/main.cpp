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
#include "cli/stdout_watch.h"
#include "detail/device/host_memory.h"
#include "detail/io/decode_limits.h"
#include "detail/io/photo_reader.h"

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

// The photo, decoded straight into the page-locked memory that the
// pipeline uploads from, kept until the process ends (`pinned`). Should
// that memory not be had, it is decoded into ordinary memory, and the
// page-locked copy is asked for again where it always was, after the
// photo's size is printed. No pixels: the reader's problem says why.
cv::Mat decodePinned(roughgc::detail::PhotoReader& reader, const char* path, uchar3*& pinned) {
    namespace d = roughgc::detail;
    try {
        if (reader.load(path) != d::LoadEnd::Loaded) return {};
        return reader.decode([&pinned](int rows, int cols) {
            uchar3* pixels = nullptr;
            const size_t bytes = static_cast<size_t>(rows) * static_cast<size_t>(cols) * 3;
            if (cudaMallocHost<uchar3>(&pixels, bytes, 0) != cudaSuccess) {
                cudaGetLastError();
                return d::freshMat(rows, cols, CV_8UC3);
            }
            pinned = pixels;
            return cv::Mat(rows, cols, CV_8UC3, pixels);
        });
    } catch (const std::bad_alloc&) {
        // No memory to decode it: for this tool, as unreadable as a broken file.
        return {};
    }
}

// What the tool says of a photo it could not decode, and its status.
int refuseUnread(roughgc::detail::PhotoReader& reader) {
    namespace d = roughgc::detail;
    const d::PhotoReader::Problem problem = reader.problemKind();
    // A photo over the decoder's size limits is not broken: it is too
    // large, as one over the extraction's limits is.
    if (problem == d::PhotoReader::Problem::TooLarge) {
        std::fprintf(stderr, "%s\n", reader.problem().c_str());
        return kExitUnsupportedImageSize;
    }
    // One that needs codecs that are not installed says which.
    if (problem == d::PhotoReader::Problem::NoCodecs) std::fprintf(stderr, "%s\n", reader.problem().c_str());
    std::cout << "(!) Error reading images \n" << std::endl;
    return -2;
}

int main(int argc, char** argv) {
    // Our own lines report unreadable files; OpenCV's warnings would only
    // repeat them.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    if (isBatchCommandLine(argc, argv)) return runBatch(argc, argv);
    StdoutWatch out;
    if (argc != 2) {
        std::cout << "Wrong number of arguments!" << std::endl;
        // Several photos are batch mode's, which a folder for the maps names.
        if (argc > 2)
            std::fprintf(stderr, "roughgc: one photo at a time; for several, name a folder for their maps: "
                                 "roughgc --out-dir DIR PHOTO...\n");
        return out.finish(-1);
    }
    // OpenCV's size limits set to what it cannot read: refused before any
    // work, as OpenCV itself would stop the process when it loads.
    if (const std::string limits = roughgc::detail::decodeLimitsProblem(); !limits.empty())
        return refuseCommandLine(limits.substr(4));
    // Past a file-size limit, a write then fails with EFBIG and is reported
    // like any other failed write, instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);

    namespace d = roughgc::detail;
    d::PhotoReader reader;
    uchar3* h_imageRGB = nullptr;
    cv::Mat image = decodePinned(reader, argv[1], h_imageRGB);
    if (image.data == nullptr) return out.finish(refuseUnread(reader));

    errno = 0;
    std::cout << "Width of image: " << image.cols << std::endl;
    std::cout << "Height of image: " << image.rows << std::endl;
    std::cout << std::endl;
    out.check();

    // The library's defaults: window 7, dimension 1.7, tolerance 0.1.
    const roughgc::Params defaults;
    const size_t window = static_cast<size_t>(defaults.window);
    const float dim = defaults.dimension;
    const float eps = defaults.tolerance;
    const size_t height = static_cast<size_t>(image.rows), width = static_cast<size_t>(image.cols);
    requireRoughImageSize(height, width, window);

    if (image.data != reinterpret_cast<unsigned char*>(h_imageRGB)) {
        // The pixels as one block of BGR triples, in page-locked memory for
        // a fast upload.
        uchar3* pixels = nullptr;
        prepareImagePointers1<uchar3>(image, &pixels);
        const size_t bytes = height * width * 3;
        checkCudaErrors(cudaMallocHost<uchar3>(&h_imageRGB, bytes, 0));
        std::memcpy(h_imageRGB, pixels, bytes);
    }

    // Context creation and kernel loading stay outside the measured time.
    FirstRun();

    const unsigned int startTime = GetTickCount();
    processImageCUDA(h_imageRGB, height, width, window, dim, eps);
    const unsigned int endTime = GetTickCount();
    errno = 0;
    std::cout << "GC time (ms): " << endTime - startTime << std::endl;
    return out.finish(0);
}

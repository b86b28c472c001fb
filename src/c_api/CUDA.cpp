// The library's C entry points: thin layers over the core in
// detail/ that keep their contract of printing, exiting and writing
// "RoughGC.bmp".
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "CUDA_staged.h"
#include "CUDA_wrappers.h"
#include "detail/device/device.h"
#include "detail/fine/fine.h"
#include "detail/histogram/histogram.h"
#include "detail/io/map_file.h"
#include "detail/pipeline/rough_pipeline.h"
#include "detail/stages/rough_size.h"
#include "detail/stages/rough_stages.h"
#include "detail/search/rough_host.h"
#include "detail/search/search.h"
#include "roughgc/errors.hpp"

namespace {

namespace detail = roughgc::detail;

// A failed runtime call ends the process with check's two lines and status
// 1, as it always has.
[[noreturn]] void exitWith(const roughgc::DeviceError& e) {
    check(static_cast<cudaError_t>(e.code()), e.call().c_str(), e.file().c_str(), e.line());
    std::exit(1);
}

// A size refused: its line on standard error, and the status that says so.
[[noreturn]] void exitRefusingSize(const std::string& problem) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::exit(kExitUnsupportedImageSize);
}

}  // namespace

static_assert(kMaxRoughWindow == detail::kMaxRoughWindow);

void FirstRun() {
    try {
        detail::selectDevice(0);
        detail::loadRoughStageKernels();
        detail::loadSearchKernels();
        detail::loadHistogramKernels();
        detail::loadFineKernels();
        const detail::EventPair events;
    } catch (const roughgc::DeviceError& e) {
        exitWith(e);
    }
}

size_t roughMinimumSide(size_t kc2) { return detail::roughMinimumSide(kc2); }

std::string roughImageSizeProblem(size_t height, size_t width, size_t kc2) {
    return detail::roughImageSizeProblem(height, width, kc2);
}

void requireRoughImageSize(size_t height, size_t width, size_t kc2) {
    const std::string problem = roughImageSizeProblem(height, width, kc2);
    if (!problem.empty()) exitRefusingSize(problem);
}

void processImageCUDA(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2, float dim, float eps) {
    processImageStaged(h_imageRGB, height, width, kc2, dim, eps, nullptr);
}

void processImageStaged(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2, float dim, float eps,
                        detail::StageTimes* times) {
    if (times) times->start();
    // Refused before anything is allocated, or the pixels read.
    std::string problem;
    const std::optional<detail::RoughGeometry> geometry = detail::roughGeometry(height, width, kc2, &problem);
    if (!geometry) exitRefusingSize(problem);

    std::string why;
    bool written = false;
    try {
        detail::RoughPipeline pipeline(0);
        const detail::HostPhoto photo{reinterpret_cast<const unsigned char*>(h_imageRGB), sizeof(uchar3) * width,
                                      height, width, 3};
        // The evaluation passes on the device; the library's face counts on
        // box maxima instead, to the same result.
        const detail::RoughMapView& map =
            pipeline.run(photo, *geometry, dim, eps, detail::SearchRoute::EvaluationPasses, times);
        written = detail::writeGreyBmp(map.pixels, static_cast<int>(map.rows), static_cast<int>(map.cols),
                                       "RoughGC.bmp", why);
        if (times) times->mark("file write");
    } catch (const roughgc::DeviceError& e) {
        exitWith(e);
    }
    if (times) times->mark("release");

    if (!written) {
        std::fprintf(stderr, "(!) Error writing RoughGC.bmp: %s\n", why.c_str());
        std::exit(kExitOutputNotWritten);
    }
}

std::vector<float> NormalEquations2d(const std::vector<float>& y, const std::vector<float>& x) {
    return detail::leastSquaresLine(y, x);
}

void histogramCUDA(float* h_matr, int* h_hist, int* h_cnt, size_t height, size_t width, float begin, float end,
                   size_t N) {
    if (const std::string problem = detail::histogramSizeProblem(height, width, N); !problem.empty()) {
        std::fprintf(stderr, "histogramCUDA: %s\n", problem.c_str());
        return;
    }
    if (height == 0 || width == 0) return;
    try {
        detail::runHistogram(h_matr, h_hist, h_cnt, height, width, begin, end, N, 0, [](float milliseconds) {
            std::cout << "CUDA histogram kernel (ms): " << milliseconds << std::endl;
        });
    } catch (const roughgc::DeviceError& e) {
        exitWith(e);
    }
}

void fineContoursCUDA(const uchar4* h_imageRGB, float* h_roughCont, float* h_fineContours, float* h_fmat1,
                      float* h_fmat2, float* h_fmat3, size_t height, size_t width, size_t kc2) {
    if (const std::string problem = detail::fineSizeProblem(height, width, kc2); !problem.empty()) {
        std::fprintf(stderr, "fineContoursCUDA: %s\n", problem.c_str());
        return;
    }
    try {
        detail::runFineContours(h_imageRGB, h_roughCont, h_fineContours, h_fmat1, h_fmat2, h_fmat3, height, width,
                                kc2, 0);
    } catch (const roughgc::DeviceError& e) {
        exitWith(e);
    }
}

// processImageCUDA on small images: the map it writes has the documented
// size and holds only 0 and 255. And roughImageSizeProblem, on any sizes,
// against the limits stated here in 128-bit arithmetic.
//
// Input: a mode byte. Even: kc2 (one byte, 1 .. 32), height and width (one
// byte each, from the smallest accepted side to 120), dim and eps
// (FuzzInput::number), then the pixels' bytes, repeated to fill the image.
// Odd: height, width and kc2 (FuzzInput::size) for the size check alone:
// processImageCUDA ends the process on sizes it refuses.
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "CUDA_wrappers.h"
#include "fuzz_input.h"

namespace {

constexpr size_t kMaxSide = 120;

// Both box grids need a box in each direction, the index arithmetic 32 bits,
// and the averaging grid at most 65535 blocks of 16 rows.
bool accepted(size_t height, size_t width, size_t kc2) {
    const u128 side = 3 * (u128{kc2} + 8);
    return kc2 >= 1 && kc2 <= 15438 && height >= side && width >= side && u128{height} * width <= INT_MAX &&
           height <= 3145679;
}

int homeDir = -1, ownDir = -1;

void checkSizeVerdict(size_t height, size_t width, size_t kc2) {
    const std::string problem = roughImageSizeProblem(height, width, kc2);
    const bool expected = accepted(height, width, kc2);
    FUZZ_REQUIRE(problem.empty() == expected, "%zu x %zu, kc2 %zu: \"%s\", expected %s", width, height, kc2,
                 problem.c_str(), expected ? "acceptance" : "a refusal");
    FUZZ_REQUIRE(problem.find('\n') == std::string::npos, "\"%s\" is not one line", problem.c_str());
}

void runPipeline(FuzzInput& in) {
    const size_t kc2 = 1 + in.byte() % 32;
    const size_t side = 3 * (kc2 + 8);
    const size_t height = side + in.byte() % (kMaxSide - side + 1);
    const size_t width = side + in.byte() % (kMaxSide - side + 1);
    const float dim = in.number(), eps = in.number();
    checkSizeVerdict(height, width, kc2);

    std::vector<uchar3> image(height * width);
    const uint8_t* bytes = in.rest();
    const size_t n = in.left();
    for (size_t i = 0; i < image.size(); ++i) {
        auto at = [&](size_t k) { return n == 0 ? uint8_t{0} : bytes[(3 * i + k) % n]; };
        image[i] = make_uchar3(at(0), at(1), at(2));
    }

    // The pipeline writes into the working directory: a private one while it
    // runs, since the fuzzer's own paths (corpus, artifacts) may be relative.
    FUZZ_REQUIRE(fchdir(ownDir) == 0, "cannot enter the private directory");
    // A map left by an earlier case must not pass for this one's.
    std::remove("RoughGC.bmp");
    processImageCUDA(image.data(), height, width, kc2, dim, eps);
    const cv::Mat map = cv::imread("RoughGC.bmp", cv::IMREAD_UNCHANGED);
    FUZZ_REQUIRE(fchdir(homeDir) == 0, "cannot return to the working directory");
    const int rows = static_cast<int>(height / 3 - kc2), cols = static_cast<int>(width / 3 - kc2);
    FUZZ_REQUIRE(!map.empty() && map.type() == CV_8UC1 && map.rows == rows && map.cols == cols,
                 "map of %d x %d, type %d; expected %d x %d 8-bit grey (image %zu x %zu, kc2 %zu)", map.cols, map.rows,
                 map.type(), cols, rows, width, height, kc2);
    const int black = cv::countNonZero(map == 0), white = cv::countNonZero(map == 255);
    FUZZ_REQUIRE(black + white == rows * cols, "%d pixels neither 0 nor 255", rows * cols - black - white);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ownDir = open(privateDirectory().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    homeDir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (ownDir < 0 || homeDir < 0) {
        std::perror("process_image fuzz target: working directories");
        std::exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    if (in.byte() % 2 == 0) {
        runPipeline(in);
    } else {
        const size_t height = in.size(), width = in.size(), kc2 = in.size();
        checkSizeVerdict(height, width, kc2);
    }
    return 0;
}

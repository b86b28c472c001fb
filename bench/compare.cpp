// RoughGC against what a user would otherwise run for a contour map of a
// photo: OpenCV's grey conversion and Canny edge detector.
//
//   roughgc_compare [REPETITIONS]
//
// Makes a 4000 x 3000 photo by cubic upscaling of bench/data/aloeL.jpg,
// passes it once through JPEG encoding and decoding, then times, alternating
// and after warm-ups:
//   A: processImageCUDA on page-locked pixels, as roughgc runs it after
//      FirstRun (its "GC time"), writing RoughGC.bmp in a temporary folder;
//   B: cv::cvtColor to grey, then cv::Canny(grey, edges, 50, 150).
// Prints the median and spread of each, A / B, A's time per stage, and the
// least time that moving A's data at the measured copy bandwidth takes.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "CUDA_stages.h"
#include "CUDA_wrappers.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

struct Summary {
    double median, min, max;
};

Summary summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    const double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    return {median, v.front(), v.back()};
}

// The source photo: $ROUGHGC_BENCH_DATA, else the source tree it was built
// from, else bench/data under the working directory (a copied tree).
std::string sourcePhoto() {
    for (const char* dir : std::initializer_list<const char*>{std::getenv("ROUGHGC_BENCH_DATA"), ROUGHGC_BENCH_DATA, "bench/data"}) {
        if (dir == nullptr) continue;
        const std::string path = std::string(dir) + "/aloeL.jpg";
        if (std::filesystem::exists(path)) return path;
    }
    return "bench/data/aloeL.jpg";
}

cv::Mat makePhoto() {
    const std::string source = sourcePhoto();
    const cv::Mat small = cv::imread(source, cv::IMREAD_COLOR);
    if (small.empty()) {
        std::fprintf(stderr, "cannot read %s\n", source.c_str());
        std::exit(1);
    }
    cv::Mat big;
    cv::resize(small, big, cv::Size(4000, 3000), 0, 0, cv::INTER_CUBIC);
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", big, jpeg);
    return cv::imdecode(jpeg, cv::IMREAD_COLOR);
}

// Bytes per second of a host-to-device copy of `bytes` from page-locked
// memory: on the CPU backend, of a plain memory copy.
double copyBandwidth(const uchar3* pinned, size_t bytes) {
    void* d = nullptr;
    checkCudaErrors(cudaMalloc(&d, bytes));
    std::vector<double> times;
    for (int i = 0; i < 7; ++i) {
        const auto t0 = Clock::now();
        checkCudaErrors(cudaMemcpy(d, pinned, bytes, cudaMemcpyHostToDevice));
        checkCudaErrors(cudaDeviceSynchronize());
        if (i > 1) times.push_back(msSince(t0));
    }
    cudaFree(d);
    return bytes / (summarise(times).median / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const int warmups = 2;
    const size_t kc2 = 7;

    const cv::Mat photo = makePhoto();
    const size_t height = photo.rows, width = photo.cols, bytes = height * width * 3;
    uchar3* pinned = nullptr;
    checkCudaErrors(cudaMallocHost<uchar3>(&pinned, bytes, 0));
    std::memcpy(pinned, photo.ptr<uchar3>(0), bytes);
    FirstRun();

    // RoughGC.bmp goes to a scratch folder.
    const std::filesystem::path scratch = std::filesystem::temp_directory_path() / ("roughgc_compare_" + std::to_string(getpid()));
    std::filesystem::create_directories(scratch);
    const std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(scratch);

    std::vector<double> a, b;
    std::map<std::string, std::vector<double>> stages;
    std::vector<std::string> stageOrder;
    size_t passes = 0;
    cv::Mat grey, edges;
    for (int i = 0; i < warmups + reps; ++i) {
        StageTimes times;
        auto t0 = Clock::now();
        processImageStaged(pinned, height, width, kc2, 1.7f, 0.1f, &times);
        const double ta = msSince(t0);

        t0 = Clock::now();
        cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
        cv::Canny(grey, edges, 50, 150);
        const double tb = msSince(t0);

        if (i < warmups) continue;
        a.push_back(ta);
        b.push_back(tb);
        passes = 0;
        for (const auto& [name, ms] : times.stages) {
            const bool pass = name.rfind("search pass", 0) == 0;
            passes += pass;
            if (!stages.count(name)) stageOrder.push_back(name);
            stages[name].push_back(ms);
        }
    }
    std::filesystem::current_path(home);
    std::filesystem::remove_all(scratch);

    const Summary sa = summarise(a), sb = summarise(b);
    std::printf("photo: %zu x %zu, %d repetitions after %d warm-ups, alternating\n", width, height, reps, warmups);
    std::printf("%-44s %9s %9s %9s\n", "", "median", "min", "max");
    std::printf("%-44s %9.2f %9.2f %9.2f ms\n", "A: processImageCUDA (GC time)", sa.median, sa.min, sa.max);
    std::printf("%-44s %9.2f %9.2f %9.2f ms\n", "B: cvtColor + Canny(50, 150)", sb.median, sb.min, sb.max);
    std::printf("A / B (medians): %.2f\n\n", sa.median / sb.median);

    std::printf("A per stage (median ms):\n");
    for (const std::string& name : stageOrder) std::printf("  %-24s %8.3f\n", name.c_str(), summarise(stages[name]).median);

    // The least data the pipeline moves: the photo in, the averaged map and
    // the metric map written, the metric map out, each pass's binary map
    // written, the final map out.
    const size_t mSize = (height / 3) * (width / 3), tSize = (height / 3 - kc2) * (width / 3 - kc2);
    const double moved = 3.0 * height * width + 12.0 * mSize + 4.0 * tSize * 2 + 1.0 * tSize * passes + tSize;
    const double bandwidth = copyBandwidth(pinned, bytes);
    const double floorMs = moved / bandwidth * 1000.0;
    std::printf("\nfloor: %.1f MB moved (%zu passes) at %.1f GB/s copy bandwidth = %.2f ms; A is %.1f x the floor\n",
                moved / 1e6, passes, bandwidth / 1e9, floorMs, sa.median / floorMs);
    return 0;
}

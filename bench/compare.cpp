// RoughGC against what a user would otherwise run for a contour map of a
// photo: OpenCV's grey conversion and Canny edge detector.
//
//   roughgc_compare [REPETITIONS]
//
// Every photo of bench/data is upscaled (cubic) to 4000 x 3000 and passed
// once through JPEG. For each, in one process:
//   A: processImageCUDA on page-locked pixels, as roughgc runs it after
//      FirstRun (its "GC time"), writing RoughGC.bmp in a temporary folder;
//   B: cv::cvtColor to grey, then cv::Canny(grey, edges, 50, 150), with
//      OpenCV's default threads;
//   C: roughgc::Extractor::extract on the decoded photo, a warm extractor
//      returning the map in memory, as Canny returns its edges: the library's
//      face, with its search on box maxima.
// Each side is timed alone first, then the three alternating; A / B and
// C / B compare the alternating medians. Both run at their warm steady state: glibc is
// told for the whole process to keep freed memory (see keepHeapWarm), so
// neither side pays for page faults on memory the other gave back.
//
// Before those, the cold figures a user of the tool sees: roughgc and a
// one-shot Canny program, each run as a fresh process on every photo's
// 12-megapixel JPEG, while this process holds no large buffers yet.
//
// Paths: $ROUGHGC_BENCH_DATA, $ROUGHGC_TOOL and $ROUGHGC_CANNY_ONCE, where
// set, replace the photo folder and the two programs of the build tree (for
// binaries copied elsewhere).
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <vector>

#include <roughgc/roughgc.hpp>

#include "CUDA_staged.h"
#include "CUDA_wrappers.h"
#include "detail/pipeline/rough_pipeline.h"
#include "process_run.h"


namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// glibc hands freed blocks of 128 KiB and more back to the system, and
// trims the heap's top, so a side that follows another which freed its
// buffers faults its own in afresh, at about 5 us per 4 KiB page: 70 MB of
// Canny's buffers cost more than Canny. Blocks up to 32 MiB (the most glibc
// allows) then stay in the heap, and the heap is not trimmed.
const char* keepHeapWarm() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    return "glibc M_MMAP_THRESHOLD 32 MiB, M_TRIM_THRESHOLD 1 GiB, set for the whole process";
}

// `built`, unless the environment variable `name` says otherwise.
const char* pathFromEnv(const char* name, const char* built) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : built;
}

// The photos: $ROUGHGC_BENCH_DATA, else the source tree it was built from,
// else bench/data under the working directory (a copied tree).
std::vector<fs::path> sourcePhotos() {
    for (const char* dir : std::initializer_list<const char*>{std::getenv("ROUGHGC_BENCH_DATA"), ROUGHGC_BENCH_DATA, "bench/data"}) {
        if (dir == nullptr || !fs::is_directory(dir)) continue;
        std::vector<fs::path> photos;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().extension() == ".jpg" || e.path().extension() == ".png") photos.push_back(e.path());
        std::sort(photos.begin(), photos.end());
        if (!photos.empty()) return photos;
    }
    std::fprintf(stderr, "no photos in bench/data\n");
    std::exit(1);
}

// The photo at 12 megapixels, written as a JPEG to `path`.
void writeUpscaled(const fs::path& source, const fs::path& path) {
    const cv::Mat small = cv::imread(source.string(), cv::IMREAD_COLOR);
    cv::Mat big;
    cv::resize(small, big, cv::Size(4000, 3000), 0, 0, cv::INTER_CUBIC);
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", big, jpeg);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(jpeg.data()), jpeg.size());
}

// The wall time in ms of `args` run as a fresh process in `dir`, standard
// output to `out`, or a negative number if it failed.
double runMs(const std::vector<std::string>& args, const fs::path& dir, const fs::path& out) {
    const ProcessRun run = runProcess(args, dir, out);
    return run.spawnError == 0 && run.status == 0 ? 1000 * run.seconds : -1;
}

struct Row {
    std::string name;
    double aAlone, bAlone, cAlone, a, b, c;
};

// Each phase's median time per photo, by side, in the order phases first ran.
struct StageTable {
    std::vector<std::string> order;
    std::map<std::string, std::vector<double>> perPhoto;  // each photo's median
    void add(const std::map<std::string, std::vector<double>>& photo) {
        for (const auto& [name, t] : photo) perPhoto[name].push_back(median(t));
    }
    void note(const roughgc::detail::StageTimes& times, std::map<std::string, std::vector<double>>& photo) {
        for (const auto& [name, t] : times.stages) {
            if (std::find(order.begin(), order.end(), name) == order.end()) order.push_back(name);
            photo[name].push_back(t);
        }
    }
    void print(const char* side) const {
        std::printf("%s per stage, mean over the photos of each photo's median (ms):\n", side);
        for (const std::string& name : order) {
            const std::vector<double>& v = perPhoto.at(name);
            double sum = 0;
            for (double t : v) sum += t;
            std::printf("  %-24s %8.3f  (%zu photos)\n", name.c_str(), sum / v.size(), v.size());
        }
    }
};

// The geometric mean and the worst of the ratios, with the worst's photo.
void printRatios(const char* what, const std::vector<Row>& rows, double Row::*top) {
    double logSum = 0, worst = 0;
    std::string worstName;
    for (const Row& r : rows) {
        const double ratio = r.*top / r.b;
        logSum += std::log(ratio);
        if (ratio > worst) {
            worst = ratio;
            worstName = r.name;
        }
    }
    std::printf("%s: geometric mean %.2f, worst %.2f (%s)\n", what, std::exp(logSum / rows.size()), worst,
                worstName.c_str());
}

struct Cold {
    double toolWall, gcTime, cannyWall;
};

// The cold figures, while this process holds no large buffers that a fresh
// process would compete with for memory (and huge pages): roughgc and a
// one-shot Canny program as fresh processes, as a user runs them.
std::vector<Cold> coldRuns(const std::vector<fs::path>& photos, const fs::path& scratch, int coldReps) {
    const std::string toolPath = pathFromEnv("ROUGHGC_TOOL", ROUGHGC_TOOL);
    const std::string cannyPath = pathFromEnv("ROUGHGC_CANNY_ONCE", ROUGHGC_CANNY_ONCE);
    std::vector<Cold> colds;
    for (const fs::path& photo : photos) {
        std::vector<double> tool, gc, canny;
        for (int i = 0; i < coldReps; ++i) {
            tool.push_back(runMs({toolPath, photo.string()}, scratch, scratch / "tool.out"));
            std::ifstream out(scratch / "tool.out");
            for (std::string line; std::getline(out, line);)
                if (line.rfind("GC time (ms): ", 0) == 0) gc.push_back(std::stod(line.substr(14)));
            canny.push_back(runMs({cannyPath, photo.string(), "edges.bmp"}, scratch, scratch / "canny.out"));
        }
        colds.push_back({median(tool), gc.empty() ? -1.0 : median(gc), median(canny)});
    }
    return colds;
}

// What the warm measurements share from one photo to the next.
struct Warm {
    int reps, warmups;
    roughgc::Params defaults;
    size_t height, width;
    uchar3* pinned;
    StageTable stagesA, stagesC;
    cv::Mat grey, edges;
    roughgc::Extractor extractor;
    roughgc::detail::RoughPipeline pipeline{0};  // C's stages, timed apart from C itself

    size_t window() const { return static_cast<size_t>(defaults.window); }
    // The times of `run` after the warm-ups.
    template <class Run>
    std::vector<double> times(Run run) {
        std::vector<double> kept;
        for (int i = 0; i < warmups + reps; ++i) {
            const double t = run(false);
            if (i >= warmups) kept.push_back(t);
        }
        return kept;
    }
};

// C's stages: the same pipeline run, with a mark after each phase.
void noteStagesC(Warm& w, const cv::Mat& photo, std::map<std::string, std::vector<double>>& photoStages) {
    const roughgc::detail::HostPhoto host{photo.data, photo.step[0], w.height, w.width, 3};
    for (int i = 0; i < w.warmups + w.reps; ++i) {
        roughgc::detail::StageTimes times;
        times.start();
        w.pipeline.run(host, w.window(), w.defaults.dimension, w.defaults.tolerance,
                       roughgc::detail::SearchRoute::BoxMaxima, &times);
        if (i >= w.warmups) w.stagesC.note(times, photoStages);
    }
}

// A, B and C on one photo: each alone, then the three alternating.
Row measure(Warm& w, const std::string& name, const cv::Mat& photo) {
    std::memcpy(w.pinned, photo.ptr<uchar3>(0), w.height * w.width * 3);
    std::map<std::string, std::vector<double>> photoStagesA, photoStagesC;
    auto runA = [&](bool record) {
        roughgc::detail::StageTimes times;
        const auto t0 = Clock::now();
        processImageStaged(w.pinned, w.height, w.width, w.window(), w.defaults.dimension, w.defaults.tolerance,
                           &times);
        const double ms = msSince(t0);
        if (record) w.stagesA.note(times, photoStagesA);
        return ms;
    };
    auto runB = [&](bool) {
        const auto t0 = Clock::now();
        cv::cvtColor(photo, w.grey, cv::COLOR_BGR2GRAY);
        cv::Canny(w.grey, w.edges, 50, 150);
        return msSince(t0);
    };
    auto runC = [&](bool) {
        const auto t0 = Clock::now();
        const roughgc::Result r = w.extractor.extract(photo);
        return msSince(t0);
    };
    const std::vector<double> aAlone = w.times(runA), bAlone = w.times(runB), cAlone = w.times(runC);
    std::vector<double> a, b, c;
    for (int i = 0; i < w.warmups + w.reps; ++i) {
        const double ta = runA(i >= w.warmups), tb = runB(false), tc = runC(false);
        if (i < w.warmups) continue;
        a.push_back(ta);
        b.push_back(tb);
        c.push_back(tc);
    }
    noteStagesC(w, photo, photoStagesC);
    w.stagesA.add(photoStagesA);
    w.stagesC.add(photoStagesC);
    return {name, median(aAlone), median(bAlone), median(cAlone), median(a), median(b), median(c)};
}

std::string cpuModel() {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

void printWarm(const Warm& w, const std::vector<Row>& rows, const char* heap) {
    std::printf("machine: %ld cores, %s\n", sysconf(_SC_NPROCESSORS_ONLN), cpuModel().c_str());
    std::printf("allocator: %s\n", heap);
    std::printf("photos: bench/data upscaled to %zu x %zu; medians of %d repetitions after %d warm-ups\n", w.width,
                w.height, w.reps, w.warmups);
    std::printf("A: processImageCUDA (GC time); B: cvtColor + Canny(50, 150); C: roughgc::Extractor::extract\n\n");
    std::printf("%-14s %9s %9s %9s %9s %9s %9s %6s %6s\n", "photo", "A alone", "B alone", "C alone", "A alt.", "B alt.",
                "C alt.", "A / B", "C / B");
    for (const Row& r : rows)
        std::printf("%-14s %6.1f ms %6.1f ms %6.1f ms %6.1f ms %6.1f ms %6.1f ms %6.2f %6.2f\n", r.name.c_str(), r.aAlone,
                    r.bAlone, r.cAlone, r.a, r.b, r.c, r.a / r.b, r.c / r.b);
    std::printf("\n");
    printRatios("A / B", rows, &Row::a);
    printRatios("C / B", rows, &Row::c);
    std::printf("\n");
    w.stagesA.print("A");
    w.stagesC.print("C");
}

void printCold(const std::vector<Row>& rows, const std::vector<Cold>& colds, int coldReps) {
    std::printf("\ncold, fresh processes (medians of %d, run before the warm measurements):\n", coldReps);
    std::printf("%-16s %14s %10s %10s %14s\n", "photo", "roughgc wall", "GC time", "/ warm A", "Canny wall");
    double coldLogSum = 0, coldWorst = 0;
    std::string coldWorstName;
    for (size_t p = 0; p < rows.size(); ++p) {
        const double ratio = colds[p].gcTime / rows[p].a;
        coldLogSum += std::log(ratio);
        if (ratio > coldWorst) {
            coldWorst = ratio;
            coldWorstName = rows[p].name;
        }
        std::printf("%-16s %11.1f ms %7.0f ms %10.2f %11.1f ms\n", rows[p].name.c_str(), colds[p].toolWall,
                    colds[p].gcTime, ratio, colds[p].cannyWall);
    }
    std::printf("\ncold GC time / warm A: geometric mean %.2f, worst %.2f (%s)\n", std::exp(coldLogSum / rows.size()),
                coldWorst, coldWorstName.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const char* heap = keepHeapWarm();
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const size_t height = 3000, width = 4000;

    const fs::path scratch = fs::temp_directory_path() / ("roughgc_compare_" + std::to_string(getpid()));
    fs::create_directories(scratch);
    const fs::path home = fs::current_path();
    fs::current_path(scratch);
    const std::vector<fs::path> sources = sourcePhotos();
    std::vector<fs::path> photos;
    for (const fs::path& source : sources) {
        photos.push_back(scratch / (source.stem().string() + ".jpg"));
        writeUpscaled(source, photos.back());
    }
    const int coldReps = 3;
    const std::vector<Cold> colds = coldRuns(photos, scratch, coldReps);

    uchar3* pinned = nullptr;
    checkCudaErrors(cudaMallocHost<uchar3>(&pinned, height * width * 3, 0));
    FirstRun();
    std::vector<Row> rows;
    {
        Warm w{reps, 2, roughgc::Params(), height, width, pinned, {}, {}, {}, {}, roughgc::Extractor(),
               roughgc::detail::RoughPipeline(0)};
        for (size_t p = 0; p < photos.size(); ++p) {
            rows.push_back(measure(w, sources[p].stem().string(), cv::imread(photos[p].string(), cv::IMREAD_COLOR)));
            std::fflush(stdout);
        }
        printWarm(w, rows, heap);
    }
    printCold(rows, colds, coldReps);

    fs::current_path(home);
    fs::remove_all(scratch);
    cudaFreeHost(pinned);
    return 0;
}

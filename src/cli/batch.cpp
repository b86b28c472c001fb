// Batch mode: photos are decoded on worker threads ahead of the extraction,
// extracted one at a time by one reusable extractor, and encoded and written
// on worker threads. A bounded number of photos is in flight at any time.
#include "cli/batch.h"

#include <sys/stat.h>
#include <tbb/global_control.h>
#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "cli/batch_options.h"
#include "cli/photo_input.h"
#include "cli/stdout_watch.h"
#include "map_file.h"
#include "rough_extractor.h"

namespace fs = std::filesystem;

namespace {

std::atomic<int> stopSignal{0};

extern "C" void requestStop(int sig) { stopSignal.store(sig); }

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

enum class Outcome { Written, Skipped, Failed };

// One photo on its way through the pipeline.
struct Work {
    size_t index;
    Outcome outcome = Outcome::Written;
    std::string error;
    cv::Mat image;  // released once extracted
    int width = 0, height = 0;
    std::vector<unsigned char> map;
    RoughMap figures;  // pixels not kept: the extractor reuses them
    double milliseconds = 0;
};

// A CSV field, quoted where it has to be.
std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// Shortest text that reads back as the same float.
std::string exactFloat(float v) {
    char s[32];
    std::snprintf(s, sizeof s, "%.9g", static_cast<double>(v));
    return s;
}

class Report {
public:
    Report() {
        csv_ = "photo,map,outcome,width,height,quantile_index,threshold,coarse_boxes,fine_boxes,dimension,passes,"
               "milliseconds,error\n";
    }
    void add(const BatchItem& item, const Work& w) {
        static const char* names[] = {"written", "skipped", "failed"};
        std::string row = csvField(item.photo) + "," + csvField(item.map) + "," + names[static_cast<int>(w.outcome)];
        row += w.width != 0 ? "," + std::to_string(w.width) + "," + std::to_string(w.height) : ",,";
        if (w.figures.rows != 0) {
            char ms[32];
            std::snprintf(ms, sizeof ms, "%.3f", w.milliseconds);
            row += "," + std::to_string(w.figures.quantileIndex) + "," + exactFloat(w.figures.threshold) + "," +
                   std::to_string(w.figures.coarseBoxes) + "," + std::to_string(w.figures.fineBoxes) + "," +
                   exactFloat(w.figures.dimension) + "," + std::to_string(w.figures.passes) + "," + ms;
        } else {
            row += ",,,,,,,";
        }
        csv_ += row + "," + csvField(w.error) + "\n";
    }
    const std::string& text() const { return csv_; }

private:
    std::string csv_;
};

// Photos done of total, their rate and the time left, redrawn in place on
// a terminal at most ten times a second.
class Progress {
public:
    Progress(bool shown, size_t total) : shown_(shown), total_(total), start_(Clock::now()) {}
    void update(size_t done) {
        if (!shown_) return;
        const auto now = Clock::now();
        if (done != total_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        const double elapsed = secondsSince(start_), rate = elapsed > 0 ? done / elapsed : 0;
        const double left = rate > 0 ? (total_ - done) / rate : 0;
        std::fprintf(stderr, "\r%zu/%zu photos, %.1f photos/s, %.0f s left   ", done, total_, rate, left);
        std::fflush(stderr);
    }
    void finish() {
        if (shown_) std::fprintf(stderr, "\r\033[K");
    }

private:
    bool shown_;
    size_t total_;
    Clock::time_point start_, last_{};
};

std::string withoutMarker(std::string line) { return line.rfind("(!) ", 0) == 0 ? line.substr(4) : line; }

}  // namespace

int runBatch(int argc, char** argv) {
    StdoutWatch out;
    BatchOptions options;
    if (const auto status = parseBatchOptions(argc, argv, options)) return *status;
    std::vector<BatchItem> items;
    if (const std::string refusal = planBatch(options, items); !refusal.empty()) {
        std::fprintf(stderr, "roughgc: %s\n", refusal.c_str());
        return 255;
    }
    std::error_code ec;
    fs::create_directories(options.outDir, ec);
    if (ec) {
        std::fprintf(stderr, "roughgc: cannot create %s: %s\n", options.outDir.c_str(), ec.message().c_str());
        return kExitSomePhotosFailed;
    }

    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    std::signal(SIGXFSZ, SIG_IGN);

    const auto start = Clock::now();
    RoughExtractor extractor;
    Report report;
    Progress progress(!options.quiet && isatty(STDERR_FILENO), items.size());
    size_t written = 0, failed = 0, skipped = 0, next = 0;

    // Each photo in flight holds its decoded pixels or its map: the bound
    // on tokens bounds memory, whatever the collection's size.
    const size_t tokens = 2 * static_cast<size_t>(options.jobs) + 2;
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, options.jobs + 1);
    tbb::parallel_pipeline(
        tokens,
        tbb::make_filter<void, std::shared_ptr<Work>>(
            tbb::filter_mode::serial_in_order,
            [&](tbb::flow_control& fc) -> std::shared_ptr<Work> {
                if (next == items.size() || stopSignal.load() != 0) {
                    fc.stop();
                    return nullptr;
                }
                auto w = std::make_shared<Work>();
                w->index = next++;
                struct stat st;
                if (options.skipExisting && stat(items[w->index].map.c_str(), &st) == 0) w->outcome = Outcome::Skipped;
                return w;
            }) &
            tbb::make_filter<std::shared_ptr<Work>, std::shared_ptr<Work>>(
                tbb::filter_mode::parallel,
                [&](std::shared_ptr<Work> w) {
                    if (w->outcome != Outcome::Written) return w;
                    w->image = readPhoto(items[w->index].photo);
                    w->width = w->image.cols;
                    w->height = w->image.rows;
                    if (w->image.empty()) {
                        w->outcome = Outcome::Failed;
                        w->error = "Error reading image";
                    }
                    return w;
                }) &
            tbb::make_filter<std::shared_ptr<Work>, std::shared_ptr<Work>>(
                tbb::filter_mode::serial_in_order,
                [&](std::shared_ptr<Work> w) {
                    if (w->outcome != Outcome::Written) return w;
                    const auto t0 = Clock::now();
                    try {
                        const RoughMap& m = extractor.extract(w->image.ptr<uchar3>(0), w->image.rows, w->image.cols,
                                                              options.window, options.dim, options.tolerance);
                        w->map.assign(m.pixels, m.pixels + m.rows * m.cols);
                        w->figures = m;
                        w->figures.pixels = nullptr;
                    } catch (const RoughInputError& e) {
                        w->outcome = Outcome::Failed;
                        w->error = withoutMarker(e.what());
                    }
                    w->milliseconds = secondsSince(t0) * 1000;
                    w->image.release();
                    return w;
                }) &
            tbb::make_filter<std::shared_ptr<Work>, std::shared_ptr<Work>>(
                tbb::filter_mode::parallel,
                [&](std::shared_ptr<Work> w) {
                    if (w->outcome != Outcome::Written) return w;
                    std::string why;
                    if (!writeGreyBmp(w->map.data(), static_cast<int>(w->figures.rows),
                                      static_cast<int>(w->figures.cols), items[w->index].map, why)) {
                        w->outcome = Outcome::Failed;
                        w->error = "Error writing " + items[w->index].map + ": " + why;
                    }
                    w->map = {};
                    return w;
                }) &
            tbb::make_filter<std::shared_ptr<Work>, void>(
                tbb::filter_mode::serial_in_order, [&](std::shared_ptr<Work> w) {
                    const BatchItem& item = items[w->index];
                    if (w->outcome == Outcome::Failed) {
                        progress.finish();
                        std::fprintf(stderr, "%s: %s\n", item.photo.c_str(), w->error.c_str());
                    }
                    (w->outcome == Outcome::Written ? written : w->outcome == Outcome::Failed ? failed : skipped)++;
                    if (!options.report.empty()) report.add(item, *w);
                    progress.update(written + failed + skipped);
                }));
    progress.finish();

    int status = failed == 0 ? 0 : kExitSomePhotosFailed;
    if (!options.report.empty()) {
        std::string why;
        if (!writeFileWhole(options.report, report.text().data(), report.text().size(), why)) {
            std::fprintf(stderr, "roughgc: Error writing %s: %s\n", options.report.c_str(), why.c_str());
            status = kExitSomePhotosFailed;
        }
    }
    errno = 0;
    std::cout << written << " maps written, " << failed << " failed";
    if (skipped != 0) std::cout << ", " << skipped << " skipped";
    if (next < items.size()) std::cout << ", " << items.size() - next << " not started";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", secondsSince(start));
    std::cout << ", " << seconds << " s" << std::endl;
    if (const int sig = stopSignal.load()) status = 128 + sig;
    return out.finish(status);
}

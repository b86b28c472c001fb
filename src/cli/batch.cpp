// Batch mode: photos are decoded on worker threads ahead of the extraction,
// extracted one at a time by one reusable extractor, and encoded and written
// on worker threads. A bounded number of photos is in flight at any time.
#include "cli/batch.h"

#include <sys/stat.h>
#include <tbb/global_control.h>
#include <tbb/parallel_pipeline.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <roughgc/roughgc.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "cli/batch_options.h"
#include "cli/stdout_watch.h"
#include "detail/map_file.h"

namespace fs = std::filesystem;

namespace {

std::atomic<int> stopSignal{0};

extern "C" void requestStop(int sig) { stopSignal.store(sig); }

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Abandoned: taken in, but the run ended on a device failure before its
// extraction; it counts as not started and gets no report row.
enum class Outcome { Written, Skipped, Failed, Abandoned };

// One photo on its way through the pipeline.
struct Work {
    size_t index;
    Outcome outcome = Outcome::Written;
    std::string error;
    cv::Mat image;  // released once extracted
    int width = 0, height = 0;
    roughgc::Result result;  // the map is released once written
    bool extracted = false;
    double milliseconds = 0;
};
using WorkPtr = std::shared_ptr<Work>;

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
        if (w.extracted) {
            const roughgc::Result& r = w.result;
            char ms[32];
            std::snprintf(ms, sizeof ms, "%.3f", w.milliseconds);
            row += "," + std::to_string(r.quantileIndex) + "," + exactFloat(r.threshold) + "," +
                   std::to_string(r.coarseBoxes) + "," + std::to_string(r.fineBoxes) + "," +
                   exactFloat(r.dimension) + "," + std::to_string(r.passes) + "," + ms;
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

// What the stages of one run share. The serial stages alone touch the
// counts, the report and the progress display.
struct BatchRun {
    BatchRun(const BatchOptions& o, const std::vector<BatchItem>& i, roughgc::Extractor& e)
        : options(o), items(i), extractor(e), progress(!o.quiet && isatty(STDERR_FILENO), i.size()) {}
    const BatchOptions& options;
    const std::vector<BatchItem>& items;
    roughgc::Extractor& extractor;
    Report report;
    Progress progress;
    size_t written = 0, failed = 0, skipped = 0, taken = 0;
    // Set by the extraction, read by the intake, which may run at once.
    std::atomic<bool> deviceFailed{false};
};

// Hands out the photos in order until all are taken, a signal asks to stop
// or the device failed.
struct TakeNextPhoto {
    BatchRun* batch;
    WorkPtr operator()(tbb::flow_control& fc) const {
        BatchRun& run = *batch;
        if (run.taken == run.items.size() || stopSignal.load() != 0 || run.deviceFailed) {
            fc.stop();
            return nullptr;
        }
        auto w = std::make_shared<Work>();
        w->index = run.taken++;
        struct stat st;
        if (run.options.skipExisting && stat(run.items[w->index].map.c_str(), &st) == 0) w->outcome = Outcome::Skipped;
        return w;
    }
};

struct DecodePhoto {
    const BatchRun* batch;
    WorkPtr operator()(WorkPtr w) const {
        if (w->outcome != Outcome::Written) return w;
        try {
            w->image = roughgc::readPhoto(batch->items[w->index].photo);
            w->width = w->image.cols;
            w->height = w->image.rows;
        } catch (const roughgc::InputError&) {
            w->outcome = Outcome::Failed;
            w->error = "Error reading image";
        }
        return w;
    }
};

// One photo at a time, in order, through the one extractor. After a device
// failure, the photos still in flight are abandoned.
struct ExtractMap {
    BatchRun* batch;
    WorkPtr operator()(WorkPtr w) const {
        BatchRun& run = *batch;
        if (run.deviceFailed) {
            w->outcome = Outcome::Abandoned;
            w->image.release();
            return w;
        }
        if (w->outcome != Outcome::Written) return w;
        const roughgc::Params params{static_cast<int>(run.options.window), run.options.dim, run.options.tolerance};
        const auto t0 = Clock::now();
        try {
            w->result = run.extractor.extract(w->image, params);
            w->extracted = true;
        } catch (const roughgc::InputError& e) {
            w->outcome = Outcome::Failed;
            w->error = withoutMarker(e.what());
        } catch (const roughgc::DeviceError& e) {
            w->outcome = Outcome::Failed;
            w->error = e.what();
            run.deviceFailed = true;
        }
        w->milliseconds = secondsSince(t0) * 1000;
        w->image.release();
        return w;
    }
};

struct WriteMap {
    const BatchRun* batch;
    WorkPtr operator()(WorkPtr w) const {
        if (w->outcome != Outcome::Written) return w;
        try {
            roughgc::writeMap(batch->items[w->index].map, w->result.map);
        } catch (const roughgc::WriteError& e) {
            w->outcome = Outcome::Failed;
            w->error = e.what();
        }
        w->result.map.release();
        return w;
    }
};

// Counts, reports and shows each photo's outcome, in order.
struct RecordOutcome {
    BatchRun* batch;
    void operator()(WorkPtr w) const {
        BatchRun& run = *batch;
        if (w->outcome == Outcome::Abandoned) return;
        const BatchItem& item = run.items[w->index];
        if (w->outcome == Outcome::Failed) {
            run.progress.finish();
            std::fprintf(stderr, "%s: %s\n", item.photo.c_str(), w->error.c_str());
        }
        (w->outcome == Outcome::Written ? run.written : w->outcome == Outcome::Failed ? run.failed : run.skipped)++;
        if (!run.options.report.empty()) run.report.add(item, *w);
        run.progress.update(run.written + run.failed + run.skipped);
    }
};

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
    std::optional<roughgc::Extractor> extractor;
    try {
        extractor.emplace();
    } catch (const roughgc::DeviceError& e) {
        std::fprintf(stderr, "roughgc: %s\n", e.what());
        return kExitDeviceFailed;
    }
    BatchRun run(options, items, *extractor);

    // Each photo in flight holds its decoded pixels or its map: the bound
    // on tokens bounds memory, whatever the collection's size.
    const size_t tokens = 2 * static_cast<size_t>(options.jobs) + 2;
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, options.jobs + 1);
    tbb::parallel_pipeline(tokens,
                           tbb::make_filter<void, WorkPtr>(tbb::filter_mode::serial_in_order, TakeNextPhoto{&run}) &
                               tbb::make_filter<WorkPtr, WorkPtr>(tbb::filter_mode::parallel, DecodePhoto{&run}) &
                               tbb::make_filter<WorkPtr, WorkPtr>(tbb::filter_mode::serial_in_order, ExtractMap{&run}) &
                               tbb::make_filter<WorkPtr, WorkPtr>(tbb::filter_mode::parallel, WriteMap{&run}) &
                               tbb::make_filter<WorkPtr, void>(tbb::filter_mode::serial_in_order, RecordOutcome{&run}));
    run.progress.finish();

    int status = run.failed == 0 ? 0 : kExitSomePhotosFailed;
    if (!options.report.empty()) {
        const std::string& text = run.report.text();
        std::string why;
        if (!roughgc::detail::writeFileWhole(options.report, text.data(), text.size(), why)) {
            std::fprintf(stderr, "roughgc: Error writing %s: %s\n", options.report.c_str(), why.c_str());
            status = kExitSomePhotosFailed;
        }
    }
    errno = 0;
    const size_t notStarted = items.size() - (run.written + run.failed + run.skipped);
    std::cout << run.written << " maps written, " << run.failed << " failed";
    if (run.skipped != 0) std::cout << ", " << run.skipped << " skipped";
    if (notStarted != 0) std::cout << ", " << notStarted << " not started";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", secondsSince(start));
    std::cout << ", " << seconds << " s" << std::endl;
    if (run.deviceFailed) status = kExitDeviceFailed;
    if (const int sig = stopSignal.load()) status = 128 + sig;
    return out.finish(status);
}

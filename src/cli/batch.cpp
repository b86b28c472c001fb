// Batch mode: the TBB pipeline that runs each photo's job (batch/job.h)
// stage by stage, and the display. Photos are extracted by reusable
// extractors (on a GPU, one at a time by the device's, decoded ahead on
// worker threads; on the cpu backend, each read by its extractor on a
// worker's core, a JPEG row by row into the first stage), and encoded and
// written on worker threads. The photos in flight are bounded in number and
// in bytes; each photo's failure stays its own.
#include "cli/batch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tbb/global_control.h>
#include <tbb/parallel_pipeline.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <roughgc/roughgc.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "address_sanitizer.h"
#include "batch/job.h"
#include "batch/options.h"
#include "batch/policy.h"
#include "batch/report.h"
#include "cli/batch_options.h"
#include "cli/extraction.h"
#include "cli/memory_budget.h"
#include "cli/pool.h"
#include "cli/stdout_watch.h"
#include "detail/io/decode_limits.h"
#include "detail/io/map_file.h"
#include "detail/io/photo_reader.h"

#if defined(ROUGHGC_ASAN)
#include <sanitizer/common_interface_defs.h>
#endif

namespace fs = std::filesystem;

namespace {

std::atomic<int> stopSignal{0};

// The first SIGINT or SIGTERM lets the photos in flight finish; a second one
// ends the process at once, leaving no temporary file behind.
extern "C" void requestStop(int sig) {
    if (stopSignal.exchange(sig) != 0) {
        roughgc::detail::removeTemporaryFiles();
        _exit(128 + sig);
    }
}

bool stopRequested() { return stopSignal.load() != 0; }

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The libraries under the decoders print lines of their own on standard
// error ("Premature end of JPEG file", "libpng error: ...", OpenCV's
// messages about a file it failed to read). Batch mode reports each photo in
// one line of its own, so while it runs, standard error leads to /dev/null
// and its own lines go to the standard error it was given.
//
// Should anything end the process meanwhile (std::terminate prints why on
// standard error), standard error is given back first, so that its last
// words are not lost.
int savedStandardError = -1;
std::terminate_handler previousTerminate = nullptr;

[[noreturn]] void terminateAloud() {
    if (savedStandardError >= 0) dup2(savedStandardError, STDERR_FILENO);
    (previousTerminate ? previousTerminate : std::abort)();
    std::abort();
}

class OwnStandardError {
public:
    OwnStandardError() {
        const int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved >= 0 && null >= 0 && (stream_ = fdopen(saved, "w")) != nullptr) {
            std::setvbuf(stream_, nullptr, _IOLBF, 0);
            std::fflush(stderr);
            dup2(null, STDERR_FILENO);
            saved_ = saved;
            savedStandardError = saved;
            previousTerminate = std::set_terminate(terminateAloud);
#if defined(ROUGHGC_ASAN)
            __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(saved)));
#endif
        } else if (saved >= 0) {
            close(saved);
        }
        if (null >= 0) close(null);
    }
    ~OwnStandardError() {
        if (saved_ < 0) return;
        std::set_terminate(previousTerminate);
        savedStandardError = -1;
        std::fflush(stream_);
        dup2(saved_, STDERR_FILENO);
        std::fclose(stream_);
    }
    OwnStandardError(const OwnStandardError&) = delete;
    OwnStandardError& operator=(const OwnStandardError&) = delete;

    FILE* stream() const { return saved_ >= 0 ? stream_ : stderr; }

private:
    FILE* stream_ = nullptr;
    int saved_ = -1;
};

// One photo on its way through the pipeline: its job, and what the
// pipeline holds for it.
struct Work {
    Work(size_t i, const BatchItem& item) : index(i), job(item) {}
    size_t index;
    PhotoJob job;
    PhotoCost cost{0, 0, true};
    bool byExtractor = false;  // a regular file, read where it is extracted
    bool abandoned = false;    // taken in, but the run ended on a device failure first: not started, no row
    cv::Mat image;  // decoded ahead, in the reader's memory; released once written
    std::unique_ptr<roughgc::detail::PhotoReader> reader;
};
using WorkPtr = std::shared_ptr<Work>;

// Whatever a stage throws becomes its photo's failure: nothing but photos
// leaves a stage, and one photo's trouble is its own.
template <class Stage>
struct EachPhotoAlone {
    Stage stage;
    WorkPtr operator()(WorkPtr w) const {
        try {
            return stage(w);
        } catch (const std::bad_alloc&) {
        } catch (const cv::Exception& e) {
            if (e.code != cv::Error::StsNoMem) return w->job.fail(e.what()), w;
        } catch (const std::exception& e) {
            return w->job.fail(e.what()), w;
        } catch (...) {
            return w->job.fail("unknown failure"), w;
        }
        return w->job.fail("out of memory"), w;
    }
};
template <class Stage>
EachPhotoAlone(Stage) -> EachPhotoAlone<Stage>;

// Photos done of total, their rate and the time left, redrawn in place on
// a terminal at most ten times a second.
class Progress {
public:
    Progress(FILE* terminal, size_t total) : terminal_(terminal), total_(total), start_(Clock::now()) {}
    void update(size_t done) {
        if (!terminal_) return;
        const auto now = Clock::now();
        if (done != total_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        const double elapsed = secondsSince(start_), rate = elapsed > 0 ? done / elapsed : 0;
        const double left = rate > 0 ? (total_ - done) / rate : 0;
        std::fprintf(terminal_, "\r%zu/%zu photos, %.1f photos/s, %.0f s left   ", done, total_, rate, left);
        std::fflush(terminal_);
    }
    void finish() {
        if (terminal_) std::fprintf(terminal_, "\r\033[K");
    }

private:
    FILE* terminal_;
    size_t total_;
    Clock::time_point start_, last_{};
};

// What the stages of one run share. The serial stages alone touch the
// counts, the report and the progress display.
struct BatchRun {
    BatchRun(const BatchOptions& o, const std::vector<BatchItem>& i, Extraction& x, size_t workers, FILE* err)
        : options(o),
          items(i),
          extraction(x),
          errors(err),
          budget(o.memoryLimit, Extraction::extractorsFor(workers)),
          progress(!o.quiet && isatty(fileno(err)) ? err : nullptr, i.size()) {}
    const BatchOptions& options;
    const std::vector<BatchItem>& items;
    Extraction& extraction;
    FILE* errors;
    MemoryBudget budget;
    Pool<roughgc::detail::PhotoReader> readers;
    ReportFile report;
    Progress progress;
    size_t written = 0, failed = 0, skipped = 0, taken = 0;
    std::vector<bool> recorded = std::vector<bool>(items.size());  // by the last stage
    // Set by the extraction, read by the intake, which may run at once.
    std::atomic<bool> deviceFailed{false};
};

// The photo's pixels released and its reader back in the pool.
void letGo(BatchRun& run, Work& w) {
    w.image.release();
    run.readers.give(std::move(w.reader));
}

// Hands out the photos in order, each once the memory budget has room for
// it, until all are taken, a signal asks to stop or the device failed.
struct TakeNextPhoto {
    BatchRun* batch;
    WorkPtr operator()(tbb::flow_control& fc) const {
        BatchRun& run = *batch;
        auto stop = [&run] { return stopRequested() || run.deviceFailed; };
        if (run.taken == run.items.size() || stop()) {
            fc.stop();
            return nullptr;
        }
        auto w = std::make_shared<Work>(run.taken, run.items[run.taken]);
        const BatchItem& item = run.items[w->index];
        if (run.options.skipExisting && mapExists(item.map)) {
            w->job.skip();
        } else {
            // Regular files go to the extractors where they extract in
            // parallel; pipes, and every photo on a GPU, are decoded ahead.
            struct stat st;
            w->byExtractor = Extraction::parallel() && stat(item.photo.c_str(), &st) == 0 && S_ISREG(st.st_mode);
            try {
                w->cost = photoCost(item.photo, w->byExtractor ? Reading::ByExtractor : Reading::Decoded);
            } catch (const std::bad_alloc&) {
                w->cost = PhotoCost{0, 0, false};  // runs alone
            }
            if (!run.budget.admit(w->cost, stop)) {
                fc.stop();
                return nullptr;
            }
        }
        ++run.taken;
        return w;
    }
};

struct DecodePhoto {
    BatchRun* batch;
    WorkPtr operator()(WorkPtr w) const {
        PhotoJob& job = w->job;
        if (job.row.outcome != kWritten || w->byExtractor) return w;
        namespace d = roughgc::detail;
        w->reader = batch->readers.take();
        const d::LoadEnd end = w->reader->load(job.photoPath(), stopRequested);
        if (end != d::LoadEnd::Loaded) {
            job.fail(end == d::LoadEnd::Interrupted ? "interrupted" : unreadable(job.photoPath()));
            return w;
        }
        w->image = w->reader->decode(w->reader->keptTarget());
        if (!w->image.empty()) return w;
        const std::string problem = w->reader->problem();
        if (problem.empty()) return job.fail(unreadable(job.photoPath())), w;
        const cv::Size size = w->reader->announcedSize();
        job.row.width = size.width;
        job.row.height = size.height;
        job.fail(withoutMarker(problem));
        return w;
    }
};

// A photo too large for the memory there is fails alone (the extractor lets
// go of what it grew for it); any other device failure ends the run, and the
// photos still in flight are abandoned.
struct ExtractMap {
    BatchRun* batch;
    WorkPtr operator()(WorkPtr w) const {
        BatchRun& run = *batch;
        if (run.deviceFailed) {
            w->abandoned = true;
            letGo(run, *w);
            return w;
        }
        if (w->job.row.outcome != kWritten) return w;
        const roughgc::Params params = run.options.params();
        try {
            run.extraction.run([&](roughgc::Extractor& extractor) {
                if (w->byExtractor)
                    w->job.extractFile(extractor, params);
                else
                    w->job.extract(extractor, w->image, params);
            });
        } catch (...) {
            w->job.extractionFailed(std::current_exception(), w->byExtractor);
        }
        if (w->job.deviceLost()) run.deviceFailed = true;
        // The photo decoded ahead stays for its overlay, drawn by the writer.
        if (w->job.failed() || run.items[w->index].overlay.empty()) letGo(run, *w);
        return w;
    }
};

struct WriteMap {
    BatchRun* batch;
    WorkPtr operator()(WorkPtr w) const {
        w->job.write();  // not extracted: its pixels let go alone
        letGo(*batch, *w);
        return w;
    }
};

// Counts, reports and shows each photo's outcome, in order, and returns its
// memory to the budget.
struct RecordOutcome {
    BatchRun* batch;
    void operator()(WorkPtr w) const {
        BatchRun& run = *batch;
        if (!w->job.skipped()) run.budget.release(w->cost);
        run.recorded[w->index] = true;
        if (!w->abandoned) record(run, w->job.row);
    }

    // Counts, shows and reports one photo; a row that cannot even be made
    // (no memory for it) is the report's loss, not the run's.
    static void record(BatchRun& run, const ReportRow& row) {
        if (const std::string note = photoNote(row, run.options.params()); !note.empty()) {
            run.progress.finish();
            std::fprintf(run.errors, "%s: %s\n", row.photo.c_str(), note.c_str());
        }
        (row.outcome == kWritten ? run.written : row.outcome == kFailed ? run.failed : run.skipped)++;
        try {
            if (run.report.isOpen()) run.report.append(row);
        } catch (const std::bad_alloc&) {
        }
        run.progress.update(run.written + run.failed + run.skipped);
    }
};

// The command line read and the run planned: its notes said, its folders
// made. Returns the status that ends the run here, if any.
std::optional<int> prepareRun(int argc, char** argv, BatchOptions& options, std::vector<BatchItem>& items) {
    if (const auto status = parseBatchOptions(argc, argv, options)) return status;
    std::vector<std::string> notes;
    if (const std::string refusal = planBatch(options, items, notes); !refusal.empty())
        return refuseCommandLine(refusal);
    for (const std::string& note : notes) std::fprintf(stderr, "roughgc: %s\n", note.c_str());
    // OpenCV's size limits set to what it cannot read: refused before any
    // work, as OpenCV itself would stop the process when it loads.
    if (const std::string limits = roughgc::detail::decodeLimitsProblem(); !limits.empty())
        return refuseCommandLine(limits.substr(4));
    for (const std::string& folder : {options.outDir, options.overlayDir}) {
        std::error_code ec;
        if (!folder.empty()) fs::create_directories(folder, ec);
        if (ec) return refuseCommandLine("cannot create " + folder + ": " + ec.message());
    }
    return std::nullopt;
}

// The photos through the pipeline's stages. Returns false if the run itself
// failed (no photo's doing): the photos taken in and not yet reported then
// get their rows.
bool runPipeline(BatchRun& run, size_t workers) {
    // Each photo in flight holds its decoded pixels or its map: the bound
    // on tokens, and the memory budget, bound memory whatever the
    // collection.
    const size_t tokens = 2 * static_cast<size_t>(run.options.jobs) + 2;
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, workers);
    std::string broken;
    try {
        tbb::parallel_pipeline(
            tokens,
            tbb::make_filter<void, WorkPtr>(tbb::filter_mode::serial_in_order, TakeNextPhoto{&run}) &
                tbb::make_filter<WorkPtr, WorkPtr>(tbb::filter_mode::parallel, EachPhotoAlone{DecodePhoto{&run}}) &
                tbb::make_filter<WorkPtr, WorkPtr>(
                    Extraction::parallel() ? tbb::filter_mode::parallel : tbb::filter_mode::serial_in_order,
                    EachPhotoAlone{ExtractMap{&run}}) &
                tbb::make_filter<WorkPtr, WorkPtr>(tbb::filter_mode::parallel, EachPhotoAlone{WriteMap{&run}}) &
                tbb::make_filter<WorkPtr, void>(tbb::filter_mode::serial_in_order, RecordOutcome{&run}));
    } catch (const std::bad_alloc&) {
        broken = "out of memory";
    } catch (const std::exception& e) {
        broken = e.what();
    } catch (...) {
        broken = "unknown failure";
    }
    run.progress.finish();
    if (broken.empty()) return true;
    std::fprintf(run.errors, "roughgc: the run failed: %s\n", broken.c_str());
    for (size_t i = 0; i < run.taken; ++i) {
        if (run.recorded[i]) continue;
        PhotoJob job(run.items[i]);
        job.fail(broken);
        RecordOutcome::record(run, job.row);
    }
    return false;
}

}  // namespace

int runBatch(int argc, char** argv) {
    StdoutWatch out;
    BatchOptions options;
    std::vector<BatchItem> items;
    if (const auto status = prepareRun(argc, argv, options, items)) return out.finish(*status);

    const auto start = Clock::now();
    std::optional<Extraction> extraction;
    try {
        extraction.emplace();
    } catch (const roughgc::DeviceError& e) {
        std::fprintf(stderr, "roughgc: %s\n", e.what());
        return kExitDeviceFailed;
    }

    size_t written = 0, failed = 0, skipped = 0;
    int status = 0;
    bool deviceFailed = false;
    {
        OwnStandardError err;
        // The pipeline's threads, this one among them: `jobs`, and on a GPU
        // one more, which waits while the device extracts.
        const size_t workers = options.jobs + (Extraction::parallel() ? 0 : 1);
        BatchRun run(options, items, *extraction, workers, err.stream());
        if (!options.report.empty()) {
            if (const std::string why = run.report.open(options.report, options.skipExisting); !why.empty()) {
                std::fprintf(err.stream(), "roughgc: cannot write the report %s: %s\n", options.report.c_str(),
                             why.c_str());
                return kExitBadCommandLine;
            }
        }

        struct sigaction stop = {};
        stop.sa_handler = requestStop;
        sigaction(SIGINT, &stop, nullptr);
        sigaction(SIGTERM, &stop, nullptr);
        std::signal(SIGXFSZ, SIG_IGN);

        deviceFailed = !runPipeline(run, workers);
        status = run.failed == 0 ? kExitAllWritten : kExitSomePhotosFailed;
        run.report.close();
        if (!run.report.failure().empty()) {
            std::fprintf(err.stream(), "roughgc: Error writing %s: %s\n", options.report.c_str(),
                         run.report.failure().c_str());
            status = kExitSomePhotosFailed;
        }
        written = run.written;
        failed = run.failed;
        skipped = run.skipped;
        deviceFailed = deviceFailed || run.deviceFailed;
    }
    errno = 0;
    std::cout << summaryLine(written, failed, skipped, items.size() - (written + failed + skipped),
                             secondsSince(start))
              << std::endl;
    if (deviceFailed) status = kExitDeviceFailed;
    if (const int sig = stopSignal.load()) status = 128 + sig;
    return out.finish(status);
}

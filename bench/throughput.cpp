// Photos per second through roughgc, three ways, over two collections:
//   A: `roughgc PHOTO`, one process per photo, one after another, each in a
//      working directory of its own, as a shell loop would run it;
//   B: one `roughgc --out-dir DIR --quiet PHOTO...` batch process (its
//      default --jobs unless --jobs is given here);
//   C: roughgc_canny_batch, one process doing imread, grey, Canny(50, 150)
//      and imwrite over the photos on as many threads as B has;
//   D: roughgc_canny_batch --decode-only, the same process doing imread
//      alone: the pace of decoding, which no batch over these photos beats.
//      B / D says how much of the extraction and writing B hides behind it.
//   D': roughgc_canny_batch --decode-kept: decoding alone as fast as OpenCV
//      lets a program decode a run of photos, each thread reading into bytes
//      and decoding into an image that it keeps. B / D' says how close B
//      comes to the codec's own pace.
// Where the tool has them, three more batch sides run in turn with B: O,
// B with --overlay (each map drawn over its photo as a JPEG, the photos
// then decoded whole); P, B with --format png (1-bit PNG maps, whose bytes
// are reported beside B's BMP maps); and, with --baseline PATH, B0, B's
// command line run by another roughgc (an earlier build, say).
// Collections: (a) the photos of bench/data, copied to about 120 files with
// distinct names; (b) about 20 photos of 4000 x 3000 made from them by cubic
// upscaling (every second round mirrored), saved as JPEG quality 95 and kept
// in the work folder for later runs.
//
//   roughgc_throughput [--jobs N] [--repetitions R] [--work DIR] [--data DIR]
//                      [--roughgc PATH] [--canny PATH] [--baseline PATH]
//
// Beside the times, each batch side's peak resident set and page faults
// per photo (from wait4's rusage, median run; the peak is the worst run's).
//
// B, C, D and D' each get one untimed warm-up over the whole collection, then
// run R times (default 3), in turn, into fresh output folders; their median
// and worst runs are reported. A runs once after one untimed process; its
// median and worst process are reported beside its total. Times are wall
// clock (steady clock) from process start to exit, so B and C include
// their one start-up each and A its start-up per photo.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "process_run.h"


namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    std::optional<int> jobs;
    int repetitions = 3;
    fs::path work = ROUGHGC_THROUGHPUT_WORK;
    fs::path data = ROUGHGC_BENCH_DATA;
    fs::path roughgc = ROUGHGC_TOOL;
    fs::path canny = ROUGHGC_CANNY_BATCH;
    std::optional<fs::path> baseline;
};

constexpr size_t kSmallCollection = 120;
constexpr size_t kLargeCollection = 20;
constexpr int kLargeWidth = 4000, kLargeHeight = 3000;

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "roughgc_throughput: %s\n", message.c_str());
    std::exit(1);
}

void progress(const std::string& message) {
    std::fprintf(stderr, "  %s\n", message.c_str());
    std::fflush(stderr);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) fail("missing value after " + arg);
        const char* value = argv[++i];
        if (arg == "--jobs") {
            o.jobs = std::atoi(value);
            if (*o.jobs < 1) fail("--jobs needs a positive number");
        } else if (arg == "--repetitions") {
            o.repetitions = std::max(1, std::atoi(value));
        } else if (arg == "--work") {
            o.work = value;
        } else if (arg == "--data") {
            o.data = value;
        } else if (arg == "--roughgc") {
            o.roughgc = value;
        } else if (arg == "--canny") {
            o.canny = value;
        } else if (arg == "--baseline") {
            o.baseline = fs::absolute(value);
        } else {
            fail("unknown option " + arg);
        }
    }
    o.work = fs::absolute(o.work);
    o.data = fs::absolute(o.data);
    o.roughgc = fs::absolute(o.roughgc);
    o.canny = fs::absolute(o.canny);
    return o;
}

// --- the machine ------------------------------------------------------------

int usableCores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    return 1;
}

std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("model name", 0) != 0) continue;
        const size_t colon = line.find(':');
        if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
    }
    return "unknown CPU";
}

// The share of the machine's CPU time that other processes used over one
// second: the load average lags by minutes, so it would blame a run that
// just ended.
double busyShare() {
    const auto sample = [] {
        std::ifstream in("/proc/stat");
        std::string cpu;
        in >> cpu;
        unsigned long long total = 0, idle = 0, value = 0;
        for (int field = 0; in >> value && field < 8; ++field) {
            total += value;
            if (field == 3 || field == 4) idle += value;  // idle, iowait
        }
        return std::pair{total, idle};
    };
    const auto [total0, idle0] = sample();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto [total1, idle1] = sample();
    if (total1 <= total0) return 0;
    return 1.0 - double(idle1 - idle0) / double(total1 - total0);
}

std::string openCvParallelFramework() {
    std::istringstream info(cv::getBuildInformation());
    for (std::string line; std::getline(info, line);) {
        const size_t at = line.find("Parallel framework:");
        if (at != std::string::npos) {
            const std::string rest = line.substr(at + 19);
            return rest.substr(rest.find_first_not_of(' '));
        }
    }
    return "unknown";
}

// --- processes --------------------------------------------------------------

// The run of a program as a fresh process; a program that cannot start ends
// the benchmark.
ProcessRun runProgram(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& stdoutFile) {
    const ProcessRun run = runProcess(args, cwd, stdoutFile);
    if (run.spawnError != 0) fail("cannot start " + args[0] + ": " + std::strerror(run.spawnError));
    return run;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh, empty folder.
fs::path freshDir(const fs::path& dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

size_t countMaps(const fs::path& dir) {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir))
        n += entry.is_regular_file() && (entry.path().extension() == ".bmp" || entry.path().extension() == ".png");
    return n;
}

uintmax_t bytesOfMaps(const fs::path& dir) {
    uintmax_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.is_regular_file() && (entry.path().extension() == ".bmp" || entry.path().extension() == ".png"))
            bytes += entry.file_size();
    return bytes;
}

bool helpMentions(const Options& o, const std::string& option) {
    const fs::path help = o.work / "roughgc-help.txt";
    runProgram({o.roughgc.string(), "--help"}, o.work, help);
    return readFile(help).find(option) != std::string::npos;
}

bool hasBatchMode(const Options& o) { return helpMentions(o, "--out-dir"); }

// --- collections ------------------------------------------------------------

struct Photo {
    fs::path path;
    double megapixels = 0;
};

struct Collection {
    std::string title;
    fs::path dir;
    std::vector<Photo> photos;
    double megapixels() const {
        double mp = 0;
        for (const Photo& p : photos) mp += p.megapixels;
        return mp;
    }
};

std::vector<fs::path> sourcePhotos(const fs::path& data) {
    std::vector<fs::path> sources;
    for (const auto& entry : fs::directory_iterator(data)) {
        const std::string ext = entry.path().extension().string();
        if (entry.is_regular_file() && (ext == ".jpg" || ext == ".png")) sources.push_back(entry.path());
    }
    if (sources.empty()) fail("no .jpg or .png photos in " + data.string());
    std::sort(sources.begin(), sources.end());
    return sources;
}

double megapixelsOf(const fs::path& photo) {
    const cv::Mat m = cv::imread(photo.string(), cv::IMREAD_COLOR);
    if (m.empty()) fail("cannot read " + photo.string());
    return m.total() / 1e6;
}

// Whole rounds of the sources, as close to `target` photos as whole rounds
// get; copied rather than linked so that every side reads plain files.
Collection smallCollection(const std::vector<fs::path>& sources, const fs::path& dir, size_t target) {
    const size_t rounds = std::max<size_t>(1, (target + sources.size() / 2) / sources.size());
    Collection c;
    c.dir = freshDir(dir);
    std::vector<double> mp;
    for (const fs::path& s : sources) mp.push_back(megapixelsOf(s));
    for (size_t r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < sources.size(); ++i) {
            char prefix[16];
            std::snprintf(prefix, sizeof prefix, "%03zu_", r * sources.size() + i);
            const fs::path copy = dir / (prefix + sources[i].filename().string());
            fs::copy_file(sources[i], copy);
            c.photos.push_back({copy, mp[i]});
        }
    }
    c.title = "(a) bench/data, " + std::to_string(sources.size()) + " photos x " + std::to_string(rounds);
    return c;
}

// `count` photos of 4000 x 3000; those already in `dir` at that size are
// kept. Photos are written under a temporary name and renamed, so an
// interrupted run leaves no truncated photo to be reused.
Collection largeCollection(const std::vector<fs::path>& sources, const fs::path& dir, size_t count) {
    fs::create_directories(dir);
    Collection c;
    c.dir = dir;
    size_t made = 0;
    for (size_t i = 0; i < count; ++i) {
        const fs::path& source = sources[i % sources.size()];
        const bool mirrored = (i / sources.size()) % 2 == 1;
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%02zu_", i);
        const fs::path photo = dir / (prefix + source.stem().string() + (mirrored ? "_mirrored" : "") + "_12mp.jpg");
        cv::Mat image = cv::imread(photo.string(), cv::IMREAD_COLOR);
        if (image.cols != kLargeWidth || image.rows != kLargeHeight) {
            const cv::Mat small = cv::imread(source.string(), cv::IMREAD_COLOR);
            if (small.empty()) fail("cannot read " + source.string());
            cv::resize(small, image, cv::Size(kLargeWidth, kLargeHeight), 0, 0, cv::INTER_CUBIC);
            if (mirrored) cv::flip(image, image, 1);
            const fs::path temporary = dir / (".making_" + photo.filename().string());
            if (!cv::imwrite(temporary.string(), image, {cv::IMWRITE_JPEG_QUALITY, 95}))
                fail("cannot write " + temporary.string());
            fs::rename(temporary, photo);
            ++made;
        }
        c.photos.push_back({photo, image.total() / 1e6});
    }
    if (made > 0) progress("made " + std::to_string(made) + " photos of 4000 x 3000 in " + dir.string());
    c.title = "(b) 4000 x 3000 JPEG (quality 95), cubic upscales of bench/data";
    return c;
}

// --- measuring --------------------------------------------------------------

struct Stats {
    double median = 0, worst = 0;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.back()};
}

struct SideResult {
    bool available = false;
    std::string note;              // why not available
    std::vector<double> seconds;   // per collection run
    std::vector<double> perPhoto;  // A: per process
    std::vector<ProcessRun> runs;  // B, C, D, D': each collection run
    uintmax_t mapBytes = 0;        // the maps of the last run
};

// One batch process (B, C or D) over the collection into a fresh folder;
// fails loudly unless it succeeded and wrote every map (D: none).
ProcessRun runBatch(const std::string& side, std::vector<std::string> args, const Collection& c, const fs::path& out,
                    bool writesMaps = true, uintmax_t* mapBytes = nullptr) {
    freshDir(out);
    // The previous run's maps reach the disk now rather than during this run.
    sync();
    for (const Photo& p : c.photos) args.push_back(p.path.string());
    const fs::path log = out.parent_path() / (out.filename().string() + ".out");
    const ProcessRun run = runProgram(args, out.parent_path(), log);
    const size_t maps = countMaps(out);
    if (run.status != 0 || maps != (writesMaps ? c.photos.size() : 0)) {
        fail(side + " exited with status " + std::to_string(run.status) + " and wrote " + std::to_string(maps) +
             " maps for " + std::to_string(c.photos.size()) + " photos; its output:\n" + readFile(log));
    }
    if (mapBytes) *mapBytes = bytesOfMaps(out);
    fs::remove_all(out);
    return run;
}

void record(SideResult& side, const ProcessRun& run) {
    side.seconds.push_back(run.seconds);
    side.runs.push_back(run);
}

struct Sides {
    SideResult a, b, c, d, dKept, overlay, png, baseline;
};

Sides measure(const Collection& col, const Options& o, bool batchMode, int threads) {
    const fs::path out = o.work / "out";
    freshDir(out);
    std::vector<std::string> bArgs = {o.roughgc.string(), "--out-dir", (out / "B").string(), "--quiet"};
    if (o.jobs) bArgs.insert(bArgs.end(), {"--jobs", std::to_string(*o.jobs)});
    const std::vector<std::string> cArgs = {o.canny.string(), "--out-dir", (out / "C").string(), "--threads",
                                            std::to_string(threads)};
    std::vector<std::string> dArgs = cArgs;
    dArgs[2] = (out / "D").string();
    dArgs.push_back("--decode-only");
    std::vector<std::string> dKeptArgs = cArgs;
    dKeptArgs[2] = (out / "DK").string();
    dKeptArgs.push_back("--decode-kept");
    // O and P: B with overlays (kept inside O's map folder) or PNG maps; B0:
    // B's command line, another tool.
    std::vector<std::string> oArgs = bArgs, pArgs = bArgs, b0Args = bArgs;
    oArgs[2] = (out / "O").string();
    oArgs.insert(oArgs.end(), {"--overlay", (out / "O" / "overlays").string()});
    pArgs[2] = (out / "P").string();
    pArgs.insert(pArgs.end(), {"--format", "png"});
    b0Args[0] = o.baseline.value_or(fs::path()).string();
    b0Args[2] = (out / "B0").string();
    Sides s;
    s.overlay.available = batchMode && helpMentions(o, "--overlay");
    s.png.available = batchMode && helpMentions(o, "--format");
    s.baseline.available = batchMode && o.baseline.has_value();
    s.b.available = batchMode;
    if (!batchMode) s.b.note = "roughgc has no batch mode (--out-dir) yet";
    s.dKept.available = s.d.available = s.c.available = s.a.available = true;

    progress("warm-up: B, C, D and D' once over the collection, untimed");
    if (batchMode) runBatch("B", bArgs, col, out / "B");
    if (s.baseline.available) runBatch("B0", b0Args, col, out / "B0");
    if (s.overlay.available) runBatch("O", oArgs, col, out / "O");
    if (s.png.available) runBatch("P", pArgs, col, out / "P");
    runBatch("C", cArgs, col, out / "C");
    runBatch("D", dArgs, col, out / "D", false);
    runBatch("D'", dKeptArgs, col, out / "DK", false);

    progress("A: " + std::to_string(col.photos.size()) + " roughgc processes, one after another");
    // Working folders are made beforehand so that A's time is the processes'.
    const fs::path aRoot = freshDir(out / "A");
    std::vector<fs::path> aDirs;
    for (const Photo& p : col.photos) aDirs.push_back(aRoot / p.path.stem());
    for (const fs::path& d : aDirs) fs::create_directory(d);
    const fs::path aLog = out / "A.out";
    runProgram({o.roughgc.string(), col.photos.front().path.string()}, aDirs.front(), aLog);  // warm-up
    sync();
    const auto t0 = Clock::now();
    for (size_t i = 0; i < col.photos.size(); ++i) {
        const ProcessRun run = runProgram({o.roughgc.string(), col.photos[i].path.string()}, aDirs[i], aLog);
        if (run.status != 0) {
            fail("A: roughgc " + col.photos[i].path.string() + " exited with status " + std::to_string(run.status) +
                 "; its output:\n" + readFile(aLog));
        }
        s.a.perPhoto.push_back(run.seconds);
    }
    s.a.seconds.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    for (const fs::path& d : aDirs) {
        if (!fs::is_regular_file(d / "RoughGC.bmp")) fail("A: no RoughGC.bmp in " + d.string());
    }
    fs::remove_all(aRoot);

    for (int r = 0; r < o.repetitions; ++r) {
        progress("run " + std::to_string(r + 1) + " of " + std::to_string(o.repetitions) + ": B, C, D, then D'");
        if (batchMode) record(s.b, runBatch("B", bArgs, col, out / "B", true, &s.b.mapBytes));
        if (s.baseline.available) record(s.baseline, runBatch("B0", b0Args, col, out / "B0"));
        if (s.overlay.available) record(s.overlay, runBatch("O", oArgs, col, out / "O"));
        if (s.png.available) record(s.png, runBatch("P", pArgs, col, out / "P", true, &s.png.mapBytes));
        record(s.c, runBatch("C", cArgs, col, out / "C"));
        record(s.d, runBatch("D", dArgs, col, out / "D", false));
        record(s.dKept, runBatch("D'", dKeptArgs, col, out / "DK", false));
    }
    fs::remove_all(out);
    return s;
}

// --- reporting --------------------------------------------------------------

void printTable(const Collection& col, const Sides& s, const std::string& bLabel, const std::string& cLabel,
                const std::string& dLabel, const std::string& dKeptLabel) {
    const double n = col.photos.size(), mp = col.megapixels();
    double smallest = col.photos.front().megapixels, largest = smallest;
    for (const Photo& p : col.photos) {
        smallest = std::min(smallest, p.megapixels);
        largest = std::max(largest, p.megapixels);
    }
    std::printf("\n%s\n", col.title.c_str());
    std::printf("%zu photos, %.1f megapixels (%.2f to %.2f MP each)\n\n", col.photos.size(), mp, smallest, largest);
    std::printf("%-40s %17s %17s %17s\n", "", "seconds", "photos/s", "MP/s");
    std::printf("%-40s %8s %8s %8s %8s %8s %8s\n", "", "median", "worst", "median", "worst", "median", "worst");

    const auto row = [&](const char* label, const SideResult& r) {
        if (!r.available) {
            std::printf("%-40s %s\n", label, r.note.c_str());
            return;
        }
        const Stats t = stats(r.seconds);
        if (r.seconds.size() == 1) {
            std::printf("%-40s %8.2f %8s %8.2f %8s %8.2f %8s\n", label, t.median, "", n / t.median, "", mp / t.median,
                        "");
        } else {
            std::printf("%-40s %8.2f %8.2f %8.2f %8.2f %8.2f %8.2f\n", label, t.median, t.worst, n / t.median,
                        n / t.worst, mp / t.median, mp / t.worst);
        }
    };
    row("A  roughgc PHOTO, one process each", s.a);
    const Stats perProcess = stats(s.a.perPhoto);
    double perProcessMean = 0;
    for (double t : s.a.perPhoto) perProcessMean += t / s.a.perPhoto.size();
    std::printf("   %-37s mean %.3f s, median %.3f s, worst %.3f s\n", "per process:", perProcessMean,
                perProcess.median, perProcess.worst);
    row(("B  " + bLabel).c_str(), s.b);
    row(("C  " + cLabel).c_str(), s.c);
    row(("D  " + dLabel).c_str(), s.d);
    row(("D' " + dKeptLabel).c_str(), s.dKept);
    if (s.overlay.available) row("O  B with --overlay", s.overlay);
    if (s.png.available) row("P  B with --format png", s.png);
    if (s.baseline.available) row("B0 B's command line, the --baseline tool", s.baseline);

    // Ratios of throughput, of the medians and of the worst runs.
    const Stats a = stats(s.a.seconds), c = stats(s.c.seconds), d = stats(s.d.seconds), dk = stats(s.dKept.seconds);
    if (s.b.available) {
        const Stats b = stats(s.b.seconds);
        std::printf("\nB / A: %.2f (worst %.2f)    B / C: %.2f (worst %.2f)    B / D: %.2f (worst %.2f)    "
                    "B / D': %.2f (worst %.2f)\n",
                    a.median / b.median, a.worst / b.worst, c.median / b.median, c.worst / b.worst,
                    d.median / b.median, d.worst / b.worst, dk.median / b.median, dk.worst / b.worst);
        // Throughput of the other batch sides against B's (above 1: faster).
        const auto against = [&](const char* label, const SideResult& r) {
            if (!r.available) return;
            const Stats t = stats(r.seconds);
            std::printf("%s: %.2f (worst %.2f)    ", label, b.median / t.median, b.worst / t.worst);
        };
        against("O / B", s.overlay);
        against("P / B", s.png);
        if (s.baseline.available) {
            const Stats b0 = stats(s.baseline.seconds);
            std::printf("B / B0: %.2f (worst %.2f)", b0.median / b.median, b0.worst / b.worst);
        }
        std::printf("\n");
        if (s.png.available && s.png.mapBytes > 0)
            std::printf("maps: BMP %.1f MB, PNG %.1f MB: %.1f times smaller\n", s.b.mapBytes / 1e6,
                        s.png.mapBytes / 1e6, static_cast<double>(s.b.mapBytes) / s.png.mapBytes);
    } else {
        std::printf("\nC / A: %.2f\n", a.median / c.median);
    }

    // Memory beside the time.
    std::printf("\n%-40s %17s %17s\n", "memory", "peak RSS (MB)", "faults per photo");
    const auto memory = [&](const char* label, const SideResult& r) {
        if (!r.available || r.runs.empty()) return;
        long peak = 0;
        std::vector<double> faults;
        for (const ProcessRun& run : r.runs) {
            peak = std::max(peak, run.peakKilobytes);
            faults.push_back(static_cast<double>(run.pageFaults) / n);
        }
        std::printf("%-40s %17.1f %17.0f\n", label, peak / 1024.0, stats(faults).median);
    };
    memory("B", s.b);
    memory("C", s.c);
    memory("D", s.d);
    memory("D'", s.dKept);
    memory("O", s.overlay);
    memory("P", s.png);
    memory("B0", s.baseline);
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parseOptions(argc, argv);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    for (const fs::path& tool : {o.roughgc, o.canny}) {
        if (access(tool.c_str(), X_OK) != 0) fail("cannot run " + tool.string());
    }
    fs::create_directories(o.work);
    const auto start = Clock::now();

    const int cores = usableCores();
    // B's default --jobs is std::thread::hardware_concurrency(); C matches it.
    const int threads = o.jobs.value_or(std::max(1u, std::thread::hardware_concurrency()));
    const bool batchMode = hasBatchMode(o);
    const std::string bLabel = "roughgc --out-dir, one batch process";
    const std::string cLabel = "OpenCV Canny, " + std::to_string(threads) + " TBB threads";
    const std::string dLabel = "decoding alone, " + std::to_string(threads) + " TBB threads";
    const std::string dKeptLabel = "decoding into kept images, " + std::to_string(threads) + " thr.";

    std::printf("machine: %d cores (nproc), %s\n", cores, cpuModel().c_str());
    std::printf("roughgc: %s backend; OpenCV %s, parallel framework %s\n", ROUGHGC_THROUGHPUT_BACKEND, CV_VERSION,
                openCvParallelFramework().c_str());
    const std::string bJobs =
        o.jobs ? "--jobs " + std::to_string(*o.jobs) : "default --jobs (" + std::to_string(threads) + ")";
    std::printf(
        "B: --quiet, %s; C: imread, cvtColor to grey, Canny(50, 150), imwrite BMP, on %d threads;\n"
        "D: imread(IMREAD_COLOR) alone, on the same threads; D': imdecode(IMREAD_COLOR) of kept bytes into a kept\n"
        "image, on the same threads\n",
        bJobs.c_str(), threads);
    const double busy = busyShare();
    std::printf("CPU time used by other processes in the second before: %.0f %%%s\n", 100 * busy,
                busy > 0.1 ? " -- the machine is busy: figures will be low and noisy" : "");
    std::printf(
        "warm: one untimed run of B, C, D and D', one untimed process of A; B, C, D and D' then %d times, in turn,\n"
        "into fresh folders (median and worst); A once, its processes one after another\n",
        o.repetitions);
    std::fflush(stdout);

    const std::vector<fs::path> sources = sourcePhotos(o.data);
    std::fprintf(stderr, "collection (a)\n");
    const Collection small = smallCollection(sources, o.work / "small", kSmallCollection);
    const Sides smallSides = measure(small, o, batchMode, threads);
    printTable(small, smallSides, bLabel, cLabel, dLabel, dKeptLabel);
    std::fflush(stdout);

    std::fprintf(stderr, "collection (b)\n");
    const Collection large = largeCollection(sources, o.work / "large", kLargeCollection);
    const Sides largeSides = measure(large, o, batchMode, threads);
    printTable(large, largeSides, bLabel, cLabel, dLabel, dKeptLabel);

    std::printf("\ntotal: %.0f s\n", std::chrono::duration<double>(Clock::now() - start).count());
    return 0;
}

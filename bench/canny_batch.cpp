// What a user would write, in one process, to get an edge map of every photo
// of a collection with OpenCV alone: the reference side of the throughput
// benchmark (bench/throughput.cpp).
//
//   roughgc_canny_batch --out-dir DIR [--threads N] [--decode-only | --decode-kept] PHOTO...
//
// For each photo: imread, cvtColor to grey, Canny(50, 150), imwrite
// DIR/NAME.bmp (NAME: the file name without its last extension); BMP, as
// roughgc writes, is also the cheapest format to encode. Photos are
// spread over N threads (default: all the cores this process may use);
// OpenCV's own parallel loops keep their defaults and, OpenCV being built on
// TBB here, share the same N threads. Prints "N maps written, M failed, T s"
// and exits 0 when every map was written.
//
// --decode-only stops after imread (the same call, flags and threads as
// above, and as roughgc's own reading of a file): the pace of decoding
// alone, which bounds every batch over compressed photos. Nothing is
// written; it prints "N photos decoded, M failed, T s".
//
// --decode-kept decodes as fast as OpenCV lets a program decode a run of
// photos: each thread reads a file into bytes it keeps and decodes them with
// cv::imdecode into an image it keeps, so that photos of one size allocate
// nothing. (For a cut JPEG its pixels may differ from imread's.)
#include <sched.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

namespace {

int usableCores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    return 1;
}

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr, "roughgc_canny_batch: %s\nusage: roughgc_canny_batch --out-dir DIR [--threads N] [--decode-only | --decode-kept] PHOTO...\n",
                 problem);
    std::exit(2);
}

// The file's bytes into `bytes`, whose memory is kept when it is large
// enough.
bool readWhole(const std::string& path, std::vector<unsigned char>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long size = ok ? std::ftell(f) : -1;
    ok = ok && size > 0 && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        if (bytes.capacity() < static_cast<size_t>(size)) bytes.reserve(static_cast<size_t>(size));
        bytes.resize(static_cast<size_t>(size));
        ok = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
    }
    std::fclose(f);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path outDir;
    int threads = usableCores();
    bool decodeOnly = false, decodeKept = false;
    std::vector<std::string> photos;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--decode-only") {
            decodeOnly = true;
        } else if (arg == "--decode-kept") {
            decodeOnly = decodeKept = true;
        } else if (arg == "--out-dir" && hasValue) {
            outDir = argv[++i];
        } else if (arg == "--threads" && hasValue) {
            threads = std::atoi(argv[++i]);
            if (threads < 1) usage("--threads needs a positive number");
        } else if (arg.rfind("--", 0) == 0) {
            usage(("unknown option or missing value: " + arg).c_str());
        } else {
            photos.push_back(arg);
        }
    }
    if (outDir.empty()) usage("--out-dir is required");
    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);
    if (ec) usage(("cannot create " + outDir.string() + ": " + ec.message()).c_str());
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);

    const auto t0 = std::chrono::steady_clock::now();
    std::atomic<size_t> failed{0};
    tbb::task_arena arena(threads);
    arena.execute([&] {
        // One photo per task: photo sizes vary widely, so chunks would leave
        // a thread idle behind a large one.
        tbb::parallel_for(
            tbb::blocked_range<size_t>(0, photos.size(), 1),
            [&](const tbb::blocked_range<size_t>& range) {
                cv::Mat grey, edges;
                thread_local std::vector<unsigned char> bytes;
                thread_local cv::Mat kept;
                for (size_t i = range.begin(); i != range.end(); ++i) {
                    cv::Mat photo;
                    if (decodeKept) {
                        if (readWhole(photos[i], bytes)) photo = cv::imdecode(bytes, cv::IMREAD_COLOR, &kept);
                    } else {
                        photo = cv::imread(photos[i], cv::IMREAD_COLOR);
                    }
                    if (photo.empty()) {
                        std::fprintf(stderr, "cannot read %s\n", photos[i].c_str());
                        ++failed;
                        continue;
                    }
                    if (decodeOnly) continue;
                    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
                    cv::Canny(grey, edges, 50, 150);
                    const std::filesystem::path out =
                        outDir / (std::filesystem::path(photos[i]).stem().string() + ".bmp");
                    bool written = false;
                    try {
                        written = cv::imwrite(out.string(), edges);
                    } catch (const cv::Exception&) {
                    }
                    if (!written) {
                        std::fprintf(stderr, "cannot write %s\n", out.c_str());
                        ++failed;
                    }
                }
            },
            tbb::simple_partitioner());
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%zu %s, %zu failed, %.2f s\n", photos.size() - failed, decodeOnly ? "photos decoded" : "maps written",
                failed.load(), seconds);
    return failed == 0 ? 0 : 1;
}

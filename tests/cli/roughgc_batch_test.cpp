// Batch mode of roughgc, seen from outside: many photos in one run.
#include <gtest/gtest.h>
#include <signal.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <regex>
#include <set>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "jpeg_edits.h"
#include "read_watch.h"
#include "tool_photos.h"
#include "tool_runner.h"

namespace {

using namespace tool;

// A working directory holding copies of the test photos.
struct Collection : TempDir {
    Collection() {
        fs::copy_file(kExamples / "fruits.jpg", *this / "fruits.jpg");
        fs::copy_file(kData / "left01.jpg", *this / "left01.jpg");
        fs::copy_file(kData / "chicky_512.png", *this / "chicky_512.png");
    }
    uint64_t map(const std::string& name) const { return fnv1a(readFile(*this / ("out/" + name + ".bmp"))); }
};

::testing::AssertionResult isSummary(const std::string& out, const std::string& counts) {
    if (std::regex_match(out, std::regex(counts + ", [0-9]+\\.[0-9] s\n"))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "summary: " << out;
}

TEST(RoughgcBatch, MixedCollectionWritesEveryGoodMapAndReportsEachFailure) {
    Collection cwd;
    writeFile(cwd / "notes, \"v2\".txt", "not a photo");
    cv::imwrite((cwd / "tiny.png").string(), cv::Mat(44, 44, CV_8UC3, cv::Scalar(10, 200, 30)));
    // Photos the decoders' libraries complain about on standard error: a
    // JPEG cut short (decoded, grey below the cut) and a PNG cut short.
    writeFile(cwd / "cut.jpg", readFile(cwd / "fruits.jpg").substr(0, 20000));
    writeFile(cwd / "broken.png", readFile(cwd / "chicky_512.png").substr(0, 3000));
    fs::copy_file(cwd / "left01.jpg", cwd / "blocked.jpg");
    fs::create_directories(cwd / "out/blocked.bmp");  // in the way of its map

    const RunResult r = run({"--out-dir", "out", "--report", "report.csv", "fruits.jpg", "gone.jpg", "notes, \"v2\".txt",
                             "left01.jpg", "tiny.png", "blocked.jpg", "chicky_512.png", "cut.jpg", "broken.png"},
                            cwd.path());
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_TRUE(isSummary(r.out, "4 maps written, 5 failed"));
    EXPECT_EQ(r.err,
              "gone.jpg: Error reading image (No such file or directory)\n"
              "notes, \"v2\".txt: Error reading image\n"
              "tiny.png: Image too small: 44 x 44 pixels; at least 45 x 45 needed\n"
              "blocked.jpg: Error writing out/blocked.bmp: Is a directory\n"
              "broken.png: Error reading image\n")
        << r;
    EXPECT_EQ(cwd.map("fruits"), kFruitsMap);
    EXPECT_EQ(cwd.map("left01"), kLeftMap);
    EXPECT_EQ(cwd.map("chicky_512"), kChickyMap);
    EXPECT_EQ(listing(cwd / "out"),
              (std::vector<std::string>{"blocked.bmp", "chicky_512.bmp", "cut.bmp", "fruits.bmp", "left01.bmp"}));

    const std::string csv = readFile(cwd / "report.csv");
    std::istringstream rows(csv);
    std::vector<std::string> lines;
    for (std::string line; std::getline(rows, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 10u) << csv;
    EXPECT_EQ(lines[0],
              "photo,map,outcome,width,height,quantile_index,threshold,coarse_boxes,fine_boxes,dimension,passes,"
              "milliseconds,error,converged");
    // The figures are the same on every machine and backend; the time is not.
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("fruits\\.jpg,out/fruits\\.bmp,written,512,480,1535,4\\.24688625,"
                                                      "316,1036,1\\.713027,2,[0-9]+\\.[0-9]{3},,true")))
        << lines[1];
    EXPECT_EQ(lines[2], "gone.jpg,out/gone.bmp,failed,,,,,,,,,,Error reading image (No such file or directory),");
    EXPECT_EQ(lines[3], "\"notes, \"\"v2\"\".txt\",\"out/notes, \"\"v2\"\".bmp\",failed,,,,,,,,,,Error reading image,");
    EXPECT_EQ(lines[5], "tiny.png,out/tiny.bmp,failed,44,44,,,,,,,,"
                        "Image too small: 44 x 44 pixels; at least 45 x 45 needed,");
}

TEST(RoughgcBatch, PhotosExtractedAtOnceGetTheMapsOfOneAtATime) {
    // More workers than cores: on the cpu backend each extracts its photo
    // with an extractor of its own, which no other may use meanwhile.
    Collection cwd;
    constexpr int kCopies = 10;
    std::vector<std::string> args = {"-o", "out", "-j", "4"};
    const std::pair<std::string, uint64_t> photos[] = {
        {"fruits.jpg", kFruitsMap}, {"left01.jpg", kLeftMap}, {"chicky_512.png", kChickyMap}};
    for (int copy = 0; copy < kCopies; ++copy) {
        for (const auto& [name, map] : photos) {
            const std::string copied = std::to_string(copy) + name;
            fs::copy_file(cwd / name, cwd / copied);
            args.push_back(copied);
        }
    }
    const RunResult r = run(args, cwd.path());
    EXPECT_EQ(r.status, 0) << r;
    for (int copy = 0; copy < kCopies; ++copy) {
        for (const auto& [name, map] : photos) {
            const std::string stem = std::to_string(copy) + fs::path(name).stem().string();
            EXPECT_EQ(cwd.map(stem), map) << stem;
        }
    }
}

TEST(RoughgcBatch, ExtractorsAndDescriptorsAreReusedAndGivenBack) {
    Collection cwd;
    std::vector<std::string> args = {"-o", "out", "-j", "1"};
    for (int i = 0; i < 100; ++i) {
        std::string name = "p";  // appended, not prepended: GCC 12 warns wrongly on "p" + std::string
        name += std::to_string(i) + ".jpg";
        fs::create_symlink(cwd / "fruits.jpg", cwd / name);
        args.push_back(name);
    }
    // A warm extractor allocates nothing for another photo of its size: the
    // runtime's fifth allocation, the second extractor's first, never comes.
    RunOptions injected;
    injected.environment = {{"ROUGHGC_CPURT_FAIL", "allocation:4"}};
    const RunResult warm = run({"-o", "warm", "-j", "1", "fruits.jpg", "p1.jpg", "p2.jpg"}, cwd.path(), injected);
    EXPECT_EQ(warm.status, 0) << warm;
    // Nothing is left open from one photo to the next.
    RunOptions few;
    few.openFileLimit = 64;
    const RunResult r = run(args, cwd.path(), few);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(listing(cwd / "out").size(), 100u);
}

TEST(RoughgcBatch, MapsAreThoseOfSingleRunsWhateverPhotoCameBefore) {
    // Every kind of photo after every other, through one worker's kept
    // buffers and through several: streamed, turned, progressive, cut,
    // grey and PNG.
    Collection cwd;
    const std::string fruits = readFile(cwd / "fruits.jpg");
    writeFile(cwd / "turned.jpg", jpeg_edits::withOrientation(fruits, 6));
    writeFile(cwd / "mirrored.jpg", jpeg_edits::withOrientation(fruits, 3));
    writeFile(cwd / "cut.jpg", fruits.substr(0, fruits.size() * 3 / 5));
    cv::imwrite((cwd / "progressive.jpg").string(), cv::imread((cwd / "fruits.jpg").string()),
                {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    const std::vector<std::string> kinds = {"fruits.jpg", "turned.jpg", "left01.jpg",  "cut.jpg",
                                            "chicky_512.png", "mirrored.jpg", "progressive.jpg"};
    std::map<std::string, uint64_t> single;
    for (const std::string& name : kinds) {
        TempDir alone;
        ASSERT_EQ(run({(cwd / name).string()}, alone.path()).status, 0) << name;
        single[name] = fnv1a(readFile(alone / "RoughGC.bmp"));
    }
    for (const char* jobs : {"1", "3"}) {
        std::vector<std::string> args = {"-o", "out", "-j", jobs};
        for (size_t round = 0; round < kinds.size(); ++round) {
            for (size_t k = 0; k < kinds.size(); ++k) {
                // Each round a different order: each kind after another.
                const std::string& name = kinds[(k * (round + 1) + round) % kinds.size()];
                const std::string copy = std::to_string(round) + "-" + std::to_string(k) + "-" + name;
                fs::copy_file(cwd / name, cwd / copy, fs::copy_options::overwrite_existing);
                args.push_back(copy);
            }
        }
        fs::remove_all(cwd / "out");
        const RunResult r = run(args, cwd.path());
        ASSERT_EQ(r.status, 0) << r;
        for (size_t a = 4; a < args.size(); ++a) {
            const std::string name = args[a].substr(args[a].find('-', 2) + 1);
            EXPECT_EQ(cwd.map(fs::path(args[a]).stem().string()), single[name]) << args[a] << ", -j " << jobs;
        }
    }
}

// --format png: the same maps as 1-bit grey PNGs, several times smaller,
// named, reported and skipped as .png; another format is refused.
TEST(RoughgcBatch, PngMapsHoldTheBmpMapsPixelsInOneBitAPixel) {
    Collection cwd;
    const std::vector<std::string> photos{"fruits.jpg", "left01.jpg", "chicky_512.png"};
    std::vector<std::string> bmp{"-q", "-o", "bmp"}, png{"-q", "-o", "out", "--format", "png", "-r", "r.csv"};
    bmp.insert(bmp.end(), photos.begin(), photos.end());
    png.insert(png.end(), photos.begin(), photos.end());
    RunResult r = run(bmp, cwd.path());
    ASSERT_EQ(r.status, 0) << r;
    r = run(png, cwd.path());
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(listing(cwd / "out"), (std::vector<std::string>{"chicky_512.png", "fruits.png", "left01.png"}));
    for (const char* name : {"fruits", "left01", "chicky_512"}) {
        SCOPED_TRACE(name);
        const std::string file = readFile(cwd / "out" / (std::string(name) + ".png"));
        ASSERT_GT(file.size(), 26u);
        EXPECT_EQ(file[24], 1);  // bit depth
        EXPECT_EQ(file[25], 0);  // grey
        const cv::Mat ours = cv::imread((cwd / "out" / (std::string(name) + ".png")).string(), cv::IMREAD_UNCHANGED);
        const cv::Mat bmpMap = cv::imread((cwd / "bmp" / (std::string(name) + ".bmp")).string(), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(ours.type(), CV_8UC1);
        ASSERT_EQ(ours.size(), bmpMap.size());
        EXPECT_EQ(cv::norm(ours, bmpMap, cv::NORM_INF), 0);
        EXPECT_LE(4 * file.size(), fs::file_size(cwd / "bmp" / (std::string(name) + ".bmp")));
    }
    EXPECT_NE(readFile(cwd / "r.csv").find("\nfruits.jpg,out/fruits.png,written,"), std::string::npos);
    png.insert(png.begin(), "-s");
    r = run(png, cwd.path());
    EXPECT_EQ(r.status, 0) << r;
    // Skipped, the photo keeps the row of the run that wrote its map.
    const std::string resumed = readFile(cwd / "r.csv");
    EXPECT_NE(resumed.find("\nfruits.jpg,out/fruits.png,written,"), std::string::npos) << resumed;
    EXPECT_EQ(resumed.find("\nfruits.jpg,", resumed.find("\nfruits.jpg,") + 1), std::string::npos) << resumed;

    r = run({"-o", "gif", "--format", "gif", "fruits.jpg"}, cwd.path());
    EXPECT_EQ(r.status, 255) << r;
    EXPECT_EQ(r.err, "roughgc: --format: must be bmp or png, not gif (see roughgc --help)\n") << r;
    EXPECT_FALSE(fs::exists(cwd / "gif"));
}

TEST(RoughgcBatch, CommandLinesThatCannotWorkAreRefusedBeforeAnyWork) {
    Collection cwd;
    fs::create_directory(cwd / "b");
    fs::copy_file(cwd / "chicky_512.png", cwd / "b/fruits.png");
    fs::copy_file(cwd / "chicky_512.png", cwd / "map.bmp");
    writeFile(cwd / "list.txt", "fruits.jpg\n");
    writeFile(cwd / "find.txt", std::string("fruits.jpg\0left01.jpg\0", 22));
    writeFile(cwd / "empty.txt", "");
    writeFile(cwd / "notes.csv", "the user's own\n");
    fs::create_symlink("nowhere", cwd / "dangling");
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        // A report never replaces what is not one: the photo that the shell
        // put after -r, a photo, a map or the list of the run, any other file.
        {{"-o", "out", "-r", "fruits.jpg", "left01.jpg"},
         "roughgc: fruits.jpg is not a report of roughgc's, and it is not replaced (name another --report)\n"},
        {{"-o", "out", "-r", "left01.jpg", "fruits.jpg", "left01.jpg"},
         "roughgc: the report left01.jpg would overwrite the photo left01.jpg\n"},
        {{"-o", "out", "-r", "out/fruits.bmp", "fruits.jpg"},
         "roughgc: the report out/fruits.bmp would overwrite the map of fruits.jpg\n"},
        {{"-o", "out", "-f", "list.txt", "-r", "list.txt"}, "roughgc: the report list.txt would overwrite the list list.txt\n"},
        {{"-o", "out", "-f", "list.txt", "-r", "./list.txt"},
         "roughgc: the report ./list.txt would overwrite the list list.txt\n"},
        {{"-o", "out", "-r", "notes.csv", "fruits.jpg"},
         "roughgc: notes.csv is not a report of roughgc's, and it is not replaced (name another --report)\n"},
        {{"-o", "out", "-r", "b", "fruits.jpg"}, "roughgc: the report b is a directory\n"},
        {{"-o", "out", "-r", "no/r.csv", "fruits.jpg"}, "roughgc: cannot write the report no/r.csv: no folder no\n"},
        {{"-o", "out", "-r", "", "fruits.jpg"}, "roughgc: --report needs a name, not an empty one\n"},
        {{"-o", "out", "-f", ""}, "roughgc: --files-from needs a name, not an empty one\n"},
        {{"-o", "fruits.jpg", "left01.jpg"}, "roughgc: --out-dir fruits.jpg is not a folder\n"},
        {{"-o", "dangling", "left01.jpg"}, "roughgc: --out-dir dangling is a link to nothing\n"},
        {{"-o", "out", "-f", "find.txt"},
         "roughgc: cannot read find.txt: it holds NUL bytes (for a list that ends names with NUL bytes, add --null)\n"},
        {{"-o", "out", "-f", "empty.txt"}, "roughgc: no photos given (see roughgc --help)\n"},
        {{"-o", "out", "--memory-limit", "0", "fruits.jpg"},
         "roughgc: --memory-limit: must be a number of bytes above 0, with K, M, G or T for powers of 1024, not 0 "
         "(see roughgc --help)\n"},
        {{"-o", "out", "fruits.jpg", "b/fruits.png"}, "roughgc: fruits.jpg and b/fruits.png would both write out/fruits.bmp\n"},
        {{"-o", ".", "left01.jpg", "map.bmp"}, "roughgc: the map of map.bmp would overwrite map.bmp\n"},
        {{"-o", "out", "--window", "0", "fruits.jpg"},
         "roughgc: --window: must be a whole number from 1 to 15438, not 0 (see roughgc --help)\n"},
        {{"-o", "out", "--window", "7.5", "fruits.jpg"},
         "roughgc: --window: must be a whole number from 1 to 15438, not 7.5 (see roughgc --help)\n"},
        {{"-o", "out", "--dim", "nan", "fruits.jpg"}, "roughgc: --dim: must be a number from 0 to 2, not nan (see roughgc --help)\n"},
        {{"-o", "out", "--tolerance", "", "fruits.jpg"},
         "roughgc: --tolerance: must be a number from 0 to 2, not an empty value (see roughgc --help)\n"},
        {{"fruits.jpg", "left01.jpg", "--quiet"}, "roughgc: --out-dir is required (see roughgc --help)\n"},
        {{"-o", "out", "--null", "fruits.jpg"}, "roughgc: --null requires --files-from (see roughgc --help)\n"},
    };
    for (const auto& [args, line] : refused) {
        const RunResult r = run(args, cwd.path());
        EXPECT_EQ(r.status, 255) << r;
        EXPECT_EQ(r.err, line) << r;
        EXPECT_EQ(r.out, "") << r;
    }
    // The option parser's own words, with a pointer to --help.
    for (const auto& args : std::vector<std::vector<std::string>>{{"-o", "out", "--bogus", "fruits.jpg"},
                                                                  {"fruits.jpg", "--out-dir"}}) {
        const RunResult r = run(args, cwd.path());
        EXPECT_EQ(r.status, 255) << r;
        EXPECT_TRUE(r.err.starts_with("roughgc: ") && r.err.ends_with(" (see roughgc --help)\n")) << r;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r;
    }
    EXPECT_FALSE(fs::exists(cwd / "out"));
    EXPECT_EQ(fnv1a(readFile(cwd / "map.bmp")), fnv1a(readFile(cwd / "chicky_512.png")));
    EXPECT_EQ(fnv1a(readFile(cwd / "fruits.jpg")), fnv1a(readFile(kExamples / "fruits.jpg")));
    EXPECT_EQ(readFile(cwd / "list.txt"), "fruits.jpg\n");
    EXPECT_EQ(readFile(cwd / "notes.csv"), "the user's own\n");
}

TEST(RoughgcBatch, HelpAndVersionGoToStandardOutput) {
    TempDir cwd;
    const RunResult help = run({"--help"}, cwd.path()), version = run({"-V"}, cwd.path());
    EXPECT_EQ(help.status, 0) << help;
    EXPECT_NE(help.out.find("--files-from"), std::string::npos) << help;
    // Wrapped at 100 columns, words whole, and in our words, not the parser's.
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 100u) << line;
        for (const char* raw : {"REQUIRED", "Needs:", "... ..."}) EXPECT_EQ(line.find(raw), std::string::npos) << line;
    }
    EXPECT_NE(help.out.find("\n  -o,--out-dir DIR            Folder for the maps, created if missing\n"),
              std::string::npos) << help;
    EXPECT_NE(help.out.find("\n  -f,--files-from FILE        Also process the photos listed in FILE, one a line "
                            "('-': standard\n                              input)\n"),
              std::string::npos) << help;
    EXPECT_EQ(version.status, 0) << version;
    EXPECT_TRUE(std::regex_match(version.out, std::regex("roughgc [0-9]+\\.[0-9]+(\\.[0-9]+)?\n"))) << version;

    RunOptions full;
    full.stdoutPath = "/dev/full";
    const RunResult lost = run({"--help"}, cwd.path(), full);
    EXPECT_EQ(lost.status, 5) << lost;
    EXPECT_EQ(lost.err, "(!) Error writing standard output: No space left on device\n") << lost;
}

TEST(RoughgcBatch, NullSeparatedListFromStandardInputAndSkippingExistingMaps) {
    Collection cwd;
    writeFile(cwd / "list", std::string("fruits.jpg\0left01.jpg\0chicky_512.png\0", 37));
    fs::create_directory(cwd / "out");
    writeFile(cwd / "out/fruits.bmp", "kept");
    fs::create_directory(cwd / "out/chicky_512.bmp");  // a folder is no map to skip
    RunOptions fromList;
    fromList.stdinPath = (cwd / "list").string();
    const RunResult r = run({"-o", "out", "--files-from", "-", "--null", "--skip-existing"}, cwd.path(), fromList);
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_TRUE(isSummary(r.out, "1 maps written, 1 failed, 1 skipped"));
    EXPECT_EQ(r.err, "chicky_512.png: Error writing out/chicky_512.bmp: Is a directory\n") << r;
    EXPECT_EQ(readFile(cwd / "out/fruits.bmp"), "kept");
    EXPECT_EQ(cwd.map("left01"), kLeftMap);
}

// The cpu runtime fails a device call on request: here the second photo's
// wait for its work, as a failed kernel would make it fail.
TEST(RoughgcBatch, DeviceFailureEndsTheRunWithTheReportOfThePhotosDone) {
    Collection cwd;
    RunOptions failing;
    failing.environment = {{"ROUGHGC_CPURT_FAIL", "synchronize:1"}};
    const RunResult r = run({"-o", "out", "-j", "1", "-r", "report.csv", "fruits.jpg", "left01.jpg", "chicky_512.png"},
                            cwd.path(), failing);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_TRUE(isSummary(r.out, "1 maps written, 1 failed, 1 not started"));
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex("left01\\.jpg: CUDA error at [^ ]+:[0-9]+: unspecified launch failure in cudaGetLastError\\(\\)\n")))
        << r;
    EXPECT_EQ(listing(cwd / "out"), std::vector<std::string>{"fruits.bmp"});
    EXPECT_EQ(cwd.map("fruits"), kFruitsMap);
    const std::string csv = readFile(cwd / "report.csv");
    EXPECT_TRUE(std::regex_match(csv, std::regex("photo,map,[^\n]*\nfruits\\.jpg,out/fruits\\.bmp,written,[^\n]*\n"
                                                 "left01\\.jpg,out/left01\\.bmp,failed,640,480,,,,,,,,CUDA error at [^\n]*\n")))
        << csv;
}

// A run over 400 links to the example photo, stopped by `stop` (given the
// process) once its first `maps` maps are there.
// Whether the process runs still: not ended, nor ended and waiting to be
// reaped.
bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

struct LongRun : Collection {
    std::vector<std::string> args{"-o", "out"};
    explicit LongRun(std::vector<std::string> options = {}) {
        args.insert(args.end(), options.begin(), options.end());
        for (int i = 0; i < 400; ++i) {
            std::string name = "p";  // appended, not prepended: GCC 12 warns wrongly on "p" + std::string
            name += std::to_string(i) + ".jpg";
            fs::create_symlink(*this / "fruits.jpg", *this / name);
            args.push_back(name);
        }
    }
    RunResult runStoppedBy(std::function<void(pid_t)> stop, int maps = 1, RunOptions options = {}) {
        std::thread stopper;
        const fs::path last = *this / ("out/p" + std::to_string(maps - 1) + ".bmp");
        options.started = [&](pid_t pid) {
            // Until the map is there, or the tool has ended without it (a
            // fault that writes no map must not keep the suite waiting).
            stopper = std::thread([last, pid, stop] {
                for (int i = 0; i < 3000 && !fs::exists(last) && running(pid); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                stop(pid);
            });
        };
        RunResult r = run(args, path(), options);
        stopper.join();
        return r;
    }
    // Every file in out/ is a whole map of the example photo: no partial
    // map, no temporary file.
    void expectOnlyWholeMaps() const {
        for (const std::string& name : listing(*this / "out")) {
            EXPECT_TRUE(std::regex_match(name, std::regex("p[0-9]+\\.bmp"))) << name;
            EXPECT_EQ(fnv1a(readFile(*this / "out" / name)), kFruitsMap) << name;
        }
    }
};

TEST(RoughgcBatch, TerminationStopsTakingPhotosAndEndsWithTheSummary) {
    for (const int sig : {SIGTERM, SIGINT}) {
        LongRun cwd;
        const RunResult r = cwd.runStoppedBy([sig](pid_t pid) { kill(pid, sig); });
        EXPECT_EQ(r.status, 128 + sig) << r;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.out, m, std::regex("([0-9]+) maps written, ([0-9]+) failed, ([0-9]+) not started, "
                                                          "[0-9.]+ s\n")))
            << r;
        EXPECT_EQ(std::stoi(m[1]) + std::stoi(m[2]) + std::stoi(m[3]), 400) << r;
        EXPECT_EQ(std::stoul(m[1]), listing(cwd / "out").size());
        cwd.expectOnlyWholeMaps();
    }
}

TEST(RoughgcBatch, SecondSignalEndsTheRunAtOnce) {
    LongRun cwd;
    // Two signals: the second ends the process before the photos in flight.
    const RunResult r = cwd.runStoppedBy([](pid_t pid) {
        kill(pid, SIGINT);
        kill(pid, SIGTERM);
    });
    EXPECT_EQ(r.status == 130 || r.status == 143, true) << r;
    EXPECT_EQ(r.out, "") << r;  // no summary: it did not wait for them
    cwd.expectOnlyWholeMaps();
}

#if !defined(__SANITIZE_ADDRESS__)  // a preloaded library must not come before the sanitizer's runtime
// The tool with file-system faults preloaded (see tests/shim/io_faults.cpp).
RunOptions withFaults(std::vector<std::pair<std::string, std::string>> faults) {
    RunOptions o;
    o.environment = std::move(faults);
    o.environment.emplace_back("LD_PRELOAD", ROUGHGC_IO_FAULTS);
    return o;
}

TEST(RoughgcBatch, SecondSignalLeavesNoNamedTemporaryBehind) {
    // No unnamed files here, and slow flushing: the signals come while a
    // named temporary (.rgc-*) waits for its flush, and the second one
    // removes it as it ends the run.
    LongRun cwd;
    std::thread stopper;
    RunOptions options = withFaults({{"ROUGHGC_SHIM_NO_TMPFILE", "1"}, {"ROUGHGC_SHIM_SYNC_DELAY_MS", "400"}});
    options.started = [&](pid_t pid) {
        stopper = std::thread([&cwd, pid] {
            auto temporary = [&cwd] {
                std::error_code ec;
                for (const auto& e : fs::directory_iterator(cwd / "out", ec))
                    if (e.path().filename().string().rfind(".rgc-", 0) == 0) return true;
                return false;
            };
            for (int i = 0; i < 3000 && !temporary() && running(pid); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            kill(pid, SIGINT);
            kill(pid, SIGTERM);  // another signal: two of a kind may arrive as one
        });
    };
    const RunResult r = run(cwd.args, cwd.path(), options);
    stopper.join();
    EXPECT_TRUE(r.status == 130 || r.status == 143) << r;
    EXPECT_EQ(r.out, "") << r;  // ended by the second signal, without a summary
    cwd.expectOnlyWholeMaps();
}

TEST(RoughgcBatch, AFlushThatFailsFailsItsMapOrTheRunAndKeepsTheEarlierFile) {
    Collection cwd;
    fs::create_directory(cwd / "out");
    writeFile(cwd / "out/fruits.bmp", "an earlier map");
    const RunResult map = run({"-o", "out", "fruits.jpg"}, cwd.path(), withFaults({{"ROUGHGC_SHIM_EIO", "fsync"}}));
    EXPECT_EQ(map.status, 2) << map;
    EXPECT_EQ(map.err, "fruits.jpg: Error writing out/fruits.bmp: Input/output error\n") << map;
    EXPECT_EQ(readFile(cwd / "out/fruits.bmp"), "an earlier map");
    EXPECT_EQ(listing(cwd / "out"), std::vector<std::string>{"fruits.bmp"});

    const RunResult report =
        run({"-o", "out", "-r", "r.csv", "left01.jpg"}, cwd.path(), withFaults({{"ROUGHGC_SHIM_EIO", "fdatasync"}}));
    EXPECT_EQ(report.status, 255) << report;
    EXPECT_EQ(report.err, "roughgc: cannot write the report r.csv: Input/output error\n") << report;
    EXPECT_FALSE(fs::exists(cwd / "out/left01.bmp"));
}

// On the cpu backend a regular file is read where it is extracted, on its
// worker's core: once, and not by a decoder ahead of it as well.
TEST(RoughgcBatch, EachRegularPhotoIsReadOnceByItsExtractor) {
    Collection cwd;
    TempDir logs;
    writeNoisyJpeg(cwd / "a.jpg", 1);
    writeNoisyJpeg(cwd / "b.jpg", 2);
    const RunResult r = run({"-o", "out", "-j", "2", "a.jpg", "b.jpg", "fruits.jpg"}, cwd.path(),
                            watchingReads("a.jpg,b.jpg", logs / "reads"));
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(listing(cwd / "out"), (std::vector<std::string>{"a.bmp", "b.bmp", "fruits.bmp"}));
    ReadLog log(logs / "reads");
    for (const char* name : {"a.jpg", "b.jpg"}) {
        const long size = static_cast<long>(fs::file_size(cwd / name));
        ASSERT_GT(size, 1 << 20) << name;
        // The whole file, and a look at its header (a small part of it).
        EXPECT_GE(log.bytes[name], size) << name;
        EXPECT_LT(log.bytes[name], 2 * size) << name << " was read more than once: " << log.bytes[name] << " bytes of "
                                             << size;
    }
}
#endif

TEST(RoughgcBatch, ReportKeepsEveryWrittenMapsRowThroughAKillAndAResumedRun) {
    LongRun cwd({"-r", "report.csv", "--skip-existing"});
    const RunResult killed = cwd.runStoppedBy([](pid_t pid) { kill(pid, SIGKILL); }, 5);
    ASSERT_EQ(killed.signal, SIGKILL) << killed;
    cwd.expectOnlyWholeMaps();

    auto rowsOf = [&cwd] {
        std::istringstream csv(readFile(cwd / "report.csv"));
        std::vector<std::string> rows;
        for (std::string line; std::getline(csv, line);) rows.push_back(line);
        return rows;
    };
    const std::vector<std::string> before = rowsOf();
    ASSERT_GE(before.size(), 1u);
    EXPECT_EQ(before[0], std::string("photo,map,outcome,width,height,quantile_index,threshold,coarse_boxes,"
                                     "fine_boxes,dimension,passes,milliseconds,error,converged"));
    // A map's row follows the map: every row's map is there, and at most the
    // photos in flight have a map and no row yet.
    const size_t maps = listing(cwd / "out").size();
    for (size_t i = 1; i < before.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(before[i], m, std::regex("(p[0-9]+)\\.jpg,out/p[0-9]+\\.bmp,written,512,480,.*")))
            << before[i];
        EXPECT_TRUE(fs::exists(cwd / "out" / (m[1].str() + ".bmp"))) << before[i];
    }
    EXPECT_GE(maps, before.size() - 1);
    EXPECT_LE(maps, before.size() - 1 + 2 * std::thread::hardware_concurrency() + 2);

    // Resumed, and killed again: the earlier rows stay as they were, and
    // this run's follow them.
    const size_t mapsBefore = listing(cwd / "out").size();
    const RunResult killedAgain =
        cwd.runStoppedBy([](pid_t pid) { kill(pid, SIGKILL); }, static_cast<int>(mapsBefore) + 10);
    ASSERT_EQ(killedAgain.signal, SIGKILL) << killedAgain;
    const std::vector<std::string> between = rowsOf();
    ASSERT_GT(between.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), between.begin()));

    // Resumed to the end: one row per photo, the earlier ones where they
    // were, each map's row saying it was written (or, for a map whose row
    // a kill took, that it was skipped).
    const RunResult resumed = run(cwd.args, cwd.path());
    EXPECT_EQ(resumed.status, 0) << resumed;
    const std::vector<std::string> after = rowsOf();
    ASSERT_EQ(after.size(), 401u);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    std::set<std::string> photos;
    size_t written = 0;
    for (size_t i = 1; i < after.size(); ++i) {
        photos.insert(after[i].substr(0, after[i].find(',')));
        written += after[i].find(",written,") != std::string::npos;
        EXPECT_EQ(after[i].find(",failed,"), std::string::npos) << after[i];
    }
    EXPECT_EQ(photos.size(), 400u);
    EXPECT_GE(written, between.size() - 1);
    EXPECT_EQ(listing(cwd / "out").size(), 400u);

    // Not continued: the report is replaced by this run's, header and all.
    ASSERT_EQ(run({"-o", "out", "-r", "report.csv", "fruits.jpg"}, cwd.path()).status, 0);
    const std::vector<std::string> replaced = rowsOf();
    ASSERT_EQ(replaced.size(), 2u);
    EXPECT_EQ(replaced[0], before[0]);
    EXPECT_EQ(replaced[1].rfind("fruits.jpg,out/fruits.bmp,written,512,480,", 0), 0u) << replaced[1];
}

TEST(RoughgcBatch, PhotoWithoutMemoryFailsAloneAndTheRunGoesOn) {
    Collection cwd;
    // The first photo's first device buffer, after the extractor's own two.
    RunOptions injected;
    injected.environment = {{"ROUGHGC_CPURT_FAIL", "allocation:2"}};
    const RunResult r = run({"-o", "out", "-j", "1", "fruits.jpg", "left01.jpg", "chicky_512.png"}, cwd.path(), injected);
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_TRUE(isSummary(r.out, "2 maps written, 1 failed"));
    EXPECT_EQ(r.err, "fruits.jpg: out of memory\n") << r;
    EXPECT_EQ(cwd.map("left01"), kLeftMap);
    EXPECT_EQ(cwd.map("chicky_512"), kChickyMap);

    // A budget smaller than any photo: each runs alone, none waits forever.
    const RunResult alone = run({"-o", "out1", "--memory-limit", "1", "fruits.jpg", "left01.jpg"}, cwd.path());
    EXPECT_EQ(alone.status, 0) << alone;
    EXPECT_EQ(fnv1a(readFile(cwd / "out1/left01.bmp")), kLeftMap);

#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's shadow memory needs more address space than any limit here
    // A real one: within 400 MB of address space a progressive 12000 x 12000
    // colour JPEG finds no room for libjpeg's coefficients (432 MB), nor for
    // its pixels: the other photos still get theirs.
    cv::imwrite((cwd / "vast.jpg").string(), cv::Mat(12000, 12000, CV_8UC3, cv::Scalar::all(0)),
                {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    RunOptions limited;
    limited.addressSpaceLimit = rlim_t{400} << 20;
    const RunResult vast = run({"-o", "out2", "-j", "1", "-r", "vast.csv", "fruits.jpg", "vast.jpg", "left01.jpg"},
                               cwd.path(), limited);
    EXPECT_EQ(vast.status, 2) << vast;
    EXPECT_TRUE(isSummary(vast.out, "2 maps written, 1 failed"));
    EXPECT_EQ(vast.err, "vast.jpg: out of memory\n") << vast;
    EXPECT_EQ(listing(cwd / "out2"), (std::vector<std::string>{"fruits.bmp", "left01.bmp"}));
    const std::string rows = readFile(cwd / "vast.csv");
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 4) << rows;
    EXPECT_NE(rows.find("\nvast.jpg,out2/vast.bmp,failed,"), std::string::npos) << rows;
    // The tool on its own: no memory to decode is no photo to read, said as
    // such, never a crash.
    const RunResult single = run({"vast.jpg"}, cwd.path(), limited);
    EXPECT_EQ(single.status, 254) << single;
    EXPECT_EQ(single.out, "(!) Error reading images \n\n") << single;
#endif
}

TEST(RoughgcBatch, AReportCutByAFullDiskKeepsWholeRowsAndAResumedRunReportsEveryPhoto) {
    Collection cwd;
    // An earlier report that leaves room for part of a row below the limit;
    // the maps themselves fit.
    constexpr rlim_t kLimit = 64 << 10;
    std::string earlier =
        "photo,map,outcome,width,height,quantile_index,threshold,coarse_boxes,fine_boxes,dimension,passes,"
        "milliseconds,error,converged\n";
    auto row = [](const std::string& name) { return name + ".jpg,out/old.bmp,failed,,,,,,,,,,Error reading image,\n"; };
    for (int i = 0; earlier.size() < kLimit - 200; ++i) earlier += row("old" + std::to_string(i));
    earlier += row(std::string(kLimit - 40 - earlier.size() - row("").size(), 'x'));  // 40 bytes left
    writeFile(cwd / "report.csv", earlier);
    RunOptions full;
    full.fileSizeLimit = kLimit;
    const RunResult cut = run({"-o", "out", "-j", "1", "-s", "-r", "report.csv", "fruits.jpg", "left01.jpg"},
                              cwd.path(), full);
    EXPECT_EQ(cut.status, 2) << cut;
    EXPECT_NE(cut.err.find("roughgc: Error writing report.csv: File too large"), std::string::npos) << cut;
    EXPECT_TRUE(readFile(cwd / "report.csv") == earlier) << "a part of a row is left";
    EXPECT_EQ(listing(cwd / "out"), (std::vector<std::string>{"fruits.bmp", "left01.bmp"}));

    // Room again: the run goes on after the earlier rows, on a line of its
    // own, with a row for every photo.
    writeFile(cwd / "report.csv", earlier + "fruits.jpg,out/fru");
    const RunResult resumed = run({"-o", "out", "-s", "-r", "report.csv", "fruits.jpg", "left01.jpg", "chicky_512.png"},
                                  cwd.path());
    EXPECT_EQ(resumed.status, 0) << resumed;
    const std::string rows = readFile(cwd / "report.csv").substr(earlier.size());
    EXPECT_EQ(rows.substr(0, 90),
              "fruits.jpg,out/fruits.bmp,skipped,,,,,,,,,,,\nleft01.jpg,out/left01.bmp,skipped,,,,,,,,,,,\n");
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 3) << rows;
    EXPECT_EQ(rows.rfind("chicky_512.png,out/chicky_512.bmp,written,512,512,", 90), 90u) << rows;
}

// After a resumed run, a report holds one row per photo, its latest: a
// photo failed earlier and written now has only its new row, in the place
// of the old one. Reports written before the "converged" column get it.
TEST(RoughgcBatch, AResumedReportHasOneRowPerPhoto) {
    Collection cwd;
    const std::string before =
        "photo,map,outcome,width,height,quantile_index,threshold,coarse_boxes,fine_boxes,dimension,passes,"
        "milliseconds,error\n"
        "fruits.jpg,out/fruits.bmp,failed,,,,,,,,,,Error reading image (No such file or directory)\n"
        "gone.jpg,out/gone.bmp,failed,,,,,,,,,,Error reading image (No such file or directory)\n"
        "\"old\nname.jpg\",out/old.bmp,written,512,480,1535,4.24688625,316,1036,1.713027,2,3.000,\n"
        "gone.jpg,out/gone.bmp,failed,,,,,,,,,,Error reading image (No such file or directory)\n";
    writeFile(cwd / "report.csv", before);
    const RunResult r = run({"-o", "out", "-s", "-r", "report.csv", "fruits.jpg", "gone.jpg", "left01.jpg"}, cwd.path());
    EXPECT_EQ(r.status, 2) << r;
    std::istringstream csv(readFile(cwd / "report.csv"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(csv, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 6u) << readFile(cwd / "report.csv");
    EXPECT_EQ(lines[0],
              "photo,map,outcome,width,height,quantile_index,threshold,coarse_boxes,fine_boxes,dimension,passes,"
              "milliseconds,error,converged");
    EXPECT_EQ(lines[1].rfind("fruits.jpg,out/fruits.bmp,written,512,480,", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "gone.jpg,out/gone.bmp,failed,,,,,,,,,,Error reading image (No such file or directory),");
    EXPECT_EQ(lines[3], "\"old");
    EXPECT_EQ(lines[4], "name.jpg\",out/old.bmp,written,512,480,1535,4.24688625,316,1036,1.713027,2,3.000,,");
    EXPECT_EQ(lines[5].rfind("left01.jpg,out/left01.bmp,written,640,480,", 0), 0u) << lines[5];
}

TEST(RoughgcBatch, PipeWithoutWriterEndsOnInterruptAsAFailedPhoto) {
    Collection cwd;
    ASSERT_EQ(mkfifo((cwd / "pipe.jpg").c_str(), 0600), 0);
    std::thread stopper;
    RunOptions options;
    options.started = [&](pid_t pid) {
        stopper = std::thread([&cwd, pid] {
            for (int i = 0; i < 6000 && !fs::exists(cwd / "out/fruits.bmp") && running(pid); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // waiting for the pipe by now
            kill(pid, SIGINT);
        });
    };
    const RunResult r =
        run({"-o", "out", "-r", "report.csv", "fruits.jpg", "pipe.jpg", "left01.jpg"}, cwd.path(), options);
    stopper.join();
    EXPECT_EQ(r.status, 130) << r;
    EXPECT_TRUE(isSummary(r.out, "1 maps written, 1 failed, 1 not started"));
    EXPECT_EQ(r.err, "pipe.jpg: interrupted\n") << r;
    EXPECT_NE(readFile(cwd / "report.csv").find("\npipe.jpg,out/pipe.bmp,failed,,,,,,,,,,interrupted,\n"), std::string::npos);
}

TEST(RoughgcBatch, ListsWithCarriageReturnsAndFailedOutputsAreCounted) {
    Collection cwd;
    writeFile(cwd / "list.txt", "fruits.jpg\r\ngone.jpg\r\n");
    const RunResult r = run({"-o", "out", "-j", "1", "-f", "list.txt"}, cwd.path());
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_TRUE(isSummary(r.out, "1 maps written, 1 failed"));
    EXPECT_EQ(r.err, "gone.jpg: Error reading image (No such file or directory)\n") << r;

    // Standard output lost: 5 when every map was written, 2 when one was not.
    RunOptions full;
    full.stdoutPath = "/dev/full";
    EXPECT_EQ(run({"-o", "out2", "fruits.jpg"}, cwd.path(), full).status, 5);
    const RunResult both = run({"-o", "out3", "fruits.jpg", "gone.jpg"}, cwd.path(), full);
    EXPECT_EQ(both.status, 2) << both;
    EXPECT_EQ(both.err, "gone.jpg: Error reading image (No such file or directory)\n(!) Error writing standard output: No space left on device\n")
        << both;

    // A report that cannot take more rows: the run goes on and says so.
    RunOptions small;
    small.fileSizeLimit = 300;  // the header and two rows (and the lines on standard error)
    const RunResult cut = run({"-o", "out4", "-j", "1", "-r", "r.csv", "a.jpg", "b.jpg", "c.jpg", "d.jpg"}, cwd.path(), small);
    EXPECT_EQ(cut.status, 2) << cut;
    EXPECT_TRUE(isSummary(cut.out, "0 maps written, 4 failed"));
    EXPECT_TRUE(cut.err.ends_with("roughgc: Error writing r.csv: File too large\n")) << cut;
}

// The "(!) " that marks the tool's own lines in single mode is no part of a
// batch run's rows and lines, whichever way the photo was read: a regular
// file by its extractor, a pipe decoded ahead.
TEST(RoughgcBatch, APhotoTooLargeToDecodeFailsAloneWithoutTheSingleModesMark) {
    Collection cwd;
    ASSERT_EQ(mkfifo((cwd / "piped.jpg").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((cwd / "single.jpg").c_str(), 0600), 0);
    RunOptions limited;  // the example photo's 245760 pixels fit; 512 x 512 and 640 x 480 do not
    limited.environment = {{"OPENCV_IO_MAX_IMAGE_PIXELS", "250000"}};
    const std::string limit = " pixels; at most 250000 pixels and 1048576 on a side";

    // As cat writes: batch mode must not open the pipe before it reads it,
    // or the bytes are lost.
    PipeWriter writer(cwd / "piped.jpg", readFile(cwd / "left01.jpg"));
    const RunResult r = run({"-o", "out", "-r", "report.csv", "fruits.jpg", "chicky_512.png", "piped.jpg"}, cwd.path(),
                            limited);
    EXPECT_EQ(writer.finish(), "");
    expectTooLargeToDecode(r, cwd.path());
    EXPECT_TRUE(isSummary(r.out, "1 maps written, 2 failed"));

    // The same photos alone, file and pipe, in single mode's words.
    const RunResult file = run({"chicky_512.png"}, cwd.path(), limited);
    EXPECT_EQ(file.status, 3) << file;
    EXPECT_EQ(file.err, "(!) Image too large to decode: 512 x 512" + limit + "\n") << file;
    PipeWriter single(cwd / "single.jpg", readFile(cwd / "left01.jpg"));
    const RunResult piped = run({"single.jpg"}, cwd.path(), limited);
    EXPECT_EQ(single.finish(), "");
    EXPECT_EQ(piped.status, 3) << piped;
    EXPECT_EQ(piped.err, "(!) Image too large to decode: 640 x 480" + limit + "\n") << piped;
}

// The report may sit in the folder of the maps, made by the run, however
// either is named: one folder, however spelt.
TEST(RoughgcBatch, AReportInTheMapsFolderNotMadeYetIsTakenHoweverTheFolderIsSpelt) {
    const std::pair<std::string, std::string> spellings[] = {
        {"out", "./out/r.csv"}, {"./out", "out/r.csv"}, {"out/../out", "./out/r.csv"}, {"out/", "out/r.csv"}};
    for (const auto& [folder, report] : spellings) {
        SCOPED_TRACE("-o " + folder + " -r " + report);
        Collection cwd;
        const RunResult r = run({"-o", folder, "-r", report, "fruits.jpg"}, cwd.path());
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.err, "") << r;
        EXPECT_EQ(listing(cwd / "out"), (std::vector<std::string>{"fruits.bmp", "r.csv"}));
        EXPECT_EQ(cwd.map("fruits"), kFruitsMap);
        const std::string csv = readFile(cwd / "out/r.csv");
        EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 2) << csv;
        EXPECT_NE(csv.find("\nfruits.jpg,"), std::string::npos) << csv;
    }
}

// A name of a NUL-separated list is taken byte for byte, a carriage return
// at its end too (a file may be named so); only a list of lines, which may
// have been written with CRLF, loses it.
TEST(RoughgcBatch, ANullSeparatedNameKeepsTheCarriageReturnThatEndsIt) {
    Collection cwd;
    fs::copy_file(cwd / "fruits.jpg", cwd / "cr.jpg\r");
    writeFile(cwd / "find.txt", std::string("cr.jpg\r\0left01.jpg\0", 19));
    const RunResult found = run({"-o", "out", "-r", "r.csv", "-f", "find.txt", "--null"}, cwd.path());
    EXPECT_EQ(found.status, 0) << found;
    EXPECT_TRUE(isSummary(found.out, "2 maps written, 0 failed"));
    EXPECT_EQ(cwd.map("cr"), kFruitsMap);
    EXPECT_EQ(cwd.map("left01"), kLeftMap);
    EXPECT_NE(readFile(cwd / "r.csv").find("\n\"cr.jpg\r\",out/cr.bmp,written,512,480,"), std::string::npos)
        << readFile(cwd / "r.csv");

    writeFile(cwd / "lines.txt", "cr.jpg\r\nleft01.jpg\r\n");
    const RunResult lines = run({"-o", "out2", "-f", "lines.txt"}, cwd.path());
    EXPECT_EQ(lines.status, 2) << lines;
    EXPECT_EQ(lines.err, "cr.jpg: Error reading image (No such file or directory)\n") << lines;
    EXPECT_EQ(listing(cwd / "out2"), std::vector<std::string>{"left01.bmp"});
}

}  // namespace

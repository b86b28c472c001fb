// Batch mode of roughgc, seen from outside: many photos in one run.
#include <gtest/gtest.h>
#include <signal.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <regex>
#include <thread>

#include "tool_runner.h"

namespace {

using namespace tool;

const fs::path kData = ROUGHGC_TEST_DATA;
const fs::path kExamples = ROUGHGC_EXAMPLES;

// The maps as `roughgc PHOTO` writes them.
constexpr uint64_t kFruitsMap = 0x3ecb0ff749c8b68cull, kLeftMap = 0xb1172d8db9a998c6ull,
                   kChickyMap = 0xe72a88b9b9f1256dull;

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
    writeFile(cwd / "notes, v2.txt", "not a photo");
    cv::imwrite((cwd / "tiny.png").string(), cv::Mat(44, 44, CV_8UC3, cv::Scalar(10, 200, 30)));
    fs::copy_file(cwd / "left01.jpg", cwd / "blocked.jpg");
    fs::create_directories(cwd / "out/blocked.bmp");  // in the way of its map

    const RunResult r = run({"--out-dir", "out", "--report", "report.csv", "fruits.jpg", "gone.jpg", "notes, v2.txt",
                             "left01.jpg", "tiny.png", "blocked.jpg", "chicky_512.png"},
                            cwd.path());
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_TRUE(isSummary(r.out, "3 maps written, 4 failed"));
    EXPECT_EQ(r.err,
              "gone.jpg: Error reading image\n"
              "notes, v2.txt: Error reading image\n"
              "tiny.png: Image too small: 44 x 44 pixels; at least 45 x 45 needed\n"
              "blocked.jpg: Error writing out/blocked.bmp: Is a directory\n")
        << r;
    EXPECT_EQ(cwd.map("fruits"), kFruitsMap);
    EXPECT_EQ(cwd.map("left01"), kLeftMap);
    EXPECT_EQ(cwd.map("chicky_512"), kChickyMap);
    EXPECT_EQ(listing(cwd / "out"), (std::vector<std::string>{"blocked.bmp", "chicky_512.bmp", "fruits.bmp", "left01.bmp"}));

    const std::string csv = readFile(cwd / "report.csv");
    std::istringstream rows(csv);
    std::vector<std::string> lines;
    for (std::string line; std::getline(rows, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 8u) << csv;
    EXPECT_EQ(lines[0],
              "photo,map,outcome,width,height,quantile_index,threshold,coarse_boxes,fine_boxes,dimension,passes,"
              "milliseconds,error");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("fruits\\.jpg,out/fruits\\.bmp,written,512,480,[0-9]+,[0-9.e+-]+,"
                                                      "[0-9]+,[0-9]+,[0-9.e+-]+,([1-9]|1[0-2]),[0-9]+\\.[0-9]{3},")))
        << lines[1];
    EXPECT_EQ(lines[2], "gone.jpg,out/gone.bmp,failed,,,,,,,,,,Error reading image");
    EXPECT_EQ(lines[3], "\"notes, v2.txt\",\"out/notes, v2.bmp\",failed,,,,,,,,,,Error reading image");
    EXPECT_EQ(lines[5], "tiny.png,out/tiny.bmp,failed,44,44,,,,,,,,"
                        "Image too small: 44 x 44 pixels; at least 45 x 45 needed");
}

TEST(RoughgcBatch, CommandLinesThatCannotWorkAreRefusedBeforeAnyWork) {
    Collection cwd;
    fs::create_directory(cwd / "b");
    fs::copy_file(cwd / "chicky_512.png", cwd / "b/fruits.png");
    fs::copy_file(cwd / "chicky_512.png", cwd / "map.bmp");
    const std::pair<std::vector<std::string>, std::string> refused[] = {
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
}

TEST(RoughgcBatch, HelpAndVersionGoToStandardOutput) {
    TempDir cwd;
    const RunResult help = run({"--help"}, cwd.path()), version = run({"-V"}, cwd.path());
    EXPECT_EQ(help.status, 0) << help;
    EXPECT_NE(help.out.find("--files-from"), std::string::npos) << help;
    EXPECT_EQ(version.status, 0) << version;
    EXPECT_TRUE(std::regex_match(version.out, std::regex("roughgc [0-9]+\\.[0-9]+(\\.[0-9]+)?\n"))) << version;
}

TEST(RoughgcBatch, NullSeparatedListFromStandardInputAndSkippingExistingMaps) {
    Collection cwd;
    writeFile(cwd / "list", std::string("fruits.jpg\0left01.jpg\0", 22));
    fs::create_directory(cwd / "out");
    writeFile(cwd / "out/fruits.bmp", "kept");
    RunOptions fromList;
    fromList.stdinPath = (cwd / "list").string();
    const RunResult r = run({"-o", "out", "--files-from", "-", "--null", "--skip-existing"}, cwd.path(), fromList);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(isSummary(r.out, "1 maps written, 0 failed, 1 skipped"));
    EXPECT_EQ(readFile(cwd / "out/fruits.bmp"), "kept");
    EXPECT_EQ(cwd.map("left01"), kLeftMap);
}

// The cpu runtime fails a launch on request: here one in the second photo's
// extraction (the first takes 16).
TEST(RoughgcBatch, DeviceFailureEndsTheRunWithTheReportOfThePhotosDone) {
    Collection cwd;
    RunOptions failing;
    failing.environment = {{"ROUGHGC_CPURT_FAIL", "launch:20"}};
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

TEST(RoughgcBatch, TerminationStopsTakingPhotosAndEndsWithTheSummary) {
    Collection cwd;
    std::vector<std::string> args{"-o", "out"};
    for (int i = 0; i < 400; ++i) {
        std::string name = "p";  // appended, not prepended: GCC 12 warns wrongly on "p" + std::string
        name += std::to_string(i) + ".jpg";
        fs::create_symlink(cwd / "fruits.jpg", cwd / name);
        args.push_back(name);
    }
    // Terminated as soon as its first map is there.
    std::thread stopper;
    RunOptions options;
    options.started = [&](pid_t pid) {
        stopper = std::thread([&cwd, pid] {
            for (int i = 0; i < 6000 && !fs::exists(cwd / "out/p0.bmp"); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            kill(pid, SIGTERM);
        });
    };
    const RunResult r = run(args, cwd.path(), options);
    stopper.join();
    EXPECT_EQ(r.status, 143) << r;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("not started, [0-9.]+ s\n$"))) << r;
    for (const std::string& name : listing(cwd / "out")) {
        EXPECT_TRUE(std::regex_match(name, std::regex("p[0-9]+\\.bmp"))) << name;  // no temporary file left
        EXPECT_EQ(fnv1a(readFile(cwd / "out" / name)), kFruitsMap) << name;
    }
}

}  // namespace

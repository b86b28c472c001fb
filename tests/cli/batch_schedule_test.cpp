// The tool on the GPU's schedule, run on the emulated runtime
// (ROUGHGC_CPURT_SCHEDULE=kernels): batch mode takes its GPU branch (photos
// decoded ahead, one extractor on a thread of its own, extractions in
// order), and every map, report row, message and status is the row
// schedule's.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <regex>
#include <sstream>

#include "jpeg_edits.h"
#include "tool_runner.h"

namespace {

using namespace tool;

const fs::path kData = ROUGHGC_TEST_DATA;
const fs::path kExamples = ROUGHGC_EXAMPLES;

RunOptions onKernels(std::vector<std::pair<std::string, std::string>> more = {}) {
    RunOptions options;
    options.environment = {{"ROUGHGC_CPURT_SCHEDULE", "kernels"}};
    for (auto& variable : more) options.environment.push_back(std::move(variable));
    return options;
}

// A report's rows with the milliseconds column (the twelfth) emptied; no
// field before it is quoted here.
std::string withoutTimes(const std::string& csv) {
    std::string out;
    std::istringstream lines(csv);
    for (std::string line; std::getline(lines, line);) {
        size_t comma = std::string::npos;
        for (int i = 0; i < 11; ++i) comma = line.find(',', comma + 1);
        const size_t end = line.find(',', comma + 1);
        if (line.rfind("photo,", 0) != 0) line.erase(comma + 1, end - comma - 1);
        out += line + "\n";
    }
    return out;
}

struct Collection : TempDir {
    Collection() {
        fs::copy_file(kExamples / "fruits.jpg", *this / "fruits.jpg");
        fs::copy_file(kData / "left01.jpg", *this / "left01.jpg");
        fs::copy_file(kData / "chicky_512.png", *this / "chicky_512.png");
        const std::string fruits = readFile(*this / "fruits.jpg");
        writeFile(*this / "turned.jpg", jpeg_edits::withOrientation(fruits, 6));
        writeFile(*this / "cut.jpg", fruits.substr(0, fruits.size() * 3 / 5));
        writeFile(*this / "notes.txt", "not a photo");
        cv::imwrite((*this / "tiny.png").string(), cv::Mat(44, 44, CV_8UC3, cv::Scalar(10, 200, 30)));
        cv::imwrite((*this / "grey.png").string(), cv::imread((*this / "left01.jpg").string(), cv::IMREAD_GRAYSCALE));
    }
};

}  // namespace

TEST(BatchOnKernels, WritesTheRowSchedulesMapsReportAndMessages) {
    const std::vector<std::string> photos = {"fruits.jpg", "notes.txt", "left01.jpg", "turned.jpg", "tiny.png",
                                             "cut.jpg",    "gone.jpg",  "grey.png",   "chicky_512.png"};
    for (const char* jobs : {"1", "3"}) {
        SCOPED_TRACE(std::string("-j ") + jobs);
        std::vector<std::string> args = {"-o", "out", "-r", "report.csv", "-j", jobs};
        args.insert(args.end(), photos.begin(), photos.end());
        Collection rowsDir, kernelsDir;
        const RunResult rows = run(args, rowsDir.path());
        const RunResult kernels = run(args, kernelsDir.path(), onKernels());
        EXPECT_EQ(kernels.status, 2) << kernels;
        EXPECT_EQ(kernels.status, rows.status);
        EXPECT_EQ(kernels.err, rows.err);
        // The summary but its seconds.
        EXPECT_EQ(kernels.out.substr(0, kernels.out.rfind(',')), "6 maps written, 3 failed");
        EXPECT_EQ(kernels.out.substr(0, kernels.out.rfind(',')), rows.out.substr(0, rows.out.rfind(',')));
        const std::vector<std::string> maps = listing(kernelsDir / "out");
        EXPECT_EQ(maps, listing(rowsDir / "out"));
        EXPECT_EQ(maps.size(), 6u);
        for (const std::string& map : maps)
            EXPECT_EQ(readFile(kernelsDir / "out" / map), readFile(rowsDir / "out" / map)) << map;
        EXPECT_EQ(withoutTimes(readFile(kernelsDir / "report.csv")), withoutTimes(readFile(rowsDir / "report.csv")));
    }
}

// One photo, as `roughgc PHOTO` writes it; and a failed kernel, which on a
// GPU leaves the device unusable, ends the run.
TEST(BatchOnKernels, SinglePhotoAndDeviceFailuresAsOnAGpu) {
    Collection cwd;
    const RunResult single = run({"fruits.jpg"}, cwd.path(), onKernels());
    EXPECT_EQ(single.status, 0) << single;
    EXPECT_EQ(fnv1a(readFile(cwd / "RoughGC.bmp")), 0x3ecb0ff749c8b68cull);

    // The first photo's first launch, its averaging.
    const RunResult failed = run({"-o", "out", "-r", "r.csv", "fruits.jpg", "left01.jpg"}, cwd.path(),
                                 onKernels({{"ROUGHGC_CPURT_FAIL", "launch:0"}}));
    EXPECT_EQ(failed.status, 1) << failed;
    EXPECT_EQ(failed.out.substr(0, failed.out.rfind(',')), "0 maps written, 1 failed, 1 not started");
    EXPECT_TRUE(std::regex_match(failed.err, std::regex("fruits\\.jpg: CUDA error at [^\n]*: unspecified launch "
                                                        "failure in cudaGetLastError\\(\\)\n")))
        << failed;
    EXPECT_TRUE(listing(cwd / "out").empty());
}

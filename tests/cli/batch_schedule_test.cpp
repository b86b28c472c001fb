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
#include <sys/stat.h>

#include "jpeg_edits.h"
#include "read_watch.h"
#include "tool_photos.h"
#include "tool_runner.h"

namespace {

using namespace tool;

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

// Photos too large to decode, read from a file or from a pipe: on the GPU's
// schedule both are decoded ahead, and their lines and rows are the row
// schedule's, without the "(!) " of single mode.
TEST(BatchOnKernels, APhotoTooLargeToDecodeFailsAloneWithoutTheSingleModesMark) {
    Collection cwd;
    ASSERT_EQ(mkfifo((cwd / "piped.jpg").c_str(), 0600), 0);
    // As cat writes: batch mode must not open the pipe before it reads it,
    // or the bytes are lost.
    PipeWriter writer(cwd / "piped.jpg", readFile(cwd / "left01.jpg"));
    const RunResult r = run({"-o", "out", "-r", "report.csv", "fruits.jpg", "chicky_512.png", "piped.jpg"}, cwd.path(),
                            onKernels({{"OPENCV_IO_MAX_IMAGE_PIXELS", "250000"}}));
    EXPECT_EQ(writer.finish(), "");
    expectTooLargeToDecode(r, cwd.path());
}

#if !defined(__SANITIZE_ADDRESS__)  // a preloaded library must not come before the sanitizer's runtime
// The device takes one photo at a time; the photos after it are decoded
// meanwhile, on the pipeline's workers. Two photos whose pixel reads wait
// for each other (see read_watch.h) are read at the same time, which the
// device's serial stage could never do; and each is read once.
TEST(BatchOnKernels, RegularFilesAreDecodedAheadOnWorkersNotInTheDevicesStage) {
    Collection cwd;
    TempDir logs;
    writeNoisyJpeg(cwd / "a.jpg", 1);
    writeNoisyJpeg(cwd / "b.jpg", 2);
    const long past = 1 << 20;  // beyond any look at a header
    const RunResult r = run({"-o", "out", "-j", "2", "a.jpg", "b.jpg", "fruits.jpg"}, cwd.path(),
                            watchingReads("a.jpg,b.jpg", logs / "reads", past, onKernels()));
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(listing(cwd / "out"), (std::vector<std::string>{"a.bmp", "b.bmp", "fruits.bmp"}));
    ReadLog log(logs / "reads");
    std::vector<std::string> meetings = log.meetings;
    std::sort(meetings.begin(), meetings.end());
    EXPECT_EQ(meetings, (std::vector<std::string>{"met a.jpg", "met b.jpg"}))
        << "a photo's pixels were read alone, where no other photo's could be read beside them: in the "
           "device's serial stage, not ahead of it";
    for (const char* name : {"a.jpg", "b.jpg"}) {
        const long size = static_cast<long>(fs::file_size(cwd / name));
        ASSERT_GT(size, past) << name;
        EXPECT_GE(log.bytes[name], size) << name;
        EXPECT_LT(log.bytes[name], 2 * size) << name << " was read more than once";
    }
}
#endif

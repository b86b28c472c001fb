// The tool reads JPEG and PNG photos and writes BMP maps by itself, and
// opens OpenCV's image codecs only for a photo that needs them: what it
// loads, what it says when they are missing, and the photos that their
// headers, their environment or their size would once have fooled.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "png_edits.h"
#include "tool_runner.h"

namespace fs = std::filesystem;

namespace {

using namespace tool;

const fs::path kFruits = fs::path(ROUGHGC_EXAMPLES) / "fruits.jpg";
const fs::path kChicky = fs::path(ROUGHGC_TEST_DATA) / "chicky_512.png";
const std::string kReadError = "(!) Error reading images \n\n";

// A folder with the test photos, and the same pixels as a TIFF.
class Photos : public TempDir {
public:
    Photos() {
        fs::copy_file(kFruits, *this / "fruits.jpg");
        fs::copy_file(kChicky, *this / "chicky.png");
        fs::copy_file(fs::path(ROUGHGC_TEST_DATA) / "left01.jpg", *this / "left01.jpg");
        cv::imwrite((*this / "photo.tiff").string(), cv::imread(kFruits.string()));
    }
};

// What the run of the tool with `args` loaded, as the dynamic linker tells
// it (LD_DEBUG=files), beside its outcome.
std::string loadedBy(const std::vector<std::string>& args, const fs::path& cwd, RunResult& result,
                     RunOptions options = {}) {
    TempDir log;
    options.environment.emplace_back("LD_DEBUG", "files");
    options.environment.emplace_back("LD_DEBUG_OUTPUT", (log / "ld").string());
    result = run(args, cwd, options);
    std::string loaded;
    for (const auto& entry : fs::directory_iterator(log.path())) loaded += readFile(entry.path());
    return loaded;
}

TEST(RoughgcCodecs, OpenCvsCodecsLoadOnlyForAPhotoThatNeedsThem) {
    Photos cwd;
    const std::vector<std::vector<std::string>> lean = {
        {"--version"},
        {"--help"},
        {"fruits.jpg", "chicky.png"},  // refused: two photos
        {"-o", "maps", "--window", "0", "fruits.jpg"},
        {"fruits.jpg"},
        {"chicky.png"},
        {"-o", "maps", "-j", "2", "fruits.jpg", "chicky.png", "left01.jpg"},
    };
    for (const auto& args : lean) {
        RunResult r;
        const std::string loaded = loadedBy(args, cwd.path(), r);
        SCOPED_TRACE(args.front() + " ... " + args.back());
        EXPECT_NE(loaded.find("libopencv_core"), std::string::npos) << "no record of the libraries loaded";
        EXPECT_EQ(loaded.find("imgcodecs"), std::string::npos) << r;
        EXPECT_EQ(loaded.find("roughgc_codecs"), std::string::npos) << r;
    }
    EXPECT_EQ(readFile(cwd / "maps/chicky.bmp"), readFile(cwd / "RoughGC.bmp"));

    // A TIFF loads them, from beside the tool (as installed, from the
    // library folder of its prefix), and maps as its JPEG does.
    RunOptions found;
    found.unset = {"ROUGHGC_CODECS_PLUGIN"};
    RunResult r;
    const std::string loaded = loadedBy({"photo.tiff"}, cwd.path(), r, found);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_NE(loaded.find("roughgc_codecs.so"), std::string::npos);
    EXPECT_NE(loaded.find("libopencv_imgcodecs"), std::string::npos);
    const std::string tiffMap = readFile(cwd / "RoughGC.bmp");
    ASSERT_EQ(run({"fruits.jpg"}, cwd.path()).status, 0);
    EXPECT_EQ(readFile(cwd / "RoughGC.bmp"), tiffMap);
}

TEST(RoughgcCodecs, WithoutTheCodecsAPhotoThatNeedsThemIsRefusedByNameAndTheRestGoOn) {
    Photos cwd;
    writeFile(cwd / "notes.txt", "not a photo at all\n");
    writeFile(cwd / "not-a-library.so", "not a library either\n");
    RunOptions noPlugin, noCodecs;
    noPlugin.environment = {{"ROUGHGC_CODECS_PLUGIN", ""}};
    noCodecs.environment = {{"ROUGHGC_CODECS_PLUGIN", (cwd / "not-a-library.so").string()}};
    const std::string pluginLine = "(!) TIFF photos need roughgc's codec plugin, roughgc_codecs.so, which is missing: "
                                   "reinstall roughgc\n";
    const std::string codecsLine = "(!) TIFF photos need OpenCV's image codecs: install " ROUGHGC_CODECS_PACKAGE "\n";

    for (const auto& [options, line] : {std::pair{noPlugin, pluginLine}, {noCodecs, codecsLine}}) {
        const RunResult single = run({"photo.tiff"}, cwd.path(), options);
        EXPECT_EQ(single.status, 254) << single;
        EXPECT_EQ(single.out, kReadError) << single;
        EXPECT_EQ(single.err, line) << single;
        EXPECT_FALSE(fs::exists(cwd / "RoughGC.bmp"));
    }
    // What is no photo to anyone stays merely unreadable.
    const RunResult text = run({"notes.txt"}, cwd.path(), noCodecs);
    EXPECT_EQ(text.status, 254) << text;
    EXPECT_EQ(text.err, "") << text;

    // JPEG and PNG photos need nothing, and a batch goes on past the TIFF.
    const RunResult batch =
        run({"-o", "maps", "-r", "r.csv", "fruits.jpg", "photo.tiff", "chicky.png"}, cwd.path(), noCodecs);
    EXPECT_EQ(batch.status, 2) << batch;
    EXPECT_EQ(batch.err, "photo.tiff: " + codecsLine.substr(4)) << batch;
    EXPECT_EQ(listing(cwd / "maps"), (std::vector<std::string>{"chicky.bmp", "fruits.bmp"}));
    EXPECT_NE(readFile(cwd / "r.csv").find("\nphoto.tiff,maps/photo.bmp,failed,512,480,"), std::string::npos);
    ASSERT_EQ(run({"chicky.png"}, cwd.path(), noCodecs).status, 0);
    EXPECT_EQ(readFile(cwd / "maps/chicky.bmp"), readFile(cwd / "RoughGC.bmp"));
}

TEST(RoughgcCodecs, SizeLimitsOpenCvCannotReadAreRefusedBeforeAnyWork) {
    Photos cwd;
    RunOptions nonsense;
    nonsense.environment = {{"OPENCV_IO_MAX_IMAGE_PIXELS", "1M"}};
    const std::string line =
        "roughgc: OPENCV_IO_MAX_IMAGE_PIXELS must be a whole number, with KB or MB after it or nothing, not \"1M\"\n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"fruits.jpg"}, {"-o", "maps", "fruits.jpg"}}) {
        const RunResult r = run(args, cwd.path(), nonsense);
        EXPECT_EQ(r.status, 255) << r;
        EXPECT_EQ(r.out, "") << r;
        EXPECT_EQ(r.err, line) << r;
    }
    EXPECT_FALSE(fs::exists(cwd / "RoughGC.bmp"));
    EXPECT_FALSE(fs::exists(cwd / "maps"));

    // What OpenCV reads, it reads with its suffixes: 1 KiB pixels.
    RunOptions small;
    small.environment = {{"OPENCV_IO_MAX_IMAGE_PIXELS", "1Kb"}};
    const RunResult r = run({"chicky.png"}, cwd.path(), small);
    EXPECT_EQ(r.status, 3) << r;
    EXPECT_EQ(r.err, "(!) Image too large to decode: 512 x 512 pixels; at most 1024 pixels and 1048576 on a side\n");
}

// A 60 x 70 photo as a PNG, and copies that cv::imread refuses at or just
// after their header; WebP files likewise.
std::vector<std::pair<std::string, std::string>> refusedAtTheirHeader(std::string& good) {
    using namespace png_edits;
    cv::Mat pixels(60, 70, CV_8UC3);
    cv::randu(pixels, 0, 256);
    std::vector<unsigned char> encoded;
    cv::imencode(".png", pixels, encoded);
    good.assign(encoded.begin(), encoded.end());
    std::string badCrc = good, badIhdr = kSignature + chunk("IHDR", rgbHeader(70, 60).substr(0, 8) + std::string{3, 2, 0, 0, 0});
    badCrc[29] ^= 1;
    cv::imencode(".webp", pixels, encoded, {cv::IMWRITE_WEBP_QUALITY, 90});
    const std::string webp(encoded.begin(), encoded.end());
    std::string notKey = webp, riff = webp, chunkSize = webp;
    notKey[20] |= 1;  // the frame tag's first bit: 0 for a key frame
    riff[5] ^= 0x40;
    chunkSize[17] ^= 0x40;
    return {{"bad-ihdr-crc.png", badCrc},
            {"bad-ihdr.png", badIhdr + good.substr(33)},
            {"cut-after-ihdr.png", good.substr(0, 33)},
            {"cut-in-data.png", good.substr(0, good.find("IDAT") + 30)},
            {"not-a-key-frame.webp", notKey},
            {"bad-riff-size.webp", riff},
            {"bad-chunk-size.webp", chunkSize}};
}

TEST(RoughgcCodecs, PhotosRefusedAtTheirHeaderGetNoMapAfterAnyPhoto) {
    Photos cwd;
    std::string good;
    std::vector<std::string> args = {"-o", "maps", "-j", "1", "-r", "r.csv", "fruits.jpg", "good.png"};
    const auto refused = refusedAtTheirHeader(good);
    // A good photo of their size before them: memory kept for it must not
    // give them a map.
    writeFile(cwd / "good.png", good);
    for (const auto& [name, bytes] : refused) {
        writeFile(cwd / name, bytes);
        ASSERT_TRUE(cv::imread((cwd / name).string()).empty()) << name;
        args.push_back(name);
        const RunResult single = run({name}, cwd.path());
        EXPECT_EQ(single.status, 254) << name << single;
        EXPECT_EQ(single.out, kReadError) << name << single;
    }
    const RunResult batch = run(args, cwd.path());
    EXPECT_EQ(batch.status, 2) << batch;
    EXPECT_EQ(listing(cwd / "maps"), (std::vector<std::string>{"fruits.bmp", "good.bmp"}));
    // good.png's texture is too even for the search to reach its target:
    // its map is written, and the user told.
    std::string expected =
        "good.png: did not converge: dimension 1.807 after 12 passes, target 1.7 within 0.1 (its map is written)\n";
    for (size_t i = 8; i < args.size(); ++i) expected += args[i] + ": Error reading image\n";
    EXPECT_EQ(batch.err, expected);
    EXPECT_TRUE(batch.out.starts_with("2 maps written, 7 failed, ")) << batch;
    const std::string rows = readFile(cwd / "r.csv");
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 10) << rows;
    size_t failedRows = 0;
    for (size_t at = rows.find(",failed,"); at != std::string::npos; at = rows.find(",failed,", at + 1)) ++failedRows;
    EXPECT_EQ(failedRows, 7u) << rows;

    // As on a GPU: every photo decoded ahead into a reader's kept memory.
    RunOptions kernels;
    kernels.environment = {{"ROUGHGC_CPURT_SCHEDULE", "kernels"}};
    args[1] = "maps-kernels";
    const RunResult ahead = run(args, cwd.path(), kernels);
    EXPECT_EQ(ahead.err, expected) << ahead;
    EXPECT_EQ(listing(cwd / "maps-kernels"), (std::vector<std::string>{"fruits.bmp", "good.bmp"}));
}

TEST(RoughgcCodecs, AJpegFollowedByGigabytesOfNothingIsReadAsItsPhoto) {
    Photos cwd;
    fs::copy_file(kFruits, cwd / "tailed.jpg");
    fs::resize_file(cwd / "tailed.jpg", uint64_t{2200} << 20);  // sparse: no disk taken
    ASSERT_EQ(run({"fruits.jpg"}, cwd.path()).status, 0);
    const std::string expected = readFile(cwd / "RoughGC.bmp");
    const RunResult single = run({"tailed.jpg"}, cwd.path());
    EXPECT_EQ(single.status, 0) << single;
    EXPECT_EQ(readFile(cwd / "RoughGC.bmp"), expected);
    const RunResult batch = run({"-o", "maps", "tailed.jpg"}, cwd.path());
    EXPECT_EQ(batch.status, 0) << batch;
    EXPECT_EQ(readFile(cwd / "maps/tailed.bmp"), expected);
}

}  // namespace

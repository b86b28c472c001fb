// JPEGs that cv::imread reads otherwise than a camera's plain file, through
// the built tool: batch mode, which reads photos by routes of its own, maps
// each as single mode maps the pixels that cv::imread gives.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "jpeg_kinds.h"
#include "tool_runner.h"

namespace {

using namespace tool;

TEST(RoughgcJpegKinds, BatchAndSingleModeMapEachAsImreadsPixels) {
    TempDir cwd;
    const fs::path fruits = fs::path(ROUGHGC_EXAMPLES) / "fruits.jpg";
    const auto kinds = jpeg_kinds::jpegsOfEveryKind(readFile(fruits), cv::imread(fruits.string()));
    std::vector<std::string> batch{"--out-dir", "out"};
    for (const auto& [name, bytes] : kinds) {
        writeFile(cwd / name, bytes);
        batch.push_back(name);
    }
    const RunResult r = run(batch, cwd.path());
    ASSERT_EQ(r.status, 0) << r;

    for (const auto& [name, bytes] : kinds) {
        SCOPED_TRACE(name);
        // imread's pixels, kept without loss, and the map single mode makes
        // of them.
        TempDir reference;
        const cv::Mat pixels = cv::imread((cwd / name).string(), cv::IMREAD_COLOR);
        ASSERT_FALSE(pixels.empty());
        ASSERT_TRUE(cv::imwrite((reference / "pixels.png").string(), pixels));
        const RunResult fromPixels = run({"pixels.png"}, reference.path());
        ASSERT_EQ(fromPixels.status, 0) << fromPixels;
        const std::string expected = readFile(reference / "RoughGC.bmp");
        ASSERT_FALSE(expected.empty());

        EXPECT_EQ(readFile(cwd / "out" / (fs::path(name).stem().string() + ".bmp")), expected);
        TempDir single;
        const RunResult fromFile = run({(cwd / name).string()}, single.path());
        ASSERT_EQ(fromFile.status, 0) << fromFile;
        EXPECT_EQ(readFile(single / "RoughGC.bmp"), expected);
    }
}

}  // namespace

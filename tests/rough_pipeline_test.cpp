// processImageCUDA as a library caller meets it: the arguments it takes,
// the ones it refuses, and what it leaves behind.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "CUDA_wrappers.h"

namespace fs = std::filesystem;

namespace {

// Runs the test in a fresh directory, where processImageCUDA writes its map.
class InTempDir : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        old_ = fs::current_path();
        std::string name = (fs::temp_directory_path() / "roughgc_pipeline_XXXXXX").string();
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        dir_ = name;
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    fs::path old_, dir_;
};

TEST(RoughImageSize, WindowsAndSizesAreCheckedWithoutWrappingAround) {
    struct Case {
        size_t height, width, kc2;
        std::string problem;
    };
    const Case cases[] = {
        {100, 100, 0, "(!) The metric window must be at least 1 averaged pixel, not 0"},
        // Windows whose smallest image side would wrap around size_t.
        {100, 100, SIZE_MAX, "(!) The metric window must be at most 15438 averaged pixels, not 18446744073709551615"},
        {0, 0, SIZE_MAX - 7, "(!) The metric window must be at most 15438 averaged pixels, not 18446744073709551608"},
        {100, 100, 0xAAAAAAAAAAAAAAA3, "(!) The metric window must be at most 15438 averaged pixels, not 12297829382473034403"},
        {46341, 46341, 15439, "(!) The metric window must be at most 15438 averaged pixels, not 15439"},
        {46338, 46338, 15438, ""},
        {44, 45, 7, "(!) Image too small: 45 x 44 pixels; at least 45 x 45 needed"},
        {45, 45, 7, ""},
        {47721859, 45, 7, "(!) Image too large: 45 x 47721859 pixels; at most 2147483647 pixels supported"},
        {SIZE_MAX, SIZE_MAX, 7, "(!) Image too large: 18446744073709551615 x 18446744073709551615 pixels; at most "
                                "2147483647 pixels supported"},
        // 16-row blocks over a third of the rows: 65535 of them in y at most.
        {3145680, 45, 7, "(!) Image too tall: 45 x 3145680 pixels; at most 3145679 rows supported"},
        {3145679, 45, 7, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(roughImageSizeProblem(c.height, c.width, c.kc2), c.problem)
            << c.height << " x " << c.width << ", window " << c.kc2;
    }
    EXPECT_EQ(roughMinimumSide(15438), 46338u);
    EXPECT_EQ(roughMinimumSide(15439), SIZE_MAX);
}

TEST_F(InTempDir, RefusedArgumentsExitWithThreeBeforeTouchingThePixels) {
    EXPECT_EXIT(requireRoughImageSize(47721859, 45, 7), ::testing::ExitedWithCode(kExitUnsupportedImageSize),
                "^\\(!\\) Image too large: 45 x 47721859 pixels; at most 2147483647 pixels supported\n$");
    // The pixels are never read: a null pointer would crash.
    for (const size_t kc2 : {SIZE_MAX, SIZE_MAX - 7, size_t{0xAAAAAAAAAAAAAAA3}}) {
        EXPECT_EXIT(processImageCUDA(nullptr, 100, 100, kc2, 1.7f, 0.1f),
                    ::testing::ExitedWithCode(kExitUnsupportedImageSize), "^\\(!\\) The metric window must be at most")
            << kc2;
    }
    EXPECT_EXIT(processImageCUDA(nullptr, 3145680, 45, 7, 1.7f, 0.1f),
                ::testing::ExitedWithCode(kExitUnsupportedImageSize), "^\\(!\\) Image too tall");
    EXPECT_FALSE(fs::exists("RoughGC.bmp"));
}

TEST_F(InTempDir, TallestImageAGpuCanLaunchIsProcessed) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "over 100 million emulated threads: run in the plain build only";
#endif
    const std::vector<uchar3> image(size_t{3145679} * 45);  // black: only the shape matters here
    processImageCUDA(image.data(), 3145679, 45, 7, 1.7f, 0.1f);
    EXPECT_EQ(fs::file_size("RoughGC.bmp"), 1078u + 1048552u * 8u);  // header and palette, then 8-byte rows
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

#if !defined(ROUGHGC_CUDA_BACKEND)
std::vector<uchar3> noise(size_t pixels) {
    std::mt19937 rng(5);
    std::vector<uchar3> image(pixels);
    for (uchar3& p : image)
        p = {static_cast<unsigned char>(rng()), static_cast<unsigned char>(rng()), static_cast<unsigned char>(rng())};
    return image;
}

// The CPU runtime keeps every buffer reachable in its registry, so a missing
// release shows only in its counts.
TEST_F(InTempDir, NothingIsLeftAllocatedAfterARunOrAWarmUp) {
    const std::vector<uchar3> image = noise(90 * 120);
    const size_t buffers = cpurt::liveDeviceAllocations(), events = cpurt::liveEvents();
    FirstRun();
    EXPECT_EQ(cpurt::liveEvents(), events);
    processImageCUDA(image.data(), 90, 120, 7, 1.7f, 0.1f);
    EXPECT_TRUE(fs::exists("RoughGC.bmp"));
    EXPECT_EQ(cpurt::liveDeviceAllocations(), buffers);
    EXPECT_EQ(cpurt::liveEvents(), events);
}
#endif

}  // namespace

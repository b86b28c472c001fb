// Block averaging into the feature map, through the pipeline's own launch.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "CUDA_wrappers.h"
#include "detail/pixel/pixel_math.cuh"
#include "detail/stages/rough_stages.h"
#include "device_buffer.h"

namespace {

using namespace roughgc::detail;

constexpr float kUntouched = -12345.0f;
constexpr size_t kGuard = 16;  // elements behind the map that must stay untouched

struct Image {
    int height, width;
    std::vector<uchar3> pixels;
    Image(int h, int w, uchar3 fill) : height(h), width(w), pixels(static_cast<size_t>(h) * w, fill) {}
    uchar3& at(int r, int c) { return pixels[static_cast<size_t>(r) * width + c]; }
    void fillBlock(int row, int col, uchar3 p) {
        for (int r = 3 * row; r < 3 * row + 3; ++r)
            for (int c = 3 * col; c < 3 * col + 3; ++c) at(r, c) = p;
    }
};

struct FeatureMap {
    int rows, cols;
    std::vector<float3> elements;  // rows * cols of them, then the guard
    const float3& at(int r, int c) const { return elements[static_cast<size_t>(r) * cols + c]; }
};

FeatureMap average(const Image& image) {
    const size_t mHeight = image.height / 3, mWidth = image.width / 3;
    DeviceBuffer<uchar3> d_image(image.pixels);
    DeviceBuffer<float3> d_map(std::vector<float3>(mHeight * mWidth + kGuard, {kUntouched, kUntouched, kUntouched}));
    launchAveraging(d_image.get(), d_map.get(), mHeight, mWidth, image.width);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return {static_cast<int>(mHeight), static_cast<int>(mWidth), d_map.download()};
}

bool same(const float3& a, const float3& b) { return std::memcmp(&a, &b, sizeof(float3)) == 0; }

void expectGuardUntouched(const FeatureMap& map) {
    for (size_t i = static_cast<size_t>(map.rows) * map.cols; i < map.elements.size(); ++i) {
        EXPECT_EQ(map.elements[i].x, kUntouched) << "element " << i << " written";
    }
}

Image randomImage(int h, int w, unsigned seed) {
    Image image(h, w, {0, 0, 0});
    std::mt19937 rng(seed);
    for (uchar3& p : image.pixels) {
        p = {static_cast<unsigned char>(rng()), static_cast<unsigned char>(rng()), static_cast<unsigned char>(rng())};
    }
    return image;
}

TEST(Averaging, AllWhiteImageGivesThePositionAlone) {
    const FeatureMap map = average(Image(48, 100, {255, 255, 255}));
    ASSERT_EQ(map.rows, 16);
    ASSERT_EQ(map.cols, 33);
    for (int r = 0; r < map.rows; ++r)
        for (int c = 0; c < map.cols; ++c) {
            EXPECT_EQ(map.at(r, c).x, 60.0f * r);
            EXPECT_EQ(map.at(r, c).y, 60.0f * c);
            EXPECT_EQ(map.at(r, c).z, 0.0f);
        }
    expectGuardUntouched(map);
}

// Expected values from an independent double-precision evaluation of the sum
// of products, each rounded once to float.
TEST(Averaging, NonGreyBlocksGiveTheExactRoundedSums) {
    Image image(6, 39, {255, 255, 255});
    image.fillBlock(0, 11, {154, 92, 216});  // inverted means 101, 163, 39
    image.fillBlock(0, 1, {129, 131, 127});  // inverted means 126, 124, 128
    image.fillBlock(1, 2, {10, 200, 30});    // inverted means 245, 55, 225
    image.at(4, 16) = {0, 128, 254};         // block (1, 5): sums 255, 127, 1 truncate to 28, 14, 0
    const FeatureMap map = average(image);

    // -2a + b + c = 0 exactly, yet the sum of the three products leaves a
    // residue that the factored form would not.
    EXPECT_EQ(map.at(0, 11).x, -0x1p-49f);
    EXPECT_EQ(map.at(0, 11).y, 0x1.75d732p+9f);
    EXPECT_EQ(map.at(0, 11).z, 0x1.5ddfd0p+7f);
    EXPECT_EQ(map.at(0, 1).x, 0x1p-47f);
    EXPECT_EQ(map.at(0, 1).y, 0x1.c95f62p+5f);
    EXPECT_EQ(map.at(0, 1).z, 0x1.b47a10p+7f);

    EXPECT_EQ(map.at(1, 2).x, -0x1.9bb6dap+4f);
    EXPECT_EQ(map.at(1, 2).y, -0x1.aa4c04p-3f);
    EXPECT_EQ(map.at(1, 2).z, 0x1.2f1be0p+8f);

    EXPECT_EQ(map.at(1, 5).x, 0x1.56d41ep+5f);
    EXPECT_EQ(map.at(1, 5).y, 0x1.35e646p+8f);
    EXPECT_EQ(map.at(1, 5).z, 0x1.83fab8p+4f);
}

TEST(Averaging, LeftoverRowAndColumnsAreIgnored) {
    Image image = randomImage(10, 11, 7);
    const FeatureMap before = average(image);
    ASSERT_EQ(before.rows, 3);
    ASSERT_EQ(before.cols, 3);
    expectGuardUntouched(before);

    for (int c = 0; c < 11; ++c) image.at(9, c) = {1, 2, 3};
    for (int r = 0; r < 10; ++r) image.at(r, 9) = image.at(r, 10) = {250, 0, 99};
    const FeatureMap after = average(image);
    for (int i = 0; i < 9; ++i) EXPECT_TRUE(same(before.elements[i], after.elements[i])) << i;
}

TEST(Averaging, ImagesUnderThreePixelsHighOrWideWriteNothing) {
    for (const auto& [h, w] : {std::pair{2, 30}, std::pair{30, 2}, std::pair{1, 1}}) {
        const FeatureMap map = average(Image(h, w, {0, 0, 0}));
        EXPECT_EQ(map.rows * map.cols, 0);
        expectGuardUntouched(map);
    }
}

TEST(Averaging, OneChangedPixelChangesOnlyItsBlock) {
    Image image = randomImage(30, 33, 11);
    const FeatureMap before = average(image);
    image.at(13, 20) = {static_cast<unsigned char>(image.at(13, 20).x ^ 0xff), 0, 0};
    const FeatureMap after = average(image);
    for (int r = 0; r < before.rows; ++r)
        for (int c = 0; c < before.cols; ++c)
            EXPECT_EQ(same(before.at(r, c), after.at(r, c)), !(r == 4 && c == 6)) << r << ", " << c;
}

TEST(Averaging, MeanIsTheTruncatedIntegerQuotient) {
    // Inverted sums 8, 9 and 2295 give means 0, 1 and 255.
    Image image(3, 3, {255, 255, 255});
    image.at(0, 0) = {247, 246, 0};
    image.at(1, 1).z = 0;
    image.at(2, 2).z = 0;
    image.at(0, 1).z = 0;
    image.at(0, 2).z = 0;
    image.at(1, 0).z = 0;
    image.at(1, 2).z = 0;
    image.at(2, 0).z = 0;
    image.at(2, 1).z = 0;
    const FeatureMap map = average(image);
    // ix = 0, iy = 1, iz = 255.
    const double c6 = kAxisFactor6, c2 = kAxisFactor2, c3 = kAxisFactor3;
    EXPECT_EQ(map.at(0, 0).x, static_cast<float>(0.0 * c6 + 1.0 * c6 + 255.0 * c6));
    EXPECT_EQ(map.at(0, 0).y, static_cast<float>(c2 * 1.0 - c2 * 255.0));
    EXPECT_EQ(map.at(0, 0).z, static_cast<float>(0.0 * c3 + 1.0 * c3 + 255.0 * c3));
}

}  // namespace

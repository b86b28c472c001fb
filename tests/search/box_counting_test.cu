// The evaluation pass: thresholding the metric into the binary map, then
// counting the boxes of side 8 and 4 that hold a rough pixel.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "pass_fixture.h"

namespace {

// With a table of zeros, -1 is smooth and NaN rough.
constexpr float kSmooth = -1.0f;
const float kRough = NAN;
const std::vector<float> kZeros(kTableSize, 0.0f);

struct Counts {
    int coarse, fine;
    bool operator==(const Counts&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Counts& c) { return os << "{" << c.coarse << ", " << c.fine << "}"; }

Counts countBoxes(const std::vector<float>& metric, size_t rows, size_t cols) {
    PassFixture f(metric, rows, cols);
    f.setTable(kZeros);
    f.zeroCounters();
    f.pass(0);
    const std::vector<int> c = f.counters();
    return {c[0], c[1]};
}

std::vector<float> smoothMap(size_t rows, size_t cols) { return std::vector<float>(rows * cols, kSmooth); }

TEST(Threshold, StrictlyBelowTheEntryIsSmooth) {
    const std::vector<float> metric = {4.5f, 4.25f, 4.0f, -3.0f, NAN, INFINITY, -INFINITY, 1e30f};
    PassFixture f(metric, 1, 8);
    std::vector<float> table(kTableSize, 0.0f);
    table[1024] = 4.25f;
    f.setTable(table);
    f.pass(1024);
    EXPECT_EQ(f.map(), (std::vector<uchar>{0, 0, 255, 255, 0, 0, 255, 0}));
    EXPECT_TRUE(f.guardUntouched());
}

TEST(Threshold, NaNEntryMakesEveryPixelRough) {
    PassFixture f({-100.0f, 0.0f, 4.0f, 100.0f}, 2, 2);
    f.setTable(std::vector<float>(kTableSize, NAN));
    f.pass(5);
    EXPECT_EQ(f.map(), std::vector<uchar>(4, 0));
}

TEST(Threshold, EachPassRewritesTheWholeMap) {
    std::vector<float> metric(37 * 50);
    std::mt19937 rng(5);
    for (float& v : metric) v = 4.0f + static_cast<float>(rng() % 1000) / 50.0f;
    std::vector<float> table(kTableSize);
    for (int j = 0; j < kTableSize; ++j) table[j] = 4.0f + j / 100.0f;
    PassFixture f(metric, 37, 50);
    f.setTable(table);
    // Over a non-decreasing table a higher index never makes a pixel rough.
    std::vector<uchar> previous;
    for (const int sr : {0, 100, 700, 1500, 2047, 300}) {
        f.pass(sr);
        const std::vector<uchar> map = f.map();
        for (size_t i = 0; i < map.size(); ++i) ASSERT_EQ(map[i], metric[i] < table[sr] ? 255 : 0) << sr << " " << i;
        if (!previous.empty() && sr != 300) {
            for (size_t i = 0; i < map.size(); ++i) ASSERT_TRUE(previous[i] == 0 || map[i] == 255);
        }
        previous = map;
    }
    EXPECT_TRUE(f.guardUntouched());
}

TEST(BoxCounting, SmoothMapHasNoOccupiedBox) { EXPECT_EQ(countBoxes(smoothMap(37, 50), 37, 50), (Counts{0, 0})); }

TEST(BoxCounting, RoughMapOccupiesEveryWholeBox) {
    EXPECT_EQ(countBoxes(std::vector<float>(37 * 50, kRough), 37, 50), (Counts{4 * 6, 4 * 4 * 6}));
    EXPECT_EQ(countBoxes(std::vector<float>(64 * 96, kRough), 64, 96), (Counts{8 * 12, 4 * 8 * 12}));
}

TEST(BoxCounting, OneRoughPixelOccupiesOneBoxAtEachSide) {
    for (const auto& [r, c] : {std::pair{0, 0}, std::pair{31, 47}, std::pair{13, 22}, std::pair{4, 4}}) {
        std::vector<float> metric = smoothMap(37, 50);
        metric[r * 50 + c] = kRough;
        EXPECT_EQ(countBoxes(metric, 37, 50), (Counts{1, 1})) << r << ", " << c;
    }
}

TEST(BoxCounting, PixelsBeyondTheWholeCoarseBoxesAreNeverCounted) {
    // 37 x 50: rows 32 .. 36 and columns 48, 49 lie outside the 4 x 6 coarse
    // boxes; whole fine boxes would fit in rows 32 .. 35, yet they too are
    // left out.
    std::vector<float> metric = smoothMap(37, 50);
    for (int r = 32; r < 37; ++r)
        for (int c = 0; c < 50; ++c) metric[r * 50 + c] = kRough;
    for (int r = 0; r < 37; ++r) metric[r * 50 + 48] = metric[r * 50 + 49] = kRough;
    EXPECT_EQ(countBoxes(metric, 37, 50), (Counts{0, 0}));
}

TEST(BoxCounting, FineBoxesSplitEachCoarseBoxInFour) {
    // Rough pixels in three quarters of coarse box (0, 0) and one quarter of
    // coarse box (1, 2).
    std::vector<float> metric = smoothMap(16, 24);
    for (const auto& [r, c] : {std::pair{0, 0}, std::pair{3, 7}, std::pair{6, 1}, std::pair{12, 21}})
        metric[r * 24 + c] = kRough;
    EXPECT_EQ(countBoxes(metric, 16, 24), (Counts{2, 4}));
}

TEST(BoxCounting, MapsUnderEightPixelsHaveEmptyGrids) {
    EXPECT_EQ(countBoxes(std::vector<float>(7 * 50, kRough), 7, 50), (Counts{0, 0}));
    EXPECT_EQ(countBoxes(std::vector<float>(40 * 7, kRough), 40, 7), (Counts{0, 0}));
}

TEST(EvaluationPass, CountersAddUpUntilReset) {
    std::vector<float> metric = smoothMap(16, 16);
    metric[0] = metric[200] = kRough;
    PassFixture f(metric, 16, 16);
    f.setTable(kZeros);
    f.zeroCounters();
    f.pass(0);
    const std::vector<int> once = f.counters();
    EXPECT_EQ(once, (std::vector<int>{2, 2}));
    f.pass(0);
    EXPECT_EQ(f.counters(), (std::vector<int>{4, 4}));
    f.zeroCounters();
    f.pass(0);
    EXPECT_EQ(f.counters(), once);
}

}  // namespace

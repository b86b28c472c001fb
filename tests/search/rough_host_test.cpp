// The host arithmetic of the rough pipeline: histogram, quantile table, line
// fit and dimension estimate. Expected values come from an independent
// single-precision evaluation and are compared exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "CUDA_wrappers.h"
#include "detail/search/rough_host.h"

namespace {

using namespace roughgc::detail;

constexpr int kSize = 2048;
constexpr float kBinWidth = 0.0712890625f;  // 146 / 2048

struct Table {
    std::vector<int> hist = std::vector<int>(kSize, -1);
    int cnt = -1;
    std::vector<float> quantiles = std::vector<float>(kSize, -7.0f);  // -7 marks an unwritten entry
};

Table tableOf(const std::vector<float>& map, size_t rows, size_t cols) {
    Table t;
    metricHistogram(map.data(), rows, cols, t.hist.data(), &t.cnt, kSize);
    quantileTable(t.hist.data(), &t.cnt, t.quantiles.data(), kSize);
    return t;
}

TEST(QuantileTable, MapOfAllTensFillsOneBinAndSpansIt) {
    const Table t = tableOf(std::vector<float>(6 * 9, 10.0f), 6, 9);
    EXPECT_EQ(t.cnt, 54);
    for (int b = 0; b < kSize; ++b) ASSERT_EQ(t.hist[b], b == 140 ? 54 : 0) << b;
    EXPECT_EQ(t.quantiles[0], 0x1.3f6048p+3f);     // 9.9805031
    EXPECT_EQ(t.quantiles[1023], 0x1.4084p+3f);    // 10.016113
    EXPECT_EQ(t.quantiles[2047], 141 * kBinWidth);  // 10.0517578, the bin's upper edge
}

TEST(QuantileTable, TwoValuesSplitTheTableInHalves) {
    const Table t = tableOf({5.0f, 10.0f}, 1, 2);
    EXPECT_EQ(t.cnt, 2);
    EXPECT_EQ(t.hist[70], 1);
    EXPECT_EQ(t.hist[140], 1);
    EXPECT_EQ(t.quantiles[0], 0x1.3f6124p+2f);      // 4.9903040
    EXPECT_EQ(t.quantiles[1023], 71 * kBinWidth);    // 5.0615234
    EXPECT_EQ(t.quantiles[1024], 0x1.3f6092p+3f);   // 9.9805384
    EXPECT_EQ(t.quantiles[2047], 141 * kBinWidth);   // 10.0517578
    for (int j = 0; j < 1024; ++j) ASSERT_LT(t.quantiles[j], 5.1f);
    for (int j = 1024; j < kSize; ++j) ASSERT_GT(t.quantiles[j], 9.9f);
}

TEST(QuantileTable, UpperEndOfTheRangeIsExclusive) {
    const Table t = tableOf({146.0f, 145.9f, 1e30f, 147.0f}, 2, 2);
    EXPECT_EQ(t.cnt, 1);
    EXPECT_EQ(t.hist[2046], 1);
    EXPECT_EQ(t.hist[2047], 0);
}

TEST(QuantileTable, BinsStartAtZeroAndTruncateTowardZero) {
    // -0.03 / width truncates to bin 0; -width and below are left out, as
    // are NaNs and infinities.
    const Table t = tableOf({-0.03f, -kBinWidth, -1.0f, NAN, INFINITY, -INFINITY, 2.0f, 4.0f}, 1, 8);
    EXPECT_EQ(t.cnt, 3);
    EXPECT_EQ(t.hist[0], 1);
    EXPECT_EQ(t.hist[28], 1);
    EXPECT_EQ(t.hist[56], 1);
}

TEST(QuantileTable, NothingCountedGivesATableOfNaN) {
    const Table t = tableOf({146.0f, NAN, 500.0f, INFINITY}, 2, 2);
    EXPECT_EQ(t.cnt, 0);
    for (int j = 0; j < kSize; ++j) ASSERT_TRUE(std::isnan(t.quantiles[j])) << j;
}

TEST(QuantileTable, EveryEntryWrittenAndNonDecreasingForAnyMap) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 20; ++trial) {
        const size_t rows = 1 + rng() % 40, cols = 1 + rng() % 40;
        std::vector<float> map(rows * cols);
        // Mostly near 4, with a long tail and values outside the range.
        std::exponential_distribution<float> tail(0.05f + 0.1f * (trial % 5));
        for (float& v : map) v = (rng() % 10 == 0) ? 200.0f : 4.0f + tail(rng);
        const Table t = tableOf(map, rows, cols);
        int counted = 0;
        for (int h : t.hist) counted += h;
        EXPECT_EQ(counted, t.cnt);
        if (t.cnt == 0) continue;
        for (int j = 0; j < kSize; ++j) ASSERT_NE(t.quantiles[j], -7.0f) << "entry " << j << " unwritten";
        for (int j = 1; j < kSize; ++j) ASSERT_LE(t.quantiles[j - 1], t.quantiles[j]) << j;
    }
}

TEST(QuantileTable, LargeMapCountedOnSeveralCoresMatchesASerialCount) {
    // 600 x 600 is above the size from which rows are shared out over cores.
    const size_t rows = 600, cols = 600;
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> value(-10.0f, 160.0f);
    const float odd[] = {NAN, INFINITY, -INFINITY, 146.0f, -kBinWidth};
    std::vector<float> map(rows * cols);
    for (float& v : map) v = (rng() % 50 == 0) ? odd[rng() % 5] : value(rng);
    std::vector<int> hist(kSize, 0);
    int cnt = 0;
    for (float v : map) {
        const float q = v / kBinWidth;
        if (!std::isfinite(q) || q <= -1.0f || q >= kSize) continue;
        ++hist[static_cast<int>(q)];
        ++cnt;
    }
    const Table t = tableOf(map, rows, cols);
    EXPECT_EQ(t.cnt, cnt);
    EXPECT_EQ(t.hist, hist);
}

TEST(NormalEquations, ExactLineKeepsTheRoundingOfTheInverseRoute) {
    const std::vector<float> theta = NormalEquations2d({1, 3, 5, 7}, {0, 1, 2, 3});
    ASSERT_EQ(theta.size(), 2u);
    EXPECT_EQ(theta[0], 2.0f);
    EXPECT_EQ(theta[1], 1.0f - 12 * 0x1p-24f);  // 0.99999928, not 1
}

TEST(NormalEquations, SmallFits) {
    EXPECT_EQ(NormalEquations2d({1, 3}, {0, 1}), (std::vector<float>{2, 1}));
    EXPECT_EQ(NormalEquations2d({2, 4}, {1, 2}), (std::vector<float>{2, 0}));
    EXPECT_EQ(NormalEquations2d({0, 1, 2}, {0, 0.5f, 1}), (std::vector<float>{2, 0x1p-23f}));
    EXPECT_EQ(NormalEquations2d({}, {}), (std::vector<float>{0, 0}));
}

TEST(NormalEquations, FewerThanTwoDistinctAbscissaeGiveNaN) {
    for (const auto& [y, x] : {std::pair<std::vector<float>, std::vector<float>>{{3}, {2}}, {{1, 5}, {2, 2}}}) {
        const std::vector<float> theta = NormalEquations2d(y, x);
        EXPECT_TRUE(std::isnan(theta[0]));
        EXPECT_TRUE(std::isnan(theta[1]));
    }
}

TEST(NormalEquations, OrdinatesComeFirst) {
    const std::vector<float> x = {0, 1, 2}, y = {0, 4, 8};
    EXPECT_EQ(NormalEquations2d(y, x)[0], 4.0f);
    EXPECT_EQ(NormalEquations2d(x, y)[0], 0.25f);
}

TEST(NormalEquations, UnpairedPointsAreLeftOut) {
    // Extra ordinates are ignored; missing ones shorten the fit rather than
    // being read from beyond the vector.
    EXPECT_EQ(NormalEquations2d({1, 3, 100, 200}, {0, 1}), (std::vector<float>{2, 1}));
    EXPECT_EQ(NormalEquations2d({1, 3}, {0, 1, 2, 3}), (std::vector<float>{2, 1}));
}

TEST(DimensionEstimate, SlopeOfTheLogLogLineThroughBoxSidesEightAndFour) {
    EXPECT_EQ(dimensionEstimate(1000, 4000, 8), 0x1.ffffe0p+0f);   // 1.9999981
    EXPECT_EQ(dimensionEstimate(1000, 3249, 8), 0x1.b332d0p+0f);   // 1.6999941
    EXPECT_EQ(dimensionEstimate(1000, 2000, 8), 0x1.ffffc0p-1f);   // 0.9999981
    EXPECT_EQ(dimensionEstimate(1, 1, 8), 0.0f);
}

TEST(DimensionEstimate, EmptyCountsGiveInfinitiesOrNaN) {
    EXPECT_TRUE(std::isnan(dimensionEstimate(0, 0, 8)));
    EXPECT_EQ(dimensionEstimate(0, 5, 8), INFINITY);
    EXPECT_EQ(dimensionEstimate(5, 0, 8), -INFINITY);
}

}  // namespace

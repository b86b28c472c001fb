// The dimension-targeted threshold search, on made-up metric maps.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "pass_fixture.h"
#include "detail/search/box_search.h"
#include "detail/search/rough_host.h"
#include "detail/stages/row_stages.h"

namespace {

using namespace roughgc::detail;

const std::vector<int> kAlwaysAbove = {1024, 1535, 1791, 1919, 1983, 2015, 2031, 2039, 2043, 2045, 2046, 2046};
const std::vector<int> kAlwaysBelow = {1024, 512, 256, 128, 64, 32, 16, 8, 4, 2, 1, 0};

// A 16 x 32 map: 8 coarse boxes, two with rough pixels in all four quarters
// and six in three, so 8 coarse and 26 fine boxes: dimension 1.7004.
constexpr size_t kRows = 16, kCols = 32;
std::vector<bool> roughPattern() {
    std::vector<bool> rough(kRows * kCols, false);
    for (size_t by = 0; by < 2; ++by)
        for (size_t bx = 0; bx < 4; ++bx) {
            const int quarters = (by == 0 && bx < 2) ? 4 : 3;
            for (int q = 0; q < quarters; ++q) {
                const size_t r = by * 8 + (q / 2) * 4 + 1, c = bx * 8 + (q % 2) * 4 + 2;
                rough[r * kCols + c] = true;
            }
        }
    return rough;
}

// NaN for the pattern's rough pixels, `background` elsewhere.
std::vector<float> patternMetric(float background) {
    const std::vector<bool> rough = roughPattern();
    std::vector<float> metric(rough.size());
    for (size_t i = 0; i < rough.size(); ++i) metric[i] = rough[i] ? NAN : background;
    return metric;
}

std::vector<uchar> patternMap() {
    const std::vector<bool> rough = roughPattern();
    std::vector<uchar> map(rough.size());
    for (size_t i = 0; i < rough.size(); ++i) map[i] = rough[i] ? 0 : 255;
    return map;
}

std::vector<float> tableOf(const std::vector<float>& metric, size_t rows, size_t cols) {
    std::vector<int> hist(kTableSize);
    int cnt = 0;
    std::vector<float> quantiles(kTableSize);
    metricHistogram(metric.data(), rows, cols, hist.data(), &cnt, kTableSize);
    quantileTable(hist.data(), &cnt, quantiles.data(), kTableSize);
    return quantiles;
}

TEST(ThresholdSearch, StopsAtOnceWhenTheFirstMapIsCloseEnough) {
    PassFixture f(patternMetric(-1.0f), kRows, kCols);
    const SearchTrace trace = f.search(std::vector<float>(kTableSize, 10.0f));
    EXPECT_EQ(trace.indices, (std::vector<int>{1024}));
    EXPECT_EQ(trace.dimension, dimensionEstimate(8, 26, 8));
    EXPECT_EQ(f.map(), patternMap());
}

TEST(ThresholdSearch, EstimateAlwaysAboveTheTargetRaisesTheIndexElevenTimes) {
    // Every pixel NaN: nothing counted, a table of NaN, every map all rough
    // with dimension 2.
    const std::vector<float> metric(kRows * kCols, NAN);
    PassFixture f(metric, kRows, kCols);
    const SearchTrace trace = f.search(tableOf(metric, kRows, kCols));
    EXPECT_EQ(trace.indices, kAlwaysAbove);
    EXPECT_EQ(trace.dimension, dimensionEstimate(8, 32, 8));
    EXPECT_EQ(f.map(), std::vector<uchar>(kRows * kCols, 0));
}

TEST(ThresholdSearch, EstimateAlwaysBelowTheTargetLowersTheIndexElevenTimes) {
    // One rough pixel whatever the threshold: one box at each side, dimension 0.
    std::vector<float> metric(kRows * kCols, -1.0f);
    metric[5 * kCols + 9] = NAN;
    PassFixture f(metric, kRows, kCols);
    const SearchTrace trace = f.search(std::vector<float>(kTableSize, 10.0f));
    EXPECT_EQ(trace.indices, kAlwaysBelow);
    EXPECT_EQ(trace.dimension, 0.0f);
    std::vector<uchar> expected(kRows * kCols, 255);
    expected[5 * kCols + 9] = 0;
    EXPECT_EQ(f.map(), expected);
}

TEST(ThresholdSearch, NoRoughBoxGivesNaNAndStops) {
    PassFixture f(std::vector<float>(kRows * kCols, -1.0f), kRows, kCols);
    const SearchTrace trace = f.search(std::vector<float>(kTableSize, 10.0f));
    EXPECT_EQ(trace.indices, (std::vector<int>{1024}));
    EXPECT_TRUE(std::isnan(trace.dimension));
    EXPECT_EQ(f.map(), std::vector<uchar>(kRows * kCols, 255));
}

TEST(ThresholdSearch, MovesUpUntilTheBackgroundTurnsSmooth) {
    // The background lies between table entries 1024 and 1535 of its own
    // bin: rough at the first index (all boxes, dimension 2), smooth at the
    // second, which leaves the pattern.
    const float background = 140.6f * 0.0712890625f;
    const std::vector<float> metric = patternMetric(background);
    const std::vector<float> quantiles = tableOf(metric, kRows, kCols);
    ASSERT_LE(quantiles[1024], background);
    ASSERT_GT(quantiles[1535], background);
    PassFixture f(metric, kRows, kCols);
    const SearchTrace trace = f.search(quantiles);
    EXPECT_EQ(trace.indices, (std::vector<int>{1024, 1535}));
    EXPECT_EQ(f.map(), patternMap());
}

TEST(ThresholdSearch, ToleranceTestIsStrictAndNegativeToleranceNeverStops) {
    PassFixture f(patternMetric(-1.0f), kRows, kCols);
    const std::vector<float> table(kTableSize, 10.0f);
    const float estimate = dimensionEstimate(8, 26, 8);
    // A difference equal to the tolerance stops the search.
    const float dim = 1.75f;
    EXPECT_EQ(f.search(table, dim, std::fabs(estimate - dim)).indices.size(), 1u);
    // With a negative tolerance every estimate fails; one equal to the target
    // counts as not above it.
    EXPECT_EQ(f.search(table, estimate, -0.5f).indices, kAlwaysBelow);
}

// Both routes of the search on one map and table: the evaluation passes on
// the device, and counts over box maxima with one threshold at the end.
void expectSameSearch(const std::vector<float>& metric, size_t rows, size_t cols, const std::vector<float>& quantiles,
                      float dim, float eps) {
    PassFixture f(metric, rows, cols);
    const SearchTrace passes = f.search(quantiles, dim, eps);
    BoxMaxima boxes;
    boxMaxima(metric.data(), rows, cols, boxes);
    const SearchTrace counted = searchOnBoxMaxima(boxes, quantiles.data(), kTableSize, dim, eps);
    EXPECT_EQ(counted.indices, passes.indices);
    EXPECT_EQ(counted.coarseBoxes, passes.coarseBoxes);
    EXPECT_EQ(counted.fineBoxes, passes.fineBoxes);
    EXPECT_EQ(std::bit_cast<uint32_t>(counted.dimension), std::bit_cast<uint32_t>(passes.dimension));
    std::vector<uchar> map(rows * cols);
    thresholdRows(metric.data(), map.size(), quantiles[counted.indices.back()], map.data());
    EXPECT_EQ(map, f.map());
}

TEST(BoxMaximaSearch, ChoosesAsTheEvaluationPassesOnAnyMap) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> metricValue(0.0f, 150.0f);
    // Values that make boxes tie, leave the table's range, or are no number.
    const float special[] = {4.0f, 4.0f, 5.0f, NAN, INFINITY, -INFINITY, -0.0f, 149.99f, 1e30f};
    const size_t sizes[][2] = {{8, 8}, {9, 15}, {16, 32}, {57, 203}, {130, 161}};
    for (const auto& size : sizes) {
        const size_t rows = size[0], cols = size[1];
        for (int kind = 0; kind < 4; ++kind) {
            SCOPED_TRACE(::testing::Message() << rows << " x " << cols << ", kind " << kind);
            std::vector<float> metric(rows * cols);
            for (float& v : metric) {
                const float uniform = metricValue(rng);
                switch (kind) {
                    case 0: v = uniform; break;                                  // all different
                    case 1: v = std::floor(uniform / 30.0f) + 4.0f; break;        // five values: ties
                    case 2: v = rng() % 8 == 0 ? special[rng() % 9] : uniform; break;  // specials among them
                    default: v = 4.0f;                                           // all equal
                }
            }
            const std::vector<float> quantiles = tableOf(metric, rows, cols);
            for (const auto& [dim, eps] : {std::pair{1.7f, 0.1f}, {1.3f, 0.01f}, {1.9f, -1.0f}})
                expectSameSearch(metric, rows, cols, quantiles, dim, eps);
        }
    }
    // Tables that no histogram gives: constant, and NaN.
    expectSameSearch(patternMetric(-1.0f), kRows, kCols, std::vector<float>(kTableSize, 10.0f), 1.7f, 0.1f);
    expectSameSearch(patternMetric(3.0f), kRows, kCols, std::vector<float>(kTableSize, NAN), 1.7f, 0.1f);
}

}  // namespace

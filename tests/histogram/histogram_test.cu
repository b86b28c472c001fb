// The GPU histogram entry point, through the real kernel with its barriers.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "CUDA_wrappers.h"

namespace {

struct Histogram {
    std::vector<int> bins;
    int cnt;
    std::string out, err;
};

// histogramCUDA on `values` as a rows x cols matrix, from bins and counter
// that start at `initial`. Bin counts the call must refuse get a few bins
// to leave alone.
Histogram histogramOf(std::vector<float> values, size_t rows, size_t cols, float begin, float end, size_t n,
                      int initial = 0) {
    Histogram h{std::vector<int>(n >= 1 && n <= 2048 ? n : 16, initial), initial, "", ""};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    histogramCUDA(values.data(), h.bins.data(), &h.cnt, rows, cols, begin, end, n);
    h.err = testing::internal::GetCapturedStderr();
    h.out = testing::internal::GetCapturedStdout();
    return h;
}

std::vector<int> onlyIn(size_t n, std::initializer_list<std::pair<int, int>> counts, int base = 0) {
    std::vector<int> bins(n, base);
    for (const auto& [bin, count] : counts) bins[bin] += count;
    return bins;
}

TEST(GpuHistogram, TenBinsOverZeroToTen) {
    const Histogram h = histogramOf({0.5f, 1.0f, 9.99f, 10.0f, 25.0f}, 1, 5, 0, 10, 10);
    EXPECT_EQ(h.bins, onlyIn(10, {{0, 1}, {1, 1}, {9, 1}}));
    EXPECT_EQ(h.cnt, 3);
}

TEST(GpuHistogram, BinsStartAtZeroWhateverTheLowerEnd) {
    const Histogram h = histogramOf({2.0f, 4.0f, 146.0f, 147.0f}, 2, 2, 4, 150, 2048);
    EXPECT_EQ(h.bins, onlyIn(2048, {{28, 1}, {56, 1}}));
    EXPECT_EQ(h.cnt, 2);
}

TEST(GpuHistogram, NegativeValuesTruncateTowardZero) {
    const Histogram h = histogramOf({-0.5f, -1.0f, -7.0f, -INFINITY, INFINITY, 1e30f}, 1, 6, 0, 4, 4);
    EXPECT_EQ(h.bins, onlyIn(4, {{0, 1}}));
    EXPECT_EQ(h.cnt, 1);
}

TEST(GpuHistogram, NaNLandsInBinZeroAsTheGpuConvertsIt) {
    const Histogram h = histogramOf({NAN, 3.5f}, 1, 2, 0, 4, 4);
    EXPECT_EQ(h.bins, onlyIn(4, {{0, 1}, {3, 1}}));
    EXPECT_EQ(h.cnt, 2);
}

TEST(GpuHistogram, CountsAddToTheCallersValues) {
    const Histogram h = histogramOf({0.5f, 0.7f, 2.5f}, 3, 1, 0, 3, 3, 10);
    EXPECT_EQ(h.bins, onlyIn(3, {{0, 2}, {2, 1}}, 10));
    EXPECT_EQ(h.cnt, 13);
}

TEST(GpuHistogram, ManyBlocksMergeIntoOneResult) {
    // 70 x 100 elements over a 4 x 3 grid of blocks, some outside the range.
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> dist(-20.0f, 170.0f);
    std::vector<float> values(70 * 100);
    for (float& v : values) v = dist(rng);
    const Histogram h = histogramOf(values, 70, 100, 4, 150, 2048, 1);

    std::vector<int> expected(2048, 1);
    int counted = 0;
    const float w = 146.0f / 2048;
    for (float v : values) {
        const float q = v / w;
        if (q > -1 && q < 2048) {
            ++expected[static_cast<int>(q)];
            ++counted;
        }
    }
    EXPECT_EQ(h.bins, expected);
    EXPECT_EQ(h.cnt, 1 + counted);
    EXPECT_EQ(std::accumulate(h.bins.begin(), h.bins.end(), 0) - 2048, h.cnt - 1);
}

TEST(GpuHistogram, BlocksWhollyOutsideTheMatrixAddNothing) {
    // 32 x 32 elements launch 2 x 2 blocks; three lie outside the matrix.
    std::vector<float> values(32 * 32);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i % 16);
    const Histogram h = histogramOf(values, 32, 32, 0, 16, 16);
    EXPECT_EQ(h.bins, std::vector<int>(16, 64));
    EXPECT_EQ(h.cnt, 1024);
}

TEST(GpuHistogram, PrintsOneTimingLinePerCall) {
    const Histogram h = histogramOf({1.0f}, 1, 1, 0, 2, 2);
    const std::string prefix = "CUDA histogram kernel (ms): ";
    ASSERT_EQ(h.out.rfind(prefix, 0), 0u) << h.out;
    ASSERT_EQ(h.out.back(), '\n');
    EXPECT_EQ(h.out.find('\n'), h.out.size() - 1) << h.out;
    // The time in the stream's default format: a plain or exponent number.
    const std::string time = h.out.substr(prefix.size(), h.out.size() - prefix.size() - 1);
    size_t parsed = 0;
    EXPECT_GE(std::stof(time, &parsed), 0.0f);
    EXPECT_EQ(parsed, time.size());
    EXPECT_EQ(h.err, "");
}

TEST(GpuHistogram, BinCountsThatDoNotFitAreRefusedWithoutTouchingTheResult) {
    for (const size_t n : {size_t{0}, size_t{2049}, size_t{1} << 40}) {
        const Histogram h = histogramOf({1.0f, 2.0f}, 1, 2, 0, 10, n, 5);
        EXPECT_EQ(h.bins, std::vector<int>(16, 5)) << n;
        EXPECT_EQ(h.cnt, 5);
        EXPECT_EQ(h.out, "");
        EXPECT_NE(h.err.find("bins"), std::string::npos) << h.err;
        EXPECT_EQ(h.err.find('\n'), h.err.size() - 1) << h.err;
    }
}

TEST(GpuHistogram, MatricesTallerThanAGpuCanLaunchAreRefused) {
    // Blocks of 32 rows: 2097119 rows take 65535 of them in y, a GPU's limit.
    const Histogram tall = histogramOf(std::vector<float>(2097120, 1.5f), 2097120, 1, 0, 4, 4, 7);
    EXPECT_EQ(tall.bins, std::vector<int>(4, 7));
    EXPECT_EQ(tall.cnt, 7);
    EXPECT_EQ(tall.out, "");
    EXPECT_EQ(tall.err, "histogramCUDA: 2097120 x 1 elements; at most 2097119 rows supported\n");
}

TEST(GpuHistogram, MatrixWithoutElementsDoesNothing) {
    for (const auto& [rows, cols] : {std::pair<size_t, size_t>{2097120, 0}, {0, 5}, {0, 0}}) {
        const Histogram h = histogramOf({}, rows, cols, 0, 4, 4, 7);
        EXPECT_EQ(h.bins, std::vector<int>(4, 7));
        EXPECT_EQ(h.cnt, 7);
        EXPECT_EQ(h.out + h.err, "") << rows << " x " << cols;
    }
}

}  // namespace

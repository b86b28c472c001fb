// The derivative metric, through the pipeline's own launch.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "CUDA_wrappers.h"
#include "detail/stages/rough_stages.h"
#include "detail/search/box_search.h"
#include "detail/search/rough_host.h"
#include "detail/stages/row_stages.h"
#include "device_buffer.h"

namespace {

using namespace roughgc::detail;

constexpr float kUntouched = -12345.0f;
constexpr size_t kGuard = 8;

struct MetricMap {
    int rows, cols;
    std::vector<float> values;  // rows * cols, then the guard
    float at(int r, int c) const { return values[static_cast<size_t>(r) * cols + c]; }
    bool guardUntouched() const {
        for (size_t i = static_cast<size_t>(rows) * cols; i < values.size(); ++i)
            if (values[i] != kUntouched) return false;
        return true;
    }
};

MetricMap metricOf(const std::vector<float3>& features, size_t mHeight, size_t mWidth, size_t window) {
    const int rows = std::max(0, static_cast<int>(mHeight) - static_cast<int>(window));
    const int cols = std::max(0, static_cast<int>(mWidth) - static_cast<int>(window));
    DeviceBuffer<float3> d_features(features);
    DeviceBuffer<float> d_metric(std::vector<float>(static_cast<size_t>(rows) * cols + kGuard, kUntouched));
    launchMetric(d_metric.get(), d_features.get(), mHeight, mWidth, window);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return {rows, cols, d_metric.download()};
}

// The feature map of a flat region: position only.
std::vector<float3> flatFeatures(size_t mHeight, size_t mWidth) {
    std::vector<float3> f(mHeight * mWidth);
    for (size_t r = 0; r < mHeight; ++r)
        for (size_t c = 0; c < mWidth; ++c) f[r * mWidth + c] = {60.0f * r, 60.0f * c, 0.0f};
    return f;
}

// Averaging then metric, as the pipeline runs them.
MetricMap metricOfImage(const std::vector<uchar3>& image, size_t height, size_t width, size_t window) {
    const size_t mHeight = height / 3, mWidth = width / 3;
    DeviceBuffer<uchar3> d_image(image);
    DeviceBuffer<float3> d_features(mHeight * mWidth);
    launchAveraging(d_image.get(), d_features.get(), mHeight, mWidth, width);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return metricOf(d_features.download(), mHeight, mWidth, window);
}

TEST(Metric, ConstantGreyIsExactlyFour) {
    for (const unsigned char g : {255, 128, 37, 0}) {
        const MetricMap m = metricOfImage(std::vector<uchar3>(60 * 75, {g, g, g}), 60, 75, 7);
        ASSERT_EQ(m.rows, 13);
        ASSERT_EQ(m.cols, 18);
        for (int r = 0; r < m.rows; ++r)
            for (int c = 0; c < m.cols; ++c) ASSERT_EQ(m.at(r, c), 4.0f) << "grey " << int(g) << " at " << r << ", " << c;
        EXPECT_TRUE(m.guardUntouched());
    }
}

TEST(Metric, ConstantColourIsFourWithinRounding) {
    const MetricMap m = metricOfImage(std::vector<uchar3>(60 * 60, {10, 200, 90}), 60, 60, 7);
    for (int r = 0; r < m.rows; ++r)
        for (int c = 0; c < m.cols; ++c) EXPECT_NEAR(m.at(r, c), 4.0f, 1e-3f);
}

TEST(Metric, OddWindowReadsOnlyTheCentralPixels) {
    // window = 7 on a 20 x 20 grid: pixels 3 .. 15 are evaluated and read 3 .. 16.
    std::vector<float3> f = flatFeatures(20, 20);
    for (int r = 0; r < 20; ++r)
        for (int c = 0; c < 20; ++c)
            if (r < 3 || r > 16 || c < 3 || c > 16) f[r * 20 + c] = {NAN, NAN, NAN};
    const MetricMap m = metricOf(f, 20, 20, 7);
    ASSERT_EQ(m.rows, 13);
    ASSERT_EQ(m.cols, 13);
    for (int r = 0; r < 13; ++r)
        for (int c = 0; c < 13; ++c) ASSERT_EQ(m.at(r, c), 4.0f) << r << ", " << c;
    EXPECT_TRUE(m.guardUntouched());
}

TEST(Metric, EvenWindowReachesOneFurther) {
    // window = 6: pixels 3 .. 16 are evaluated and read 3 .. 17.
    std::vector<float3> f = flatFeatures(20, 20);
    for (int r = 0; r < 20; ++r)
        for (int c = 0; c < 20; ++c)
            if (r < 3 || r > 17 || c < 3 || c > 17) f[r * 20 + c] = {NAN, NAN, NAN};
    const MetricMap m = metricOf(f, 20, 20, 6);
    ASSERT_EQ(m.rows, 14);
    ASSERT_EQ(m.cols, 14);
    for (int r = 0; r < 14; ++r)
        for (int c = 0; c < 14; ++c) ASSERT_EQ(m.at(r, c), 4.0f) << r << ", " << c;
}

TEST(Metric, OutputElementsSitAtTheirPixels) {
    const auto changed = [](int pr, int pc) {
        std::vector<float3> f = flatFeatures(20, 20);
        f[pr * 20 + pc].z = 50.0f;
        const MetricMap m = metricOf(f, 20, 20, 7);
        std::set<std::pair<int, int>> out;
        for (int r = 0; r < m.rows; ++r)
            for (int c = 0; c < m.cols; ++c)
                if (m.at(r, c) != 4.0f) out.insert({r, c});
        return out;
    };
    // Element (0, 0) belongs to pixel (3, 3); pixel (15, 15) is element
    // (12, 12) and the right and lower neighbour of (12, 11) and (11, 12).
    EXPECT_EQ(changed(3, 3), (std::set<std::pair<int, int>>{{0, 0}}));
    EXPECT_EQ(changed(15, 15), (std::set<std::pair<int, int>>{{12, 12}, {11, 12}, {12, 11}}));
    EXPECT_TRUE(changed(16, 16).empty());
}

TEST(Metric, EdgesShowOnlyOnTheNearSide) {
    // Grey 40 left of image column 30 (averaged column 10) and grey 220 from
    // there on; then the same across image row 30.
    const size_t n = 60;
    std::vector<uchar3> vertical(n * n), horizontal(n * n);
    for (size_t r = 0; r < n; ++r)
        for (size_t c = 0; c < n; ++c) {
            const unsigned char v = c < 30 ? 40 : 220, h = r < 30 ? 40 : 220;
            vertical[r * n + c] = {v, v, v};
            horizontal[r * n + c] = {h, h, h};
        }
    const MetricMap mv = metricOfImage(vertical, n, n, 7), mh = metricOfImage(horizontal, n, n, 7);
    // Averaged pixel 9 is the last before the edge: element 9 - 3 = 6.
    for (int r = 0; r < mv.rows; ++r)
        for (int c = 0; c < mv.cols; ++c) {
            EXPECT_EQ(mv.at(r, c) > 4.0f, c == 6) << r << ", " << c;
            EXPECT_EQ(mh.at(r, c) > 4.0f, r == 6) << r << ", " << c;
            if (c != 6) {
                EXPECT_EQ(mv.at(r, c), 4.0f);
            }
        }
}

TEST(Metric, DegenerateDifferencesAreStoredUnguarded) {
    // All features equal: u = v = 0 gives 0 / 0. Features growing along
    // x by one per row and per column: u = v gives a zero denominator.
    // The 0 / 0 is stored as the NaN a GPU makes, not as x86's 0xffc00000.
    const MetricMap same = metricOf(std::vector<float3>(12 * 12, {7, 7, 7}), 12, 12, 1);
    EXPECT_EQ(std::bit_cast<uint32_t>(same.at(0, 0)), 0x7fffffffu);
    std::vector<float3> diagonal(12 * 12);
    for (int r = 0; r < 12; ++r)
        for (int c = 0; c < 12; ++c) diagonal[r * 12 + c] = {float(r + c), 0, 0};
    EXPECT_EQ(metricOf(diagonal, 12, 12, 1).at(4, 4), INFINITY);
}

TEST(Metric, WindowAsLargeAsTheGridWritesNothing) {
    for (const size_t window : {10, 12, 30}) {
        const MetricMap m = metricOf(flatFeatures(10, 12), 10, 12, window);
        EXPECT_TRUE(m.guardUntouched()) << window;
    }
}

// The cpu backend's one pass (averaging, metric, histogram and box maxima
// by bands of rows) against the kernels and the host steps, on photos of 3,
// 1 and 4 channels with padded rows, for odd and even windows: every bit of
// every value, every count, every maximum.
TEST(Metric, OnePassOverThePhotoStoresWhatTheKernelsAndHostStepsDo) {
    std::mt19937 rng(5);
    for (const auto& [h, w] : {std::pair<size_t, size_t>{30, 33}, {64, 95}, {110, 200}}) {
        std::vector<uchar3> bgr(h * w);
        // Smooth gradients with noisy patches: ties and spread in the metric.
        for (size_t i = 0; i < bgr.size(); ++i) {
            const bool noisy = (i / w / 9 + i % w / 11) % 3 == 0;
            const auto v = static_cast<unsigned char>(noisy ? rng() : i % w + i / w);
            bgr[i] = {v, static_cast<unsigned char>(noisy ? rng() : 90), static_cast<unsigned char>(255 - v)};
        }
        for (const int channels : {3, 1, 4}) {
            std::vector<uchar3> asBgr = bgr;
            const size_t step = w * channels + 3;
            std::vector<unsigned char> photo(step * h, 0xEE);
            for (size_t r = 0; r < h; ++r)
                for (size_t c = 0; c < w; ++c) {
                    unsigned char* p = photo.data() + r * step + c * channels;
                    const uchar3 px = bgr[r * w + c];
                    if (channels == 1) asBgr[r * w + c] = {px.y, px.y, px.y};
                    for (int k = 0; k < channels; ++k) p[k] = k == 3 ? 0x5A : channels == 1 ? px.y : (&px.x)[k];
                }
            for (const size_t window : {1, 2, 7, 8}) {
                SCOPED_TRACE(::testing::Message() << w << " x " << h << ", " << channels << " channels, window "
                                                  << window);
                const size_t mHeight = h / 3, mWidth = w / 3;
                const MetricMap kernel = metricOfImage(asBgr, h, w, window);
                std::vector<float> metric(static_cast<size_t>(kernel.rows) * kernel.cols);
                std::vector<int> hist(kTableSize), expectedHist(kTableSize);
                int counted = 0, expectedCounted = 0;
                BoxMaxima boxes, expectedBoxes;
                metricPass(photo.data(), step, channels, mHeight, mWidth, window, metric.data(),
                           {hist.data(), &counted, kTableSize, &boxes});
                for (size_t i = 0; i < metric.size(); ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(metric[i]), std::bit_cast<uint32_t>(kernel.values[i])) << i;
                metricHistogram(kernel.values.data(), kernel.rows, kernel.cols, expectedHist.data(), &expectedCounted,
                                kTableSize);
                EXPECT_EQ(hist, expectedHist);
                EXPECT_EQ(counted, expectedCounted);
                boxMaxima(kernel.values.data(), kernel.rows, kernel.cols, expectedBoxes);
                // Bit for bit: NaN maxima must be the same NaN.
                const auto sameBits = [](const std::vector<float>& a, const std::vector<float>& b) {
                    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](float x, float y) {
                        return std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y);
                    });
                };
                EXPECT_TRUE(sameBits(boxes.fine, expectedBoxes.fine));
                EXPECT_TRUE(sameBits(boxes.coarse, expectedBoxes.coarse));
            }
        }
    }
}

}  // namespace

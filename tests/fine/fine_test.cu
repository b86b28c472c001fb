// The fine contour stage: its two image kernels through the entry point's
// own launches, and fineContoursCUDA as a caller uses it.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "CUDA_wrappers.h"
#include "detail/fine/fine.h"
#include "device_buffer.h"

namespace {

using namespace roughgc::detail;

const uchar4 kWhite = {255, 255, 255, 255};

// One call of fineContoursCUDA and what it printed.
struct FineCall {
    size_t height, width, window;
    std::vector<uchar4> image;
    std::vector<float> rough, fine, fmat1, fmat2, fmat3;
    std::string out, err;

    FineCall(size_t h, size_t w, size_t k, uchar4 fill = kWhite)
        : height(h),
          width(w),
          window(k),
          image(h * w, fill),
          rough(h >= 6 && w >= 6 ? (h / 3 - 2) * (w / 3 - 2) : 1, 255.0f),
          fine(h >= k && w >= k ? (h - k) * (w - k) : 1, 0.0f),
          fmat1(k * k, 0.0f),
          fmat2(k * k, 0.0f),
          fmat3(k * k, 0.0f) {}

    size_t fineWidth() const { return width - window; }
    float& mark(size_t y, size_t x) { return fine[y * fineWidth() + x]; }
    float at(size_t y, size_t x) const { return fine[y * fineWidth() + x]; }

    // The forward differences at window = 3: u towards the right neighbour, v
    // towards the pixel below.
    void useNeighbourDifferences() {
        fmat2[1 * 3 + 1] = 1;
        fmat3[1 * 3 + 2] = 1;
        fmat1[2 * 3 + 1] = 1;
    }

    void run() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        fineContoursCUDA(image.data(), rough.data(), fine.data(), fmat1.data(), fmat2.data(), fmat3.data(), height,
                         width, window);
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
    }
};

std::vector<uchar4> randomImage(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uchar4> image(n);
    for (uchar4& p : image)
        p = {static_cast<unsigned char>(rng()), static_cast<unsigned char>(rng()), static_cast<unsigned char>(rng()),
             static_cast<unsigned char>(rng())};
    return image;
}

TEST(FineFeatures, WhitePixelsCarryTheirPositionAlone) {
    const size_t h = 40, w = 37;
    std::vector<uchar4> image(h * w, kWhite);
    image[5] = {255, 255, 255, 0};  // w is not read
    image[2 * w + 3] = {10, 200, 30, 17};
    DeviceBuffer<uchar4> d_image(image);
    DeviceBuffer<float4> d_features(h * w);
    launchFineFeatures(d_image.get(), d_features.get(), h, w);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<float4> f = d_features.download();
    for (size_t r = 0; r < h; ++r)
        for (size_t q = 0; q < w; ++q) {
            if (r == 2 && q == 3) continue;
            const float4 p = f[r * w + q];
            ASSERT_EQ(p.x, 20.0f * r);
            ASSERT_EQ(p.y, 20.0f * q);
            ASSERT_EQ(p.z, 0.0f);
            ASSERT_EQ(p.w, 255.0f);
        }
    // Inverted colour 245, 55, 225: the colour sum first, then the position.
    const float4 p = f[2 * w + 3];
    EXPECT_EQ(p.x, -0x1.6ddb6cp+5f);
    EXPECT_EQ(p.y, -0x1.e1aa4cp+5f);
    EXPECT_EQ(p.z, 0x1.2f1be0p+8f);
    EXPECT_EQ(p.w, 255.0f);
}

TEST(FineFeatures, PositionsOnVeryWideImagesAreExact) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "over 100 million emulated threads: run in the plain build only";
#endif
    // 20 times the last column is past the int range.
    const size_t width = 107374200;
    DeviceBuffer<uchar4> d_image(width);
    DeviceBuffer<float4> d_features(width);
    ASSERT_EQ(cudaMemset(d_image.get(), 255, width * sizeof(uchar4)), cudaSuccess);
    launchFineFeatures(d_image.get(), d_features.get(), 1, width);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    float4 last;
    ASSERT_EQ(cudaMemcpy(&last, d_features.get() + width - 1, sizeof last, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(last.y, static_cast<float>(20.0 * (width - 1)));
}

TEST(FineMarks, CellsBelow255MarkTheirBlockExceptInRowAndColumnZero) {
    // A 30 x 30 image: an 8 x 8 rough map, a 27 x 27 mark map at window = 3.
    const size_t h = 30, w = 30, window = 3, fineWidth = w - window;
    std::vector<float> rough(8 * 8, 255.0f);
    rough[1 * 8 + 1] = 254.9f;
    rough[2 * 8 + 5] = -1.0f;
    rough[3 * 8 + 2] = 300.0f;
    rough[4 * 8 + 4] = NAN;
    rough[0 * 8 + 3] = 0.0f;  // row 0
    rough[6 * 8 + 0] = 0.0f;  // column 0
    rough[7 * 8 + 7] = 0.0f;  // the last cell
    DeviceBuffer<float> d_rough(rough);
    DeviceBuffer<float> d_marks(std::vector<float>(fineWidth * fineWidth, 7.0f));
    launchMarkRoughBlocks(d_rough.get(), d_marks.get(), h, w, window);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<float> marks = d_marks.download();
    const auto inBlock = [](size_t y, size_t x, size_t cy, size_t cx) {
        return y / 3 == cy && x / 3 == cx;
    };
    for (size_t y = 0; y < fineWidth; ++y)
        for (size_t x = 0; x < fineWidth; ++x) {
            const bool marked = inBlock(y, x, 1, 1) || inBlock(y, x, 2, 5) || inBlock(y, x, 7, 7);
            ASSERT_EQ(marks[y * fineWidth + x], marked ? 1.0f : 7.0f) << y << ", " << x;
        }
}

TEST(FineContours, FlatWhiteImageGivesExactlyFourAtMarkedPixels) {
    FineCall call(33, 30, 3);
    call.useNeighbourDifferences();
    for (float& m : call.fine) m = 1.0f;
    call.run();
    for (float v : call.fine) ASSERT_EQ(v, 4.0f);
    EXPECT_EQ(call.out, "");
    EXPECT_EQ(call.err, "");
}

TEST(FineContours, UnmarkedPixelsAreExactlyZero) {
    FineCall call(24, 27, 3);
    call.image = randomImage(24 * 27, 1);
    call.useNeighbourDifferences();
    for (size_t i = 0; i < call.fine.size(); ++i) call.fine[i] = (i % 3 == 0) ? 0.0f : (i % 3 == 1 ? -2.0f : NAN);
    call.mark(10, 10) = 0.5f;
    call.run();
    for (size_t i = 0; i < call.fine.size(); ++i) {
        if (i != 10 * call.fineWidth() + 10) {
            ASSERT_EQ(call.fine[i], 0.0f) << i;
        }
    }
    EXPECT_GT(call.at(10, 10), 0.0f);
}

TEST(FineContours, EqualFirstAndThirdMatricesLeaveNoDeterminant) {
    FineCall call(30, 30, 3);
    call.image = randomImage(30 * 30, 2);
    std::mt19937 rng(4);
    for (size_t i = 0; i < 9; ++i) {
        call.fmat1[i] = call.fmat3[i] = static_cast<float>(rng() % 7) - 3.0f;
        call.fmat2[i] = static_cast<float>(rng() % 5);
    }
    for (float& m : call.fine) m = 1.0f;
    call.run();
    for (float v : call.fine) ASSERT_TRUE(std::bit_cast<uint32_t>(v) == 0x7fffffffu || v == INFINITY) << v;
}

// Every NaN is stored as 0x7fffffff, the GPU's: from 0 / 0 in an empty
// window, and from a weight that is a NaN with a payload of its own.
TEST(FineContours, NaNIsStoredAsTheCanonicalNaN) {
    FineCall empty(12, 12, 0);
    empty.mark(4, 7) = 1.0f;
    empty.run();
    EXPECT_EQ(std::bit_cast<uint32_t>(empty.at(4, 7)), 0x7fffffffu);
    EXPECT_EQ(empty.at(4, 6), 0.0f);

    FineCall weighted(30, 30, 3);
    weighted.image = randomImage(30 * 30, 5);
    weighted.fmat1[4] = std::bit_cast<float>(uint32_t{0xffc01234});
    weighted.mark(10, 10) = 1.0f;
    weighted.run();
    EXPECT_EQ(std::bit_cast<uint32_t>(weighted.at(10, 10)), 0x7fffffffu);
}

TEST(FineContours, WindowElementsAboveAndLeftOfTheImageAreLeftOut) {
    // At pixel (0, 0) the 3 x 3 window keeps its lower right 2 x 2: Q sums
    // those four white features, R and P are the right and lower pixels.
    FineCall call(12, 12, 3);
    for (float& w : call.fmat2) w = 1;
    call.fmat3[1 * 3 + 2] = 1;
    call.fmat1[2 * 3 + 1] = 1;
    call.mark(0, 0) = 1.0f;
    call.run();
    EXPECT_EQ(call.at(0, 0), 0x1.638e38p+3f);  // 11.111111
}

TEST(FineContoursCUDA, NoRoughCellAndNoMarkGiveAllZeros) {
    FineCall call(48, 51, 5);
    call.image = randomImage(48 * 51, 3);
    for (float& w : call.fmat1) w = 0.5f;
    for (float& w : call.fmat3) w = -1.0f;
    call.run();
    EXPECT_EQ(call.fine, std::vector<float>(call.fine.size(), 0.0f));
}

TEST(FineContoursCUDA, FullyRoughMapMarksAllButTheFirstBlocks) {
    // 640 x 480 with window = 5: a 158 x 211 rough map over a 475 x 635 fine
    // map; marked blocks reach row 473 and column 632.
    FineCall call(480, 640, 5);
    for (float& w : call.fmat2) w = 1.0f / 25;
    call.fmat3[2 * 5 + 3] = 1;
    call.fmat1[3 * 5 + 2] = 1;
    for (float& r : call.rough) r = 0.0f;
    call.run();
    for (size_t y = 0; y < 475; ++y)
        for (size_t x = 0; x < 635; ++x) {
            const bool marked = y >= 3 && y <= 473 && x >= 3 && x <= 632;
            ASSERT_EQ(call.at(y, x) != 0.0f, marked) << y << ", " << x;
        }
}

TEST(FineContoursCUDA, CallersOwnMarksAreEvaluatedAlongsideTheRoughMap) {
    FineCall call(30, 30, 3);
    call.useNeighbourDifferences();
    call.rough[2 * 8 + 2] = 100.0f;  // the block at rows and columns 6 .. 8
    call.mark(0, 20) = 3.0f;
    call.mark(20, 1) = 1e-20f;
    call.run();
    for (size_t y = 0; y < 27; ++y)
        for (size_t x = 0; x < 27; ++x) {
            const bool marked = (y >= 6 && y <= 8 && x >= 6 && x <= 8) || (y == 0 && x == 20) || (y == 20 && x == 1);
            ASSERT_EQ(call.at(y, x), marked ? 4.0f : 0.0f) << y << ", " << x;
        }
}

TEST(FineContoursCUDA, SizesThatDoNotFitAreRefusedWithTheBufferUnchanged) {
    struct Case {
        size_t height, width, window;
    };
    // Under 6 pixels; a window whose blocks would leave the fine map.
    for (const Case c : {Case{5, 40, 0}, Case{40, 5, 0}, Case{30, 31, 7}, Case{31, 30, 7}, Case{32, 32, 9}}) {
        FineCall call(c.height, c.width, c.window);
        for (float& m : call.fine) m = -3.5f;
        call.run();
        EXPECT_EQ(call.fine, std::vector<float>(call.fine.size(), -3.5f)) << c.height << " x " << c.width;
        EXPECT_EQ(call.out, "");
        EXPECT_EQ(call.err.rfind("fineContoursCUDA: ", 0), 0u) << call.err;
        EXPECT_EQ(call.err.find('\n'), call.err.size() - 1) << call.err;
    }
    // The largest window that still fits: 6 + the smaller remainder.
    FineCall fits(31, 32, 7);
    fits.run();
    EXPECT_EQ(fits.err, "");
}

TEST(FineContoursCUDA, TallestImageAGpuCanLaunchRunsAndTallerOnesAreRefused) {
    // Blocks of 16 rows over height - window rows: 1048559 rows take 65535 of
    // them in y, a GPU's limit.
    FineCall fits(1048565, 7, 6);
    fits.run();
    EXPECT_EQ(fits.err, "");
    EXPECT_EQ(fits.fine, std::vector<float>(1048559, 0.0f));

    FineCall tall(1048566, 7, 6);
    tall.fine.assign(tall.fine.size(), -3.5f);
    tall.run();
    EXPECT_EQ(tall.err, "fineContoursCUDA: image of 7 x 1048566 pixels; at most 1048565 rows supported with window 6\n");
    EXPECT_EQ(tall.fine, std::vector<float>(tall.fine.size(), -3.5f));
}

}  // namespace

// processImageCUDA as a library caller meets it: the arguments it takes,
// the ones it refuses, and what it leaves behind; and photos read from pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "CUDA_wrappers.h"
#include "detail/io/photo_reader.h"
#include "detail/pipeline/rough_pipeline.h"
#include "roughgc/roughgc.hpp"
#include "pipeline_outcome.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

// The tests of processImageCUDA that write a map.
class InTempDir : public InScratchDir {};

// Smooth colour ramps with a few sharp-edged discs, `seed` placing them.
std::vector<uchar3> photoLike(size_t height, size_t width, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uchar3> image(height * width);
    const int discs = 12;
    std::vector<int> cy(discs), cx(discs), r(discs);
    for (int d = 0; d < discs; ++d) {
        cy[d] = static_cast<int>(rng() % height);
        cx[d] = static_cast<int>(rng() % width);
        r[d] = 5 + static_cast<int>(rng() % 30);
    }
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) {
            uchar3 p{static_cast<unsigned char>(x), static_cast<unsigned char>(y), static_cast<unsigned char>(x + y)};
            for (int d = 0; d < discs; ++d) {
                const long dy = static_cast<long>(y) - cy[d], dx = static_cast<long>(x) - cx[d];
                if (dy * dy + dx * dx < r[d] * r[d]) p = {static_cast<unsigned char>(40 * d), 200, 30};
            }
            image[y * width + x] = p;
        }
    return image;
}

// Occupied boxes of `side` in the first boxRows x boxCols boxes of a map
// with rows of `cols` bytes.
int occupiedBoxes(const unsigned char* map, size_t cols, size_t boxRows, size_t boxCols, size_t side) {
    int count = 0;
    for (size_t by = 0; by < boxRows; ++by)
        for (size_t bx = 0; bx < boxCols; ++bx) {
            bool rough = false;
            for (size_t y = by * side; y < (by + 1) * side; ++y)
                for (size_t x = bx * side; x < (bx + 1) * side; ++x) rough = rough || map[y * cols + x] != 255;
            count += rough;
        }
    return count;
}

TEST(RoughImageSize, WindowsAndSizesAreCheckedWithoutWrappingAround) {
    struct Case {
        size_t height, width, window;
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
        // 2,147,483,610 pixels, then one column more, in 45 rows: the pixel
        // count decides here, not the row limit.
        {45, 47721858, 7, ""},
        {45, 47721859, 7, "(!) Image too large: 47721859 x 45 pixels; at most 2147483647 pixels supported"},
        {SIZE_MAX, SIZE_MAX, 7, "(!) Image too large: 18446744073709551615 x 18446744073709551615 pixels; at most "
                                "2147483647 pixels supported"},
        // 16-row blocks over a third of the rows: 65535 of them in y at most.
        {3145680, 45, 7, "(!) Image too tall: 45 x 3145680 pixels; at most 3145679 rows supported"},
        {3145679, 45, 7, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(roughImageSizeProblem(c.height, c.width, c.window), c.problem)
            << c.height << " x " << c.width << ", window " << c.window;
    }
    EXPECT_EQ(roughMinimumSide(15438), 46338u);
    EXPECT_EQ(roughMinimumSide(15439), SIZE_MAX);
}

// The grids and maps that an accepted size comes to, and the refusal's line
// for one that is not accepted.
TEST(RoughImageSize, GeometryOfAnAcceptedSizeAndTheLineOfARefusedOne) {
    const auto g = roughgc::detail::roughGeometry(481, 514, 7);
    ASSERT_TRUE(g);
    // 160 x 171 averaged points, maps of 153 x 164 pixels, 19 x 20 coarse boxes.
    EXPECT_EQ((std::vector<size_t>{g->height, g->width, g->window, g->mHeight, g->mWidth, g->rows, g->cols,
                                   g->boxRows, g->boxCols}),
              (std::vector<size_t>{481, 514, 7, 160, 171, 153, 164, 19, 20}));
    EXPECT_EQ(g->mapPixels(), 153u * 164);
    std::string problem;
    EXPECT_FALSE(roughgc::detail::roughGeometry(44, 45, 7, &problem));
    EXPECT_EQ(problem, roughImageSizeProblem(44, 45, 7));
    EXPECT_FALSE(roughgc::detail::roughGeometry(45, 45, 0));
}

TEST_F(InTempDir, RefusedArgumentsExitWithThreeBeforeTouchingThePixels) {
    EXPECT_EXIT(requireRoughImageSize(47721859, 45, 7), ::testing::ExitedWithCode(kExitUnsupportedImageSize),
                "^\\(!\\) Image too large: 45 x 47721859 pixels; at most 2147483647 pixels supported\n$");
    // The pixels are never read: a null pointer would crash.
    for (const size_t window : {SIZE_MAX, SIZE_MAX - 7, size_t{0xAAAAAAAAAAAAAAA3}}) {
        EXPECT_EXIT(processImageCUDA(nullptr, 100, 100, window, 1.7f, 0.1f),
                    ::testing::ExitedWithCode(kExitUnsupportedImageSize), "^\\(!\\) The metric window must be at most")
            << window;
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

TEST(RoughPipeline, RefusesSizesWithTheToolsWordingBeforeTouchingThePixels) {
    roughgc::detail::RoughPipeline pipeline(0);
    auto refusal = [&](size_t height, size_t width, size_t window) -> std::string {
        try {
            pipeline.run({nullptr, 3 * width, height, width, 3}, window, 1.7f, 0.1f,
                         roughgc::detail::SearchRoute::BoxMaxima);  // a read would crash
        } catch (const roughgc::InputError& e) {
            return e.what();
        }
        return "accepted";
    };
    EXPECT_EQ(refusal(30, 30, 7), "(!) Image too small: 30 x 30 pixels; at least 45 x 45 needed");
    EXPECT_EQ(refusal(100, 100, 0), "(!) The metric window must be at least 1 averaged pixel, not 0");
    EXPECT_EQ(refusal(3145680, 45, 7), roughImageSizeProblem(3145680, 45, 7));
    // A geometry checked for another photo is not taken for this one.
    EXPECT_THROW(pipeline.run({nullptr, 3 * 60, 60, 60, 3}, *roughgc::detail::roughGeometry(61, 60, 7), 1.7f, 0.1f,
                              roughgc::detail::SearchRoute::BoxMaxima),
                 std::logic_error);
}

// The library's face searches on box maxima, the C entry points with the
// evaluation passes: the same choices, to the last bit, on real photos.
TEST(RoughPipeline, BothSearchRoutesGiveTheSameMapsAndFiguresOnEveryPhoto) {
    using namespace pipeline_outcome;
    const std::vector<fs::path> photos = testPhotos();
    ASSERT_GE(photos.size(), 14u);
    roughgc::detail::RoughPipeline pipeline(0);
    for (const fs::path& path : photos) {
        SCOPED_TRACE(path.filename().string());
        const cv::Mat photo = roughgc::readPhoto(path.string());
        const roughgc::detail::HostPhoto host{photo.data, photo.step[0], static_cast<size_t>(photo.rows),
                                              static_cast<size_t>(photo.cols), 3};
        for (const size_t window : {size_t{7}, size_t{2}}) {
            const Outcome passes =
                outcomeOf(pipeline.run(host, window, 1.7f, 0.1f, roughgc::detail::SearchRoute::EvaluationPasses));
            expectSame(outcomeOf(pipeline.run(host, window, 1.7f, 0.1f, roughgc::detail::SearchRoute::BoxMaxima)),
                       passes);
        }
    }
}

TEST_F(InTempDir, ReusedExtractorGivesTheMapsAndFiguresOfFreshRuns) {
    struct Photo {
        size_t height, width;
        std::vector<uchar3> pixels;
    };
    const Photo photos[] = {{300, 420, photoLike(300, 420, 1)}, {60, 75, photoLike(60, 75, 2)},
                            {330, 390, photoLike(330, 390, 3)}};
    roughgc::Extractor reused;
    for (const Photo& p : photos) {
        SCOPED_TRACE(::testing::Message() << p.width << " x " << p.height);
        const cv::Mat photo(static_cast<int>(p.height), static_cast<int>(p.width), CV_8UC3,
                            const_cast<uchar3*>(p.pixels.data()));
        const roughgc::Result r = reused.extract(photo);
        processImageCUDA(p.pixels.data(), p.height, p.width, 7, 1.7f, 0.1f);
        const cv::Mat fresh = cv::imread("RoughGC.bmp", cv::IMREAD_UNCHANGED);
        ASSERT_EQ(r.map.type(), CV_8UC1);
        ASSERT_EQ(r.map.size(), fresh.size());
        EXPECT_EQ(cv::countNonZero(r.map != fresh), 0);

        // Both box sizes cover the whole boxes of side 8.
        const size_t cols = static_cast<size_t>(r.map.cols), boxRows = r.map.rows / 8, boxCols = cols / 8;
        EXPECT_EQ(r.coarseBoxes, occupiedBoxes(r.map.data, cols, boxRows, boxCols, 8));
        EXPECT_EQ(r.fineBoxes, occupiedBoxes(r.map.data, cols, 2 * boxRows, 2 * boxCols, 4));
        EXPECT_GE(r.passes, 1);
        EXPECT_TRUE(r.passes == 12 || std::fabs(r.dimension - 1.7f) <= 0.1f) << r.dimension;
        const roughgc::Result again = roughgc::roughContours(photo);
        EXPECT_EQ(again.quantileIndex, r.quantileIndex);
        EXPECT_EQ(again.threshold, r.threshold);
    }
}

// Writes `bytes` into the FIFO at `path` once a reader has opened it, and
// closes it, as `cat photo > path` would; gives up after 10 s without a
// reader, so that a reader that never comes cannot hang the test.
void writeWhenRead(const std::string& path, const std::string& bytes) {
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 1000; ++tries) {
        fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // ENXIO while nobody reads
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd < 0) return;
    fcntl(fd, F_SETFL, 0);
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;  // the reader went (SIGPIPE is ignored)
        done += static_cast<size_t>(n);
    }
    close(fd);
}

// A FIFO that no writer opens must not hold a batch that has been told to
// stop: the wait is given up, and said to be.
TEST_F(InTempDir, PhotoFromAFifoIsWaitedForUntilAStopIsRequested) {
    using namespace std::chrono_literals;
    const std::string fifo = (dir_ / "photo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    namespace d = roughgc::detail;
    d::PhotoReader reader;
    auto reading = std::async(std::launch::async, [&] {
        return reader.load(fifo, [&] { return std::chrono::steady_clock::now() - start > 300ms; });
    });
    if (reading.wait_for(3s) != std::future_status::ready) {
        writeWhenRead(fifo, "");  // a writer that comes and goes ends any wait
        reading.wait();
        FAIL() << "still waiting 3 s after the stop was requested";
    }
    EXPECT_EQ(reading.get(), d::LoadEnd::Interrupted);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

    // The same FIFO with a writer that comes once the reader waits: its bytes
    // decode as the file does, stopped or not.
    std::ifstream file(ROUGHGC_EXAMPLES "/fruits.jpg", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto oldPipeAction = std::signal(SIGPIPE, SIG_IGN);
    std::thread writer(writeWhenRead, fifo, bytes);
    const d::LoadEnd end = reader.load(fifo, [] { return false; });
    writer.join();
    std::signal(SIGPIPE, oldPipeAction);
    EXPECT_EQ(end, d::LoadEnd::Loaded);
    const cv::Mat photo = reader.decode(reader.keptTarget());
    const cv::Mat expected = cv::imread(ROUGHGC_EXAMPLES "/fruits.jpg", cv::IMREAD_COLOR);
    ASSERT_EQ(photo.type(), CV_8UC3);
    ASSERT_EQ(photo.size(), expected.size());
    EXPECT_EQ(cv::norm(photo, expected, cv::NORM_INF), 0);

    // A character device is read to its end whatever the predicate says:
    // nothing there is no photo.
    EXPECT_EQ(reader.load("/dev/null", [] { return true; }), d::LoadEnd::Failed);
}

#if !defined(ROUGHGC_CUDA_BACKEND)
// The CPU runtime keeps every buffer reachable in its registry, so a missing
// release shows only in its counts.
TEST_F(InTempDir, NothingIsLeftAllocatedAfterARunOrAWarmUp) {
    const std::vector<uchar3> image = photoLike(90, 120, 6);
    const size_t buffers = cpurt::liveDeviceAllocations(), events = cpurt::liveEvents();
    FirstRun();
    EXPECT_EQ(cpurt::liveEvents(), events);
    processImageCUDA(image.data(), 90, 120, 7, 1.7f, 0.1f);
    EXPECT_TRUE(fs::exists("RoughGC.bmp"));
    EXPECT_EQ(cpurt::liveDeviceAllocations(), buffers);
    EXPECT_EQ(cpurt::liveEvents(), events);
}

// A kernel that FirstRun does not load would be loaded, on a GPU, inside the
// first photo's timed work.
TEST(FirstRun, LoadsEveryKernelTheLibraryLaunches) {
    cpurt::forgetLaunchedKernels();
    FirstRun();
    std::vector<uchar3> photo = photoLike(90, 120, 7);
    roughgc::Extractor().extract(cv::Mat(90, 120, CV_8UC3, photo.data()));
    std::vector<float> matrix(64, 1.5f);
    std::vector<int> hist(8);
    int count = 0;
    testing::internal::CaptureStdout();
    histogramCUDA(matrix.data(), hist.data(), &count, 8, 8, 0.0f, 8.0f, 8);
    testing::internal::GetCapturedStdout();
    std::vector<uchar4> image(12 * 12, uchar4{1, 2, 3, 0});
    std::vector<float> rough(2 * 2, 0.0f), fine(6 * 6, 0.0f), fmat(36, 1.0f);
    fineContoursCUDA(image.data(), rough.data(), fine.data(), fmat.data(), fmat.data(), fmat.data(), 12, 12, 6);

    processImageCUDA(photo.data(), 90, 120, 7, 1.7f, 0.1f);  // the evaluation passes' kernels

    // Here the averaging and the metric run as row loops: of the ten, the
    // evaluation pass's 4, the histogram, the fine stage's 3.
    const std::vector<const void*> launched = cpurt::launchedKernels();
    EXPECT_EQ(launched.size(), 8u);
    for (const void* kernel : launched) EXPECT_TRUE(cpurt::kernelLoaded(kernel));
}

TEST(Extractor, WarmExtractorAllocatesNothingForPhotosNoLarger) {
    std::vector<uchar3> large = photoLike(240, 300, 4), small = photoLike(90, 120, 5),
                        larger = photoLike(300, 420, 6);
    const cv::Mat largePhoto(240, 300, CV_8UC3, large.data()), smallPhoto(90, 120, CV_8UC3, small.data()),
        largerPhoto(300, 420, CV_8UC3, larger.data());
    const size_t pinnedBefore = cpurt::livePinnedAllocations();
    roughgc::Extractor extractor;
    extractor.extract(largePhoto);
    const size_t buffers = cpurt::liveDeviceAllocations(), calls = cpurt::deviceAllocationCalls();
    // Nothing to download here: the stages run on host memory.
    EXPECT_EQ(cpurt::livePinnedAllocations(), pinnedBefore);
    extractor.extract(smallPhoto);
    extractor.extract(largePhoto);
    EXPECT_EQ(cpurt::deviceAllocationCalls(), calls);
    EXPECT_EQ(cpurt::liveDeviceAllocations(), buffers);
    EXPECT_EQ(cpurt::livePinnedAllocations(), pinnedBefore);
    // A larger photo grows them: replaced, not added to.
    extractor.extract(largerPhoto);
    EXPECT_GT(cpurt::deviceAllocationCalls(), calls);
    EXPECT_EQ(cpurt::liveDeviceAllocations(), buffers);
}

// A photo too large for the device must not make the next, smaller one fail
// for want of the memory that earlier photos' buffers still hold.
TEST(Extractor, FailedAllocationGivesBackEveryBufferGrownForEarlierPhotos) {
    std::vector<uchar3> large = photoLike(240, 300, 8), larger = photoLike(300, 420, 9), next = photoLike(90, 120, 10);
    const cv::Mat largePhoto(240, 300, CV_8UC3, large.data()), largerPhoto(300, 420, CV_8UC3, larger.data()),
        nextPhoto(90, 120, CV_8UC3, next.data());
    const size_t devicesBefore = cpurt::liveDeviceAllocations(), pinnedBefore = cpurt::livePinnedAllocations();
    roughgc::Extractor extractor;
    const size_t fresh = cpurt::liveDeviceAllocations();
    EXPECT_EQ(fresh, devicesBefore + 2);  // the quantile table and the box counters
    // Each of the photo's two device buffers (metric, map) in turn fails to
    // grow.
    for (const long succeeding : {0L, 1L}) {
        SCOPED_TRACE(succeeding);
        extractor.extract(largePhoto);
        cpurt::injectFault(cpurt::Fault::Allocation, succeeding);
        try {
            extractor.extract(largerPhoto);
            ADD_FAILURE() << "no allocation failed";
        } catch (const roughgc::DeviceError& e) {
            EXPECT_EQ(e.code(), cudaErrorMemoryAllocation);
        }
        EXPECT_EQ(cpurt::liveDeviceAllocations(), fresh);
        EXPECT_EQ(cpurt::livePinnedAllocations(), pinnedBefore);
    }
    const roughgc::Result after = extractor.extract(nextPhoto);
    const roughgc::Result alone = roughgc::Extractor().extract(nextPhoto);
    ASSERT_EQ(after.map.size(), alone.map.size());
    EXPECT_EQ(cv::countNonZero(after.map != alone.map), 0);
    EXPECT_EQ(after.threshold, alone.threshold);
}
#endif

}  // namespace

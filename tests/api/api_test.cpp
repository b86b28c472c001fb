// The library's face, <roughgc/roughgc.hpp>, as a program that embeds it
// meets it: OpenCV matrices with any row step in, owned matrices out,
// exceptions instead of exits, nothing printed, nothing written unasked.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CUDA_wrappers.h"
#include "roughgc/roughgc.hpp"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string kFruits = std::string(ROUGHGC_EXAMPLES) + "/fruits.jpg";

void expectSameMap(const roughgc::Result& a, const roughgc::Result& b) {
    ASSERT_EQ(a.map.size(), b.map.size());
    EXPECT_EQ(cv::countNonZero(a.map != b.map), 0);
    EXPECT_EQ(a.quantileIndex, b.quantileIndex);
    EXPECT_EQ(std::bit_cast<uint32_t>(a.threshold), std::bit_cast<uint32_t>(b.threshold));
    EXPECT_EQ(a.coarseBoxes, b.coarseBoxes);
    EXPECT_EQ(a.fineBoxes, b.fineBoxes);
    EXPECT_EQ(a.passes, b.passes);
    EXPECT_EQ(a.converged, b.converged);
}

// The DeviceError that `f` throws.
template <class F>
roughgc::DeviceError deviceErrorOf(F f) {
    try {
        f();
    } catch (const roughgc::DeviceError& e) {
        return e;
    }
    ADD_FAILURE() << "no DeviceError";
    return roughgc::DeviceError("", "", 0, 0, "");
}

std::string refusal(roughgc::Extractor& extractor, const cv::Mat& photo, const roughgc::Params& params = {}) {
    try {
        extractor.extract(photo, params);
    } catch (const roughgc::InputError& e) {
        return e.what();
    }
    return "accepted";
}

// Reached when the estimate lies within the tolerance, its bound included,
// whichever way the photo came; never for a flat photo, whose estimate is
// no number, though its map is made.
TEST(Extractor, TellsWhetherTheSearchReachedItsTarget) {
    roughgc::Extractor extractor;
    const cv::Mat photo = roughgc::readPhoto(kFruits);
    const roughgc::Result usual = extractor.extract(photo);
    EXPECT_TRUE(usual.converged);
    EXPECT_TRUE(extractor.extractFile(kFruits).converged);
    const float off = std::fabs(usual.dimension - roughgc::Params{}.dimension);
    ASSERT_GT(off, 0.0f);
    roughgc::Params bound;
    bound.tolerance = off;
    const roughgc::Result atBound = extractor.extract(photo, bound);
    EXPECT_TRUE(atBound.converged);
    // A target out of reach is not reached: the search goes on to its end.
    // The call's target and tolerance are those it is held to.
    const roughgc::Params unreachable{7, 1.7f, 0.0f};
    const roughgc::Result short_ = extractor.extract(photo, unreachable);
    EXPECT_FALSE(short_.converged);
    EXPECT_EQ(short_.passes, 12);
    EXPECT_FALSE(extractor.extractFile(kFruits, unreachable).converged);
    EXPECT_TRUE(extractor.extract(photo, {7, 0.0f, 2.0f}).converged);

    const roughgc::Result flat = extractor.extract(cv::Mat(300, 300, CV_8UC3, cv::Scalar(128, 128, 128)));
    EXPECT_FALSE(flat.converged);
    EXPECT_FALSE(flat.map.empty());
}

TEST(Extractor, RegionOfInterestGivesTheMapOfTheCroppedPhoto) {
    const cv::Mat photo = roughgc::readPhoto(kFruits);
    const cv::Mat roi = photo(cv::Rect(31, 17, 400, 350));
    ASSERT_FALSE(roi.isContinuous());
    roughgc::Extractor extractor;
    expectSameMap(extractor.extract(roi), extractor.extract(roi.clone()));
}

TEST(Extractor, GreyAndFourChannelPhotosAreTakenAsTheirColourCopies) {
    const cv::Mat bgr = roughgc::readPhoto(kFruits);
    std::vector<cv::Mat> channels;
    cv::split(bgr, channels);
    roughgc::Extractor extractor;

    // Grey, cropped as well, against its three equal channels.
    const cv::Mat grey = channels[1](cv::Rect(5, 9, 300, 200));
    cv::Mat greyAsColour;
    cv::merge(std::vector<cv::Mat>{grey, grey, grey}, greyAsColour);
    expectSameMap(extractor.extract(grey), extractor.extract(greyAsColour));

    // Whatever the alpha channel holds.
    cv::Mat alpha(bgr.size(), CV_8UC1);
    cv::randu(alpha, 0, 256);
    cv::Mat bgra;
    cv::merge(std::vector<cv::Mat>{channels[0], channels[1], channels[2], alpha}, bgra);
    expectSameMap(extractor.extract(bgra), extractor.extract(bgr));
}

TEST(Extractor, RefusesWhatItCannotTakeWithOneLineAndStaysUsable) {
    roughgc::Extractor extractor;
    const cv::Mat photo(60, 60, CV_8UC3, cv::Scalar(10, 200, 30));
    EXPECT_EQ(refusal(extractor, cv::Mat(60, 60, CV_16UC3)), "(!) A photo must be 8-bit with 3 (BGR), 1 (grey) or 4 "
                                                             "(BGRA) channels, not CV_16UC3");
    EXPECT_EQ(refusal(extractor, cv::Mat(60, 60, CV_32FC1)),
              "(!) A photo must be 8-bit with 3 (BGR), 1 (grey) or 4 (BGRA) channels, not CV_32FC1");
    EXPECT_EQ(refusal(extractor, cv::Mat(60, 60, CV_8UC2)),
              "(!) A photo must be 8-bit with 3 (BGR), 1 (grey) or 4 (BGRA) channels, not CV_8UC2");
    EXPECT_EQ(refusal(extractor, cv::Mat()),
              "(!) A photo must be 8-bit with 3 (BGR), 1 (grey) or 4 (BGRA) channels, not an empty matrix");
    EXPECT_EQ(refusal(extractor, photo(cv::Rect(0, 0, 44, 60))),
              "(!) Image too small: 44 x 60 pixels; at least 45 x 45 needed");
    EXPECT_EQ(refusal(extractor, photo, {-3, 1.7f, 0.1f}),
              "(!) The metric window must be at least 1 averaged pixel, not -3");
    EXPECT_EQ(refusal(extractor, photo, {0, 1.7f, 0.1f}),
              "(!) The metric window must be at least 1 averaged pixel, not 0");
    EXPECT_EQ(refusal(extractor, photo, {7, NAN, 0.1f}), "(!) The target dimension must be a finite number, not nan");
    EXPECT_EQ(refusal(extractor, photo, {7, 1.7f, -INFINITY}), "(!) The tolerance must be a finite number, not -inf");
    EXPECT_EQ(refusal(extractor, photo), "accepted");
}

TEST(Extractor, WhatIsMovedFromRefusesWorkAndCanBeGivenANewOne) {
    roughgc::Extractor a;
    roughgc::Extractor b(std::move(a));
    EXPECT_EQ(a.device(), -1);  // NOLINT: what is moved from is what is tested
    EXPECT_EQ(a.photoSize(), cv::Size());
    const cv::Mat photo(60, 60, CV_8UC3, cv::Scalar(10, 200, 30));
    EXPECT_THROW(a.extract(photo), std::logic_error);
    EXPECT_THROW(a.extractFile(kFruits), std::logic_error);
    EXPECT_EQ(b.device(), 0);
    EXPECT_EQ(b.extract(photo).map.size(), cv::Size(13, 13));
    a = std::move(b);
    EXPECT_EQ(a.extract(photo).map.size(), cv::Size(13, 13));
}

TEST(Extractor, ResultOwnsItsMap) {
    roughgc::Extractor extractor;
    const cv::Mat photo = roughgc::readPhoto(kFruits);
    const roughgc::Result first = extractor.extract(photo);
    const cv::Mat copy = first.map.clone();
    cv::Mat other(photo.size(), CV_8UC3);
    cv::randu(other, 0, 256);
    extractor.extract(other);
    EXPECT_EQ(cv::countNonZero(first.map != copy), 0);
}

#if !defined(ROUGHGC_CUDA_BACKEND)
TEST(Extractor, DeviceFailuresAreThrownAndTheSameExtractorWorksAfterwards) {
    cv::Mat photo = roughgc::readPhoto(kFruits);
    const roughgc::Result expected = roughgc::roughContours(photo);
    roughgc::Extractor extractor;

    cpurt::injectFault(cpurt::Fault::Allocation, 0);
    const roughgc::DeviceError outOfMemory = deviceErrorOf([&] { extractor.extract(photo); });
    EXPECT_EQ(outOfMemory.reason(), "out of memory");
    EXPECT_EQ(outOfMemory.code(), cudaErrorMemoryAllocation);
    EXPECT_TRUE(outOfMemory.call().starts_with("cudaMalloc(")) << outOfMemory.call();
    EXPECT_TRUE(outOfMemory.file().ends_with(".cpp") && outOfMemory.line() > 0)
        << outOfMemory.file() << ":" << outOfMemory.line();
    EXPECT_EQ(std::string(outOfMemory.what()), "CUDA error at " + outOfMemory.file() + ":" +
                                                   std::to_string(outOfMemory.line()) + ": out of memory in " +
                                                   outOfMemory.call());
    expectSameMap(extractor.extract(photo), expected);

    // A kernel's failure surfaces where the work is waited for.
    cpurt::injectFault(cpurt::Fault::Synchronize, 0);
    const roughgc::DeviceError launch = deviceErrorOf([&] { extractor.extract(photo); });
    EXPECT_EQ(launch.reason(), "unspecified launch failure");
    EXPECT_EQ(launch.call(), "cudaGetLastError()");
    expectSameMap(extractor.extract(photo), expected);

    EXPECT_EQ(deviceErrorOf([] { roughgc::Extractor elsewhere(1); }).reason(), "invalid device ordinal");
}
#endif

TEST_F(InScratchDir, NothingIsPrintedAndNothingWrittenButWhatIsAskedFor) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const roughgc::Result r = roughgc::roughContours(roughgc::readPhoto(kFruits));
    cv::Mat counts;
    roughgc::histogram(cv::Mat(40, 50, CV_32FC1, cv::Scalar(3.5f)), counts, 16, 0.0f, 16.0f);
    cv::Mat fine;
    const cv::Mat filter = cv::Mat::eye(3, 3, CV_32FC1);
    roughgc::fineContours(cv::Mat(30, 30, CV_8UC4, cv::Scalar::all(9)), cv::Mat(8, 8, CV_8UC1, cv::Scalar(0)), filter,
                          filter, filter, fine);
    EXPECT_THROW(roughgc::readPhoto("missing.jpg"), roughgc::InputError);
    roughgc::writeMap("wanted.bmp", r.map);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(listing(), std::vector<std::string>{"wanted.bmp"});
}

TEST_F(InScratchDir, PhotosAreReadAndMapsWrittenAsTheToolDoes) {
    const cv::Mat photo = roughgc::readPhoto(kFruits);
    EXPECT_EQ(photo.type(), CV_8UC3);
    EXPECT_EQ(cv::countNonZero(photo.reshape(1) != cv::imread(kFruits, cv::IMREAD_COLOR).reshape(1)), 0);
    try {
        roughgc::readPhoto("missing.jpg");
    } catch (const roughgc::InputError& e) {
        EXPECT_STREQ(e.what(), "(!) Error reading image: missing.jpg");
    }

    processImageCUDA(photo.ptr<uchar3>(), photo.rows, photo.cols, 7, 1.7f, 0.1f);
    const roughgc::Result r = roughgc::roughContours(photo);
    roughgc::writeMap("map.bmp", r.map);
    EXPECT_EQ(fileBytes("map.bmp"), fileBytes("RoughGC.bmp"));
    // A map with a row step is written as its pixels.
    const cv::Mat wide(r.map.rows, r.map.cols + 5, CV_8UC1, cv::Scalar(7));
    r.map.copyTo(wide(cv::Rect(0, 0, r.map.cols, r.map.rows)));
    roughgc::writeMap("roi.bmp", wide(cv::Rect(0, 0, r.map.cols, r.map.rows)));
    EXPECT_EQ(fileBytes("roi.bmp"), fileBytes("RoughGC.bmp"));

    fs::create_directory("taken.bmp");
    try {
        roughgc::writeMap("taken.bmp", r.map);
        ADD_FAILURE() << "a directory was written over";
    } catch (const roughgc::WriteError& e) {
        EXPECT_STREQ(e.what(), "Error writing taken.bmp: Is a directory");
        EXPECT_EQ(e.errorNumber(), EISDIR);
        EXPECT_EQ(e.path(), "taken.bmp");
    }
    // A map written over a file keeps that file's permissions; a new one
    // gets the umask's.
    const mode_t mask = umask(027);
    roughgc::writeMap("private.bmp", r.map);
    EXPECT_EQ(fs::status("private.bmp").permissions(), fs::perms(0640));
    fs::permissions("private.bmp", fs::perms(0600));
    roughgc::writeMap("private.bmp", r.map);
    EXPECT_EQ(fs::status("private.bmp").permissions(), fs::perms(0600));
    umask(mask);
    fs::remove("private.bmp");

    EXPECT_THROW(roughgc::writeMap("colour.bmp", photo), roughgc::InputError);
    EXPECT_THROW(roughgc::writeMap("map.nothing", r.map), roughgc::InputError);
    EXPECT_THROW(roughgc::writeMap("noextension", r.map), roughgc::InputError);
    EXPECT_EQ(listing(), (std::vector<std::string>{"RoughGC.bmp", "map.bmp", "roi.bmp", "taken.bmp"}));
}

TEST_F(InScratchDir, BilevelMapsJpegPicturesAndBytesAreWrittenWholeAndRefusedAsMapsAre) {
    const cv::Mat photo = roughgc::readPhoto(kFruits);
    const roughgc::Result r = roughgc::roughContours(photo);
    // The same pixels as the map, through a row step, in far fewer bytes.
    const cv::Mat wide(r.map.rows, r.map.cols + 3, CV_8UC1, cv::Scalar(9));
    r.map.copyTo(wide(cv::Rect(0, 0, r.map.cols, r.map.rows)));
    roughgc::writeBilevelMap("map.png", wide(cv::Rect(0, 0, r.map.cols, r.map.rows)));
    roughgc::writeMap("map.bmp", r.map);
    EXPECT_EQ(cv::countNonZero(cv::imread("map.png", cv::IMREAD_UNCHANGED) != r.map), 0);
    EXPECT_LT(fileBytes("map.png").size() * 4, fileBytes("map.bmp").size());

    roughgc::writeJpeg("picture.jpg", photo, 90, false);
    const cv::Mat back = cv::imread("picture.jpg", cv::IMREAD_COLOR);
    ASSERT_EQ(back.size(), photo.size());
    EXPECT_GT(cv::PSNR(back, photo), 30);
    const std::string bytes = "a,b\n1,2\n";
    roughgc::writeFileWhole("rows.csv", bytes.data(), bytes.size());
    EXPECT_EQ(fileBytes("rows.csv"), bytes);

    EXPECT_THROW(roughgc::writeBilevelMap("colour.png", photo), roughgc::InputError);
    EXPECT_THROW(roughgc::writeJpeg("grey.jpg", r.map), roughgc::InputError);
    EXPECT_THROW(roughgc::writeJpeg("quality.jpg", photo, 101), roughgc::WriteError);
    fs::create_directory("taken");
    for (const auto& write : std::vector<std::function<void()>>{
             [&] { roughgc::writeBilevelMap("taken", r.map); }, [&] { roughgc::writeJpeg("taken", photo); },
             [&] { roughgc::writeFileWhole("taken", bytes.data(), bytes.size()); }}) {
        try {
            write();
            ADD_FAILURE() << "a directory was written over";
        } catch (const roughgc::WriteError& e) {
            EXPECT_EQ(e.errorNumber(), EISDIR);
            EXPECT_EQ(e.path(), "taken");
        }
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{"map.bmp", "map.png", "picture.jpg", "rows.csv", "taken"}));
}

TEST(Histogram, CountsAsHistogramCudaDoesWhateverTheRowStep) {
    cv::Mat all(70, 90, CV_32FC1);
    cv::randu(all, -3.0f, 40.0f);
    all.at<float>(3, 4) = NAN;
    const cv::Mat values = all(cv::Rect(7, 5, 60, 50));
    cv::Mat counts;
    const int counted = roughgc::histogram(values, counts, 32, 2.0f, 34.0f);

    cv::Mat block = values.clone();
    std::vector<int> bins(32, 0);
    int total = 0;
    testing::internal::CaptureStdout();
    histogramCUDA(block.ptr<float>(), bins.data(), &total, 50, 60, 2.0f, 34.0f, 32);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(counts.type(), CV_32SC1);
    ASSERT_EQ(counts.size(), cv::Size(32, 1));
    EXPECT_EQ(counted, total);
    for (int k = 0; k < 32; ++k) EXPECT_EQ(counts.at<int>(0, k), bins[k]) << "bin " << k;

    EXPECT_THROW(roughgc::histogram(values, counts, 0, 0.0f, 1.0f), roughgc::InputError);
    EXPECT_THROW(roughgc::histogram(values, counts, 2049, 0.0f, 1.0f), roughgc::InputError);
    EXPECT_THROW(roughgc::histogram(cv::Mat(4, 4, CV_64FC1), counts, 8, 0.0f, 1.0f), roughgc::InputError);
    EXPECT_EQ(roughgc::histogram(cv::Mat(), counts, 8, 0.0f, 1.0f), 0);
}

TEST(FineContours, MatchesFineContoursCudaBitForBit) {
    const int height = 40, width = 47, k = 3;
    cv::Mat bgra(height, width, CV_8UC4);
    cv::randu(bgra, 0, 256);
    cv::Mat cells(height / 3 - 2, width / 3 - 2, CV_8UC1);
    cv::randu(cells, 0, 2);
    cells *= 255;  // rough (0) and smooth (255) cells, as a rough map has
    cv::Mat p(k, k, CV_32FC1), q(k, k, CV_32FC1), r(k, k, CV_32FC1);
    cv::randu(p, -1.0f, 1.0f);
    cv::randu(q, -1.0f, 1.0f);
    cv::randu(r, -1.0f, 1.0f);
    cv::Mat marks(height - k, width - k, CV_32FC1, cv::Scalar(0));
    marks.at<float>(0, 0) = 1.0f;

    cv::Mat fine;
    roughgc::fineContours(bgra, cells, p, q, r, fine, marks);

    cv::Mat cellValues, expected = marks.clone();
    cells.convertTo(cellValues, CV_32F);
    fineContoursCUDA(bgra.ptr<uchar4>(), cellValues.ptr<float>(), expected.ptr<float>(), p.ptr<float>(),
                     q.ptr<float>(), r.ptr<float>(), height, width, k);
    ASSERT_EQ(fine.type(), CV_32FC1);
    ASSERT_EQ(fine.size(), expected.size());
    EXPECT_EQ(std::memcmp(fine.data, expected.data, expected.total() * sizeof(float)), 0);
    EXPECT_NE(cv::countNonZero(fine), 0);

    // Three channels: the fourth is never read.
    std::vector<cv::Mat> channels;
    cv::split(bgra, channels);
    channels.pop_back();
    cv::Mat bgr;
    cv::merge(channels, bgr);
    cv::Mat fromBgr;
    roughgc::fineContours(bgr, cells, p, q, r, fromBgr, marks);
    EXPECT_EQ(std::memcmp(fromBgr.data, expected.data, expected.total() * sizeof(float)), 0);

    try {
        roughgc::fineContours(bgra, cells(cv::Rect(0, 0, 5, 5)), p, q, r, fine);
        ADD_FAILURE() << "wrong cells accepted";
    } catch (const roughgc::InputError& e) {
        EXPECT_STREQ(e.what(), "(!) Fine contours: rough cells of 5 x 5; a photo of 47 x 40 needs 13 x 11");
    }
    // Three filters of one size: any of them another size is refused.
    const cv::Mat wider(k + 2, k + 2, CV_32FC1, cv::Scalar(0));
    EXPECT_THROW(roughgc::fineContours(bgra, cells, p, q, wider, fine), roughgc::InputError);
    EXPECT_THROW(roughgc::fineContours(bgra, cells, p, wider, r, fine), roughgc::InputError);
    EXPECT_THROW(roughgc::fineContours(bgra, cells, wider, q, r, fine), roughgc::InputError);
}

// Maps of many sizes written from several threads at once each come back
// as their own thread's pixels, and nothing else is left in the folder:
// whatever the encoding and the writing keep from call to call is the
// thread's own.
TEST_F(InScratchDir, MapsWrittenFromManyThreadsAtOnceAreEachTheirOwn) {
    constexpr int kThreads = 8, kMaps = 30;
    std::vector<std::vector<cv::Mat>> maps(kThreads);
    std::vector<std::string> names;
    for (int t = 0; t < kThreads; ++t) {
        cv::RNG rng(t + 1);
        for (int i = 0; i < kMaps; ++i) {
            maps[t].emplace_back(rng.uniform(1, 300), rng.uniform(1, 300), CV_8UC1);
            rng.fill(maps[t].back(), cv::RNG::UNIFORM, 0, 256);
            std::string name = "t";  // appended, not prepended: GCC 12 warns wrongly on "t" + std::string
            name += std::to_string(t) + "-" + std::to_string(i) + ".bmp";
            names.push_back(name);
        }
    }
    std::vector<std::string> errors(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kMaps; ++i) {
                try {
                    roughgc::writeMap(names[t * kMaps + i], maps[t][i]);
                } catch (const std::exception& e) {
                    errors[t] += std::string(e.what()) + "\n";
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(errors, std::vector<std::string>(kThreads));
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(listing(), sorted);

    int wrong = 0;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kMaps; ++i) {
            const cv::Mat back = cv::imread(names[t * kMaps + i], cv::IMREAD_UNCHANGED);
            const cv::Mat& map = maps[t][i];
            if (back.type() != CV_8UC1 || back.size() != map.size() || cv::countNonZero(back != map) != 0) ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0) << "of " << kThreads * kMaps << " maps";
}

}  // namespace

// Batch mode's byte accounting: what each way of reading a photo holds, from
// the file's header, before anything is decoded.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/memory_budget.h"
#include "detail/io/jpeg_rows.h"
#include "detail/pipeline/rough_pipeline.h"
#include "jpeg_edits.h"
#include "scratch_dir.h"

namespace {

namespace d = roughgc::detail;

class PhotoCosts : public InScratchDir {
protected:
    void write(const std::string& name, const std::string& bytes) {
        std::ofstream(name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    static size_t size(const std::string& name) { return std::filesystem::file_size(name); }
};

TEST_F(PhotoCosts, EachRouteCountsWhatItHolds) {
    const std::string fruits = fileBytes(std::string(ROUGHGC_EXAMPLES) + "/fruits.jpg");
    write("upright.jpg", fruits);
    auto turned = [](int orientation) { return std::to_string(orientation) + "-turned.jpg"; };
    for (int o = 2; o <= 8; ++o) write(turned(o), jpeg_edits::withOrientation(fruits, o));
    const cv::Mat photo = cv::imread("upright.jpg");
    cv::imwrite("photo.png", photo);
    cv::imwrite("photo.bmp", photo);
    cv::imwrite("progressive.jpg", photo, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    const size_t h = 480, w = 512, pixels = h * w, map = pixels / 9;
    const size_t whole = d::RoughPipeline::keptHostBytes(h, w, false);

    const PhotoCost upright = photoCost("upright.jpg", Reading::ByExtractor);
    ASSERT_TRUE(upright.known);
    // A progressive file holds libjpeg's coefficients besides, on either
    // schedule: 64 of two bytes a block, for every block of every component
    // with a sampling group's margin each way; at 4:2:0 the luma's 64 x 60
    // blocks as 66 x 62, each chroma's 32 x 30 as 33 x 31: 6138 blocks of
    // 128 bytes.
    const PhotoCost progressive = photoCost("progressive.jpg", Reading::ByExtractor);
    EXPECT_EQ(progressive.inFlight, map + 785664);
    if (d::defaultSchedule() == d::Schedule::Rows) {
        // A band of rows and the maps: well under a byte a pixel, beside
        // the file's own bytes.
        EXPECT_EQ(upright.inFlight, map);
        EXPECT_EQ(upright.extractor, size("upright.jpg") + d::RoughPipeline::keptHostBytes(h, w, true));
        EXPECT_LT(upright.extractor - size("upright.jpg") + upright.inFlight, pixels);
        EXPECT_EQ(progressive.extractor, size("progressive.jpg") + d::RoughPipeline::keptHostBytes(h, w, true));
    } else {
        EXPECT_EQ(upright.extractor, size("upright.jpg") + 3 * pixels + whole);
    }
    // Decoded whole into the extractor's image; turned across the diagonal
    // (orientations 5 to 8), decoded beside it first.
    for (int o = 2; o <= 8; ++o) {
        const PhotoCost cost = photoCost(turned(o), Reading::ByExtractor);
        EXPECT_EQ(cost.inFlight, map) << o;
        EXPECT_EQ(cost.extractor, size(turned(o)) + (o >= 5 ? 6 : 3) * pixels + whole) << o;
    }
    // A PNG streams as a JPEG does; OpenCV's codecs decode into memory of
    // their own first.
    const PhotoCost png = photoCost("photo.png", Reading::ByExtractor);
    EXPECT_EQ(png.inFlight, map);
    EXPECT_EQ(png.extractor, size("photo.png") + d::RoughPipeline::keptHostBytes(h, w, d::defaultSchedule() == d::Schedule::Rows) +
                                 (d::defaultSchedule() == d::Schedule::Rows ? 0 : 3 * pixels));
    const PhotoCost bmp = photoCost("photo.bmp", Reading::ByExtractor);
    EXPECT_EQ(bmp.inFlight, map + 3 * pixels);
    EXPECT_EQ(bmp.extractor, size("photo.bmp") + 3 * pixels + whole);

    // Decoded ahead of the extraction: the pixels travel with the photo.
    const PhotoCost ahead = photoCost(turned(6), Reading::Decoded);
    EXPECT_EQ(ahead.inFlight, 4 * pixels + map);
    EXPECT_EQ(ahead.extractor, whole);
    EXPECT_EQ(whole, (h / 3) * (w / 3) * 5);
}

TEST_F(PhotoCosts, ASizeTheHeaderDoesNotTellIsUnknown) {
    write("notes.txt", "not a photo");
    write("cut.jpg", fileBytes(std::string(ROUGHGC_EXAMPLES) + "/fruits.jpg").substr(0, 100));
    ASSERT_EQ(mkfifo("pipe", 0600), 0);
    for (const char* name : {"notes.txt", "cut.jpg", "pipe", "missing.jpg"})
        for (Reading r : {Reading::ByExtractor, Reading::Decoded}) EXPECT_FALSE(photoCost(name, r).known) << name;
}

// For a wait that should not happen: it gives up after a few seconds, and
// admit() then says no, so that a fault fails the test instead of hanging it.
std::function<bool()> withinSeconds() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    return [deadline] { return std::chrono::steady_clock::now() > deadline; };
}

TEST(MemoryBudget, AdmitsWhatFitsBesideTheExtractorsKeptBuffers) {
    MemoryBudget budget(1000, 2);
    const PhotoCost small{100, 200, true};
    // 100 in flight and 2 x 200 kept.
    EXPECT_TRUE(budget.admit(small, withinSeconds()));
    EXPECT_TRUE(budget.admit(small, withinSeconds()));
    EXPECT_TRUE(budget.admit(small, withinSeconds()));
    // 300 in flight, 400 kept: 400 more does not fit, and a stop asked for
    // while it waits ends the wait.
    int asked = 0;
    const auto stopOnSecondLook = [&asked] { return ++asked > 1; };
    EXPECT_FALSE(budget.admit(PhotoCost{400, 0, true}, stopOnSecondLook));
    budget.release(small);
    budget.release(small);
    asked = 0;
    EXPECT_TRUE(budget.admit(PhotoCost{400, 0, true}, stopOnSecondLook));
    // Another extractor size only counts its growth: 2 x 250 kept now.
    budget.release(PhotoCost{400, 0, true});
    EXPECT_TRUE(budget.admit(PhotoCost{300, 250, true}, withinSeconds()));
    asked = 0;
    EXPECT_FALSE(budget.admit(PhotoCost{101, 0, true}, stopOnSecondLook));
}

}  // namespace

// The GPU's schedule of the pipeline (upload, averaging and metric kernels,
// metric download, threshold kernel or evaluation passes, map download),
// run on this build's runtime and compared byte for byte with the row
// schedule: on every test photo, both search routes and every photo layout
// that the upload handles differently.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detail/pipeline/rough_pipeline.h"
#include "pipeline_outcome.h"
#include "roughgc/roughgc.hpp"

namespace fs = std::filesystem;
namespace d = roughgc::detail;
using namespace pipeline_outcome;

namespace {

d::HostPhoto hostOf(const cv::Mat& photo) {
    return {photo.data, photo.step[0], static_cast<size_t>(photo.rows), static_cast<size_t>(photo.cols),
            photo.channels()};
}

}  // namespace

TEST(DeviceSchedule, GivesTheRowSchedulesMapsAndFiguresOnEveryPhotoAndRoute) {
    const std::vector<fs::path> photos = testPhotos();
    ASSERT_GE(photos.size(), 14u);
    d::RoughPipeline kernels(0, d::Schedule::Kernels), rows(0, d::Schedule::Rows);
    ASSERT_EQ(kernels.schedule(), d::Schedule::Kernels);
    EXPECT_FALSE(kernels.streamsRows());
    for (const fs::path& path : photos) {
        SCOPED_TRACE(path.filename().string());
        const cv::Mat photo = roughgc::readPhoto(path.string());
        for (const auto route : {d::SearchRoute::BoxMaxima, d::SearchRoute::EvaluationPasses}) {
            SCOPED_TRACE(route == d::SearchRoute::BoxMaxima ? "box maxima" : "evaluation passes");
            // The kernels' map is read from their own download, not from a
            // buffer that the row schedule wrote.
            const Outcome k = outcomeOf(kernels.run(hostOf(photo), 7, 1.7f, 0.1f, route));
            expectSame(k, outcomeOf(rows.run(hostOf(photo), 7, 1.7f, 0.1f, route)));
        }
    }
}

// The upload converts grey and four-channel photos, and copies rows that lie
// apart row by row; windows and targets that end the search elsewhere.
TEST(DeviceSchedule, UploadsEveryLayoutAndSearchesEveryTargetAsTheRowsDo) {
    const cv::Mat fruits = roughgc::readPhoto(fs::path(ROUGHGC_EXAMPLES) / "fruits.jpg");
    cv::Mat grey(fruits.size(), CV_8UC1), bgra(fruits.size(), CV_8UC4);
    cv::mixChannels(fruits, grey, std::vector<int>{1, 0});
    cv::mixChannels(std::vector<cv::Mat>{fruits}, std::vector<cv::Mat>{bgra}, std::vector<int>{0, 0, 1, 1, 2, 2, 1, 3});
    const cv::Mat cropped = fruits(cv::Rect(17, 11, 301, 250));
    ASSERT_GT(cropped.step[0], 3u * 301);

    struct Case {
        const char* name;
        cv::Mat photo;
        size_t window;
        float dim, eps;
    };
    const Case cases[] = {{"grey", grey, 7, 1.7f, 0.1f},          {"BGRA", bgra, 7, 1.7f, 0.1f},
                          {"cropped", cropped, 7, 1.7f, 0.1f},    {"window 2", fruits, 2, 1.7f, 0.1f},
                          {"window 20", fruits, 20, 1.7f, 0.1f},  {"dimension 1.2", fruits, 7, 1.2f, 0.05f},
                          {"never close enough", fruits, 7, 1.9f, -1.0f}};
    d::RoughPipeline kernels(0, d::Schedule::Kernels), rows(0, d::Schedule::Rows);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto route : {d::SearchRoute::BoxMaxima, d::SearchRoute::EvaluationPasses}) {
            const Outcome k = outcomeOf(kernels.run(hostOf(c.photo), c.window, c.dim, c.eps, route));
            expectSame(k, outcomeOf(rows.run(hostOf(c.photo), c.window, c.dim, c.eps, route)));
        }
    }
}

// The kernel schedule never takes rows from a decoder, and refuses sizes
// with the same words before any device work.
TEST(DeviceSchedule, RefusesWhatTheRowScheduleRefuses) {
    d::RoughPipeline kernels(0, d::Schedule::Kernels);
    const unsigned char pixel[3] = {};
    const d::HostPhoto tiny{pixel, 3, 1, 1, 3};
    try {
        kernels.run(tiny, 7, 1.7f, 0.1f, d::SearchRoute::BoxMaxima);
        FAIL() << "a 1 x 1 photo was taken";
    } catch (const roughgc::InputError& e) {
        EXPECT_EQ(std::string(e.what()), "(!) Image too small: 1 x 1 pixels; at least 45 x 45 needed");
    }
    // Beside the row schedule's maps, the kernels keep in this runtime's
    // host memory the uploaded photo, three bytes a pixel, and three maps of
    // the averaged pixels: features (three floats), metric (a float) and
    // binary (a byte).
    EXPECT_EQ(d::RoughPipeline::keptHostBytes(600, 900, false, d::Schedule::Kernels) -
                  d::RoughPipeline::keptHostBytes(600, 900, false, d::Schedule::Rows),
              600u * 900 * 3 + 200u * 300 * (12 + 4 + 1));
}

// What a kernel schedule is charged for a photo covers what it holds after
// running it: every buffer in full, the maps that the window trims too.
TEST(DeviceSchedule, HoldsNoMoreThanItIsChargedFor) {
    const cv::Mat fruits = roughgc::readPhoto(fs::path(ROUGHGC_EXAMPLES) / "fruits.jpg");
    const size_t h = 480, w = 512;
    ASSERT_EQ(fruits.size(), cv::Size(w, h));
    for (const size_t window : {size_t{1}, size_t{7}}) {
        d::RoughPipeline kernels(0, d::Schedule::Kernels);
        kernels.run(hostOf(fruits), window, 1.7f, 0.1f, d::SearchRoute::BoxMaxima);
        // The upload and the feature map at least, whatever the window.
        EXPECT_GE(kernels.heldBytes(), h * w * 3 + (h / 3) * (w / 3) * 12) << window;
        EXPECT_LE(kernels.heldBytes(), d::RoughPipeline::keptHostBytes(h, w, false, d::Schedule::Kernels)) << window;
    }
}

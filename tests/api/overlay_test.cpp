// roughgc::overlay: the photo at its map's scale, with the map's rough
// pixels painted where they lie, held to block means summed here from the
// photo's own samples.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "roughgc/roughgc.hpp"

namespace {

const std::string kFruits = std::string(ROUGHGC_EXAMPLES) + "/fruits.jpg";

// The photo at its map's scale: each pixel the mean of its 3 x 3 block,
// rounded half up; a grey photo's sample stands for all three channels.
cv::Mat blockMeans(const cv::Mat& photo) {
    const int n = photo.channels();
    cv::Mat means(photo.rows / 3, photo.cols / 3, CV_8UC3);
    for (int y = 0; y < means.rows; ++y) {
        for (int x = 0; x < means.cols; ++x) {
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int dy = 0; dy < 3; ++dy)
                    for (int dx = 0; dx < 3; ++dx) sum += photo.ptr(3 * y + dy)[(3 * x + dx) * n + (n == 1 ? 0 : c)];
                const int rounded = sum / 9 + (sum % 9 >= 5 ? 1 : 0);
                means.at<cv::Vec3b>(y, x)[c] = static_cast<uchar>(rounded);
            }
        }
    }
    return means;
}

// The key promise: the pixels painted `color` are exactly the map's zeros,
// each at (i + window/2, j + window/2), and every other pixel is its block's
// mean. `color` must not be one of the photo's block means.
void expectOverlay(const cv::Mat& photo, const roughgc::Result& r, int window, cv::Vec3b color,
                   const cv::Mat& overlay) {
    const cv::Mat means = blockMeans(photo);
    ASSERT_EQ(overlay.type(), CV_8UC3);
    ASSERT_EQ(overlay.size(), means.size());
    ASSERT_EQ(r.map.rows, means.rows - window);
    ASSERT_EQ(r.map.cols, means.cols - window);
    int painted = 0, wrong = 0;
    for (int y = 0; y < means.rows; ++y) {
        for (int x = 0; x < means.cols; ++x) {
            ASSERT_NE(means.at<cv::Vec3b>(y, x), color) << "a colour the photo has proves nothing";
            const int i = y - window / 2, j = x - window / 2;
            const bool rough = i >= 0 && j >= 0 && i < r.map.rows && j < r.map.cols && r.map.at<uchar>(i, j) == 0;
            painted += rough;
            const cv::Vec3b expected = rough ? color : means.at<cv::Vec3b>(y, x);
            if (overlay.at<cv::Vec3b>(y, x) != expected && wrong++ < 5)
                ADD_FAILURE() << "at row " << y << ", column " << x << ": " << overlay.at<cv::Vec3b>(y, x)
                              << ", not " << expected << (rough ? " (rough)" : " (the block's mean)");
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(painted, static_cast<int>(r.map.total()) - cv::countNonZero(r.map));
    EXPECT_GT(painted, 0) << "a map without contours proves nothing";
}

std::string refusal(const cv::Mat& photo, const roughgc::Result& r) {
    cv::Mat out;
    try {
        roughgc::overlay(photo, r, out);
    } catch (const roughgc::InputError& e) {
        EXPECT_TRUE(out.empty()) << "written before refusing";
        return e.what();
    }
    return "accepted";
}

// Odd and even windows place the map differently: 1 (no margin to speak
// of), the default 7 and 8. The default colour is red.
TEST(Overlay, PaintsTheMapsZerosAtTheirPlaceOverThePhotosBlockMeans) {
    const cv::Mat photo = roughgc::readPhoto(kFruits);
    roughgc::Extractor extractor;
    for (const int window : {1, 7, 8}) {
        SCOPED_TRACE(testing::Message() << "window " << window);
        const roughgc::Result r = extractor.extract(photo, {.window = window});
        cv::Mat out;
        roughgc::overlay(photo, r, out);
        expectOverlay(photo, r, window, cv::Vec3b(0, 0, 255), out);
        roughgc::overlay(photo, r, out, cv::Scalar(255, 0, 255));
        expectOverlay(photo, r, window, cv::Vec3b(255, 0, 255), out);
    }
}

// Whatever extract() takes: a region whose sides are no multiples of 3,
// its rows further apart than they are long (the rows and columns past the
// last whole block left out), grey, and BGRA with its alpha ignored.
TEST(Overlay, TakesEveryPhotoThatExtractTakes) {
    const cv::Mat bgr = roughgc::readPhoto(kFruits);
    roughgc::Extractor extractor;
    cv::Mat out;

    const cv::Mat region = bgr(cv::Rect(1, 2, 500, 466));
    ASSERT_FALSE(region.isContinuous());
    const roughgc::Result ofRegion = extractor.extract(region);
    roughgc::overlay(region, ofRegion, out);
    expectOverlay(region, ofRegion, 7, cv::Vec3b(0, 0, 255), out);

    std::vector<cv::Mat> channels;
    cv::split(bgr, channels);
    const cv::Mat grey = channels[1](cv::Rect(4, 0, 401, 302));
    const roughgc::Result ofGrey = extractor.extract(grey, {.window = 4});
    roughgc::overlay(grey, ofGrey, out, cv::Scalar(0, 255, 0));
    expectOverlay(grey, ofGrey, 4, cv::Vec3b(0, 255, 0), out);

    cv::Mat alpha(bgr.size(), CV_8UC1), bgra, fromBgr;
    cv::randu(alpha, 0, 256);
    cv::merge(std::vector<cv::Mat>{channels[0], channels[1], channels[2], alpha}, bgra);
    const roughgc::Result r = extractor.extract(bgr);
    roughgc::overlay(bgr, r, fromBgr);
    roughgc::overlay(bgra, r, out);
    EXPECT_EQ(cv::norm(out, fromBgr, cv::NORM_INF), 0);
}

// An output over the photo's or the map's own memory: the picture is that
// of what they held before.
TEST(Overlay, WritesIntoAnOutputOverItsInputs) {
    const cv::Mat photo = roughgc::readPhoto(kFruits);
    const roughgc::Result r = roughgc::roughContours(photo);
    cv::Mat expected;
    roughgc::overlay(photo, r, expected);

    // Of the right size: written in place.
    cv::Mat scratch = photo.clone();
    cv::Mat overPhoto = scratch(cv::Rect(20, 10, expected.cols, expected.rows));
    roughgc::overlay(scratch, r, overPhoto);
    EXPECT_EQ(overPhoto.data, scratch.ptr(10) + 3 * 20);
    EXPECT_EQ(cv::norm(overPhoto, expected, cv::NORM_INF), 0);

    // The very matrix that holds the map, of another size.
    roughgc::Result own = r;
    own.map = r.map.clone();
    roughgc::overlay(photo, own, own.map);
    EXPECT_EQ(cv::norm(own.map, expected, cv::NORM_INF), 0);
}

TEST(Overlay, RefusesAResultThatIsNotOfThePhotoAndOtherTypes) {
    const cv::Mat photo = roughgc::readPhoto(kFruits);  // 512 x 480: maps of (170 - w) x (160 - w)
    const roughgc::Result r = roughgc::roughContours(photo);
    const std::string notOfIt = "(!) A map of 163 x 153 pixels is not one of a ";
    // Narrower or lower by a block: the two sides no longer agree on a window.
    EXPECT_EQ(refusal(photo.colRange(0, 509), r), notOfIt +
                                                      "509 x 480 photo, whose maps are (169 - window) x (160 - window) "
                                                      "pixels for a window of at least 1");
    // Two columns less: the same blocks, and the same map.
    EXPECT_EQ(refusal(photo.colRange(0, 510), r), "accepted");
    // A map as large as the photo's grid would be one of window 0.
    roughgc::Result whole = r;
    whole.map = cv::Mat(160, 170, CV_8UC1, cv::Scalar(0));
    EXPECT_NE(refusal(photo, whole), "accepted");

    roughgc::Result floats = r;
    r.map.convertTo(floats.map, CV_32F);
    EXPECT_EQ(refusal(photo, floats), "(!) A result's map must be CV_8UC1, not CV_32FC1");
    EXPECT_EQ(refusal(photo, roughgc::Result{}), "(!) A result's map must be CV_8UC1, not an empty matrix");
    cv::Mat wide;
    photo.convertTo(wide, CV_16U);
    EXPECT_EQ(refusal(wide, r), "(!) A photo must be 8-bit with 3 (BGR), 1 (grey) or 4 (BGRA) channels, not CV_16UC3");
}

}  // namespace

namespace {

// extractFile's picture at the map's scale, made as a streamed photo's rows
// go by (JPEG, PNG of four channels, grey JPEG) or from a photo decoded
// whole (a window too large to stream, so the photo is refused... decoded):
// the block means of readPhoto's pixels, and with paintContours the very
// overlay that overlay() draws.
TEST(Overlay, ExtractFilesPictureIsThePhotosAtItsMapsScale) {
    const std::string data = ROUGHGC_TEST_DATA;
    roughgc::Extractor extractor;
    for (const std::string& path : {kFruits, data + "/chicky_512.png", data + "/left01.jpg"}) {
        for (const int window : {7, 2}) {
            const roughgc::Params params{window, 1.7f, 0.1f};
            cv::Mat picture(5, 5, CV_8UC3, cv::Scalar::all(1));  // of another size, replaced
            const roughgc::Result r = extractor.extractFile(path, params, picture);
            const cv::Mat photo = roughgc::readPhoto(path);
            ASSERT_EQ(picture.size(), cv::Size(photo.cols / 3, photo.rows / 3)) << path;
            EXPECT_EQ(cv::norm(picture, blockMeans(photo), cv::NORM_INF), 0) << path;
            EXPECT_EQ(cv::norm(r.map, extractor.extractFile(path, params).map, cv::NORM_INF), 0) << path;
            cv::Mat drawn;
            roughgc::overlay(photo, r, drawn);
            roughgc::paintContours(picture, r);
            EXPECT_EQ(cv::norm(picture, drawn, cv::NORM_INF), 0) << path;
        }
    }
    cv::Mat small(4, 4, CV_8UC3);
    EXPECT_THROW(roughgc::paintContours(small, extractor.extractFile(kFruits, {}, cv::noArray())), roughgc::InputError);
}

}  // namespace

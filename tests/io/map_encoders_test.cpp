// Maps encoded without OpenCV's image codecs, held byte for byte to what
// cv::imencode makes of them.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "detail/io/map_encoders.h"

namespace {

using roughgc::detail::encodeBilevelPng;
using roughgc::detail::encodeGreyBmp;
using roughgc::detail::encodePng;

TEST(MapEncoders, EncodeTheBytesOpenCvEncodes) {
    // Widths to two past a BMP row's 4-byte padding, one pixel, a wide and a
    // tall image, and a region whose rows lie further apart than they are long.
    std::vector<cv::Rect> regions{{0, 0, 1, 1}, {0, 0, 1021, 2}, {0, 0, 3, 777}, {3, 5, 13, 17}};
    for (int width = 1; width <= 9; ++width) regions.emplace_back(0, 0, width, 5);
    cv::RNG rng(11);
    std::vector<uchar> ours, opencvs;  // never emptied here: each encoding must replace `ours`
    std::string why;
    // Random, only 0 and 255, all 0, all 255: drawn from [low, high), scaled.
    const int contents[][3] = {{0, 256, 1}, {0, 2, 255}, {0, 1, 1}, {1, 2, 255}};
    for (const int type : {CV_8UC1, CV_8UC3, CV_8UC4}) {
        for (const cv::Rect region : regions) {
            for (const auto& [low, high, scale] : contents) {
                cv::Mat whole(region.br().y, region.br().x, type);
                rng.fill(whole, cv::RNG::UNIFORM, low, high);
                whole *= scale;
                const cv::Mat image = whole(region);
                SCOPED_TRACE(testing::Message() << image.channels() << " channels, " << region << ", " << high);
                ASSERT_TRUE(encodePng(image.data, image.step, image.rows, image.cols, image.channels(), ours, why));
                ASSERT_TRUE(cv::imencode(".png", image, opencvs));
                EXPECT_EQ(ours, opencvs);
                const cv::Mat back = cv::imdecode(ours, cv::IMREAD_UNCHANGED);
                EXPECT_TRUE(back.type() == type && cv::norm(back, image, cv::NORM_INF) == 0);
                if (type != CV_8UC1) continue;
                encodeGreyBmp(image.data, image.step, image.rows, image.cols, ours);
                ASSERT_TRUE(cv::imencode(".bmp", image, opencvs));
                EXPECT_EQ(ours, opencvs);
            }
        }
    }
}

// Eight pixels a byte, a row's last one padded: widths around a byte, a
// region of a wider image, and any value but 0 taken as white.
TEST(MapEncoders, BilevelPngsDecodeToTheMapsPixels) {
    std::vector<cv::Rect> regions{{0, 0, 1, 1}, {0, 0, 1021, 3}, {3, 5, 13, 17}};
    for (int width = 1; width <= 17; ++width) regions.emplace_back(0, 0, width, 4);
    cv::RNG rng(5);
    std::vector<uchar> ours{1, 2, 3};
    std::string why;
    for (const cv::Rect region : regions) {
        for (const int high : {2, 256}) {
            cv::Mat whole(region.br().y, region.br().x, CV_8UC1);
            rng.fill(whole, cv::RNG::UNIFORM, 0, high);
            const cv::Mat map = whole(region);
            SCOPED_TRACE(testing::Message() << region << ", values below " << high);
            ASSERT_TRUE(encodeBilevelPng(map.data, map.step, map.rows, map.cols, ours, why));
            ASSERT_GT(ours.size(), 26u);
            EXPECT_EQ(ours[24], 1);  // bit depth
            EXPECT_EQ(ours[25], 0);  // grey
            const cv::Mat back = cv::imdecode(ours, cv::IMREAD_UNCHANGED);
            ASSERT_EQ(back.type(), CV_8UC1);
            EXPECT_EQ(cv::norm(back, (map != 0), cv::NORM_INF), 0);
        }
    }
}

TEST(MapEncoders, EncodePngFailsWithLibpngsReason) {
    const std::vector<uchar> row(1000001);  // a pixel past libpng's width limit
    std::vector<uchar> out{1, 2, 3};
    std::string why;
    EXPECT_FALSE(encodePng(row.data(), row.size(), 1, 1000001, 1, out, why));
    EXPECT_EQ(why, "Invalid IHDR data");
    EXPECT_TRUE(out.empty());
    out = {1, 2, 3};
    why.clear();
    EXPECT_FALSE(encodeBilevelPng(row.data(), row.size(), 1, 1000001, out, why));
    EXPECT_EQ(why, "Invalid IHDR data");
    EXPECT_TRUE(out.empty());
}

}  // namespace

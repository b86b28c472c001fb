// Pictures written as JPEG by libjpeg itself: what OpenCV decodes of them,
// and files written whole or not at all.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "detail/io/jpeg_writer.h"
#include "scratch_dir.h"

namespace {

using roughgc::detail::encodeJpeg;
using roughgc::detail::writeJpeg;

const std::string kFruits = std::string(ROUGHGC_EXAMPLES) + "/fruits.jpg";

std::vector<uchar> encoded(const cv::Mat& bgr, int quality = 90) {
    std::vector<uchar> bytes{1, 2, 3};  // replaced, not added to
    std::string why;
    EXPECT_TRUE(encodeJpeg(bgr.data, bgr.step, bgr.rows, bgr.cols, quality, bytes, why)) << why;
    return bytes;
}

// Sizes that fill no whole 16 x 16 block of a 4:2:0 file, a region whose
// rows lie further apart than they are long, and a flat colour, whose
// channels come back in their order.
TEST(JpegWriter, DecodesToThePictureItWasGiven) {
    const cv::Mat photo = cv::imread(kFruits, cv::IMREAD_COLOR);
    std::vector<uchar> reused;
    std::string why;
    for (const cv::Rect region : {cv::Rect(0, 0, 512, 480), cv::Rect(7, 3, 171, 161)}) {
        SCOPED_TRACE(testing::Message() << region);
        const cv::Mat picture = photo(region);
        const std::vector<uchar> bytes = encoded(picture);
        const cv::Mat back = cv::imdecode(bytes, cv::IMREAD_COLOR);
        ASSERT_EQ(back.size(), picture.size());
        EXPECT_GT(cv::PSNR(back, picture), 30);
        // Byte for byte the same, also into a buffer that held a larger
        // picture's bytes.
        ASSERT_TRUE(encodeJpeg(picture.data, picture.step, picture.rows, picture.cols, 90, reused, why));
        EXPECT_EQ(reused, bytes);
    }
    const cv::Mat flat(23, 37, CV_8UC3, cv::Scalar(200, 30, 10));
    EXPECT_LE(cv::norm(cv::imdecode(encoded(flat), cv::IMREAD_COLOR), flat, cv::NORM_INF), 4);
    // The quality is the one asked for.
    EXPECT_LT(encoded(photo, 20).size(), encoded(photo, 90).size() / 2);
}

TEST(JpegWriter, RefusesWhatLibjpegCannotWriteWithItsReason) {
    std::vector<uchar> bytes{1, 2, 3};
    std::string why;
    const cv::Mat tiny(2, 2, CV_8UC3, cv::Scalar(9, 9, 9));
    for (const int quality : {0, 101}) {
        EXPECT_FALSE(encodeJpeg(tiny.data, tiny.step, 2, 2, quality, bytes, why));
        EXPECT_EQ(why, "JPEG quality must be 1 to 100, not " + std::to_string(quality));
        EXPECT_TRUE(bytes.empty());
    }
    const cv::Mat wide(1, 65501, CV_8UC3, cv::Scalar(9, 9, 9));
    bytes = {1, 2, 3};
    EXPECT_FALSE(encodeJpeg(wide.data, wide.step, 1, wide.cols, 90, bytes, why));
    EXPECT_NE(why.find("65500"), std::string::npos) << why;
    EXPECT_TRUE(bytes.empty());
    // libjpeg stays usable after a failure.
    EXPECT_EQ(cv::imdecode(encoded(tiny), cv::IMREAD_COLOR).size(), tiny.size());
}

// A picture that cannot be written leaves what was at its path as it was,
// and no other file.
TEST_F(InScratchDir, JpegFilesAreWrittenWholeOrNotAtAll) {
    const cv::Mat picture = cv::imread(kFruits, cv::IMREAD_COLOR)(cv::Rect(0, 0, 170, 160));
    std::string why;
    ASSERT_TRUE(writeJpeg(picture, 90, "overlay.jpg", why)) << why;
    EXPECT_EQ(cv::imread("overlay.jpg", cv::IMREAD_COLOR).size(), picture.size());
    const auto size = std::filesystem::file_size("overlay.jpg");

    errno = 7;
    EXPECT_FALSE(writeJpeg(cv::Mat(1, 65501, CV_8UC3, cv::Scalar(0, 0, 0)), 90, "overlay.jpg", why));
    EXPECT_EQ(errno, 0);
    EXPECT_FALSE(writeJpeg(cv::Mat(3, 3, CV_8UC1, cv::Scalar(0)), 90, "overlay.jpg", why));
    EXPECT_EQ(why, "JPEG pictures are 8-bit BGR, not CV_8UC1");
    EXPECT_EQ(std::filesystem::file_size("overlay.jpg"), size);

    EXPECT_FALSE(writeJpeg(picture, 90, "missing/overlay.jpg", why));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(listing(), std::vector<std::string>{"overlay.jpg"});
}

}  // namespace

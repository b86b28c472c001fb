// Photo sizes read from file headers, which bound batch mode's memory before
// a photo is decoded.
#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "detail/photo_header.h"
#include "scratch_dir.h"

namespace {

using roughgc::detail::photoDimensions;
using roughgc::detail::photoDimensionsOfFile;

TEST_F(InScratchDir, HeadersGiveTheSizeTheDecoderGives) {
    // Wider than high, so that a swap shows; grey and colour.
    cv::Mat colour(37, 53, CV_8UC3), grey(37, 53, CV_8UC1);
    cv::randu(colour, 0, 256);
    cv::randu(grey, 0, 256);
    std::vector<std::string> files;
    for (const char* extension : {".jpg", ".png", ".bmp", ".ppm", ".pgm", ".tiff", ".webp"}) {
        for (const cv::Mat* image : {&colour, &grey}) {
            const std::string name = std::string(image == &grey ? "grey" : "colour") + extension;
            if (image == &colour && std::string(extension) == ".pgm") continue;
            if (!cv::imwrite(name, *image)) continue;  // an encoder this OpenCV lacks
            files.push_back(name);
        }
    }
    // A JPEG whose metadata pushes the frame header past the first 64 KiB.
    std::vector<unsigned char> jpeg;
    cv::imencode(".jpg", colour, jpeg);
    std::vector<unsigned char> padded(jpeg.begin(), jpeg.begin() + 2);
    for (int segment = 0; segment < 3; ++segment) {
        const unsigned char app[] = {0xFF, 0xE9, 0xFF, 0xFF};  // APP9 of 65535 bytes
        padded.insert(padded.end(), app, app + 4);
        padded.insert(padded.end(), 65533, 0);
    }
    padded.insert(padded.end(), jpeg.begin() + 2, jpeg.end());
    ASSERT_EQ(cv::imdecode(padded, cv::IMREAD_COLOR).size(), colour.size());
    FILE* f = std::fopen("padded.jpg", "wb");
    std::fwrite(padded.data(), 1, padded.size(), f);
    std::fclose(f);
    files.push_back("padded.jpg");

    ASSERT_GE(files.size(), 10u);
    for (const std::string& name : files) {
        const auto size = photoDimensionsOfFile(name.c_str());
        ASSERT_TRUE(size.has_value()) << name;
        EXPECT_EQ(size->width, 53u) << name;
        EXPECT_EQ(size->height, 37u) << name;
    }
}

TEST(PhotoHeader, CutOrUnknownHeadersTellNothing) {
    const unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0};
    EXPECT_FALSE(photoDimensions(png, sizeof png));
    const unsigned char pnm[] = "P6\n# a comment\n12";
    EXPECT_FALSE(photoDimensions(pnm, sizeof pnm - 1));
    const unsigned char pnmWhole[] = "P6\n# a comment\n12 7\n255\n";
    ASSERT_TRUE(photoDimensions(pnmWhole, sizeof pnmWhole - 1));
    EXPECT_EQ(photoDimensions(pnmWhole, sizeof pnmWhole - 1)->height, 7u);
    const unsigned char jpegScanFirst[] = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x08, 1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(photoDimensions(jpegScanFirst, sizeof jpegScanFirst));
    const unsigned char text[] = "just text, not a photo";
    EXPECT_FALSE(photoDimensions(text, sizeof text - 1));
    EXPECT_FALSE(photoDimensionsOfFile("/nonexistent/photo.jpg"));
}

}  // namespace

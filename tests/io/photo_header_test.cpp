// Photo sizes read from file headers, which bound batch mode's memory before
// a photo is decoded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "detail/io/opened_file.h"
#include "detail/io/photo_header.h"
#include "scratch_dir.h"

namespace {

using roughgc::detail::photoDimensions;
using roughgc::detail::photoDimensionsOfFile;
using roughgc::detail::OpenedFile;

// What a name is, asked of its descriptor; a FIFO without a writer opened
// at once, or, where only regular files are wanted, not at all.
TEST_F(InScratchDir, OpenedFilesSayWhatTheyAreAndNeverWaitForAWriter) {
    std::ofstream("seven") << "1234567";
    const OpenedFile regular("seven");
    EXPECT_TRUE(regular.regular());
    EXPECT_EQ(regular.size(), 7u);

    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    const OpenedFile stream("fifo");
    ASSERT_TRUE(stream.isOpen());
    EXPECT_EQ(stream.kind(), OpenedFile::Kind::Stream);
    EXPECT_FALSE(OpenedFile("fifo", true).isOpen());
    EXPECT_EQ(OpenedFile("/dev/null").kind(), OpenedFile::Kind::Device);
    EXPECT_EQ(OpenedFile(".").kind(), OpenedFile::Kind::Other);
    EXPECT_FALSE(OpenedFile(".", true).isOpen());
    EXPECT_FALSE(OpenedFile("missing").isOpen());

    // Released, the descriptor outlives its owner.
    int fd = -1;
    {
        OpenedFile handed("seven");
        fd = handed.release();
        EXPECT_FALSE(handed.isOpen());
    }
    char first = 0;
    EXPECT_EQ(pread(fd, &first, 1, 0), 1);
    EXPECT_EQ(first, '1');
    close(fd);
}

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

    // Huffman tables before the frame header, where a DHT segment must not
    // be taken for one (its marker, 0xC4, is among the frame headers').
    std::vector<unsigned char> tablesFirst(jpeg.begin(), jpeg.begin() + 2), frame, tables;
    for (size_t at = 2; jpeg[at + 1] != 0xDA;) {
        const size_t length = 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
        auto& into = jpeg[at + 1] == 0xC4 ? tables : jpeg[at + 1] == 0xC0 ? frame : tablesFirst;
        into.insert(into.end(), jpeg.begin() + static_cast<long>(at), jpeg.begin() + static_cast<long>(at + length));
        at += length;
        if (jpeg[at + 1] == 0xDA) {
            tablesFirst.insert(tablesFirst.end(), tables.begin(), tables.end());
            tablesFirst.insert(tablesFirst.end(), frame.begin(), frame.end());
            tablesFirst.insert(tablesFirst.end(), jpeg.begin() + static_cast<long>(at), jpeg.end());
        }
    }
    ASSERT_FALSE(tables.empty());
    ASSERT_EQ(cv::imdecode(tablesFirst, cv::IMREAD_COLOR).size(), colour.size());
    f = std::fopen("tables-first.jpg", "wb");
    std::fwrite(tablesFirst.data(), 1, tablesFirst.size(), f);
    std::fclose(f);
    files.push_back("tables-first.jpg");

    // A BMP stored top down: its height is negative.
    std::vector<unsigned char> bmp;
    cv::imencode(".bmp", colour, bmp);
    const int32_t down = -37;
    std::memcpy(bmp.data() + 22, &down, 4);
    ASSERT_EQ(cv::imdecode(bmp, cv::IMREAD_COLOR).size(), colour.size());
    f = std::fopen("top-down.bmp", "wb");
    std::fwrite(bmp.data(), 1, bmp.size(), f);
    std::fclose(f);
    files.push_back("top-down.bmp");

    ASSERT_GE(files.size(), 12u);
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

    // An extended WebP header is 30 bytes, the canvas's size in its last
    // six: read to the last byte and no further (the sanitizers watch the
    // buffer's end).
    const std::vector<unsigned char> webp = {'R', 'I', 'F', 'F', 22, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'X',
                                             10, 0, 0, 0, 0, 0, 0, 0, 52, 0, 0, 0x24, 0, 0x01};
    ASSERT_TRUE(photoDimensions(webp.data(), webp.size()));
    EXPECT_EQ(photoDimensions(webp.data(), webp.size())->width, 53u);
    EXPECT_EQ(photoDimensions(webp.data(), webp.size())->height, 0x010025u);
}

}  // namespace

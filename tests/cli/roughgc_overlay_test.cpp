// Batch mode's --overlay: each map drawn over its photo, as a JPEG beside
// the maps, its tree kept as theirs is.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "tool_photos.h"
#include "tool_runner.h"

namespace {

using namespace tool;

// The overlay as it should be before JPEG's losses: the photo's 3 x 3 block
// means, rounded half up, and red (BGR 0, 0, 255) over each of the map's
// black pixels, 3 blocks in for the default window, 7.
cv::Mat expectedOverlay(const cv::Mat& photo, const cv::Mat& map) {
    cv::Mat picture(photo.rows / 3, photo.cols / 3, CV_8UC3);
    for (int y = 0; y < picture.rows; ++y)
        for (int x = 0; x < picture.cols; ++x)
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int dy = 0; dy < 3; ++dy)
                    for (int dx = 0; dx < 3; ++dx) sum += photo.at<cv::Vec3b>(3 * y + dy, 3 * x + dx)[c];
                picture.at<cv::Vec3b>(y, x)[c] = static_cast<uchar>((sum + 4) / 9);
            }
    for (int i = 0; i < map.rows; ++i)
        for (int j = 0; j < map.cols; ++j)
            if (map.at<uchar>(i, j) == 0) picture.at<cv::Vec3b>(i + 3, j + 3) = cv::Vec3b(0, 0, 255);
    return picture;
}

cv::Mat luma(const cv::Mat& bgr) {
    cv::Mat y(bgr.size(), CV_8UC1);
    for (int i = 0; i < bgr.rows; ++i)
        for (int j = 0; j < bgr.cols; ++j) {
            const cv::Vec3b p = bgr.at<cv::Vec3b>(i, j);
            y.at<uchar>(i, j) = static_cast<uchar>(0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2] + 0.5);
        }
    return y;
}

TEST(RoughgcOverlay, EachPhotoGetsItsMapDrawnOverItWhereItLies) {
    TempDir cwd;
    fs::create_directories(cwd / "photos/sub");
    fs::copy_file(kExamples / "fruits.jpg", cwd / "photos/fruits.jpg");
    fs::copy_file(kData / "left01.jpg", cwd / "photos/left01.jpg");
    fs::copy_file(kData / "chicky_512.png", cwd / "photos/sub/chicky_512.png");
    const RunResult r = run({"-o", "maps", "--overlay", "over", "-R", "-r", "r.csv", "photos"}, cwd.path());
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(listing(cwd / "over"), (std::vector<std::string>{"fruits.jpg", "left01.jpg", "sub"}));
    EXPECT_EQ(fnv1a(readFile(cwd / "maps/fruits.bmp")), kFruitsMap);  // the maps as without overlays
    for (const std::string name : {"fruits", "left01", "sub/chicky_512"}) {
        const std::string photoFile = (cwd / "photos" / name).string() + (name == "sub/chicky_512" ? ".png" : ".jpg");
        const cv::Mat photo = cv::imread(photoFile, cv::IMREAD_COLOR);
        const cv::Mat map = cv::imread((cwd / "maps" / (name + ".bmp")).string(), cv::IMREAD_GRAYSCALE);
        const cv::Mat picture = cv::imread((cwd / "over" / (name + ".jpg")).string(), cv::IMREAD_COLOR);
        ASSERT_FALSE(picture.empty()) << name;
        const cv::Mat expected = expectedOverlay(photo, map);
        ASSERT_EQ(picture.size(), expected.size()) << name;
        // Its brightness, which the JPEG keeps at full resolution, close to
        // the exact picture's, as quality 90 keeps it; a picture one block
        // off, or not painted, is far from it.
        EXPECT_GT(cv::PSNR(luma(picture), luma(expected)), 30) << name;
        double redness = 0;
        int painted = 0;
        for (int i = 0; i < map.rows; ++i)
            for (int j = 0; j < map.cols; ++j)
                if (map.at<uchar>(i, j) == 0) {
                    const cv::Vec3b p = picture.at<cv::Vec3b>(i + 3, j + 3);
                    redness += p[2] - (p[0] + p[1]) / 2.0;
                    ++painted;
                }
        ASSERT_GT(painted, 0) << name;
        EXPECT_GT(redness / painted, 80) << name;
    }
}

TEST(RoughgcOverlay, OverlaysThatCannotBeWrittenAreRefusedOrFailed) {
    TempDir cwd;
    fs::copy_file(kExamples / "fruits.jpg", cwd / "fruits.jpg");
    writeFile(cwd / "file", "");
    RunResult r = run({"-o", "maps", "--overlay", "file", "fruits.jpg"}, cwd.path());
    EXPECT_EQ(r.status, 255) << r;
    EXPECT_EQ(r.err, "roughgc: --overlay file is not a folder\n");
    r = run({"-o", "maps", "--overlay", ".", "fruits.jpg"}, cwd.path());
    EXPECT_EQ(r.status, 255) << r;
    EXPECT_EQ(r.err, "roughgc: the overlay of fruits.jpg would overwrite fruits.jpg\n");
    EXPECT_FALSE(fs::exists(cwd / "maps"));

    // A folder in the overlay's way fails the photo; its map is written.
    fs::create_directories(cwd / "over/fruits.jpg");
    r = run({"-o", "maps", "--overlay", "over", "fruits.jpg"}, cwd.path());
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_EQ(r.err, "fruits.jpg: Error writing over/fruits.jpg: Is a directory\n");
    EXPECT_EQ(fnv1a(readFile(cwd / "maps/fruits.bmp")), kFruitsMap);
}

}  // namespace

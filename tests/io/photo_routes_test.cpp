// Photos read into kept memory and JPEGs streamed into the first pass: each
// route gives cv::imread's pixels and extract()'s map, byte for byte, on
// whole, cut, turned, progressive, grey and PNG files, whatever photo came
// before.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "detail/search/box_search.h"
#include "detail/io/photo_reader.h"
#include "detail/pipeline/rough_pipeline.h"
#include "detail/stages/row_stages.h"
#include "roughgc/roughgc.hpp"
#include "jpeg_edits.h"
#include "jpeg_kinds.h"
#include "png_edits.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;
using jpeg_edits::withOrientation;

namespace {

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// `jpeg` without its last Huffman table segment: libjpeg then decodes with
// a table of its own for that slot, never with the last photo's.
std::string withoutLastHuffmanTables(const std::string& jpeg) {
    size_t last = std::string::npos;
    for (size_t at = 2; at + 4 <= jpeg.size() && static_cast<unsigned char>(jpeg[at]) == 0xFF;) {
        const unsigned char marker = static_cast<unsigned char>(jpeg[at + 1]);
        if (marker == 0xDA) break;
        if (marker == 0xC4) last = at;
        at += 2 + (static_cast<unsigned char>(jpeg[at + 2]) << 8 | static_cast<unsigned char>(jpeg[at + 3]));
    }
    if (last == std::string::npos) return jpeg;
    const size_t length = 2 + (static_cast<unsigned char>(jpeg[last + 2]) << 8 | static_cast<unsigned char>(jpeg[last + 3]));
    return jpeg.substr(0, last) + jpeg.substr(last + length);
}

// `jpeg` with a second copy of its frame header between its last scan and
// its end: libjpeg fails there, after every row is out.
std::string withLateFrameHeader(const std::string& jpeg) {
    const size_t frame = jpeg.find("\xFF\xC0");
    const size_t length = 2 + (static_cast<unsigned char>(jpeg[frame + 2]) << 8 | static_cast<unsigned char>(jpeg[frame + 3]));
    return jpeg.substr(0, jpeg.size() - 2) + jpeg.substr(frame, length) + jpeg.substr(jpeg.size() - 2);
}

// A progressive `jpeg` whose last scan asks for coefficients past the 64 of
// a block: libjpeg refuses it while it decodes, after the header was read.
std::string withBadLastScan(const std::string& jpeg) {
    std::string bad = jpeg;
    const size_t scan = bad.rfind("\xFF\xDA");
    const size_t components = static_cast<unsigned char>(bad[scan + 4]);
    bad[scan + 5 + 2 * components] = 0x50;  // the first coefficient
    return bad;
}

bool sameImage(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

void expectSameResult(const roughgc::Result& a, const roughgc::Result& b, const std::string& what) {
    ASSERT_EQ(a.map.size(), b.map.size()) << what;
    EXPECT_EQ(cv::countNonZero(a.map != b.map), 0) << what;
    EXPECT_EQ(a.quantileIndex, b.quantileIndex) << what;
    EXPECT_EQ(std::bit_cast<uint32_t>(a.threshold), std::bit_cast<uint32_t>(b.threshold)) << what;
    EXPECT_EQ(a.coarseBoxes, b.coarseBoxes) << what;
    EXPECT_EQ(a.fineBoxes, b.fineBoxes) << what;
    EXPECT_EQ(std::bit_cast<uint32_t>(a.dimension), std::bit_cast<uint32_t>(b.dimension)) << what;
    EXPECT_EQ(a.passes, b.passes) << what;
}

// What readPhoto then extract() make of a file: the result, or the message.
struct Outcome {
    roughgc::Result result;
    std::string error;
};

template <class F>
Outcome outcomeOf(F f) {
    Outcome o;
    try {
        o.result = f();
    } catch (const roughgc::InputError& e) {
        o.error = e.what();
    }
    return o;
}

void expectSameOutcome(const Outcome& a, const Outcome& b, const std::string& what) {
    EXPECT_EQ(a.error, b.error) << what;
    if (a.error.empty() && b.error.empty()) expectSameResult(a.result, b.result, what);
}

class PhotoRoutes : public InScratchDir {
protected:
    // The photos of the repository, and files made from them: each
    // orientation, progressive, grey and 16-bit PNG, BMP, TIFF and WebP,
    // and cut copies of the JPEGs and PNGs at several lengths.
    std::vector<std::string> makePhotos() {
        std::vector<std::string> names;
        auto add = [&](const std::string& name, const std::string& bytes) {
            writeBytes(name, bytes);
            names.push_back(name);
        };
        const std::string fruits = fileBytes(std::string(ROUGHGC_EXAMPLES) + "/fruits.jpg");
        const std::string grey = fileBytes(std::string(ROUGHGC_TEST_DATA) + "/left01.jpg");
        const std::string chicky = fileBytes(std::string(ROUGHGC_TEST_DATA) + "/chicky_512.png");
        add("fruits.jpg", fruits);
        add("left01.jpg", grey);
        add("chicky.png", chicky);
        // Turned by an EXIF block before its rows, and after them, where
        // the rows cannot stream.
        const size_t rowsAt = chicky.find("IDAT") - 4, endAt = chicky.rfind("IEND") - 4;
        const std::string exif6 = png_edits::chunk("eXIf", png_edits::exifOrientation(6));
        const std::string exif3 = png_edits::chunk("eXIf", png_edits::exifOrientation(3));
        add("turned-before.png", chicky.substr(0, rowsAt) + exif6 + chicky.substr(rowsAt));
        add("turned-after.png", chicky.substr(0, endAt) + exif3 + chicky.substr(endAt));
        for (int o = 1; o <= 8; ++o) add("fruits-o" + std::to_string(o) + ".jpg", withOrientation(fruits, o, o % 2 == 0));
        add("grey-o6.jpg", withOrientation(grey, 6));
        add("late-frame.jpg", withLateFrameHeader(fruits));
        add("late-frame-o7.jpg", withOrientation(withLateFrameHeader(fruits), 7));
        add("fruits-o9.jpg", withOrientation(fruits, 9));
        const cv::Mat photo = cv::imread("fruits.jpg");
        for (const auto& [name, bytes] : jpeg_kinds::jpegsOfEveryKind(fruits, photo)) add(name, bytes);
        std::vector<unsigned char> encoded;
        cv::imencode(".jpg", photo, encoded, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
        add("progressive.jpg", std::string(encoded.begin(), encoded.end()));
        add("progressive-o8.jpg", withOrientation(std::string(encoded.begin(), encoded.end()), 8));
        add("bad-scan.jpg", withBadLastScan(std::string(encoded.begin(), encoded.end())));
        cv::imencode(".jpg", photo, encoded, {cv::IMWRITE_JPEG_OPTIMIZE, 1});
        add("optimised.jpg", std::string(encoded.begin(), encoded.end()));
        add("no-last-table.jpg", withoutLastHuffmanTables(std::string(encoded.begin(), encoded.end())));
        cv::Mat wide;
        photo.convertTo(wide, CV_16UC3, 257);
        cv::imencode(".png", wide, encoded);
        add("sixteen.png", std::string(encoded.begin(), encoded.end()));
        cv::Mat greyPhoto;
        cv::extractChannel(photo, greyPhoto, 1);
        for (const char* ext : {".png", ".bmp", ".tiff", ".webp"}) {
            cv::imencode(ext, ext == std::string(".png") ? greyPhoto : photo, encoded);
            add(std::string("encoded") + ext, std::string(encoded.begin(), encoded.end()));
        }
        const std::vector<std::string> whole(names);
        for (const std::string& name : whole) {
            if (name.find("encoded.bmp") != std::string::npos || name.find(".webp") != std::string::npos) continue;
            const std::string bytes = fileBytes(name);
            for (double part : {0.03, 0.3, 0.7, 0.97})
                add("cut" + std::to_string(static_cast<int>(part * 100)) + "-" + name,
                    bytes.substr(0, static_cast<size_t>(static_cast<double>(bytes.size()) * part)));
        }
        return names;
    }
};

TEST_F(PhotoRoutes, ReadIntoKeptMemoryGivesTheBytesOfImreadAfterAnyPhoto) {
    const std::vector<std::string> names = makePhotos();
    // Every photo decoded into one matrix, which holds the one before (or,
    // the first time, a pattern of the same size as fruits.jpg).
    cv::Mat into(480, 512, CV_8UC3, cv::Scalar(1, 2, 3));
    int readable = 0;
    for (int round = 0; round < 2; ++round) {
        for (const std::string& name : names) {
            const cv::Mat expected = cv::imread(name, cv::IMREAD_COLOR);
            std::string error;
            try {
                roughgc::readPhoto(name, into);
            } catch (const roughgc::InputError& e) {
                error = e.what();
            }
            if (expected.empty()) {
                EXPECT_EQ(error, "(!) Error reading image: " + name);
                continue;
            }
            ++readable;
            ASSERT_EQ(error, "") << name;
            EXPECT_TRUE(into.isContinuous()) << name;
            EXPECT_TRUE(sameImage(into, expected)) << name;
        }
    }
    // Not a list of refusals: most of them read.
    EXPECT_GT(readable, static_cast<int>(names.size()));
}

TEST_F(PhotoRoutes, ExtractFileGivesTheMapOfReadThenExtract) {
    const std::vector<std::string> names = makePhotos();
    roughgc::Extractor kept;
    for (int round = 0; round < 2; ++round) {
        for (const std::string& name : names) {
            const Outcome expected = outcomeOf([&] { return roughgc::Extractor().extract(roughgc::readPhoto(name)); });
            const Outcome got = outcomeOf([&] { return kept.extractFile(name); });
            expectSameOutcome(got, expected, name);
            // The photo's size, known also when its map is refused; none
            // for a photo that could not be read.
            const cv::Mat photo = cv::imread(name);
            EXPECT_EQ(kept.photoSize(), photo.size()) << name;
        }
    }
}

// JPEGs that cv::imread reads otherwise than a camera's plain file: only
// the first APP1 segment turns a photo, four components are inks, and an
// EXIF directory that OpenCV reads in its own way is left to OpenCV.
TEST_F(PhotoRoutes, JpegsOfEveryKindGiveImreadsPixelsAndTheirMap) {
    makePhotos();
    roughgc::Extractor kept;
    for (const auto& [name, bytes] : jpeg_kinds::jpegsOfEveryKind(fileBytes("fruits.jpg"), cv::imread("fruits.jpg"))) {
        const cv::Mat expected = cv::imread(name, cv::IMREAD_COLOR);
        ASSERT_FALSE(expected.empty()) << name;
        cv::Mat read;
        EXPECT_NO_THROW(read = roughgc::readPhoto(name)) << name;
        EXPECT_TRUE(sameImage(read, expected)) << name;
        expectSameOutcome(outcomeOf([&] { return kept.extractFile(name); }),
                          outcomeOf([&] { return roughgc::Extractor().extract(expected); }), name);
    }
}

TEST_F(PhotoRoutes, ExtractFileRefusesAsReadThenExtractRefuses) {
    makePhotos();
    roughgc::Extractor extractor;
    const roughgc::Params tooWide{200, 1.7f, 0.1f}, negative{-1, 1.7f, 0.1f}, notFinite{7, NAN, 0.1f};
    for (const roughgc::Params& p : {tooWide, negative, notFinite}) {
        for (const char* name : {"fruits.jpg", "cut3-fruits.jpg", "cut30-fruits.jpg", "chicky.png", "missing.jpg"}) {
            const Outcome expected = outcomeOf([&] { return extractor.extract(roughgc::readPhoto(name), p); });
            EXPECT_NE(expected.error, "") << name;
            expectSameOutcome(outcomeOf([&] { return extractor.extractFile(name, p); }), expected, name);
        }
    }
    // The extractor goes on with the next photo.
    expectSameResult(extractor.extractFile("fruits.jpg"), extractor.extract(cv::imread("fruits.jpg")), "after");
}

TEST_F(PhotoRoutes, AStreamFromAPipeIsReadAsTheFile) {
    makePhotos();
    ASSERT_EQ(mkfifo("pipe", 0600), 0);
    roughgc::Extractor extractor;
    for (const char* name : {"fruits-o1.jpg", "cut70-fruits.jpg", "chicky.png", "encoded.tiff"}) {
        std::thread writer([name] { writeBytes("pipe", fileBytes(name)); });
        const Outcome got = outcomeOf([&] { return extractor.extractFile("pipe"); });
        writer.join();
        expectSameOutcome(got, outcomeOf([&] { return extractor.extract(cv::imread(name)); }), name);
    }
}

TEST_F(PhotoRoutes, KeptMemoryIsReusedWhenThePhotoFitsAndGrowsOtherwise) {
    makePhotos();
    cv::Mat into;
    roughgc::readPhoto("fruits.jpg", into);
    const unsigned char* first = into.data;
    roughgc::readPhoto("fruits-o3.jpg", into);
    EXPECT_EQ(into.data, first);
    // A failed decode leaves the matrix usable for the next photo.
    EXPECT_THROW(roughgc::readPhoto("cut30-chicky.png", into), roughgc::InputError);
    writeBytes("header.jpg", fileBytes("fruits.jpg").substr(0, 300));
    EXPECT_THROW(roughgc::readPhoto("header.jpg", into), roughgc::InputError);
    roughgc::readPhoto("fruits-o2.jpg", into);
    EXPECT_TRUE(sameImage(into, cv::imread("fruits-o2.jpg")));
    // Another size: the matrix takes it, as create() does.
    roughgc::readPhoto("fruits-o6.jpg", into);
    EXPECT_EQ(into.size(), cv::Size(480, 512));
    EXPECT_TRUE(sameImage(into, cv::imread("fruits-o6.jpg")));

    // A reader's own memory is reused for a smaller photo; what it cannot
    // open or read fails as a load.
    roughgc::detail::PhotoReader reader;
    ASSERT_EQ(reader.load("fruits.jpg"), roughgc::detail::LoadEnd::Loaded);
    const cv::Mat large = reader.decode(reader.keptTarget());
    const size_t held = reader.heldBytes();
    cv::imwrite("small.jpg", large(cv::Rect(10, 20, 100, 80)));
    ASSERT_EQ(reader.load("small.jpg"), roughgc::detail::LoadEnd::Loaded);
    const cv::Mat small = reader.decode(reader.keptTarget());
    EXPECT_EQ(small.data, large.data);
    // The file's bytes too: nothing held grew or shrank.
    EXPECT_EQ(reader.heldBytes(), held);
    EXPECT_TRUE(sameImage(small, cv::imread("small.jpg")));
    EXPECT_EQ(reader.load("missing.jpg"), roughgc::detail::LoadEnd::Failed);
    EXPECT_EQ(reader.load("."), roughgc::detail::LoadEnd::Failed);
}


TEST(JpegHeader, TellsTheRouteOfEachKindOfJpeg) {
    const std::string fruits = fileBytes(std::string(ROUGHGC_EXAMPLES) + "/fruits.jpg");
    roughgc::detail::JpegRows rows;
    roughgc::detail::JpegHeader h;
    auto header = [&](const std::string& bytes) {
        EXPECT_TRUE(rows.start(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), h));
        return h;
    };
    EXPECT_EQ(header(fruits).width, 512u);
    EXPECT_EQ(h.height, 480u);
    EXPECT_TRUE(h.upright());
    EXPECT_FALSE(h.progressive);
    EXPECT_EQ(h.coefficientBytes, 0u);
    for (int o = 2; o <= 8; ++o) {
        EXPECT_EQ(header(withOrientation(fruits, o, o > 4)).orientation, o);
        EXPECT_FALSE(h.upright());
    }
    EXPECT_EQ(header(withOrientation(fruits, 0)).orientation, 1);
    // An orientation entry cut off by the segment's end: OpenCV's reader
    // stops there, and no guess is made of what it finds.
    std::string cut = withOrientation(fruits, 6);
    cut.erase(12 + 19, 7);  // the directory ends inside the entry's value
    cut[5] = static_cast<char>(34 - 7);
    EXPECT_FALSE(header(cut).orientationSure);
    std::vector<unsigned char> progressive;
    cv::imencode(".jpg", cv::Mat(300, 400, CV_8UC3, cv::Scalar(9, 80, 200)), progressive,
                 {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    EXPECT_TRUE(header(std::string(progressive.begin(), progressive.end())).progressive);
    // libjpeg's coefficients, 64 of two bytes a block, for every block of
    // every component with a sampling group's margin each way: at 4:2:0 the
    // luma's 50 x 38 blocks (rounded up) as 52 x 40, each chroma's 25 x 19
    // as 26 x 20; 3120 blocks of 128 bytes.
    EXPECT_EQ(h.coefficientBytes, 399360u);
    EXPECT_FALSE(rows.start(reinterpret_cast<const unsigned char*>(fruits.data()), 100, h));
}

// A photo in memory, handed out row by row, that can fail at a given row.
class MemoryRows : public roughgc::detail::PhotoRowSource {
public:
    MemoryRows(const cv::Mat& photo, int failAt = -1) : photo_(photo), failAt_(failAt) {}
    bool read(unsigned char* first, size_t step, size_t count) override {
        for (size_t r = 0; r < count; ++r, ++next_) {
            if (next_ == failAt_ || next_ >= photo_.rows) return false;
            std::memcpy(first + r * step, photo_.ptr(next_), photo_.cols * 3);
        }
        return true;
    }
    bool finish() override {
        ++finishes_;
        readBeforeFinish_ = next_;
        if (failAt_ >= next_) return false;
        next_ = photo_.rows;
        return true;
    }
    int next_ = 0;
    int finishes_ = 0, readBeforeFinish_ = -1;

private:
    cv::Mat photo_;
    int failAt_;
};

TEST(StreamedPass, GivesTheMetricHistogramAndBoxesOfThePassOverTheWholePhoto) {
    namespace d = roughgc::detail;
    std::mt19937 random(7);
    std::vector<unsigned char> rows;
    // Sizes around the band height and the box side, odd widths, windows of
    // both parities.
    for (const auto& [height, width, window] : std::vector<std::tuple<int, int, size_t>>{
             {45, 45, 7}, {46, 47, 7}, {100, 61, 2}, {147, 99, 7}, {150, 100, 8}, {161, 200, 1}, {97, 50, 3}}) {
        cv::Mat photo(height, width, CV_8UC3);
        cv::randu(photo, 0, 256);
        // Flat patches too: ties in the histogram and the box maxima.
        photo(cv::Rect(0, 0, width / 2, height / 3)).setTo(cv::Scalar(40, 40, 40));
        const size_t mHeight = height / 3, mWidth = width / 3, count = (mHeight - window) * (mWidth - window);
        std::vector<float> wholeMetric(count), streamedMetric(count, -1.0f);
        std::vector<int> wholeHist(64), streamedHist(64, 5);
        int wholeCounted = 0, streamedCounted = 0;
        d::BoxMaxima wholeBoxes, streamedBoxes;
        d::metricPass(photo.data, photo.step, 3, mHeight, mWidth, window, wholeMetric.data(),
                      {wholeHist.data(), &wholeCounted, 64, &wholeBoxes});
        MemoryRows source(photo);
        ASSERT_TRUE(d::metricPassStreamed(source, height, width, window, streamedMetric.data(),
                                          {streamedHist.data(), &streamedCounted, 64, &streamedBoxes}, rows));
        const std::string what = std::to_string(width) + " x " + std::to_string(height) + ", window " +
                                 std::to_string(window);
        // The rows the map needs, read in order, and the rest left to one
        // finish(), which reads them to the end of the photo.
        EXPECT_EQ(source.finishes_, 1) << what;
        EXPECT_GT(source.readBeforeFinish_, 0) << what;
        EXPECT_LE(source.readBeforeFinish_, height) << what;
        EXPECT_EQ(0, std::memcmp(wholeMetric.data(), streamedMetric.data(), count * sizeof(float))) << what;
        EXPECT_EQ(wholeHist, streamedHist) << what;
        EXPECT_EQ(wholeCounted, streamedCounted) << what;
        EXPECT_EQ(wholeBoxes.fine.size(), streamedBoxes.fine.size()) << what;
        EXPECT_TRUE(std::equal(wholeBoxes.fine.begin(), wholeBoxes.fine.end(), streamedBoxes.fine.begin(),
                               [](float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }))
            << what;
        EXPECT_EQ(wholeBoxes.coarse.size(), streamedBoxes.coarse.size()) << what;
        EXPECT_LE(rows.size(), d::streamedRowBytes(width)) << what;
        // A source that fails at any row, the last ones included, fails the pass.
        for (int failAt : {0, height / 2, height - 1}) {
            MemoryRows failing(photo, failAt);
            EXPECT_FALSE(d::metricPassStreamed(failing, height, width, window, streamedMetric.data(),
                                               {streamedHist.data(), &streamedCounted, 64, &streamedBoxes}, rows))
                << what << ", failing at " << failAt;
        }
    }
}

// A header that lies about its size asks for memory its photo never fills:
// what was grown for it goes with it, on every route.
TEST_F(PhotoRoutes, MemoryGrownForARefusedPhotoIsNotKept) {
    namespace d = roughgc::detail;
    // 10000 x 10000 by its header, cut a few rows into its data.
    std::vector<unsigned char> rows;
    cv::imencode(".png", cv::Mat(10000, 10000, CV_8UC3, cv::Scalar::all(0)), rows);
    writeBytes("liar.png", std::string(rows.begin(), rows.begin() + 2000));
    ASSERT_TRUE(cv::imread("liar.png").empty());
    const std::string fruitsPath = std::string(ROUGHGC_EXAMPLES) + "/fruits.jpg";
    d::PhotoReader reader;
    ASSERT_EQ(reader.load(fruitsPath), d::LoadEnd::Loaded);
    ASSERT_FALSE(reader.decode(reader.keptTarget()).empty());
    const size_t held = reader.heldBytes();
    ASSERT_EQ(reader.load("liar.png"), d::LoadEnd::Loaded);
    EXPECT_TRUE(reader.decode(reader.keptTarget()).empty());
    EXPECT_LE(reader.heldBytes(), held);

    // The pipeline grows for the rows that never come, and lets go.
    d::RoughPipeline pipeline(0, d::Schedule::Rows);
    const cv::Mat fruits = cv::imread(fruitsPath);
    MemoryRows whole(fruits);
    ASSERT_NE(pipeline.runStreamed(whole, *d::roughGeometry(480, 512, 7), 1.7f, 0.1f, d::SearchRoute::BoxMaxima), nullptr);
    const size_t small = pipeline.heldBytes();
    MemoryRows fewRows(cv::Mat(10000, 10000, CV_8UC3, cv::Scalar::all(0)), 40);
    EXPECT_EQ(pipeline.runStreamed(fewRows, *d::roughGeometry(10000, 10000, 7), 1.7f, 0.1f, d::SearchRoute::BoxMaxima), nullptr);
    EXPECT_LE(pipeline.heldBytes(), small);
    MemoryRows again(fruits);
    EXPECT_NE(pipeline.runStreamed(again, *d::roughGeometry(480, 512, 7), 1.7f, 0.1f, d::SearchRoute::BoxMaxima), nullptr);
}

}  // namespace

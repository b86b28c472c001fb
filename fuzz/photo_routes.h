// The routes a photo can take, on the same bytes: cv::imread, and extract()
// of its pixels, against the library's readPhoto (into a fresh matrix, and
// into kept memory) and extractFile (which streams an upright JPEG or PNG
// row by row into the first pass). All of them fail, with one refusal, or
// all give the same pixels and the same map, whatever came before; a
// refused photo leaves kept memory as it was and gives no map.
#pragma once

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "fuzz_input.h"
#include "roughgc/roughgc.hpp"

namespace photo_routes {

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

inline bool samePixels(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && a.isContinuous() && b.isContinuous() &&
           std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

// Sets the test up: OpenCV's pixel limit low enough that no header makes a
// case run out of memory, and the codec plugin of this build.
inline void prepare(char** argv) {
    limitOpenCvPixels(argv);
    setenv("ROUGHGC_CODECS_PLUGIN", ROUGHGC_CODECS_PLUGIN_PATH, 1);
}

inline int check(const uint8_t* data, size_t size, const std::string& photoPath) {
    std::FILE* file = std::fopen(photoPath.c_str(), "wb");
    FUZZ_REQUIRE(file != nullptr, "cannot create %s", photoPath.c_str());
    const bool written = std::fwrite(data, 1, size, file) == size;
    FUZZ_REQUIRE(std::fclose(file) == 0 && written, "cannot write %s", photoPath.c_str());

    // Kept from one input to the next, as a batch worker keeps them.
    static roughgc::Extractor kept;
    static cv::Mat into(64, 64, CV_8UC3, cv::Scalar(1, 2, 3));

    // cv::imread throws for a header over its limits: the library takes
    // that as a photo it cannot read.
    cv::Mat expected;
    try {
        expected = cv::imread(photoPath, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
    }

    const Outcome fresh = outcomeOf([&] {
        const cv::Mat photo = roughgc::readPhoto(photoPath);
        FUZZ_REQUIRE(samePixels(photo, expected), "readPhoto gave %d x %d, imread %d x %d (or other pixels)",
                     photo.cols, photo.rows, expected.cols, expected.rows);
        return roughgc::Result{};
    });
    FUZZ_REQUIRE(fresh.error.empty() == !expected.empty(), "imread %s, readPhoto %s",
                 expected.empty() ? "failed" : "decoded", fresh.error.empty() ? "decoded" : "failed");

    const cv::Mat before = into.clone();
    const unsigned char* memory = into.data;
    const Outcome kept_ = outcomeOf([&] {
        roughgc::readPhoto(photoPath, into);
        return roughgc::Result{};
    });
    FUZZ_REQUIRE(kept_.error == fresh.error, "readPhoto into a fresh matrix: \"%s\", into kept memory: \"%s\"",
                 fresh.error.c_str(), kept_.error.c_str());
    if (kept_.error.empty()) {
        FUZZ_REQUIRE(samePixels(into, expected), "readPhoto into kept memory gave other pixels (%d x %d)", into.cols,
                     into.rows);
    } else {
        FUZZ_REQUIRE(into.data == memory && samePixels(into, before), "a refused photo changed the kept memory");
    }

    // The map of imread's pixels, or the refusal.
    const Outcome whole = expected.empty() ? fresh : outcomeOf([&] { return roughgc::Extractor().extract(expected); });
    const Outcome streamed = outcomeOf([&] { return kept.extractFile(photoPath); });
    FUZZ_REQUIRE(whole.error == streamed.error, "imread and extract: \"%s\", extractFile: \"%s\"", whole.error.c_str(),
                 streamed.error.c_str());
    if (!whole.error.empty()) return 0;
    const roughgc::Result &a = whole.result, &b = streamed.result;
    FUZZ_REQUIRE(a.map.size() == b.map.size() && std::memcmp(a.map.data, b.map.data, a.map.total()) == 0,
                 "different maps (%d x %d)", a.map.cols, a.map.rows);
    FUZZ_REQUIRE(a.quantileIndex == b.quantileIndex && a.passes == b.passes && a.coarseBoxes == b.coarseBoxes &&
                     a.fineBoxes == b.fineBoxes &&
                     std::bit_cast<uint32_t>(a.threshold) == std::bit_cast<uint32_t>(b.threshold) &&
                     std::bit_cast<uint32_t>(a.dimension) == std::bit_cast<uint32_t>(b.dimension),
                 "different searches: index %d and %d, passes %d and %d", a.quantileIndex, b.quantileIndex, a.passes,
                 b.passes);
    return 0;
}

}  // namespace photo_routes

// The routes a JPEG can take, on the same bytes: cv::imread and extract()
// of its pixels, against readPhoto into kept memory and extractFile, which
// streams an upright JPEG row by row into the first pass. Both fail, or
// both give the same pixels and the same map, whatever came before.
//
// Input: the encoded photo (mutations of small JPEGs: baseline, progressive,
// grey, turned, with restart markers).
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "fuzz_input.h"
#include "roughgc/roughgc.hpp"

namespace {

std::string photoPath;

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    // The routes must refuse what OpenCV refuses under this limit too.
    limitOpenCvPixels(*argv);
    photoPath = (privateDirectory() / "photo.jpg").string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(photoPath.c_str(), "wb");
    FUZZ_REQUIRE(file != nullptr, "cannot create %s", photoPath.c_str());
    const bool written = std::fwrite(data, 1, size, file) == size;
    FUZZ_REQUIRE(std::fclose(file) == 0 && written, "cannot write %s", photoPath.c_str());

    // Kept from one input to the next, as a batch worker keeps them.
    static roughgc::Extractor kept;
    static cv::Mat into(64, 64, CV_8UC3, cv::Scalar(1, 2, 3));

    // cv::imread throws for a header over its limits: the tool's reading
    // takes that as a photo it cannot read.
    cv::Mat expected;
    try {
        expected = cv::imread(photoPath, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
    }
    bool read = true;
    try {
        roughgc::readPhoto(photoPath, into);
    } catch (const roughgc::InputError&) {
        read = false;
    }
    FUZZ_REQUIRE(read == !expected.empty(), "imread %s, readPhoto into kept memory %s",
                 expected.empty() ? "failed" : "decoded", read ? "decoded" : "failed");
    if (read) {
        FUZZ_REQUIRE(into.size() == expected.size() && into.type() == CV_8UC3 && into.isContinuous(),
                     "imread gave %d x %d, readPhoto %d x %d", expected.cols, expected.rows, into.cols, into.rows);
        FUZZ_REQUIRE(std::memcmp(into.data, expected.data, expected.total() * 3) == 0, "different pixels (%d x %d)",
                     expected.cols, expected.rows);
    }

    // readPhoto's refusal when imread fails: unreadable, or too large to decode.
    const Outcome whole = outcomeOf([&] { return roughgc::Extractor().extract(roughgc::readPhoto(photoPath)); });
    const Outcome streamed = outcomeOf([&] { return kept.extractFile(photoPath); });
    FUZZ_REQUIRE(whole.error == streamed.error, "extract: \"%s\", extractFile: \"%s\"", whole.error.c_str(),
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

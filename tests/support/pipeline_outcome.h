// What a pipeline run gives (its map and the search's figures), kept past
// the next run and compared to the last bit; and the photos the pipeline
// tests run on.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "detail/pipeline/rough_pipeline.h"

namespace pipeline_outcome {

struct Outcome {
    std::vector<unsigned char> map;
    size_t rows, cols;
    int quantileIndex, coarseBoxes, fineBoxes, passes;
    unsigned threshold, dimension;  // as bits: NaNs compare too
};

inline unsigned bitsOf(float value) {
    unsigned bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline Outcome outcomeOf(const roughgc::detail::RoughMapView& v) {
    return {std::vector<unsigned char>(v.pixels, v.pixels + v.rows * v.cols),
            v.rows,
            v.cols,
            v.quantileIndex,
            v.coarseBoxes,
            v.fineBoxes,
            v.passes,
            bitsOf(v.threshold),
            bitsOf(v.dimension)};
}

inline void expectSame(const Outcome& a, const Outcome& b) {
    EXPECT_EQ(a.rows, b.rows);
    EXPECT_EQ(a.cols, b.cols);
    EXPECT_EQ(a.quantileIndex, b.quantileIndex);
    EXPECT_EQ(a.threshold, b.threshold);
    EXPECT_EQ(a.coarseBoxes, b.coarseBoxes);
    EXPECT_EQ(a.fineBoxes, b.fineBoxes);
    EXPECT_EQ(a.dimension, b.dimension);
    EXPECT_EQ(a.passes, b.passes);
    EXPECT_TRUE(a.map == b.map) << "the maps differ";
}

// Every JPEG and PNG of the example, test and benchmark photos.
inline std::vector<std::filesystem::path> testPhotos() {
    std::vector<std::filesystem::path> photos;
    for (const char* folder : {ROUGHGC_EXAMPLES, ROUGHGC_TEST_DATA, ROUGHGC_BENCH_DATA})
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path().extension() == ".jpg" || entry.path().extension() == ".png") photos.push_back(entry.path());
    return photos;
}

}  // namespace pipeline_outcome

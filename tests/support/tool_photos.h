// The photos the tool's tests run on, and the maps `roughgc PHOTO` writes
// for them (their FNV-1a hashes), the same on every machine and backend.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace tool {

inline const std::filesystem::path kData = ROUGHGC_TEST_DATA;
inline const std::filesystem::path kExamples = ROUGHGC_EXAMPLES;

inline constexpr uint64_t kFruitsMap = 0x3ecb0ff749c8b68cull, kLeftMap = 0xb1172d8db9a998c6ull,
                          kChickyMap = 0xe72a88b9b9f1256dull;

// A run of fruits.jpg, chicky_512.png and piped.jpg (left01.jpg's bytes
// through a pipe) into out/ with report.csv, under an OpenCV limit of
// 250000 pixels: the two larger photos fail alone, in batch mode's words,
// without single mode's "(!) ".
inline void expectTooLargeToDecode(const RunResult& r, const std::filesystem::path& cwd) {
    const std::string limit = " pixels; at most 250000 pixels and 1048576 on a side";
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_EQ(r.err, "chicky_512.png: Image too large to decode: 512 x 512" + limit +
                         "\npiped.jpg: Image too large to decode: 640 x 480" + limit + "\n")
        << r;
    const std::string csv = readFile(cwd / "report.csv");
    for (const std::string row : {"chicky_512.png,out/chicky_512.bmp,failed,512,512,,,,,,,,Image too large to decode: 512 x 512",
                                  "piped.jpg,out/piped.bmp,failed,640,480,,,,,,,,Image too large to decode: 640 x 480"})
        EXPECT_NE(csv.find("\n" + row + limit + ",\n"), std::string::npos) << csv;
    EXPECT_EQ(listing(cwd / "out"), std::vector<std::string>{"fruits.bmp"});
}

}  // namespace tool

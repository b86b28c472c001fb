// The photos the tool's tests run on, and the maps `roughgc PHOTO` writes
// for them (their FNV-1a hashes), the same on every machine and backend.
#pragma once

#include <cstdint>
#include <filesystem>

namespace tool {

inline const std::filesystem::path kData = ROUGHGC_TEST_DATA;
inline const std::filesystem::path kExamples = ROUGHGC_EXAMPLES;

inline constexpr uint64_t kFruitsMap = 0x3ecb0ff749c8b68cull, kLeftMap = 0xb1172d8db9a998c6ull,
                          kChickyMap = 0xe72a88b9b9f1256dull;

}  // namespace tool

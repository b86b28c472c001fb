// Batch mode's command line, read as the tool reads it.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/batch_options.h"

namespace {

// The options of `args` (after the program's name), or the status that
// refused them.
std::optional<int> parsed(std::vector<std::string> args, BatchOptions& options) {
    args.insert(args.begin(), "roughgc");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return parseBatchOptions(static_cast<int>(argv.size()), argv.data(), options);
}

TEST(BatchOptions, AMemoryLimitIsReadInTheUnitItNames) {
    const std::pair<const char*, size_t> limits[] = {
        {"7", 7}, {"3K", size_t{3} << 10}, {"2m", size_t{2} << 20}, {"2G", size_t{2} << 30}, {"5t", size_t{5} << 40}};
    for (const auto& [text, bytes] : limits) {
        BatchOptions options;
        EXPECT_EQ(parsed({"-o", "out", "--memory-limit", text, "a.jpg"}, options), std::nullopt) << text;
        EXPECT_EQ(options.memoryLimit, bytes) << text;
    }
    // More than 64 bits hold, none, or a unit that is not one: refused.
    testing::internal::CaptureStderr();
    for (const char* text : {"16777216T", "0", "2X", "2KB", ""}) {
        BatchOptions options;
        EXPECT_EQ(parsed({"-o", "out", "--memory-limit", text, "a.jpg"}, options), 255) << text;
    }
    EXPECT_NE(testing::internal::GetCapturedStderr().find("16777216T"), std::string::npos);
}

}  // namespace

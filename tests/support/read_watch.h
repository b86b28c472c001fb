// Who reads the photos, and when: the tool run with the shim of
// tests/cli/shim/io_faults.cpp preloaded, watching the reads of some files
// by name. Not under AddressSanitizer, whose runtime must come first.
#pragma once

#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace tool {

// What the shim saw of the watched files.
struct ReadLog {
    std::map<std::string, long> bytes;  // read of each file, in all
    std::vector<std::string> meetings;  // "met NAME" or "alone NAME", in order

    explicit ReadLog(const fs::path& log) {
        std::istringstream lines(readFile(log));
        for (std::string what, name; lines >> what >> name;) {
            if (what == "read") {
                long n = 0;
                lines >> n;
                bytes[name] += n;
            } else {
                meetings.push_back(what + " " + name);
            }
        }
    }
};

// The tool's run with the reads of `names` (file names) logged to `log`;
// with `meetPast`, a read of one of them past its first `meetPast` bytes
// waits (a few seconds at most) for such a read of every other to begin.
inline RunOptions watchingReads(const std::string& names, const fs::path& log, long meetPast = -1,
                                RunOptions options = {}) {
    options.environment.emplace_back("LD_PRELOAD", ROUGHGC_IO_FAULTS);
    options.environment.emplace_back("ROUGHGC_SHIM_WATCH", names);
    options.environment.emplace_back("ROUGHGC_SHIM_LOG", log.string());
    if (meetPast >= 0) options.environment.emplace_back("ROUGHGC_SHIM_MEET_PAST", std::to_string(meetPast));
    return options;
}

// A JPEG of noise, `side` pixels square: at quality 95, well over a
// megabyte, so that a read of its pixels is told from a look at its header.
inline void writeNoisyJpeg(const fs::path& path, int seed, int side = 1024) {
    cv::Mat noise(side, side, CV_8UC3);
    cv::RNG rng(static_cast<uint64_t>(seed));
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    cv::imwrite(path.string(), noise, {cv::IMWRITE_JPEG_QUALITY, 95});
}

}  // namespace tool

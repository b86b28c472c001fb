// Wall-clock durations of a pipeline's phases, for benchmarks.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace roughgc::detail {

// Phase durations in milliseconds, in the order they ran. Each phase ends
// with its check, which waits for the device, so the times hold on a GPU too.
class StageTimes {
public:
    void start() { last_ = std::chrono::steady_clock::now(); }
    // Closes the phase that began at the previous mark.
    void mark(std::string name) {
        const auto now = std::chrono::steady_clock::now();
        stages.emplace_back(std::move(name), std::chrono::duration<double, std::milli>(now - last_).count());
        last_ = now;
    }
    std::vector<std::pair<std::string, double>> stages;

private:
    std::chrono::steady_clock::time_point last_;
};

}  // namespace roughgc::detail

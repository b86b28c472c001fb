#include "detail/io/decode_limits.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace roughgc::detail {

namespace {

struct Limits {
    size_t width = size_t{1} << 20, height = size_t{1} << 20, pixels = size_t{1} << 30;
    std::string problem;
};

const Limits& limits() {
    static const Limits read = [] {
        Limits l;
        const std::pair<const char*, size_t*> variables[] = {{"OPENCV_IO_MAX_IMAGE_WIDTH", &l.width},
                                                             {"OPENCV_IO_MAX_IMAGE_HEIGHT", &l.height},
                                                             {"OPENCV_IO_MAX_IMAGE_PIXELS", &l.pixels}};
        for (const auto& [name, value] : variables) {
            const char* text = std::getenv(name);
            if (text == nullptr || parseOpenCvSize(text, *value)) continue;
            l.problem = std::string("(!) ") + name + " must be a whole number, with KB or MB after it or nothing, not \"" +
                        text + "\"";
            break;
        }
        return l;
    }();
    return read;
}

}  // namespace

bool parseOpenCvSize(const char* text, size_t& value) {
    size_t digits = 0;
    while (text[digits] >= '0' && text[digits] <= '9') ++digits;
    // OpenCV converts the digits with std::stoull: none at all, or more
    // than 64 bits hold, is an error there.
    if (digits == 0) return false;
    unsigned long long v = 0;
    for (size_t i = 0; i < digits; ++i) {
        const unsigned d = static_cast<unsigned>(text[i] - '0');
        if (v > (~0ULL - d) / 10) return false;
        v = 10 * v + d;
    }
    const char* suffix = text + digits;
    size_t scale = 1;
    if (*suffix == '\0') {
        scale = 1;
    } else if (!std::strcmp(suffix, "KB") || !std::strcmp(suffix, "Kb") || !std::strcmp(suffix, "kb")) {
        scale = 1024;
    } else if (!std::strcmp(suffix, "MB") || !std::strcmp(suffix, "Mb") || !std::strcmp(suffix, "mb")) {
        scale = size_t{1024} * 1024;
    } else {
        return false;
    }
    value = static_cast<size_t>(v) * scale;
    return true;
}

std::string decodeLimitsProblem() { return limits().problem; }

bool withinDecodeLimits(size_t width, size_t height) {
    const Limits& l = limits();
    return l.problem.empty() && width > 0 && height > 0 && width <= l.width && height <= l.height &&
           width <= l.pixels / height;
}

std::string decodeLimitProblem(size_t width, size_t height) {
    const Limits& l = limits();
    char line[192];
    std::snprintf(line, sizeof line, "(!) Image too large to decode: %zu x %zu pixels; at most %zu pixels and %zu on a side",
                  width, height, l.pixels, std::min(l.width, l.height));
    return line;
}

}  // namespace roughgc::detail

#include "api/input_checks.h"

#include "roughgc/roughgc.hpp"

namespace roughgc::detail {

void requireType(bool ok, const char* what, const char* demand, const cv::Mat& m) {
    if (ok) return;
    const std::string type = m.empty() ? std::string("an empty matrix") : cv::typeToString(m.type());
    throw InputError(std::string("(!) ") + what + " must be " + demand + ", not " + type);
}

InputError unreadablePhoto(const std::string& path) { return InputError("(!) Error reading image: " + path); }

cv::Mat continuous(const cv::Mat& m) { return m.isContinuous() ? m : m.clone(); }

}  // namespace roughgc::detail

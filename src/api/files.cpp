// Photos in, maps out: as the roughgc tool reads and writes them.
#include <cerrno>
#include <opencv2/imgcodecs.hpp>

#include "api/input_checks.h"
#include "detail/map_file.h"
#include "detail/photo_input.h"
#include "roughgc/roughgc.hpp"

namespace roughgc {

cv::Mat readPhoto(const std::string& path) {
    cv::Mat photo = detail::readPhoto(path);
    if (photo.empty()) throw InputError("(!) Error reading image: " + path);
    return photo;
}

void writeMap(const std::string& path, cv::InputArray map) {
    const cv::Mat m = map.getMat();
    detail::requireType(m.dims == 2 && m.type() == CV_8UC1, "A map", "CV_8UC1", m);
    const size_t slash = path.rfind('/'), dot = path.rfind('.');
    const std::string extension = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                                      ? std::string()
                                      : path.substr(dot);
    if (extension.empty() || !cv::haveImageWriter(path))
        throw InputError("(!) No image format for the extension of " + path + " (such as .bmp or .png)");
    std::string why;
    if (!detail::writeImageFile(m, extension, path, why)) throw WriteError(path, why, errno);
}

}  // namespace roughgc

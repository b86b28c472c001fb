// Photos in, maps out: as the roughgc tool reads and writes them.
#include <cerrno>
#include <opencv2/imgcodecs.hpp>

#include "api/input_checks.h"
#include "detail/io/map_file.h"
#include "detail/io/photo_input.h"
#include "detail/io/photo_reader.h"
#include "roughgc/roughgc.hpp"

namespace roughgc {

cv::Mat readPhoto(const std::string& path) {
    cv::Mat photo = detail::readPhoto(path);
    if (!photo.empty()) return photo;
    const std::string tooLarge = detail::decodeLimitProblemOfFile(path);
    throw InputError(tooLarge.empty() ? "(!) Error reading image: " + path : tooLarge);
}

void readPhoto(const std::string& path, cv::OutputArray photo) {
    // The file's bytes and libjpeg's decompressor are kept per thread, from
    // one photo to the next.
    thread_local detail::PhotoReader reader;
    if (reader.load(path) != detail::LoadEnd::Loaded) throw InputError("(!) Error reading image: " + path);
    const cv::Mat decoded = reader.decode([&photo](int rows, int cols) {
        photo.create(rows, cols, CV_8UC3);
        return photo.getMat();
    });
    if (!decoded.empty()) return;
    const std::string tooLarge = reader.sizeProblem();
    throw InputError(tooLarge.empty() ? "(!) Error reading image: " + path : tooLarge);
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

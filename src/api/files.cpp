// Photos in, maps out: as the roughgc tool reads and writes them.
#include <cerrno>
#include <cstring>

#include "api/input_checks.h"
#include "detail/device/host_memory.h"
#include "detail/io/jpeg_writer.h"
#include "detail/io/map_file.h"
#include "detail/io/photo_reader.h"
#include "roughgc/roughgc.hpp"

namespace roughgc {

namespace {

// The file's bytes, libjpeg's and libpng's decoders and the decoded pixels
// are kept per thread, from one photo to the next.
detail::PhotoReader& threadReader() {
    thread_local detail::PhotoReader reader;
    return reader;
}

[[noreturn]] void refuse(detail::PhotoReader& reader, const std::string& path) {
    const std::string problem = reader.problem();
    throw problem.empty() ? detail::unreadablePhoto(path) : InputError(problem);
}

}  // namespace

cv::Mat readPhoto(const std::string& path) {
    detail::PhotoReader& reader = threadReader();
    if (reader.load(path) != detail::LoadEnd::Loaded) throw detail::unreadablePhoto(path);
    // Straight into a matrix of its own, on huge pages where it is large.
    cv::Mat photo = reader.decode([](int rows, int cols) { return detail::freshMat(rows, cols, CV_8UC3); });
    if (photo.empty()) refuse(reader, path);
    return photo;
}

void readPhoto(const std::string& path, cv::OutputArray photo) {
    detail::PhotoReader& reader = threadReader();
    if (reader.load(path) != detail::LoadEnd::Loaded) throw detail::unreadablePhoto(path);
    // Decoded into the reader's memory first, so that a photo that fails
    // half way leaves `photo` as it was.
    const cv::Mat decoded = reader.decode(reader.keptTarget());
    if (decoded.empty()) refuse(reader, path);
    if (photo.kind() == cv::_InputArray::MAT && (photo.size() != decoded.size() || photo.type() != CV_8UC3)) {
        cv::Mat& m = photo.getMatRef();
        m.release();
        m.allocator = detail::hugePageAllocator();
    }
    photo.create(decoded.rows, decoded.cols, CV_8UC3);
    decoded.copyTo(photo.getMat());
}

void writeMap(const std::string& path, cv::InputArray map) {
    const cv::Mat m = map.getMat();
    detail::requireType(m.dims == 2 && m.type() == CV_8UC1, "A map", "CV_8UC1", m);
    std::string why;
    const detail::MapFormat format = detail::mapFormatOf(path);
    if (format.refusal.empty()) {
        if (detail::writeImageFile(m, format, path, why)) return;
        throw WriteError(path, why, errno);
    }
    throw InputError(format.refusal);
}

void writeBilevelMap(const std::string& path, cv::InputArray map) {
    const cv::Mat m = map.getMat();
    detail::requireType(m.dims == 2 && m.type() == CV_8UC1, "A map", "CV_8UC1", m);
    std::string why;
    if (!detail::writeBilevelPng(m.data, m.step, m.rows, m.cols, path, why)) throw WriteError(path, why, errno);
}

void writeJpeg(const std::string& path, cv::InputArray picture, int quality, bool durable) {
    const cv::Mat m = picture.getMat();
    detail::requireType(m.dims == 2 && m.type() == CV_8UC3, "A picture", "CV_8UC3", m);
    std::string why;
    if (!detail::writeJpeg(m, quality, path, why, durable)) throw WriteError(path, why, errno);
}

void writeFileWhole(const std::string& path, const void* bytes, size_t size) {
    std::string why;
    if (!detail::writeFileWhole(path, bytes, size, why)) throw WriteError(path, why, errno);
}

}  // namespace roughgc

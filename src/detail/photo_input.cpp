#include "detail/photo_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <opencv2/imgcodecs.hpp>
#include <vector>

namespace roughgc::detail {

namespace {

// Header fields can announce more pixels than OpenCV accepts: it throws.
template <class Decode>
cv::Mat decodeGuarded(Decode decode) {
    cv::Mat image;
    try {
        image = decode();
    } catch (const cv::Exception&) {
        return cv::Mat();
    }
    if (image.data == nullptr) return cv::Mat();
    if (!image.isContinuous()) image = image.clone();
    return image;
}

// Everything the descriptor yields up to its end; false if reading fails or
// the stream is longer than `limit`.
bool readToEnd(int fd, size_t limit, std::vector<unsigned char>& bytes) {
    size_t used = 0;
    for (;;) {
        if (bytes.size() - used < 65536) bytes.resize(std::max<size_t>(2 * bytes.size(), used + 65536));
        const ssize_t n = read(fd, bytes.data() + used, bytes.size() - used);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        used += static_cast<size_t>(n);
        if (used > limit) return false;
    }
    bytes.resize(used);
    return true;
}

}  // namespace

cv::Mat decodePhoto(const unsigned char* bytes, size_t size) {
    if (size == 0 || size > static_cast<size_t>(INT_MAX)) return cv::Mat();
    return decodeGuarded([&] {
        const cv::Mat encoded(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char*>(bytes));
        return cv::imdecode(encoded, cv::IMREAD_COLOR);
    });
}

cv::Mat readPhoto(const std::string& path) {
    struct stat st;
    const bool streamed =
        stat(path.c_str(), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode));
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    // cv::imread would print a warning of its own for a file it cannot open.
    if (fd < 0) return cv::Mat();
    if (!streamed) {
        close(fd);
        return decodeGuarded([&] { return cv::imread(path, cv::IMREAD_COLOR); });
    }
    std::vector<unsigned char> bytes;
    const bool complete = readToEnd(fd, kMaxStreamedPhotoBytes, bytes);
    close(fd);
    if (!complete) return cv::Mat();
    return decodePhoto(bytes.data(), bytes.size());
}

}  // namespace roughgc::detail

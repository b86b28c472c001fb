#include "detail/io/photo_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <opencv2/imgcodecs.hpp>

#include "detail/io/decode_limits.h"
#include "detail/io/photo_header.h"
#include "roughgc/errors.hpp"
#include "detail/io/photo_input.h"

namespace roughgc::detail {

namespace {

bool looksLikePng(const unsigned char* b, size_t n) { return n >= 8 && std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0; }
bool looksLikeWebp(const unsigned char* b, size_t n) {
    return n >= 12 && std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "WEBP", 4) == 0;
}

// The decoded photo as `target`'s matrix: copied there unless the decoder
// already wrote it there.
cv::Mat intoTarget(const cv::Mat& decoded, const PhotoTarget& target) {
    if (decoded.empty()) return cv::Mat();
    cv::Mat out = target(decoded.rows, decoded.cols);
    if (out.data != decoded.data) decoded.copyTo(out);
    return out;
}

// A decoder's cv::Exception: an allocation that failed is out of memory,
// anything else (a header over OpenCV's limits) an unreadable photo.
template <class Decode>
cv::Mat guarded(Decode decode) {
    try {
        return decode();
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) throw std::bad_alloc();
        return cv::Mat();
    }
}

// Turns an upright decoded JPEG as cv::imread applies EXIF orientation 2 to
// 8 (the transposing ones, 5 to 8, have been transposed already).
void flipFor(int orientation, cv::Mat& image) {
    switch (orientation) {
        case 2: case 6: cv::flip(image, image, 1); break;
        case 3: case 7: cv::flip(image, image, -1); break;
        case 4: case 8: cv::flip(image, image, 0); break;
        default: break;
    }
}

// Page-locked memory that could not be had is memory that ran out.
void reserve(PinnedArray<unsigned char>& buffer, size_t bytes) {
    try {
        buffer.reserve(bytes);
    } catch (const roughgc::DeviceError& e) {
        if (e.outOfMemory()) throw std::bad_alloc();
        throw;
    }
}

}  // namespace

PhotoReader::PhotoReader() = default;
PhotoReader::~PhotoReader() = default;

void PhotoReader::reserveBytes(size_t size) {
    if (size <= capacity_) return;
    bytes_.reset();
    capacity_ = 0;
    bytes_.reset(new unsigned char[size]);
    capacity_ = size;
}

LoadEnd PhotoReader::load(const std::string& path, const std::function<bool()>& stopRequested) {
    path_ = path;
    size_ = 0;
    regularFile_ = false;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return LoadEnd::Failed;
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0) return LoadEnd::Failed;
    const bool pipe = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    if (S_ISREG(st.st_mode)) {
        regularFile_ = true;
        if (st.st_size <= 0 || static_cast<unsigned long long>(st.st_size) > INT_MAX) return LoadEnd::Failed;
        const size_t size = static_cast<size_t>(st.st_size);
        reserveBytes(size);
        // A file that shrinks meanwhile is what is left of it; one that
        // grows, its first st_size bytes.
        while (size_ < size) {
            const ssize_t n = pread(fd, bytes_.get() + size_, size - size_, static_cast<off_t>(size_));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return LoadEnd::Failed;
            if (n == 0) break;
            size_ += static_cast<size_t>(n);
        }
        return size_ > 0 ? LoadEnd::Loaded : LoadEnd::Failed;
    }
    if (!pipe && !S_ISCHR(st.st_mode)) return LoadEnd::Failed;
    const StreamEnd end =
        readToEnd(fd, pipe, kMaxStreamedPhotoBytes, stopRequested, [this](const unsigned char* data, size_t n) {
            if (size_ + n > capacity_) {
                size_t grown = capacity_ < 65536 ? 65536 : capacity_;
                while (grown < size_ + n) grown *= 2;
                std::unique_ptr<unsigned char[]> larger(new unsigned char[grown]);
                if (size_ > 0) std::memcpy(larger.get(), bytes_.get(), size_);
                bytes_ = std::move(larger);
                capacity_ = grown;
            }
            std::memcpy(bytes_.get() + size_, data, n);
            size_ += n;
            return true;
        });
    if (end == StreamEnd::Interrupted) return LoadEnd::Interrupted;
    if (end != StreamEnd::Complete || size_ > static_cast<size_t>(INT_MAX)) return LoadEnd::Failed;
    return LoadEnd::Loaded;
}

PhotoRoute PhotoReader::route(bool rowsWanted, JpegHeader& header) {
    const unsigned char* b = bytes_.get();
    if (looksLikeJpeg(b, size_)) {
        // A header libjpeg refuses makes cv::imread fail as well: the whole
        // route then fails the same way.
        if (!jpeg_.start(b, size_, header)) return PhotoRoute::Jpeg;
        if (!header.decodesAsOpenCv() || !header.orientationSure) return PhotoRoute::Imread;
        return rowsWanted && header.upright() ? PhotoRoute::StreamedJpeg : PhotoRoute::Jpeg;
    }
    if (looksLikePng(b, size_) || looksLikeWebp(b, size_)) return PhotoRoute::Decoder;
    return PhotoRoute::Imread;
}

cv::Mat PhotoReader::decode(const PhotoTarget& target) {
    if (size_ == 0) return cv::Mat();
    JpegHeader header;
    const PhotoRoute how = route(false, header);
    if (how == PhotoRoute::Jpeg) return decodeJpeg(target, header);
    return decodeOpenCv(target, how);
}

cv::Mat PhotoReader::decodeJpeg(const PhotoTarget& target, const JpegHeader& header) {
    if (header.width == 0 || !jpeg_.begin()) return cv::Mat();
    const int rows = static_cast<int>(header.height), cols = static_cast<int>(header.width);
    const int o = header.orientation;
    if (o < 5) {
        cv::Mat out = target(rows, cols);
        if (!jpeg_.read(out.data, out.step[0], header.height) || !jpeg_.finish()) return cv::Mat();
        flipFor(o, out);
        return out;
    }
    // Transposed: decoded beside the target first.
    const size_t bytes = header.height * header.width * 3;
    reserve(scratch_, bytes);
    cv::Mat decoded(rows, cols, CV_8UC3, scratch_.get());
    if (!jpeg_.read(decoded.data, decoded.step[0], header.height) || !jpeg_.finish()) return cv::Mat();
    cv::Mat out = target(cols, rows);
    cv::transpose(decoded, out);
    flipFor(o, out);
    return out;
}

cv::Mat PhotoReader::decodeOpenCv(const PhotoTarget& target, PhotoRoute how) {
    if (how == PhotoRoute::Decoder) {
        // Sized from the header, so that OpenCV decodes straight into the
        // target; a decoder that sizes it otherwise allocates its own.
        cv::Mat view;
        if (const auto size = photoDimensions(bytes_.get(), size_);
            size && size->width <= INT_MAX && size->height <= INT_MAX && size->width * size->height <= (uint64_t{1} << 30))
            view = target(static_cast<int>(size->height), static_cast<int>(size->width));
        const cv::Mat encoded(1, static_cast<int>(size_), CV_8UC1, bytes_.get());
        return intoTarget(guarded([&] {
                              cv::imdecode(encoded, cv::IMREAD_COLOR, &view);
                              return view;
                          }),
                          target);
    }
    // OpenCV's file reader and its in-memory one part ways on cut files of
    // these formats: the file reader decides.
    cv::Mat decoded = regularFile_ ? guarded([&] { return cv::imread(path_, cv::IMREAD_COLOR); })
                                   : decodePhoto(bytes_.get(), size_);
    return intoTarget(decoded, target);
}

cv::Size PhotoReader::announcedSize() const {
    const auto size = photoDimensions(bytes_.get(), size_);
    if (!size || size->width > INT_MAX || size->height > INT_MAX) return cv::Size();
    return cv::Size(static_cast<int>(size->width), static_cast<int>(size->height));
}

std::string PhotoReader::sizeProblem() const {
    const auto size = photoDimensions(bytes_.get(), size_);
    if (!size || withinDecodeLimits(size->width, size->height)) return "";
    return decodeLimitProblem(size->width, size->height);
}

PhotoTarget PhotoReader::keptTarget() {
    return [this](int rows, int cols) {
        const size_t bytes = static_cast<size_t>(rows) * static_cast<size_t>(cols) * 3;
        reserve(image_, bytes);
        return cv::Mat(rows, cols, CV_8UC3, image_.get());
    };
}

}  // namespace roughgc::detail

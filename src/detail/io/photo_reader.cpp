#include "detail/io/photo_reader.h"

#include <climits>
#include <new>

#include "detail/io/codec_plugin.h"
#include "detail/io/decode_limits.h"
#include "detail/io/photo_header.h"
#include "detail/io/photo_input.h"
#include "roughgc/errors.hpp"

namespace roughgc::detail {

namespace {

// Enough of a file for every header but a JPEG's whose metadata comes first,
// which libjpeg reads on as far as it needs.
constexpr size_t kHeaderBytes = size_t{4} << 20;

// Turns an upright decoded photo as cv::imread applies EXIF orientation 2
// to 8 (the transposing ones, 5 to 8, have been transposed already).
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

cv::Size sizeOf(size_t width, size_t height) {
    if (width > INT_MAX || height > INT_MAX) return cv::Size();
    return cv::Size(static_cast<int>(width), static_cast<int>(height));
}

}  // namespace

PhotoReader::PhotoReader() = default;
PhotoReader::~PhotoReader() = default;

LoadEnd PhotoReader::load(const std::string& path, const std::function<bool()>& stopRequested) {
    route_ = PhotoRoute::Refused;
    routed_ = false;
    problem_.clear();
    problemKind_ = Problem::None;
    announced_.reset();
    streamedSize_ = cv::Size();
    format_ = nullptr;
    bytesBefore_ = bytes_.capacity();
    imageBefore_ = image_.capacity();
    scratchBefore_ = scratch_.capacity();
    return bytes_.load(path, stopRequested);
}

PhotoRoute PhotoReader::route(bool rowsWanted) {
    routed_ = true;
    problem_.clear();
    problemKind_ = Problem::None;
    announced_.reset();
    streamedSize_ = cv::Size();
    format_ = nullptr;
    route_ = PhotoRoute::Refused;
    const size_t head = bytes_.fetch(kHeaderBytes);
    const unsigned char* b = bytes_.data();
    if (head == 0) return route_;
    // Limits that cannot be known stop OpenCV itself: nothing is decoded.
    if (problem_ = decodeLimitsProblem(); !problem_.empty()) {
        problemKind_ = Problem::BadLimits;
        return route_;
    }
    if (looksLikeJpeg(b, head)) {
        // A header libjpeg refuses makes cv::imread fail as well.
        if (!jpeg_.start(bytes_, jpegHeader_)) return route_;
        announced_ = PhotoDimensions{jpegHeader_.width, jpegHeader_.height};
        if (!jpegHeader_.decodesAsOpenCv()) {
            problem_ = decodeLimitProblem(jpegHeader_.width, jpegHeader_.height);
            problemKind_ = Problem::TooLarge;
            return route_;
        }
        if (!jpegHeader_.orientationSure) {
            // What OpenCV's EXIF reader makes of this one is its own.
            format_ = "JPEG";
            return route_ = PhotoRoute::Codecs;
        }
        if (rowsWanted && jpegHeader_.upright()) {
            streamedSize_ = sizeOf(jpegHeader_.width, jpegHeader_.height);
            return route_ = PhotoRoute::StreamedJpeg;
        }
        return route_ = PhotoRoute::Jpeg;
    }
    if (looksLikePng(b, head)) {
        if (!png_.start(bytes_, pngHeader_)) return route_;
        announced_ = PhotoDimensions{pngHeader_.width, pngHeader_.height};
        if (!withinDecodeLimits(pngHeader_.width, pngHeader_.height)) {
            problem_ = decodeLimitProblem(pngHeader_.width, pngHeader_.height);
            problemKind_ = Problem::TooLarge;
            return route_;
        }
        if (!pngHeader_.orientationSure) {
            format_ = "PNG";
            return route_ = PhotoRoute::Codecs;
        }
        if (rowsWanted && pngHeader_.upright() && !pngHeader_.interlaced) {
            streamedSize_ = sizeOf(pngHeader_.width, pngHeader_.height);
            return route_ = PhotoRoute::StreamedPng;
        }
        return route_ = PhotoRoute::Png;
    }
    announced_ = photoDimensions(b, head);
    format_ = codecFormat(b, head);
    return route_ = PhotoRoute::Codecs;
}

cv::Mat PhotoReader::decode(const PhotoTarget& target) {
    cv::Mat out;
    try {
        out = decodeRoute(target);
    } catch (const std::bad_alloc&) {
        forgetPhoto();
        throw;
    }
    if (out.empty()) forgetPhoto();
    return out;
}

void PhotoReader::forgetPhoto() {
    // A refused photo may have grown the buffers far past any photo read:
    // a header that lies about its size asks for gigabytes.
    if (image_.capacity() > imageBefore_) image_.release();
    if (scratch_.capacity() > scratchBefore_) scratch_.release();
    if (bytes_.capacity() > bytesBefore_) bytes_.release();
    imageBefore_ = image_.capacity();
    scratchBefore_ = scratch_.capacity();
    bytesBefore_ = bytes_.capacity();
}

cv::Mat PhotoReader::decodeRoute(const PhotoTarget& target) {
    if (bytes_.size() == 0) return cv::Mat();
    switch (route(false)) {
        case PhotoRoute::Jpeg: return decodeJpeg(target);
        case PhotoRoute::Png: return decodePng(target);
        case PhotoRoute::Codecs: return decodeCodecs(target);
        default: return cv::Mat();
    }
}

cv::Mat PhotoReader::decodeJpeg(const PhotoTarget& target) {
    const JpegHeader& h = jpegHeader_;
    if (!jpeg_.begin()) return cv::Mat();
    const int rows = static_cast<int>(h.height), cols = static_cast<int>(h.width);
    if (h.orientation < 5) {
        cv::Mat out = target(rows, cols);
        if (!jpeg_.read(out.data, out.step[0], h.height) || !jpeg_.finish()) return cv::Mat();
        flipFor(h.orientation, out);
        return out;
    }
    // Transposed: decoded beside the target first.
    reserve(scratch_, h.height * h.width * 3);
    const cv::Mat decoded(rows, cols, CV_8UC3, scratch_.get());
    if (!jpeg_.read(decoded.data, decoded.step[0], h.height) || !jpeg_.finish()) return cv::Mat();
    return turned(decoded, h.orientation, target);
}

cv::Mat PhotoReader::decodePng(const PhotoTarget& target) {
    const PngHeader& h = pngHeader_;
    if (!png_.begin()) return cv::Mat();
    const int rows = static_cast<int>(h.height), cols = static_cast<int>(h.width);
    int orientation = 1;
    bool sure = true;
    if (h.upright()) {
        // No EXIF anywhere: straight into the target.
        cv::Mat out = target(rows, cols);
        if (!png_.readImage(out.data, out.step[0]) || !png_.finish(orientation, sure)) return cv::Mat();
        if (orientation == 1 && sure) return out;
        // Turned after all: from a copy beside the target.
        reserve(scratch_, h.height * h.width * 3);
        const cv::Mat decoded(rows, cols, CV_8UC3, scratch_.get());
        out.copyTo(decoded);
        if (sure) return turned(decoded, orientation, target);
        format_ = "PNG";
        return decodeCodecs(target);
    }
    // The orientation is known once the rows are read: they go beside the
    // target first.
    reserve(scratch_, h.height * h.width * 3);
    const cv::Mat decoded(rows, cols, CV_8UC3, scratch_.get());
    if (!png_.readImage(decoded.data, decoded.step[0]) || !png_.finish(orientation, sure)) return cv::Mat();
    if (!sure) {
        format_ = "PNG";
        return decodeCodecs(target);
    }
    return turned(decoded, orientation, target);
}

cv::Mat PhotoReader::turned(const cv::Mat& upright, int orientation, const PhotoTarget& target) {
    if (orientation < 5) {
        cv::Mat out = target(upright.rows, upright.cols);
        if (orientation == 1) {
            upright.copyTo(out);
        } else {
            cv::flip(upright, out, orientation == 2 ? 1 : orientation == 3 ? -1 : 0);
        }
        return out;
    }
    cv::Mat out = target(upright.cols, upright.rows);
    cv::transpose(upright, out);
    flipFor(orientation, out);
    return out;
}

cv::Mat PhotoReader::decodeCodecs(const PhotoTarget& target) {
    const RoughgcCodecs* codecs = codecPlugin();
    if (codecs == nullptr) {
        // Without the codecs, what they would read is refused by name; any
        // other bytes are not a photo OpenCV knows either.
        if (format_ != nullptr) {
            problem_ = codecsMissing(format_, "photos");
            problemKind_ = Problem::NoCodecs;
        }
        return cv::Mat();
    }
    cv::Mat decoded;
    int status = ROUGHGC_CODECS_REFUSED;
    if (bytes_.regularFile()) {
        // OpenCV's file reader and its in-memory one part ways on cut files
        // of some formats: the file reader decides.
        status = codecs->read(bytes_.path().c_str(), &decoded);
    } else {
        const size_t size = bytes_.fetchAll();
        MemoryFile file;
        if (file.ok() && file.append(bytes_.data(), size)) status = codecs->read(file.path().c_str(), &decoded);
    }
    if (status == ROUGHGC_CODECS_OUT_OF_MEMORY) throw std::bad_alloc();
    if (status != ROUGHGC_CODECS_DONE || decoded.empty()) {
        // cv::imread refuses a header over its limits: say so.
        if (announced_ && !withinDecodeLimits(announced_->width, announced_->height)) {
            problem_ = decodeLimitProblem(announced_->width, announced_->height);
            problemKind_ = Problem::TooLarge;
        }
        return cv::Mat();
    }
    cv::Mat out = target(decoded.rows, decoded.cols);
    decoded.copyTo(out);
    return out;
}

std::string PhotoReader::problem() {
    if (!routed_ && bytes_.size() > 0) route(false);
    return problem_;
}

PhotoReader::Problem PhotoReader::problemKind() {
    if (!routed_ && bytes_.size() > 0) route(false);
    return problemKind_;
}

cv::Size PhotoReader::announcedSize() {
    if (!routed_ && bytes_.size() > 0) route(false);
    return announced_ ? sizeOf(announced_->width, announced_->height) : cv::Size();
}

PhotoTarget PhotoReader::keptTarget() {
    return [this](int rows, int cols) {
        const size_t bytes = static_cast<size_t>(rows) * static_cast<size_t>(cols) * 3;
        reserve(image_, bytes);
        return cv::Mat(rows, cols, CV_8UC3, image_.get());
    };
}

size_t PhotoReader::heldBytes() const { return bytes_.capacity() + image_.capacity() + scratch_.capacity(); }

}  // namespace roughgc::detail

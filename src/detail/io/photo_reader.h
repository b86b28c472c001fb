// Photos read one after another into memory that is kept: the file's bytes
// and the decoded pixels grow for a larger photo and are reused otherwise,
// so that a run of photos is not a run of fresh allocations faulted in page
// by page. The pixels are cv::imread(path, IMREAD_COLOR)'s, byte for byte,
// whatever was decoded before, and a photo that cv::imread refuses is
// refused: JPEG by libjpeg, PNG by libpng, the rest by cv::imread itself in
// the codec plugin.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <opencv2/core.hpp>
#include <string>

#include "detail/device/device.h"
#include "detail/io/jpeg_rows.h"
#include "detail/io/photo_bytes.h"
#include "detail/io/photo_header.h"
#include "detail/io/png_rows.h"

namespace roughgc::detail {

// Gives the matrix a photo of `rows` x `cols` is decoded into: 8-bit BGR,
// that size, continuous.
using PhotoTarget = std::function<cv::Mat(int rows, int cols)>;

// How a photo is decoded, chosen from its header.
enum class PhotoRoute {
    StreamedJpeg,  // a JPEG in its final orientation: rows straight to whoever reads them
    Jpeg,          // a JPEG decoded whole by libjpeg, then turned as its EXIF says
    StreamedPng,   // a PNG, not interlaced, in its final orientation: rows straight to whoever reads them
    Png,           // a PNG decoded whole by libpng, then turned as its EXIF says
    Codecs,        // anything else: cv::imread in the codec plugin, then copied
    Refused,       // refused by its header: see problem()
};

class PhotoReader {
public:
    PhotoReader();
    ~PhotoReader();
    PhotoReader(const PhotoReader&) = delete;
    PhotoReader& operator=(const PhotoReader&) = delete;

    // Opens the photo at `path` (see PhotoBytes::load): a regular file is
    // read as far as its decoder goes, a pipe or character device whole,
    // waiting for a writer (and giving up, Interrupted, when
    // `stopRequested` says so).
    LoadEnd load(const std::string& path, const std::function<bool()>& stopRequested = {});

    // The route for the photo loaded, from its header. `rowsWanted` asks for
    // a streamed route where the photo allows it.
    PhotoRoute route(bool rowsWanted);

    // After route() gave a streamed route: the photo's width and height,
    // and its decoder, with the header read; begin() it to read the rows.
    cv::Size streamedSize() const { return streamedSize_; }
    JpegRows& jpeg() { return jpeg_; }
    PngRows& png() { return png_; }

    // Decodes the loaded photo into `target`'s matrix, as cv::imread does.
    // Returns that matrix, or an empty one if the photo cannot be decoded,
    // after which no memory grown for it is kept. Throws std::bad_alloc
    // where memory ran out.
    cv::Mat decode(const PhotoTarget& target);

    // Why the loaded photo, which could not be decoded, could not be, in one
    // line: its header announces a size over OpenCV's limits (see
    // decodeLimitProblem), those limits are set to nonsense, or its format
    // needs OpenCV's image codecs and they are not installed. Empty for a
    // photo that is merely unreadable.
    std::string problem();
    enum class Problem { None, TooLarge, NoCodecs, BadLimits };
    Problem problemKind();
    // The size its header announces, as far as one is known.
    cv::Size announcedSize();

    // The memory a reader keeps after a photo of `fileBytes` bytes and
    // `height` x `width` pixels: the file's bytes and, unless the photo
    // was streamed, its decoded BGR pixels, with the scratch image of a
    // photo that is turned (or may be) across its diagonal.
    static size_t keptBytes(size_t fileBytes, size_t height, size_t width, bool streamed, bool turned) {
        return fileBytes + (streamed ? 0 : 3 * height * width * (turned ? 2 : 1));
    }

    // A target in memory that this reader keeps (page-locked on a GPU, so
    // that its upload needs no staging copy).
    PhotoTarget keptTarget();
    // The bytes of memory the reader holds now.
    size_t heldBytes() const;

    // Gives back what the reader grew for the photo loaded, which was
    // refused: decode() does so itself, a caller that streamed the rows
    // and failed calls it.
    void forgetPhoto();

private:
    cv::Mat decodeRoute(const PhotoTarget& target);
    cv::Mat decodeJpeg(const PhotoTarget& target);
    cv::Mat decodePng(const PhotoTarget& target);
    cv::Mat decodeCodecs(const PhotoTarget& target);
    cv::Mat turned(const cv::Mat& upright, int orientation, const PhotoTarget& target);

    PhotoBytes bytes_;
    JpegRows jpeg_;
    PngRows png_;
    JpegHeader jpegHeader_;
    PngHeader pngHeader_;
    PhotoRoute route_ = PhotoRoute::Refused;
    bool routed_ = false;
    std::string problem_;
    Problem problemKind_ = Problem::None;
    std::optional<PhotoDimensions> announced_;
    cv::Size streamedSize_;
    const char* format_ = nullptr;  // a format left to the codec plugin, by name
    PinnedArray<unsigned char> image_, scratch_;  // the photo, and a photo before it is turned
    size_t bytesBefore_ = 0, imageBefore_ = 0, scratchBefore_ = 0;  // what was held before this photo
};

}  // namespace roughgc::detail

// Photos read one after another into memory that is kept: the file's bytes
// and the decoded pixels grow for a larger photo and are reused otherwise,
// so that a run of photos is not a run of fresh allocations faulted in page
// by page. The pixels are cv::imread(path, IMREAD_COLOR)'s, byte for byte,
// whatever was decoded before.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <string>

#include "detail/device/device.h"
#include "detail/io/jpeg_rows.h"

namespace roughgc::detail {

// Gives the matrix a photo of `rows` x `cols` is decoded into: 8-bit BGR,
// that size, continuous.
using PhotoTarget = std::function<cv::Mat(int rows, int cols)>;

// How a photo is decoded, chosen from its header.
enum class PhotoRoute {
    StreamedJpeg,  // a JPEG in its final orientation: rows straight to whoever reads them
    Jpeg,          // a JPEG decoded whole by libjpeg, then turned as its EXIF says
    Decoder,       // PNG or WebP: OpenCV's decoder, into the kept image
    Imread,        // everything else: cv::imread itself, then copied
};

// Where a photo's bytes came from, and whether they all came.
enum class LoadEnd { Loaded, Failed, Interrupted };

class PhotoReader {
public:
    PhotoReader();
    ~PhotoReader();
    PhotoReader(const PhotoReader&) = delete;
    PhotoReader& operator=(const PhotoReader&) = delete;

    // Reads the whole file at `path` into the kept byte buffer. Pipes and
    // character devices are read to their end, at most
    // kMaxStreamedPhotoBytes, waiting for a writer as readPhoto does (and
    // giving up, Interrupted, when `stopRequested` says so).
    LoadEnd load(const std::string& path, const std::function<bool()>& stopRequested = {});

    // The route for the bytes loaded, from their header; for a JPEG,
    // `header` is what libjpeg read of it. `rowsWanted` asks for the
    // streamed route where the photo allows it.
    PhotoRoute route(bool rowsWanted, JpegHeader& header);

    // Decodes the loaded photo into `target`'s matrix, as cv::imread does.
    // Returns that matrix, or an empty one if the photo cannot be decoded.
    // Throws std::bad_alloc where memory ran out.
    cv::Mat decode(const PhotoTarget& target);

    // After route() said StreamedJpeg: the decoder, with the header read.
    JpegRows& jpeg() { return jpeg_; }

    // Why the loaded photo, which could not be decoded, could not be: its
    // header announces a size over OpenCV's limits (see decodeLimitProblem);
    // empty for any other reason.
    std::string sizeProblem() const;
    // The size its header announces, as far as one is known.
    cv::Size announcedSize() const;

    // The memory a reader keeps after a photo of `fileBytes` bytes and
    // `height` x `width` pixels: the file's bytes and, unless the photo
    // was streamed, its decoded BGR pixels, with the scratch image of a
    // JPEG that is turned across its diagonal.
    static size_t keptBytes(size_t fileBytes, size_t height, size_t width, bool streamed, bool turned) {
        return fileBytes + (streamed ? 0 : 3 * height * width * (turned ? 2 : 1));
    }

    // A target in memory that this reader keeps (page-locked on a GPU, so
    // that its upload needs no staging copy).
    PhotoTarget keptTarget();

private:
    cv::Mat decodeJpeg(const PhotoTarget& target, const JpegHeader& header);
    cv::Mat decodeOpenCv(const PhotoTarget& target, PhotoRoute route);
    void reserveBytes(size_t size);

    std::string path_;
    bool regularFile_ = false;
    std::unique_ptr<unsigned char[]> bytes_;
    size_t size_ = 0, capacity_ = 0;
    JpegRows jpeg_;
    PinnedArray<unsigned char> image_, scratch_;  // the photo, and a JPEG before it is turned
};

}  // namespace roughgc::detail

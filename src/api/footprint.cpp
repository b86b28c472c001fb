// What a photo file will hold when it is extracted, from its header.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "detail/io/jpeg_rows.h"
#include "detail/io/opened_file.h"
#include "detail/io/photo_header.h"
#include "detail/io/photo_reader.h"
#include "detail/io/png_rows.h"
#include "detail/pipeline/rough_pipeline.h"
#include "roughgc/roughgc.hpp"

namespace roughgc {

namespace {

// The start of a regular file: enough for every header bar a JPEG's with
// large metadata, which then costs as a photo decoded whole.
constexpr size_t kHeaderBytes = size_t{256} << 10;

struct FileStart {
    std::vector<unsigned char> bytes;
    size_t fileSize = 0;
};

// Only a regular file is opened (see OpenedFile).
std::optional<FileStart> fileStart(const std::string& path) {
    const detail::OpenedFile file(path.c_str(), true);
    if (!file.regular()) return std::nullopt;
    FileStart start;
    start.fileSize = file.size();
    start.bytes.resize(std::min(kHeaderBytes, start.fileSize));
    const ssize_t n = pread(file.fd(), start.bytes.data(), start.bytes.size(), 0);
    start.bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return start;
}

}  // namespace

bool extractionsRunInParallel() {
    // The row schedule runs an extraction on its caller's core; the kernel
    // schedule is a device's, which takes one photo at a time.
    static const bool rows = detail::defaultSchedule() == detail::Schedule::Rows;
    return rows;
}

Footprint photoFootprint(const std::string& path, bool decodedAhead) {
    namespace d = detail;
    const auto start = fileStart(path);
    if (!start) return {};
    const auto size = d::photoDimensions(start->bytes.data(), start->bytes.size());
    if (!size) return {};
    // Past 2^40 pixels no decoder goes on: the header is nonsense.
    if (size->width > (uint64_t{1} << 40) / size->height) return {};
    const size_t height = size->height, width = size->width, pixels = width * height;
    const size_t map = pixels / 9;  // the result, until it is written
    const cv::Size photo(static_cast<int>(width), static_cast<int>(height));
    if (decodedAhead) {
        // The decoded BGR pixels, with room for a decoder's grey or
        // four-channel rows before conversion, and the map; the extractor's
        // host memory (see keptHostBytes).
        return {4 * pixels + map, d::RoughPipeline::keptHostBytes(height, width, false), true, photo};
    }
    const unsigned char* head = start->bytes.data();
    const size_t headBytes = start->bytes.size();
    d::JpegHeader jpeg;
    const bool isJpeg = d::looksLikeJpeg(head, headBytes);
    bool headerRead = false;
    if (isJpeg) {
        d::JpegRows reader;
        headerRead = reader.start(head, headBytes, jpeg);
    }
    // A PNG turned by an EXIF block after its rows, which this start of
    // the file may not reach, is costed as one that is not: such blocks
    // are rare.
    d::PngHeader png;
    const bool isPng = d::looksLikePng(head, headBytes);
    const bool pngRead = isPng && d::PngRows().start(head, headBytes, png);
    const bool pngStreams = pngRead && png.orientationSure && png.orientation == 1 && !png.interlaced;
    if (extractionsRunInParallel() && ((headerRead && jpeg.upright() && jpeg.decodesAsOpenCv()) || pngStreams)) {
        // Streamed: libjpeg's coefficients of a progressive file besides.
        return {map + jpeg.coefficientBytes,
                d::PhotoReader::keptBytes(start->fileSize, height, width, true, false) +
                    d::RoughPipeline::keptHostBytes(height, width, true),
                true, photo};
    }
    // Decoded whole into the extractor's kept image; a photo that is turned
    // across its diagonal (or may be) is decoded beside it first. What the
    // codec plugin decodes comes in fresh memory before it is copied there.
    const bool turned = (isJpeg && (!headerRead || jpeg.orientation >= 5 || !jpeg.orientationSure)) ||
                        (isPng && (!pngRead || png.orientation >= 5 || !png.orientationSure));
    const bool ownDecoder = headerRead || pngRead;
    const size_t kept = d::PhotoReader::keptBytes(start->fileSize, height, width, false, turned) +
                        d::RoughPipeline::keptHostBytes(height, width, false);
    return {map + (headerRead ? jpeg.coefficientBytes : ownDecoder ? 0 : 3 * pixels), kept, true, photo};
}

}  // namespace roughgc

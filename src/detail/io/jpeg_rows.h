// JPEG photos decoded by libjpeg, row by row, with the very settings that
// cv::imread(path, IMREAD_COLOR) gives the same libjpeg: BGR out, whatever
// the file's colour space, and a cut file's missing data taken as the end of
// the image, so that every row comes out, as from a file.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "detail/io/byte_source.h"

namespace roughgc::detail {

// What a JPEG's header tells, read by libjpeg.
struct JpegHeader {
    size_t width = 0, height = 0;
    int components = 0;    // 1 grey, 3 colour, 4 CMYK or YCCK
    bool progressive = false;
    // The EXIF orientation that cv::imread applies (1 to 8; 1 for none), as
    // OpenCV's EXIF reader finds it in the first APP1 segment. Where that
    // reader's result is not certain (a malformed directory), `orientationSure`
    // is false.
    int orientation = 1;
    bool orientationSure = true;
    // What libjpeg holds for the whole image while it decodes: the DCT
    // coefficients of a progressive file; 0 for a baseline one.
    size_t coefficientBytes = 0;

    // Whether cv::imread decodes the file at all: it refuses sizes over its
    // limits.
    bool decodesAsOpenCv() const;
    // Whether the rows come out in the photo's final orientation.
    bool upright() const { return orientationSure && orientation == 1; }
};

// libjpeg's decoding of one photo after another, each with a decompressor
// of its own, as cv::imread decodes it. Its calls return false when libjpeg
// fails on the data (a corrupt or cut header, an unrecoverable error in the
// scans): the photo cannot be read, as cv::imread cannot read it. libjpeg's
// warnings are not printed. Where libjpeg runs out of memory, they throw
// std::bad_alloc.
class JpegRows {
public:
    JpegRows();
    ~JpegRows();
    JpegRows(const JpegRows&) = delete;
    JpegRows& operator=(const JpegRows&) = delete;

    // Reads the header of the JPEG in `bytes` (which must stay valid until
    // finish() or the next start()); any decoding under way is abandoned.
    bool start(ByteSource& bytes, JpegHeader& header);
    // The same over bytes in memory.
    bool start(const unsigned char* bytes, size_t size, JpegHeader& header);
    // Starts decoding the rows, as BGR: 3 * width bytes a row. A
    // four-component (CMYK) photo is converted as OpenCV converts it.
    bool begin();
    // The next `count` rows, `step` bytes apart from `first` on.
    bool read(unsigned char* first, size_t step, size_t count);
    // Reads what follows the last row, to the end of the image.
    bool finish();

private:
    bool readRest();

    struct State;
    std::unique_ptr<State> state_;
};

// Whether `bytes` begin as a file that OpenCV takes for a JPEG.
bool looksLikeJpeg(const unsigned char* bytes, size_t size);

}  // namespace roughgc::detail

// PNG photos decoded by libpng, row by row, with the very settings that
// cv::imread(path, IMREAD_COLOR) gives the same libpng: 8-bit BGR out,
// whatever the file's bit depth, colour type, palette, transparency or
// interlacing, and the file's EXIF orientation read as OpenCV reads it.
#pragma once

#include <cstddef>
#include <memory>

#include "detail/io/byte_source.h"
#include "detail/io/signatures.h"

namespace roughgc::detail {

// What a PNG's header tells, read by libpng.
struct PngHeader {
    size_t width = 0, height = 0;
    int bitDepth = 0;   // 1, 2, 4, 8 or 16
    int colorType = 0;  // libpng's PNG_COLOR_TYPE_*
    bool interlaced = false;
    // The EXIF orientation of an eXIf chunk before the image data, as
    // OpenCV's EXIF reader finds it (1 to 8; 1 for none); where that
    // reader's result is not certain, `orientationSure` is false.
    int orientation = 1;
    bool orientationSure = true;
    // Whether an eXIf chunk may follow the image data, whose orientation
    // cv::imread also applies (there is none before it): then the
    // orientation is known only once the rows are read. True too where the
    // chunks after the image data cannot be walked to IEND, which start()
    // finds by reading the whole file.
    bool exifAfterData = false;

    // Whether the rows come out in the photo's final orientation, as far as
    // the header can tell.
    bool upright() const { return orientationSure && orientation == 1 && !exifAfterData; }
};

// libpng's decoding of one photo after another, each with a reader of its
// own, as cv::imread decodes it. Its calls return false when libpng fails on
// the data (a bad signature, a corrupt or cut chunk, a CRC error in a
// critical chunk, too little image data, a missing end): the photo cannot
// be read, as cv::imread cannot read it. libpng's warnings and errors are
// not printed. Where libpng runs out of memory, the call throws
// std::bad_alloc, and what the byte source throws it throws again; the
// photo is abandoned either way.
class PngRows {
public:
    PngRows();
    ~PngRows();
    PngRows(const PngRows&) = delete;
    PngRows& operator=(const PngRows&) = delete;

    // Reads the signature and the chunks up to the image data from `bytes`
    // (which must stay valid until finish() or the next start()); any
    // decoding under way is abandoned.
    bool start(ByteSource& bytes, PngHeader& header);
    // The same over bytes in memory.
    bool start(const unsigned char* bytes, size_t size, PngHeader& header);
    // Starts decoding the rows, as 8-bit BGR: 3 * width bytes a row.
    bool begin();
    // The next `count` rows, `step` bytes apart from `first` on. Only for a
    // photo that is not interlaced.
    bool read(unsigned char* first, size_t step, size_t count);
    // Every row of the photo, interlaced or not, `step` bytes apart from
    // `first` on, in place of read() (false once read() has read a row):
    // what read() would give for all of them.
    bool readImage(unsigned char* first, size_t step);
    // Decodes the rows not read yet, then what follows them, to IEND: a
    // failure anywhere there fails cv::imread too. Gives the EXIF
    // orientation that cv::imread applies to the rows: that of an eXIf
    // chunk before the image data or, failing one, after it.
    bool finish(int& orientation, bool& orientationSure);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace roughgc::detail

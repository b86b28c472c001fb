// The EXIF orientation that cv::imread applies, read as OpenCV's EXIF
// reader reads it.
#pragma once

#include <cstddef>

namespace roughgc::detail {

struct ExifOrientation {
    int value = 1;      // 1 to 8; 1 where there is none
    bool sure = true;   // false where OpenCV's reader may find another
};

// The orientation in an EXIF TIFF structure of `n` bytes, as OpenCV's EXIF
// reader finds it: the structure that follows the 6 bytes "Exif\0\0" of a
// JPEG's APP1 segment (which that reader does not check), or a PNG's eXIf
// chunk whole. That reader walks the first directory entry by entry and
// stops at the first read out of bounds, keeping the entries before it; the
// first orientation entry counts. Where an entry that it would parse, before
// the orientation entry, reaches out of bounds, this walk cannot be sure
// what it does, and says so.
ExifOrientation exifOrientation(const unsigned char* data, size_t n);

}  // namespace roughgc::detail

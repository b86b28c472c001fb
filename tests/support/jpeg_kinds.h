// JPEGs of the kinds that cv::imread reads otherwise than a plain camera
// file, made from a photo, for holding every route to imread's pixels.
#pragma once

// jpeglib.h needs FILE and size_t declared before it.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>

#include <algorithm>
#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "jpeg_edits.h"

namespace jpeg_kinds {

// `bgr` as a four-component JPEG, as print tools write one: inks as Adobe
// stores them (inverted, so that OpenCV's conversion gives the photo back
// about as it was), kept as CMYK or transformed to YCCK (`stored`), with
// Adobe's marker, which libjpeg writes for both.
inline std::string fourComponent(const cv::Mat& bgr, J_COLOR_SPACE stored) {
    std::vector<unsigned char> inks(4 * static_cast<size_t>(bgr.cols));
    jpeg_compress_struct c;
    jpeg_error_mgr errors;
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(bgr.cols);
    c.image_height = static_cast<JDIMENSION>(bgr.rows);
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, stored);
    jpeg_start_compress(&c, TRUE);
    for (int r = 0; r < bgr.rows; ++r) {
        const unsigned char* p = bgr.ptr(r);
        for (int x = 0; x < bgr.cols; ++x, p += 3) {
            const int k = std::max({p[0], p[1], p[2]});
            unsigned char* ink = &inks[4 * static_cast<size_t>(x)];
            ink[0] = static_cast<unsigned char>(k == 0 ? 0 : p[2] * 255 / k);
            ink[1] = static_cast<unsigned char>(k == 0 ? 0 : p[1] * 255 / k);
            ink[2] = static_cast<unsigned char>(k == 0 ? 0 : p[0] * 255 / k);
            ink[3] = static_cast<unsigned char>(k);
        }
        JSAMPROW row = inks.data();
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::string jpeg(reinterpret_cast<const char*>(out), size);
    std::free(out);
    return jpeg;
}

// Files made from `jpeg`, a colour photo of 8-bit BGR `pixels`, by name:
// - turned by its EXIF segment, then followed by an XMP one, which does not
//   count;
// - stored as CMYK and as YCCK;
// - turned by an EXIF directory whose first entry OpenCV's reader reads in
//   its own way (a maker name of four characters, kept in the entry, whose
//   value field read as an offset points far past the segment), which a
//   reader cannot be sure of without reading as OpenCV does.
inline std::vector<std::pair<std::string, std::string>> jpegsOfEveryKind(const std::string& jpeg,
                                                                         const cv::Mat& pixels) {
    using namespace jpeg_edits;
    return {
        {"turned-then-xmp.jpg", withSegment(withOrientation(jpeg, 6), xmpSegment(), 1)},
        {"cmyk.jpg", fourComponent(pixels, JCS_CMYK)},
        {"ycck.jpg", fourComponent(pixels, JCS_YCCK)},
        {"maker-in-entry.jpg",
         withSegment(jpeg, exifSegment({{0x010F, 2, 4, std::string("Cam\0", 4)}, {0x0112, 3, 1, shortValue(6)}}))},
    };
}

}  // namespace jpeg_kinds

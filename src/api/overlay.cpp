// The result as a picture: the photo at its map's scale, the map's rough
// pixels painted over it.
#include <cstdint>
#include <cstdio>

#include "api/input_checks.h"
#include "detail/device/host_memory.h"
#include "roughgc/roughgc.hpp"

namespace roughgc {

namespace {

// Whether the memory that `a` and `b` were cut from has bytes in common:
// of a region of interest, the whole matrix it lies in counts.
bool shareMemory(const cv::Mat& a, const cv::Mat& b) {
    return a.datastart < b.dataend && b.datastart < a.dataend;
}

// One row of the photo at its map's scale from the three rows of its blocks:
// `cols` pixels of three channels, each the rounded mean of nine samples.
// A grey photo's one sample stands for all three channels, as extract()
// takes it; a fourth channel, alpha, is passed over.
template <int Channels>
void scaleRow(const unsigned char* const rows[3], unsigned char* into, int cols) {
    for (int x = 0; x < cols; ++x, into += 3) {
        const size_t first = static_cast<size_t>(x) * 3 * Channels;
        for (int c = 0; c < 3; ++c) {
            const size_t at = first + (Channels == 1 ? 0 : c);
            unsigned sum = 4;  // to round half up
            for (int dy = 0; dy < 3; ++dy) sum += rows[dy][at] + rows[dy][at + Channels] + rows[dy][at + 2 * Channels];
            into[c] = static_cast<unsigned char>(sum / 9);
        }
    }
}

template <int Channels>
void scale(const cv::Mat& photo, cv::Mat& into) {
    // Worth the cores only where there are megabytes to read; a caller whose
    // threads keep the cores busy runs this with one OpenMP thread anyway.
    const bool large = static_cast<int64_t>(into.rows) * into.cols >= (int64_t{1} << 16);
#pragma omp parallel for schedule(static) if (large)
    for (int y = 0; y < into.rows; ++y) {
        const unsigned char* const rows[3] = {photo.ptr(3 * y), photo.ptr(3 * y + 1), photo.ptr(3 * y + 2)};
        scaleRow<Channels>(rows, into.ptr(y), into.cols);
    }
}

void paint(const cv::Mat& map, int offset, const cv::Scalar& color, cv::Mat& into) {
    const unsigned char ink[3] = {cv::saturate_cast<unsigned char>(color[0]),
                                    cv::saturate_cast<unsigned char>(color[1]),
                                    cv::saturate_cast<unsigned char>(color[2])};
    for (int i = 0; i < map.rows; ++i) {
        const unsigned char* rough = map.ptr(i);
        unsigned char* at = into.ptr(i + offset) + 3 * static_cast<size_t>(offset);
        for (int j = 0; j < map.cols; ++j, at += 3) {
            if (rough[j] != 0) continue;
            at[0] = ink[0];
            at[1] = ink[1];
            at[2] = ink[2];
        }
    }
}

}  // namespace

void overlay(cv::InputArray photo, const Result& result, cv::OutputArray out, const cv::Scalar& color) {
    const cv::Mat image = photo.getMat();
    detail::requireType(image.dims == 2 && image.depth() == CV_8U &&
                            (image.channels() == 3 || image.channels() == 1 || image.channels() == 4),
                        "A photo", "8-bit with 3 (BGR), 1 (grey) or 4 (BGRA) channels", image);
    // A header of its own: `out` may be that very matrix, released below.
    const cv::Mat map = result.map;
    detail::requireType(map.dims == 2 && map.type() == CV_8UC1 && !map.empty(), "A result's map", "CV_8UC1", map);
    const int rows = image.rows / 3, cols = image.cols / 3;
    const int window = rows - map.rows;
    if (window < 1 || cols - map.cols != window) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "(!) A map of %d x %d pixels is not one of a %d x %d photo, whose maps are "
                      "(%d - window) x (%d - window) pixels for a window of at least 1",
                      map.cols, map.rows, image.cols, image.rows, cols, rows);
        throw InputError(line);
    }

    // A matrix that already fits keeps its memory, as create() keeps it; one
    // that does not gets fresh memory on huge pages, as readPhoto() gives.
    if (out.kind() == cv::_InputArray::MAT && (out.size() != cv::Size(cols, rows) || out.type() != CV_8UC3)) {
        cv::Mat& m = out.getMatRef();
        m.release();
        m.allocator = detail::hugePageAllocator();
    }
    out.create(rows, cols, CV_8UC3);
    cv::Mat target = out.getMat();
    // Memory of the photo's or the map's (a region of the photo, say) would
    // be written before it is read: the picture is made beside it.
    const bool aside = shareMemory(target, image) || shareMemory(target, map);
    cv::Mat picture = aside ? detail::freshMat(rows, cols, CV_8UC3) : target;

    switch (image.channels()) {
        case 1: scale<1>(image, picture); break;
        case 3: scale<3>(image, picture); break;
        default: scale<4>(image, picture); break;
    }
    paint(map, window / 2, color, picture);
    if (aside) picture.copyTo(target);
}

}  // namespace roughgc

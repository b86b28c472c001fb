// The result as a picture: the photo at its map's scale, the map's rough
// pixels painted over it.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "api/input_checks.h"
#include "api/map_scale.h"
#include "detail/device/host_memory.h"
#include "roughgc/roughgc.hpp"

namespace roughgc {

namespace {

// Whether the memory that `a` and `b` were cut from has bytes in common:
// of a region of interest, the whole matrix it lies in counts.
bool shareMemory(const cv::Mat& a, const cv::Mat& b) {
    return a.datastart < b.dataend && b.datastart < a.dataend;
}

// The sums of three photo rows' bytes, `n` of them.
void sumDown(const unsigned char* const rows[3], size_t n, uint16_t* down) {
    for (size_t k = 0; k < n; ++k) down[k] = static_cast<uint16_t>(rows[0][k] + rows[1][k] + rows[2][k]);
}

// One row of the photo at its map's scale, `cols` pixels of three channels,
// from the sums down its blocks' rows (3 x cols x Channels of them): the
// sums across three neighbours a pixel apart, over contiguous values that
// the compiler vectorises, and then each pixel's picked out and rounded. A
// grey photo's one sample stands for all three channels, as extract()
// takes it; a fourth channel, alpha, is passed over.
template <int Channels>
void meanRow(const uint16_t* down, int cols, uint16_t* across, unsigned char* into) {
    const size_t n = static_cast<size_t>(cols) * 3 * Channels;
    for (size_t k = 0; k + 2 * Channels < n; ++k)
        across[k] = static_cast<uint16_t>(down[k] + down[k + Channels] + down[k + 2 * Channels]);
    for (int x = 0; x < cols; ++x, into += 3) {
        const uint16_t* sums = across + static_cast<size_t>(x) * 3 * Channels;
        for (int c = 0; c < 3; ++c) into[c] = static_cast<unsigned char>((sums[Channels == 1 ? 0 : c] + 4) / 9);
    }
}

template <int Channels>
void scale(const cv::Mat& photo, cv::Mat& into) {
    // Worth the cores only where there are megabytes to read; a caller whose
    // threads keep the cores busy runs this with one OpenMP thread anyway.
    const bool large = static_cast<int64_t>(into.rows) * into.cols >= (int64_t{1} << 16);
    const size_t n = static_cast<size_t>(into.cols) * 3 * Channels;
#pragma omp parallel if (large)
    {
        std::vector<uint16_t> sums(2 * n);
#pragma omp for schedule(static)
        for (int y = 0; y < into.rows; ++y) {
            const unsigned char* const rows[3] = {photo.ptr(3 * y), photo.ptr(3 * y + 1), photo.ptr(3 * y + 2)};
            sumDown(rows, n, sums.data());
            meanRow<Channels>(sums.data(), into.cols, sums.data() + n, into.ptr(y));
        }
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

    detail::photoAtMapScale(image, picture);
    paint(map, window / 2, color, picture);
    if (aside) picture.copyTo(target);
}

void paintContours(cv::InputOutputArray picture, const Result& result, const cv::Scalar& color) {
    cv::Mat image = picture.getMat();
    detail::requireType(image.dims == 2 && image.type() == CV_8UC3, "A picture", "CV_8UC3", image);
    const cv::Mat map = result.map;
    detail::requireType(map.dims == 2 && map.type() == CV_8UC1 && !map.empty(), "A result's map", "CV_8UC1", map);
    const int window = image.rows - map.rows;
    if (window < 1 || image.cols - map.cols != window) {
        char line[192];
        std::snprintf(line, sizeof line,
                      "(!) A map of %d x %d pixels is not one of a picture of %d x %d, whose maps are "
                      "(%d - window) x (%d - window) pixels for a window of at least 1",
                      map.cols, map.rows, image.cols, image.rows, image.cols, image.rows);
        throw InputError(line);
    }
    paint(map, window / 2, color, image);
}

namespace detail {

void photoAtMapScale(const cv::Mat& photo, cv::Mat& into) {
    switch (photo.channels()) {
        case 1: scale<1>(photo, into); break;
        case 3: scale<3>(photo, into); break;
        default: scale<4>(photo, into); break;
    }
}

MapScaleSource::MapScaleSource(PhotoRowSource& inner, size_t height, size_t width, cv::Mat& into)
    : inner_(inner), width_(width), into_(into) {
    into_.create(static_cast<int>(height / 3), static_cast<int>(width / 3), CV_8UC3);
    down_.resize(9 * (width / 3));
    across_.resize(9 * (width / 3));
}

void MapScaleSource::add(const unsigned char* row) {
    const size_t block = seen_ / 3, line = seen_ % 3, n = down_.size();
    ++seen_;
    if (block >= static_cast<size_t>(into_.rows)) return;
    uint16_t* down = down_.data();
    if (line == 0) {
        for (size_t k = 0; k < n; ++k) down[k] = row[k];
        return;
    }
    for (size_t k = 0; k < n; ++k) down[k] = static_cast<uint16_t>(down[k] + row[k]);
    if (line == 2) meanRow<3>(down, into_.cols, across_.data(), into_.ptr(static_cast<int>(block)));
}

bool MapScaleSource::read(unsigned char* first, size_t step, size_t count) {
    if (!inner_.read(first, step, count)) return false;
    for (size_t r = 0; r < count; ++r) add(first + r * step);
    return true;
}

bool MapScaleSource::finish() {
    if (seen_ < 3 * static_cast<size_t>(into_.rows)) {
        row_.resize(3 * width_);
        while (seen_ < 3 * static_cast<size_t>(into_.rows)) {
            if (!inner_.read(row_.data(), row_.size(), 1)) return false;
            add(row_.data());
        }
    }
    return inner_.finish();
}

}  // namespace detail

}  // namespace roughgc

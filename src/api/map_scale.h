// A photo at its map's scale, H/3 x W/3 BGR pixels, each the mean of its
// 3 x 3 block rounded half up: made from a photo in memory, or from rows as
// they stream by, which are never held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "detail/stages/row_stages.h"

namespace roughgc::detail {

// `photo` (8-bit BGR, grey or BGRA) at its map's scale, into `into`
// (H/3 x W/3 CV_8UC3, made by the caller), grey as three equal channels.
void photoAtMapScale(const cv::Mat& photo, cv::Mat& into);

// The rows of `inner` passed on, and averaged into a picture at the map's
// scale on their way: after finish(), `into` (made (height/3) x (width/3)
// CV_8UC3 at construction) holds every block's mean. The rows that the
// reader asks for no more are read in finish(), as inner's finish() would
// read them.
class MapScaleSource : public PhotoRowSource {
public:
    MapScaleSource(PhotoRowSource& inner, size_t height, size_t width, cv::Mat& into);
    bool read(unsigned char* first, size_t step, size_t count) override;
    bool finish() override;

private:
    void add(const unsigned char* row);

    PhotoRowSource& inner_;
    size_t width_, seen_ = 0;
    cv::Mat& into_;
    std::vector<uint16_t> down_, across_;  // a block row's sums, down and then across
    std::vector<unsigned char> row_;        // a row that no one else asked for
};

}  // namespace roughgc::detail

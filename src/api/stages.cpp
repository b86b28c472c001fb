// The histogram and fine contour stages behind OpenCV matrices.
#include <cstring>
#include <vector>

#include "api/input_checks.h"
#include "detail/device/host_memory.h"
#include "detail/fine/fine.h"
#include "detail/histogram/histogram.h"
#include "roughgc/roughgc.hpp"

namespace roughgc {

int histogram(cv::InputArray values, cv::OutputArray counts, int bins, float lower, float upper, int device) {
    const cv::Mat v = values.getMat();
    detail::requireType(v.empty() || (v.dims == 2 && v.type() == CV_32FC1), "Histogram values", "CV_32FC1", v);
    const size_t rows = v.empty() ? 0 : static_cast<size_t>(v.rows), cols = v.empty() ? 0 : static_cast<size_t>(v.cols);
    if (bins < 1) throw InputError("(!) Histogram: " + std::to_string(bins) + " bins requested; 1 to 2048 supported");
    if (const std::string problem = detail::histogramSizeProblem(rows, cols, static_cast<size_t>(bins)); !problem.empty())
        throw InputError("(!) Histogram: " + problem);

    counts.create(1, bins, CV_32SC1);
    cv::Mat out = counts.getMat();
    out.setTo(0);
    int counted = 0;
    if (rows == 0 || cols == 0) return 0;
    const cv::Mat block = detail::continuous(v);
    detail::runHistogram(block.ptr<float>(), out.ptr<int>(), &counted, rows, cols, lower, upper,
                         static_cast<size_t>(bins), device);
    return counted;
}

void fineContours(cv::InputArray photo, cv::InputArray roughCells, cv::InputArray filterP, cv::InputArray filterQ,
                  cv::InputArray filterR, cv::OutputArray contours, cv::InputArray marks, int device) {
    const cv::Mat image = photo.getMat();
    detail::requireType(image.dims == 2 && image.depth() == CV_8U &&
                            (image.channels() == 4 || image.channels() == 3 || image.channels() == 1),
                        "A photo", "8-bit with 4 (BGRA), 3 (BGR) or 1 (grey) channels", image);
    const cv::Mat p = filterP.getMat(), q = filterQ.getMat(), r = filterR.getMat();
    for (const cv::Mat* f : {&p, &q, &r})
        detail::requireType(f->dims == 2 && f->type() == CV_32FC1 && f->rows == f->cols, "A filter",
                            "a square CV_32FC1 matrix", *f);
    if (q.size() != p.size() || r.size() != p.size())
        throw InputError("(!) Fine contours: the three filters must have one size");

    const size_t height = static_cast<size_t>(image.rows), width = static_cast<size_t>(image.cols);
    const size_t window = static_cast<size_t>(p.rows);
    if (const std::string problem = detail::fineSizeProblem(height, width, window); !problem.empty())
        throw InputError("(!) Fine contours: " + problem);

    const cv::Mat cells = roughCells.getMat();
    detail::requireType(cells.dims == 2 && (cells.type() == CV_8UC1 || cells.type() == CV_32FC1), "Rough cells",
                        "CV_8UC1 or CV_32FC1", cells);
    const cv::Size cellSize(static_cast<int>(width / 3 - 2), static_cast<int>(height / 3 - 2));
    const cv::Size mapSize(static_cast<int>(width - window), static_cast<int>(height - window));
    auto sizeText = [](cv::Size s) { return std::to_string(s.width) + " x " + std::to_string(s.height); };
    if (cells.size() != cellSize)
        throw InputError("(!) Fine contours: rough cells of " + sizeText(cells.size()) + "; a photo of " +
                         sizeText(image.size()) + " needs " + sizeText(cellSize));

    cv::Mat fine = detail::freshMat(mapSize.height, mapSize.width, CV_32FC1);
    fine.setTo(cv::Scalar(0));
    if (!marks.empty()) {
        const cv::Mat m = marks.getMat();
        detail::requireType(m.dims == 2 && m.type() == CV_32FC1, "Marks", "CV_32FC1", m);
        if (m.size() != mapSize)
            throw InputError("(!) Fine contours: marks of " + sizeText(m.size()) + "; the map is " + sizeText(mapSize));
        m.copyTo(fine);
    }

    // Four channels for the kernel, which never reads the fourth.
    cv::Mat bgra;
    if (image.channels() == 4) {
        bgra = detail::continuous(image);
    } else {
        bgra.create(image.size(), CV_8UC4);
        const cv::Mat sources[] = {image, cv::Mat(image.size(), CV_8UC1, cv::Scalar(255))};
        // Source channels are numbered across both matrices: the photo's
        // first, then the constant one.
        const int fromBgr[] = {0, 0, 1, 1, 2, 2, 3, 3}, fromGrey[] = {0, 0, 0, 1, 0, 2, 1, 3};
        cv::mixChannels(sources, 2, &bgra, 1, image.channels() == 3 ? fromBgr : fromGrey, 4);
    }
    cv::Mat cellValues;
    cells.convertTo(cellValues, CV_32F);
    const cv::Mat pc = detail::continuous(p), qc = detail::continuous(q), rc = detail::continuous(r);
    detail::runFineContours(bgra.ptr<uchar4>(), cellValues.ptr<float>(), fine.ptr<float>(), pc.ptr<float>(),
                            qc.ptr<float>(), rc.ptr<float>(), height, width, window, device);
    contours.assign(fine);
}

}  // namespace roughgc

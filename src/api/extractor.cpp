// The library's extractor: the rough pipeline behind OpenCV matrices.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/input_checks.h"
#include "detail/io/photo_reader.h"
#include "detail/pipeline/rough_pipeline.h"
#include "detail/stages/rough_size.h"
#include "roughgc/roughgc.hpp"

namespace roughgc {

namespace {

void requireFinite(const char* what, float value) {
    if (std::isfinite(value)) return;
    char line[128];
    std::snprintf(line, sizeof line, "(!) The %s must be a finite number, not %g", what, static_cast<double>(value));
    throw InputError(line);
}

Result resultOf(const detail::RoughMapView& view) {
    Result result;
    result.map.create(static_cast<int>(view.rows), static_cast<int>(view.cols), CV_8UC1);
    std::memcpy(result.map.data, view.pixels, view.rows * view.cols);
    result.quantileIndex = view.quantileIndex;
    result.threshold = view.threshold;
    result.coarseBoxes = view.coarseBoxes;
    result.fineBoxes = view.fineBoxes;
    result.dimension = view.dimension;
    result.passes = view.passes;
    return result;
}

// A JPEG's rows, as the pipeline asks for them.
class JpegSource : public detail::PhotoRowSource {
public:
    explicit JpegSource(detail::JpegRows& jpeg) : jpeg_(jpeg) {}
    bool read(unsigned char* first, size_t step, size_t count) override { return jpeg_.read(first, step, count); }
    bool finish() override { return jpeg_.finish(); }

private:
    detail::JpegRows& jpeg_;
};

InputError unreadable(const std::string& path) { return InputError("(!) Error reading image: " + path); }

}  // namespace

struct Extractor::State {
    explicit State(int device) : pipeline(device) {}
    detail::RoughPipeline pipeline;
    detail::PhotoReader reader;
    cv::Size photoSize;
};

Extractor::Extractor(int device) : state_(std::make_unique<State>(device)) {}
Extractor::~Extractor() = default;
Extractor::Extractor(Extractor&&) noexcept = default;
Extractor& Extractor::operator=(Extractor&&) noexcept = default;

Extractor::State& Extractor::live() {
    if (!state_) throw std::logic_error("roughgc::Extractor used after it was moved from");
    return *state_;
}

int Extractor::device() const noexcept { return state_ ? state_->pipeline.device() : -1; }

cv::Size Extractor::photoSize() const noexcept { return state_ ? state_->photoSize : cv::Size(); }

Result Extractor::extract(cv::InputArray photo, const Params& params) {
    State& s = live();
    const cv::Mat image = photo.getMat();
    detail::requireType(image.dims == 2 && image.depth() == CV_8U &&
                            (image.channels() == 3 || image.channels() == 1 || image.channels() == 4),
                        "A photo", "8-bit with 3 (BGR), 1 (grey) or 4 (BGRA) channels", image);
    if (params.window < 0) {
        throw InputError("(!) The metric window must be at least 1 averaged pixel, not " +
                         std::to_string(params.window));
    }
    requireFinite("target dimension", params.dimension);
    requireFinite("tolerance", params.tolerance);

    const detail::HostPhoto host{image.data, image.step[0], static_cast<size_t>(image.rows),
                                 static_cast<size_t>(image.cols), image.channels()};
    const detail::RoughMapView& view =
        s.pipeline.run(host, static_cast<size_t>(params.window), params.dimension, params.tolerance,
                             detail::SearchRoute::BoxMaxima);

    return resultOf(view);
}

Result Extractor::extractFile(const std::string& path, const Params& params) {
    State& s = live();
    s.photoSize = cv::Size();
    if (s.reader.load(path) != detail::LoadEnd::Loaded) throw unreadable(path);
    // Streamed where the photo and the parameters allow it; where
    // extract() would refuse them, the photo is decoded first, so that an
    // unreadable file is refused as such, as readPhoto() refuses it.
    detail::JpegHeader header;
    const bool accepted = params.window >= 1 && std::isfinite(params.dimension) && std::isfinite(params.tolerance);
    if (s.pipeline.streamsRows() && accepted &&
        s.reader.route(true, header) == detail::PhotoRoute::StreamedJpeg &&
        detail::roughImageSizeProblem(header.height, header.width, static_cast<size_t>(params.window)).empty()) {
        JpegSource rows(s.reader.jpeg());
        // Known from the header: a failure of the device still has a size,
        // a photo whose rows cannot all be read has none.
        s.photoSize = cv::Size(static_cast<int>(header.width), static_cast<int>(header.height));
        const detail::RoughMapView* view =
            s.reader.jpeg().begin() ? s.pipeline.runStreamed(rows, header.height, header.width,
                                                             static_cast<size_t>(params.window), params.dimension,
                                                             params.tolerance, detail::SearchRoute::BoxMaxima)
                                    : nullptr;
        if (view == nullptr) {
            s.photoSize = cv::Size();
            throw unreadable(path);
        }
        return resultOf(*view);
    }
    const cv::Mat photo = s.reader.decode(s.reader.keptTarget());
    if (photo.empty()) {
        const std::string tooLarge = s.reader.sizeProblem();
        if (tooLarge.empty()) throw unreadable(path);
        s.photoSize = s.reader.announcedSize();
        throw InputError(tooLarge);
    }
    s.photoSize = photo.size();
    return extract(photo, params);
}

Result roughContours(cv::InputArray photo, const Params& params, int device) {
    return Extractor(device).extract(photo, params);
}

}  // namespace roughgc

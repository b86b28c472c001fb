// The library's extractor: the rough pipeline behind OpenCV matrices.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "api/input_checks.h"
#include "api/map_scale.h"
#include "detail/device/host_memory.h"
#include "detail/io/photo_reader.h"
#include "detail/pipeline/rough_pipeline.h"
#include "detail/stages/rough_size.h"
#include "roughgc/roughgc.hpp"

namespace roughgc {

static_assert(kMaxWindow == detail::kMaxRoughWindow, "the face publishes the core's limit");

namespace {

void requireFinite(const char* what, float value) {
    if (std::isfinite(value)) return;
    char line[128];
    std::snprintf(line, sizeof line, "(!) The %s must be a finite number, not %g", what, static_cast<double>(value));
    throw InputError(line);
}

Result resultOf(const detail::RoughMapView& view, const Params& params) {
    Result result;
    result.map = detail::freshMat(static_cast<int>(view.rows), static_cast<int>(view.cols), CV_8UC1);
    std::memcpy(result.map.data, view.pixels, view.rows * view.cols);
    result.quantileIndex = view.quantileIndex;
    result.threshold = view.threshold;
    result.coarseBoxes = view.coarseBoxes;
    result.fineBoxes = view.fineBoxes;
    result.dimension = view.dimension;
    result.passes = view.passes;
    // The search's own test for going on, in its float arithmetic: a NaN
    // estimate is not within any tolerance.
    result.converged = std::fabs(view.dimension - params.dimension) <= params.tolerance;
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

// A PNG's rows. One whose EXIF, after its rows, turns it after all fails
// here, to be decoded whole instead.
class PngSource : public detail::PhotoRowSource {
public:
    explicit PngSource(detail::PngRows& png) : png_(png) {}
    bool read(unsigned char* first, size_t step, size_t count) override { return png_.read(first, step, count); }
    bool finish() override {
        int orientation = 1;
        bool sure = true;
        if (!png_.finish(orientation, sure)) return false;
        turned_ = orientation != 1 || !sure;
        return !turned_;
    }
    bool turned() const { return turned_; }

private:
    detail::PngRows& png_;
    bool turned_ = false;
};

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

    return resultOf(view, params);
}

Result Extractor::extractFile(const std::string& path, const Params& params) {
    return extractFile(path, params, static_cast<cv::Mat*>(nullptr));
}

Result Extractor::extractFile(const std::string& path, const Params& params, cv::OutputArray atMapScale) {
    if (!atMapScale.needed()) return extractFile(path, params);
    if (atMapScale.kind() == cv::_InputArray::MAT) return extractFile(path, params, &atMapScale.getMatRef());
    cv::Mat picture;
    const Result result = extractFile(path, params, &picture);
    picture.copyTo(atMapScale);
    return result;
}

Result Extractor::extractFile(const std::string& path, const Params& params, cv::Mat* atMapScale) {
    State& s = live();
    s.photoSize = cv::Size();
    if (s.reader.load(path) != detail::LoadEnd::Loaded) throw detail::unreadablePhoto(path);
    // Streamed where the photo and the parameters allow it; where
    // extract() would refuse them, the photo is decoded first, so that an
    // unreadable file is refused as such, as readPhoto() refuses it.
    const bool accepted = params.window >= 1 && std::isfinite(params.dimension) && std::isfinite(params.tolerance);
    const detail::PhotoRoute route =
        s.pipeline.streamsRows() && accepted ? s.reader.route(true) : detail::PhotoRoute::Refused;
    const cv::Size size = s.reader.streamedSize();
    const bool streams = route == detail::PhotoRoute::StreamedJpeg || route == detail::PhotoRoute::StreamedPng;
    const std::optional<detail::RoughGeometry> geometry =
        streams ? detail::roughGeometry(static_cast<size_t>(size.height), static_cast<size_t>(size.width),
                                        static_cast<size_t>(params.window))
                : std::nullopt;
    if (geometry) {
        // Known from the header: a failure of the device still has a size,
        // a photo whose rows cannot all be read has none.
        s.photoSize = size;
        JpegSource jpegRows(s.reader.jpeg());
        PngSource pngRows(s.reader.png());
        const bool jpeg = route == detail::PhotoRoute::StreamedJpeg;
        detail::PhotoRowSource& decoded = jpeg ? static_cast<detail::PhotoRowSource&>(jpegRows) : pngRows;
        std::optional<detail::MapScaleSource> scaling;
        if (atMapScale != nullptr)
            scaling.emplace(decoded, static_cast<size_t>(size.height), static_cast<size_t>(size.width), *atMapScale);
        detail::PhotoRowSource& rows = scaling ? static_cast<detail::PhotoRowSource&>(*scaling) : decoded;
        const bool begun = jpeg ? s.reader.jpeg().begin() : s.reader.png().begin();
        const detail::RoughMapView* view =
            begun ? s.pipeline.runStreamed(rows, *geometry, params.dimension, params.tolerance,
                                           detail::SearchRoute::BoxMaxima)
                  : nullptr;
        if (view != nullptr) return resultOf(*view, params);
        if (!pngRows.turned()) {
            s.photoSize = cv::Size();
            s.reader.forgetPhoto();
            throw detail::unreadablePhoto(path);
        }
        // An EXIF block after the rows turns it: decoded whole after all.
    }
    const cv::Mat photo = s.reader.decode(s.reader.keptTarget());
    if (photo.empty()) {
        const std::string problem = s.reader.problem();
        if (problem.empty()) throw detail::unreadablePhoto(path);
        s.photoSize = s.reader.announcedSize();
        throw InputError(problem);
    }
    s.photoSize = photo.size();
    const Result result = extract(photo, params);
    if (atMapScale != nullptr) {
        atMapScale->create(photo.rows / 3, photo.cols / 3, CV_8UC3);
        detail::photoAtMapScale(photo, *atMapScale);
    }
    return result;
}

Result roughContours(cv::InputArray photo, const Params& params, int device) {
    return Extractor(device).extract(photo, params);
}

}  // namespace roughgc

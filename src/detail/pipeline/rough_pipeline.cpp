#include "detail/pipeline/rough_pipeline.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "detail/stages/rough_size.h"
#include "detail/stages/rough_stages.h"
#include "detail/stages/row_stages.h"
#include "detail/search/search.h"
#include "detail/device/stage_times.h"
#include "roughgc/errors.hpp"

namespace roughgc::detail {

namespace {

void mark(StageTimes* times, const char* phase) {
    if (times) times->mark(phase);
}

// Rows of grey or BGRA pixels as rows of BGR triples, in parallel for a
// large photo.
void toBgr(const HostPhoto& photo, uchar3* out) {
    const long rows = static_cast<long>(photo.height);
    const size_t cols = photo.width;
#pragma omp parallel for schedule(static) if (photo.height * photo.width >= (size_t{1} << 18))
    for (long r = 0; r < rows; ++r) {
        const unsigned char* in = photo.data + static_cast<size_t>(r) * photo.step;
        uchar3* line = out + static_cast<size_t>(r) * cols;
        if (photo.channels == 1) {
            for (size_t c = 0; c < cols; ++c) line[c] = uchar3{in[c], in[c], in[c]};
        } else {
            for (size_t c = 0; c < cols; ++c) line[c] = uchar3{in[4 * c], in[4 * c + 1], in[4 * c + 2]};
        }
    }
}

Schedule runnable(Schedule schedule) {
    if (!scheduleAvailable(schedule)) throw std::invalid_argument("the row schedule needs the cpu backend");
    return schedule;
}

}  // namespace

bool scheduleAvailable(Schedule schedule) {
#if defined(ROUGHGC_CUDA_BACKEND)
    // Device memory is the GPU's: the host cannot loop over it.
    return schedule == Schedule::Kernels;
#else
    (void)schedule;
    return true;
#endif
}

Schedule defaultSchedule() {
#if defined(ROUGHGC_CUDA_BACKEND)
    return Schedule::Kernels;
#else
    static const Schedule chosen = [] {
        const char* name = std::getenv("ROUGHGC_CPURT_SCHEDULE");
        return name != nullptr && std::strcmp(name, "kernels") == 0 ? Schedule::Kernels : Schedule::Rows;
    }();
    return chosen;
#endif
}

RoughPipeline::RoughPipeline(int device, Schedule schedule) : schedule_(runnable(schedule)), device_(device) {
    loadRoughStageKernels();
    loadSearchKernels();
    deviceQuantiles_.reserve(kTableSize);
    deviceCounts_.reserve(2);
    buf_.emplace();
}

void RoughPipeline::upload(const HostPhoto& photo) {
    PhotoBuffers& b = *buf_;
    const size_t rowBytes = sizeof(uchar3) * photo.width;
    if (photo.channels != 3) {
        b.staging.reserve(photo.height * photo.width);
        toBgr(photo, b.staging.get());
        ROUGHGC_CUDA_CHECK(cudaMemcpy(b.photo.get(), b.staging.get(), rowBytes * photo.height,
                                      cudaMemcpyHostToDevice));
    } else if (photo.step == rowBytes) {
        ROUGHGC_CUDA_CHECK(
            cudaMemcpy(b.photo.get(), photo.data, rowBytes * photo.height, cudaMemcpyHostToDevice));
    } else {
        ROUGHGC_CUDA_CHECK(cudaMemcpy2D(b.photo.get(), rowBytes, photo.data, photo.step, rowBytes, photo.height,
                                        cudaMemcpyHostToDevice));
    }
}

template <class Run>
const RoughMapView& RoughPipeline::guarded(Run run) {
    try {
        return run();
    } catch (const DeviceError& e) {
        // Buffers grown for an earlier, larger photo may be what leaves too
        // little room now: a caller going on to a smaller photo should not
        // fail for their sake. A buffer only grows, so without this they
        // would be held until the pipeline goes.
        if (e.code() == cudaErrorMemoryAllocation) {
            map_ = RoughMapView{};
            buf_.reset();
            buf_.emplace();
        }
        throw;
    }
}

const RoughMapView& RoughPipeline::run(const HostPhoto& photo, size_t window, float dim, float eps, SearchRoute route,
                                       StageTimes* times) {
    // Refused before anything is allocated: smaller maps would leave the box
    // grids empty, and sizes below the window would wrap around.
    std::string problem;
    const std::optional<RoughGeometry> geometry = roughGeometry(photo.height, photo.width, window, &problem);
    if (!geometry) throw InputError(problem);
    return run(photo, *geometry, dim, eps, route, times);
}

const RoughMapView& RoughPipeline::run(const HostPhoto& photo, const RoughGeometry& geometry, float dim, float eps,
                                       SearchRoute route, StageTimes* times) {
    if (photo.height != geometry.height || photo.width != geometry.width)
        throw std::logic_error("a photo run with another photo's geometry");
    return guarded([&]() -> const RoughMapView& { return runPhoto(photo, geometry, dim, eps, route, times); });
}

const RoughMapView* RoughPipeline::runStreamed(PhotoRowSource& rows, const RoughGeometry& geometry, float dim,
                                               float eps, SearchRoute route, StageTimes* times) {
    const HostPhoto photo{nullptr, 3 * geometry.width, geometry.height, geometry.width, 3};
    rowsFailed_ = false;
    const size_t heldBefore = heldBytes();
    const RoughMapView& view =
        guarded([&]() -> const RoughMapView& { return runPhoto(photo, geometry, dim, eps, route, times, &rows); });
    if (!rowsFailed_) return &view;
    // A photo whose rows could not be read may have grown the buffers for
    // a size its header made up: they are not kept for it.
    if (heldBytes() > heldBefore) {
        buf_.reset();
        buf_.emplace();
        std::vector<unsigned char>().swap(rows_);
    }
    return nullptr;
}

size_t RoughPipeline::heldBytes() const {
    const PhotoBuffers& b = *buf_;
    return b.photo.capacity() * sizeof(uchar3) + b.features.capacity() * sizeof(float3) +
           b.metric.capacity() * sizeof(float) + b.binaryMap.capacity() + b.coarseBoxes.capacity() +
           b.fineBoxes.capacity() + b.staging.capacity() * sizeof(uchar3) + b.metricDownload.capacity() * sizeof(float) +
           b.mapDownload.capacity() + rows_.capacity();
}

size_t RoughPipeline::keptHostBytes(size_t height, size_t width, bool streamed, Schedule schedule) {
    // The metric map (as floats) and the binary map, a value per averaged
    // pixel: the row loops' buffers, or the kernels' page-locked downloads;
    // and a streamed photo's band of rows.
    const size_t averaged = (height / 3) * (width / 3);
    size_t bytes = averaged * (sizeof(float) + 1) + (streamed ? streamedRowBytes(width) : 0);
#if !defined(ROUGHGC_CUDA_BACKEND)
    // The emulated runtime's "device" memory is host memory: the kernels'
    // uploaded photo, feature map, metric and binary maps.
    if (schedule == Schedule::Kernels) bytes += height * width * 3 + averaged * (sizeof(float3) + sizeof(float) + 1);
#else
    (void)schedule;
#endif
    return bytes;
}

const RoughMapView& RoughPipeline::runPhoto(const HostPhoto& photo, const RoughGeometry& g, float dim, float eps,
                                            SearchRoute route, StageTimes* times, PhotoRowSource* rows) {
    const bool boxes = route == SearchRoute::BoxMaxima;
    selectDevice(device_.device);
    if (schedule_ == Schedule::Rows) {
        if (!metricOnHost(photo, g, boxes, rows, times)) {
            rowsFailed_ = true;
            map_ = RoughMapView{};
            return map_;
        }
    } else {
        if (rows != nullptr) throw std::logic_error("rows streamed to the kernel schedule");
        metricOnDevice(photo, g, boxes, times);
    }
    quantileTable(hist_, &counted_, quantiles_, kTableSize);
    mark(times, "quantile table");
    const SearchTrace trace = search(g, dim, eps, boxes, times);
    return viewOf(g, trace, finalMap(g, trace, boxes, times));
}

void RoughPipeline::reserveMaps(const RoughGeometry& g, bool passes, StageTimes* times) {
    PhotoBuffers& b = *buf_;
    b.metric.reserve(g.mapPixels());
    b.binaryMap.reserve(g.mapPixels());
    if (passes) {
        b.coarseBoxes.reserve(g.boxRows * g.boxCols);
        b.fineBoxes.reserve(4 * g.boxRows * g.boxCols);
    }
    eventCheck(stop_);
    mark(times, "allocation");
}

// The row loops work on "device" memory that is host memory, straight from
// the photo's pixels: nothing to upload or download.
bool RoughPipeline::metricOnHost(const HostPhoto& photo, const RoughGeometry& g, bool boxes, PhotoRowSource* rows,
                                 StageTimes* times) {
    reserveMaps(g, !boxes, times);
    float* metric = buf_->metric.get();
    const MetricPassOutputs outputs{hist_, &counted_, kTableSize, boxes ? &boxes_ : nullptr};
    if (rows == nullptr) {
        metricPass(photo.data, photo.step, photo.channels, g.mHeight, g.mWidth, g.window, metric, outputs);
    } else if (!metricPassStreamed(*rows, g.height, g.width, g.window, metric, outputs, rows_)) {
        return false;
    }
    mark(times, "averaging, metric, histogram");
    return true;
}

void RoughPipeline::metricOnDevice(const HostPhoto& photo, const RoughGeometry& g, bool boxes, StageTimes* times) {
    PhotoBuffers& b = *buf_;
    b.photo.reserve(g.height * g.width);
    b.features.reserve(g.mHeight * g.mWidth);
    b.metricDownload.reserve(g.mapPixels());
    b.mapDownload.reserve(g.mapPixels());
    reserveMaps(g, !boxes, times);

    upload(photo);
    eventCheck(stop_);
    mark(times, "upload");
    launchAveraging(b.photo.get(), b.features.get(), g.mHeight, g.mWidth, g.width);
    eventCheck(stop_);
    mark(times, "averaging");
    launchMetric(b.metric.get(), b.features.get(), g.mHeight, g.mWidth, g.window);
    deviceCheck(stop_);
    mark(times, "metric");
    ROUGHGC_CUDA_CHECK(cudaMemcpy(b.metricDownload.get(), b.metric.get(), sizeof(float) * g.mapPixels(),
                                  cudaMemcpyDeviceToHost));
    deviceCheck(stop_);
    mark(times, "metric download");

    const float* metric = b.metricDownload.get();
    metricHistogram(metric, g.rows, g.cols, hist_, &counted_, kTableSize);
    mark(times, "histogram");
    if (boxes) {
        boxMaxima(metric, g.rows, g.cols, boxes_);
        mark(times, "box maxima");
    }
}

SearchTrace RoughPipeline::search(const RoughGeometry& g, float dim, float eps, bool boxes, StageTimes* times) {
    if (boxes) {
        SearchTrace trace = searchOnBoxMaxima(boxes_, quantiles_, kTableSize, dim, eps);
        mark(times, "search");
        return trace;
    }
    PhotoBuffers& b = *buf_;
    int counts[2] = {0, 0};
    const RoughPassBuffers buffers{b.metric.get(),    b.binaryMap.get(), deviceQuantiles_.get(), b.coarseBoxes.get(),
                                   b.fineBoxes.get(), deviceCounts_.get(), g.mHeight, g.mWidth, g.window};
    return thresholdSearch(buffers, counts, quantiles_, kTableSize, dim, eps, stop_, times);
}

// The evaluation passes leave the final index's map behind them; the count
// on box maxima thresholds the metric at it alone. The kernels' map is then
// downloaded.
const unsigned char* RoughPipeline::finalMap(const RoughGeometry& g, const SearchTrace& trace, bool boxes,
                                             StageTimes* times) {
    PhotoBuffers& b = *buf_;
    const bool onHost = schedule_ == Schedule::Rows;
    if (boxes) {
        const int index = trace.indices.back();
        if (onHost) {
            thresholdRows(b.metric.get(), g.mapPixels(), quantiles_[index], b.binaryMap.get());
        } else {
            ROUGHGC_CUDA_CHECK(cudaMemcpy(deviceQuantiles_.get(), quantiles_, sizeof(float) * kTableSize,
                                          cudaMemcpyHostToDevice));
            launchThreshold(b.metric.get(), b.binaryMap.get(), deviceQuantiles_.get(), g.rows, g.cols, index);
            deviceCheck(stop_);
        }
        mark(times, "threshold");
    }
    if (onHost) return b.binaryMap.get();
    ROUGHGC_CUDA_CHECK(
        cudaMemcpy(b.mapDownload.get(), b.binaryMap.get(), g.mapPixels() * sizeof(uchar), cudaMemcpyDeviceToHost));
    mark(times, "map download");
    return b.mapDownload.get();
}

const RoughMapView& RoughPipeline::viewOf(const RoughGeometry& g, const SearchTrace& trace,
                                          const unsigned char* pixels) {
    map_.pixels = pixels;
    map_.rows = g.rows;
    map_.cols = g.cols;
    map_.quantileIndex = trace.indices.back();
    map_.threshold = quantiles_[map_.quantileIndex];
    map_.coarseBoxes = trace.coarseBoxes;
    map_.fineBoxes = trace.fineBoxes;
    map_.dimension = trace.dimension;
    map_.passes = static_cast<int>(trace.indices.size());
    return map_;
}

}  // namespace roughgc::detail

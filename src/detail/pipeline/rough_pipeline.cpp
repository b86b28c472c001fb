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
const RoughMapView& RoughPipeline::guarded(size_t height, size_t width, size_t window, Run run) {
    // Refused before anything is allocated: smaller maps would leave the box
    // grids empty, and sizes below window would wrap around.
    if (const std::string problem = roughImageSizeProblem(height, width, window); !problem.empty())
        throw InputError(problem);
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
    return guarded(photo.height, photo.width, window, [&]() -> const RoughMapView& {
        return runPhoto(photo, window, dim, eps, route, times);
    });
}

const RoughMapView* RoughPipeline::runStreamed(PhotoRowSource& rows, size_t height, size_t width, size_t window,
                                               float dim, float eps, SearchRoute route, StageTimes* times) {
    const HostPhoto photo{nullptr, 3 * width, height, width, 3};
    rowsFailed_ = false;
    const size_t heldBefore = heldBytes();
    const RoughMapView& view = guarded(height, width, window, [&]() -> const RoughMapView& {
        return runPhoto(photo, window, dim, eps, route, times, &rows);
    });
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

const float* RoughPipeline::downloadedMetric(const HostPhoto& photo, size_t window, StageTimes* times) {
    PhotoBuffers& b = *buf_;
    const size_t mHeight = photo.height / 3, mWidth = photo.width / 3;
    const size_t tSize = (mHeight - window) * (mWidth - window);
    const cudaEvent_t stop = stop_;

    upload(photo);
    eventCheck(stop);
    mark(times, "upload");

    launchAveraging(b.photo.get(), b.features.get(), mHeight, mWidth, photo.width);
    eventCheck(stop);
    mark(times, "averaging");

    launchMetric(b.metric.get(), b.features.get(), mHeight, mWidth, window);
    deviceCheck(stop);
    mark(times, "metric");

    ROUGHGC_CUDA_CHECK(
        cudaMemcpy(b.metricDownload.get(), b.metric.get(), sizeof(float) * tSize, cudaMemcpyDeviceToHost));
    deviceCheck(stop);
    mark(times, "metric download");
    return b.metricDownload.get();
}

const RoughMapView& RoughPipeline::runPhoto(const HostPhoto& photo, size_t window, float dim, float eps, SearchRoute route,
                                            StageTimes* times, PhotoRowSource* rows) {
    PhotoBuffers& b = *buf_;
    const size_t height = photo.height, width = photo.width;

    const int N = kBoxSide;
    const size_t imgSize = height * width;
    const size_t mHeight = height / 3;
    const size_t mWidth = width / 3;
    const size_t mSize = mHeight * mWidth;
    const size_t tHeight = (mHeight - window) / N;
    const size_t tWidth = (mWidth - window) / N;
    const size_t tSize = (mHeight - window) * (mWidth - window);
    const bool passes = route == SearchRoute::EvaluationPasses;
    const cudaEvent_t stop = stop_;
    // The row loops work on "device" memory that is host memory, straight
    // from the photo's pixels: nothing to upload or download.
    const bool onHost = schedule_ == Schedule::Rows;

    selectDevice(device_.device);
    if (!onHost) {
        b.photo.reserve(imgSize);
        b.features.reserve(mSize);
        b.metricDownload.reserve(tSize);
        b.mapDownload.reserve(tSize);
    }
    b.metric.reserve(tSize);
    b.binaryMap.reserve(tSize);
    if (passes) {
        b.coarseBoxes.reserve(tWidth * tHeight);
        b.fineBoxes.reserve(4 * tWidth * tHeight);
    }
    eventCheck(stop);
    mark(times, "allocation");

    // The metric map in host memory, its histogram and, for the count on
    // boxes, its box maxima.
    const float* metric = b.metric.get();
    int cnt = 0;
    if (onHost) {
        const MetricPassOutputs outputs{hist_, &cnt, kTableSize, passes ? nullptr : &boxes_};
        if (rows == nullptr) {
            metricPass(photo.data, photo.step, photo.channels, mHeight, mWidth, window, b.metric.get(), outputs);
        } else if (!metricPassStreamed(*rows, height, width, window, b.metric.get(), outputs, rows_)) {
            rowsFailed_ = true;
            map_ = RoughMapView{};
            return map_;
        }
        mark(times, "averaging, metric, histogram");
    } else {
        if (rows != nullptr) throw std::logic_error("rows streamed to the kernel schedule");
        metric = downloadedMetric(photo, window, times);
        metricHistogram(metric, mHeight - window, mWidth - window, hist_, &cnt, kTableSize);
        mark(times, "histogram");
        if (!passes) {
            boxMaxima(metric, mHeight - window, mWidth - window, boxes_);
            mark(times, "box maxima");
        }
    }
    quantileTable(hist_, &cnt, quantiles_, kTableSize);
    mark(times, "quantile table");

    SearchTrace trace;
    if (passes) {
        int res[2] = {0, 0};
        const RoughPassBuffers buffers{b.metric.get(), b.binaryMap.get(), deviceQuantiles_.get(), b.coarseBoxes.get(),
                                       b.fineBoxes.get(),     deviceCounts_.get(), mHeight,         mWidth,
                                       window};
        trace = thresholdSearch(buffers, res, quantiles_, kTableSize, dim, eps, stop, times);
    } else {
        trace = searchOnBoxMaxima(boxes_, quantiles_, kTableSize, dim, eps);
        mark(times, "search");
        // The map of the final index alone.
        const int index = trace.indices.back();
        if (onHost) {
            thresholdRows(metric, tSize, quantiles_[index], b.binaryMap.get());
        } else {
            ROUGHGC_CUDA_CHECK(cudaMemcpy(deviceQuantiles_.get(), quantiles_, sizeof(float) * kTableSize, cudaMemcpyHostToDevice));
            launchThreshold(b.metric.get(), b.binaryMap.get(), deviceQuantiles_.get(), mHeight - window, mWidth - window, index);
            deviceCheck(stop);
        }
        mark(times, "threshold");
    }

    const unsigned char* pixels = b.binaryMap.get();
    if (!onHost) {
        ROUGHGC_CUDA_CHECK(
            cudaMemcpy(b.mapDownload.get(), b.binaryMap.get(), tSize * sizeof(uchar), cudaMemcpyDeviceToHost));
        pixels = b.mapDownload.get();
        mark(times, "map download");
    }

    map_.pixels = pixels;
    map_.rows = mHeight - window;
    map_.cols = mWidth - window;
    map_.quantileIndex = trace.indices.back();
    map_.threshold = quantiles_[map_.quantileIndex];
    map_.coarseBoxes = trace.coarseBoxes;
    map_.fineBoxes = trace.fineBoxes;
    map_.dimension = trace.dimension;
    map_.passes = static_cast<int>(trace.indices.size());
    return map_;
}

}  // namespace roughgc::detail

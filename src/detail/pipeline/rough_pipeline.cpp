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
    d_kvant_.reserve(kTableSize);
    d_res_.reserve(2);
    buf_.emplace();
}

void RoughPipeline::upload(const HostPhoto& photo) {
    PhotoBuffers& b = *buf_;
    const size_t rowBytes = sizeof(uchar3) * photo.width;
    if (photo.channels != 3) {
        b.staging.reserve(photo.height * photo.width);
        toBgr(photo, b.staging.get());
        ROUGHGC_CUDA_CHECK(cudaMemcpy(b.d_imageRGB.get(), b.staging.get(), rowBytes * photo.height,
                                      cudaMemcpyHostToDevice));
    } else if (photo.step == rowBytes) {
        ROUGHGC_CUDA_CHECK(
            cudaMemcpy(b.d_imageRGB.get(), photo.data, rowBytes * photo.height, cudaMemcpyHostToDevice));
    } else {
        ROUGHGC_CUDA_CHECK(cudaMemcpy2D(b.d_imageRGB.get(), rowBytes, photo.data, photo.step, rowBytes, photo.height,
                                        cudaMemcpyHostToDevice));
    }
}

template <class Run>
const RoughMapView& RoughPipeline::guarded(size_t height, size_t width, size_t kc2, Run run) {
    // Refused before anything is allocated: smaller maps would leave the box
    // grids empty, and sizes below kc2 would wrap around.
    if (const std::string problem = roughImageSizeProblem(height, width, kc2); !problem.empty())
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

const RoughMapView& RoughPipeline::run(const HostPhoto& photo, size_t kc2, float dim, float eps, SearchRoute route,
                                       StageTimes* times) {
    return guarded(photo.height, photo.width, kc2, [&]() -> const RoughMapView& {
        return runPhoto(photo, kc2, dim, eps, route, times);
    });
}

const RoughMapView* RoughPipeline::runStreamed(PhotoRowSource& rows, size_t height, size_t width, size_t kc2,
                                               float dim, float eps, SearchRoute route, StageTimes* times) {
    const HostPhoto photo{nullptr, 3 * width, height, width, 3};
    rowsFailed_ = false;
    const size_t heldBefore = heldBytes();
    const RoughMapView& view = guarded(height, width, kc2, [&]() -> const RoughMapView& {
        return runPhoto(photo, kc2, dim, eps, route, times, &rows);
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
    return b.d_imageRGB.capacity() * sizeof(uchar3) + b.d_averImage.capacity() * sizeof(float3) +
           b.devContMatr.capacity() * sizeof(float) + b.d_out.capacity() + b.d_temp1.capacity() +
           b.d_temp2.capacity() + b.staging.capacity() * sizeof(uchar3) + b.contMatr.capacity() * sizeof(float) +
           b.contMatrRes.capacity() + rows_.capacity();
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

const float* RoughPipeline::metricMap(const HostPhoto& photo, size_t kc2, StageTimes* times) {
    PhotoBuffers& b = *buf_;
    const size_t mHeight = photo.height / 3, mWidth = photo.width / 3;
    const size_t tSize = (mHeight - kc2) * (mWidth - kc2);
    const cudaEvent_t stop = stop_;

    upload(photo);
    eventCheck(stop);
    mark(times, "upload");

    launchAveraging(b.d_imageRGB.get(), b.d_averImage.get(), mHeight, mWidth, photo.width);
    eventCheck(stop);
    mark(times, "averaging");

    launchMetric(b.devContMatr.get(), b.d_averImage.get(), mHeight, mWidth, kc2);
    deviceCheck(stop);
    mark(times, "metric");

    ROUGHGC_CUDA_CHECK(
        cudaMemcpy(b.contMatr.get(), b.devContMatr.get(), sizeof(float) * tSize, cudaMemcpyDeviceToHost));
    deviceCheck(stop);
    mark(times, "metric download");
    return b.contMatr.get();
}

const RoughMapView& RoughPipeline::runPhoto(const HostPhoto& photo, size_t kc2, float dim, float eps, SearchRoute route,
                                            StageTimes* times, PhotoRowSource* rows) {
    PhotoBuffers& b = *buf_;
    const size_t height = photo.height, width = photo.width;

    const int N = kBoxSide;
    const size_t imgSize = height * width;
    const size_t mHeight = height / 3;
    const size_t mWidth = width / 3;
    const size_t mSize = mHeight * mWidth;
    const size_t tHeight = (mHeight - kc2) / N;
    const size_t tWidth = (mWidth - kc2) / N;
    const size_t tSize = (mHeight - kc2) * (mWidth - kc2);
    const bool passes = route == SearchRoute::EvaluationPasses;
    const cudaEvent_t stop = stop_;
    // The row loops work on "device" memory that is host memory, straight
    // from the photo's pixels: nothing to upload or download.
    const bool onHost = schedule_ == Schedule::Rows;

    selectDevice(device_.device);
    if (!onHost) {
        b.d_imageRGB.reserve(imgSize);
        b.d_averImage.reserve(mSize);
        b.contMatr.reserve(tSize);
        b.contMatrRes.reserve(tSize);
    }
    b.devContMatr.reserve(tSize);
    b.d_out.reserve(tSize);
    if (passes) {
        b.d_temp1.reserve(tWidth * tHeight);
        b.d_temp2.reserve(4 * tWidth * tHeight);
    }
    eventCheck(stop);
    mark(times, "allocation");

    // The metric map in host memory, its histogram and, for the count on
    // boxes, its box maxima.
    const float* metric = b.devContMatr.get();
    int cnt = 0;
    if (onHost) {
        const MetricPassOutputs outputs{hist_, &cnt, kTableSize, passes ? nullptr : &boxes_};
        if (rows == nullptr) {
            metricPass(photo.data, photo.step, photo.channels, mHeight, mWidth, kc2, b.devContMatr.get(), outputs);
        } else if (!metricPassStreamed(*rows, height, width, kc2, b.devContMatr.get(), outputs, rows_)) {
            rowsFailed_ = true;
            map_ = RoughMapView{};
            return map_;
        }
        mark(times, "averaging, metric, histogram");
    } else {
        if (rows != nullptr) throw std::logic_error("rows streamed to the kernel schedule");
        metric = metricMap(photo, kc2, times);
        metricHistogram(metric, mHeight - kc2, mWidth - kc2, hist_, &cnt, kTableSize);
        mark(times, "histogram");
        if (!passes) {
            boxMaxima(metric, mHeight - kc2, mWidth - kc2, boxes_);
            mark(times, "box maxima");
        }
    }
    quantileTable(hist_, &cnt, kvant_, kTableSize);
    mark(times, "quantile table");

    SearchTrace trace;
    if (passes) {
        int res[2] = {0, 0};
        const RoughPassBuffers buffers{b.devContMatr.get(), b.d_out.get(), d_kvant_.get(), b.d_temp1.get(),
                                       b.d_temp2.get(),     d_res_.get(), mHeight,         mWidth,
                                       kc2};
        trace = thresholdSearch(buffers, res, kvant_, kTableSize, dim, eps, stop, times);
    } else {
        trace = searchOnBoxMaxima(boxes_, kvant_, kTableSize, dim, eps);
        mark(times, "search");
        // The map of the final index alone.
        const int index = trace.indices.back();
        if (onHost) {
            thresholdRows(metric, tSize, kvant_[index], b.d_out.get());
        } else {
            ROUGHGC_CUDA_CHECK(cudaMemcpy(d_kvant_.get(), kvant_, sizeof(float) * kTableSize, cudaMemcpyHostToDevice));
            launchThreshold(b.devContMatr.get(), b.d_out.get(), d_kvant_.get(), mHeight - kc2, mWidth - kc2, index);
            deviceCheck(stop);
        }
        mark(times, "threshold");
    }

    const unsigned char* pixels = b.d_out.get();
    if (!onHost) {
        ROUGHGC_CUDA_CHECK(
            cudaMemcpy(b.contMatrRes.get(), b.d_out.get(), tSize * sizeof(uchar), cudaMemcpyDeviceToHost));
        pixels = b.contMatrRes.get();
        mark(times, "map download");
    }

    map_.pixels = pixels;
    map_.rows = mHeight - kc2;
    map_.cols = mWidth - kc2;
    map_.quantileIndex = trace.indices.back();
    map_.threshold = kvant_[map_.quantileIndex];
    map_.coarseBoxes = trace.coarseBoxes;
    map_.fineBoxes = trace.fineBoxes;
    map_.dimension = trace.dimension;
    map_.passes = static_cast<int>(trace.indices.size());
    return map_;
}

}  // namespace roughgc::detail

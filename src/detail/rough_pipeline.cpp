#include "detail/rough_pipeline.h"

#include <cstring>

#include "detail/rough_size.h"
#include "detail/rough_stages.h"
#include "detail/search.h"
#include "detail/stage_times.h"
#include "roughgc/roughgc.hpp"

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

}  // namespace

RoughPipeline::RoughPipeline(int device) : device_(device) {
    loadRoughStageKernels();
    loadSearchKernels();
    d_kvant_.reserve(kTableSize);
    d_res_.reserve(2);
}

void RoughPipeline::upload(const HostPhoto& photo) {
    const size_t rowBytes = sizeof(uchar3) * photo.width;
    if (photo.channels != 3) {
        staging_.reserve(photo.height * photo.width);
        toBgr(photo, staging_.get());
        ROUGHGC_CUDA_CHECK(cudaMemcpy(d_imageRGB_.get(), staging_.get(), rowBytes * photo.height,
                                      cudaMemcpyHostToDevice));
    } else if (photo.step == rowBytes) {
        ROUGHGC_CUDA_CHECK(cudaMemcpy(d_imageRGB_.get(), photo.data, rowBytes * photo.height, cudaMemcpyHostToDevice));
    } else {
        ROUGHGC_CUDA_CHECK(cudaMemcpy2D(d_imageRGB_.get(), rowBytes, photo.data, photo.step, rowBytes, photo.height,
                                        cudaMemcpyHostToDevice));
    }
}

const RoughMapView& RoughPipeline::run(const HostPhoto& photo, size_t kc2, float dim, float eps, StageTimes* times) {
    // Refused before anything is allocated: smaller maps would leave the box
    // grids empty, and sizes below kc2 would wrap around.
    const size_t height = photo.height, width = photo.width;
    if (const std::string problem = roughImageSizeProblem(height, width, kc2); !problem.empty())
        throw InputError(problem);

    const int N = kBoxSide;
    const size_t imgSize = height * width;
    const size_t mHeight = height / 3;
    const size_t mWidth = width / 3;
    const size_t mSize = mHeight * mWidth;
    const size_t tHeight = (mHeight - kc2) / N;
    const size_t tWidth = (mWidth - kc2) / N;
    const size_t tSize = (mHeight - kc2) * (mWidth - kc2);
    const cudaEvent_t start = events_.start, stop = events_.stop;

    selectDevice(device_.device);
    cudaEventRecord(start, 0);
    d_imageRGB_.reserve(imgSize);
    d_averImage_.reserve(mSize);
    devContMatr_.reserve(tSize);
    d_out_.reserve(tSize);
    d_temp1_.reserve(tWidth * tHeight);
    d_temp2_.reserve(4 * tWidth * tHeight);
    contMatr_.reserve(tSize);
    contMatrRes_.reserve(tSize);
    eventCheck(stop);
    mark(times, "allocation");

    cudaEventRecord(start, 0);
    upload(photo);
    eventCheck(stop);
    mark(times, "upload");

    cudaEventRecord(start, 0);
    launchAveraging(d_imageRGB_.get(), d_averImage_.get(), mHeight, mWidth, width);
    eventCheck(stop);
    mark(times, "averaging");

    cudaEventRecord(start, 0);
    launchMetric(devContMatr_.get(), d_averImage_.get(), mHeight, mWidth, kc2);
    deviceCheck(stop);
    mark(times, "metric");

    cudaEventRecord(start, 0);
    ROUGHGC_CUDA_CHECK(cudaMemcpy(contMatr_.get(), devContMatr_.get(), sizeof(float) * tSize, cudaMemcpyDeviceToHost));
    deviceCheck(stop);
    mark(times, "metric download");

    int cnt = 0;
    metricHistogram(contMatr_.get(), mHeight - kc2, mWidth - kc2, hist_, &cnt, kTableSize);
    quantileTable(hist_, &cnt, kvant_, kTableSize);
    mark(times, "histogram and table");

    int res[2] = {0, 0};
    const RoughPassBuffers buffers{devContMatr_.get(), d_out_.get(), d_kvant_.get(), d_temp1_.get(), d_temp2_.get(),
                                   d_res_.get(),       mHeight,      mWidth,         kc2};
    const SearchTrace trace = thresholdSearch(buffers, res, kvant_, kTableSize, dim, eps, start, stop, times);

    ROUGHGC_CUDA_CHECK(cudaMemcpy(contMatrRes_.get(), d_out_.get(), tSize * sizeof(uchar), cudaMemcpyDeviceToHost));
    mark(times, "map download");

    map_.pixels = contMatrRes_.get();
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

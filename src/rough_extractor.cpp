// The rough contour pipeline, with its buffers kept between photos.
#include "rough_extractor.h"

#include <cmath>
#include <cstdio>

#include "CUDA_wrappers.h"
#include "rough_host.h"

namespace {

constexpr int kTableSize = 2048;

std::string notFinite(const char* what, float value) {
    char line[128];
    std::snprintf(line, sizeof line, "(!) The %s must be a finite number, not %g", what, static_cast<double>(value));
    return line;
}

}  // namespace

RoughExtractor::RoughExtractor() {
    selectDevice();
    checkCudaErrors(cudaEventCreate(&start_));
    checkCudaErrors(cudaEventCreate(&stop_));
    checkCudaErrors(cudaMalloc((void**)&d_kvant_, sizeof(float) * kTableSize));
    checkCudaErrors(cudaMalloc((void**)&d_res_, 2 * sizeof(int)));
    hist_ = new int[kTableSize];
    kvant_ = new float[kTableSize];
}

RoughExtractor::~RoughExtractor() {
    cudaFree(d_imageRGB_.data);
    cudaFree(d_averImage_.data);
    cudaFree(devContMatr_.data);
    cudaFree(d_temp1_.data);
    cudaFree(d_temp2_.data);
    cudaFree(d_res_);
    cudaFree(d_out_.data);
    cudaFree(d_kvant_);
    cudaFreeHost(contMatr_.data);
    cudaFreeHost(contMatrRes_.data);
    cudaEventDestroy(start_);
    cudaEventDestroy(stop_);
    delete[] hist_;
    delete[] kvant_;
}

template <class T>
void RoughExtractor::growDevice(Buffer<T>& b, size_t count) {
    if (count <= b.capacity && b.data != nullptr) return;
    cudaFree(b.data);
    b.data = nullptr;
    b.capacity = 0;
    checkCudaErrors(cudaMalloc((void**)&b.data, sizeof(T) * count));
    b.capacity = count;
}

template <class T>
void RoughExtractor::growHost(Buffer<T>& b, size_t count) {
    if (count <= b.capacity && b.data != nullptr) return;
    cudaFreeHost(b.data);
    b.data = nullptr;
    b.capacity = 0;
    checkCudaErrors(cudaMallocHost((void**)&b.data, sizeof(T) * count));
    b.capacity = count;
}

void RoughExtractor::phase(const char* name) const {
    if (times_) times_->mark(name);
}

const RoughMap& RoughExtractor::extract(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2, float dim,
                                        float eps) {
    const std::string problem = roughImageSizeProblem(height, width, kc2);
    if (!problem.empty()) throw RoughInputError(problem);
    if (!std::isfinite(dim)) throw RoughInputError(notFinite("target dimension", dim));
    if (!std::isfinite(eps)) throw RoughInputError(notFinite("tolerance", eps));
    return extractChecked(h_imageRGB, height, width, kc2, dim, eps);
}

const RoughMap& RoughExtractor::extractChecked(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2,
                                               float dim, float eps) {
    const int N = kBoxSide;
    const size_t imgSize = height * width;
    const size_t mHeight = height / 3;
    const size_t mWidth = width / 3;
    const size_t mSize = mHeight * mWidth;
    const size_t tHeight = (mHeight - kc2) / N;
    const size_t tWidth = (mWidth - kc2) / N;
    const size_t tSize = (mHeight - kc2) * (mWidth - kc2);

    cudaEventRecord(start_, 0);
    growDevice(d_imageRGB_, imgSize);
    growDevice(d_averImage_, mSize);
    growDevice(devContMatr_, tSize);
    growDevice(d_out_, tSize);
    growDevice(d_temp1_, tWidth * tHeight);
    growDevice(d_temp2_, 4 * tWidth * tHeight);
    growHost(contMatr_, tSize);
    growHost(contMatrRes_, tSize);
    eventCheck(stop_);
    phase("allocation");

    cudaEventRecord(start_, 0);
    checkCudaErrors(cudaMemcpy(d_imageRGB_.data, h_imageRGB, sizeof(uchar3) * imgSize, cudaMemcpyHostToDevice));
    eventCheck(stop_);
    phase("upload");

    cudaEventRecord(start_, 0);
    launchAveraging(d_imageRGB_.data, d_averImage_.data, mHeight, mWidth, width);
    eventCheck(stop_);
    phase("averaging");

    cudaEventRecord(start_, 0);
    launchMetric(devContMatr_.data, d_averImage_.data, mHeight, mWidth, kc2);
    deviceCheck(stop_);
    phase("metric");

    cudaEventRecord(start_, 0);
    checkCudaErrors(cudaMemcpy(contMatr_.data, devContMatr_.data, sizeof(float) * tSize, cudaMemcpyDeviceToHost));
    deviceCheck(stop_);
    phase("metric download");

    int cnt = 0;
    metricHistogram(contMatr_.data, mHeight - kc2, mWidth - kc2, hist_, &cnt, kTableSize);
    quantileTable(hist_, &cnt, kvant_, kTableSize);
    phase("histogram and table");

    int res[2] = {0, 0};
    const RoughPassBuffers buffers{devContMatr_.data, d_out_.data, d_kvant_, d_temp1_.data, d_temp2_.data, d_res_,
                                   mHeight,           mWidth,      kc2};
    const SearchTrace trace = thresholdSearch(buffers, res, kvant_, kTableSize, dim, eps, start_, stop_, times_);

    checkCudaErrors(cudaMemcpy(contMatrRes_.data, d_out_.data, tSize * sizeof(uchar), cudaMemcpyDeviceToHost));
    phase("map download");

    map_.pixels = contMatrRes_.data;
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

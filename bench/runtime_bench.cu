// Cost of running kernels: per emulated thread on the CPU backend, per
// launch on a GPU. Wall-clock time, since blocks run on all cores.
#include <benchmark/benchmark.h>

#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "CUDA_wrappers.h"
#include "detail/search/rough_host.h"
#include "detail/stages/rough_stages.h"
#include "detail/search/search.h"

namespace {

using namespace roughgc::detail;

// The lightest kind of kernel in the pipeline: one float read, one compare,
// one byte written.
__global__ void lightKernel(const float* in, unsigned char* out, float limit, int rows, int cols) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < cols && row < rows) out[row * cols + col] = in[row * cols + col] < limit ? 255 : 0;
}

template <class T>
T* deviceAlloc(size_t n) {
    T* p = nullptr;
    checkCudaErrors(cudaMalloc((void**)&p, n * sizeof(T)));
    return p;
}

void perThread(benchmark::State& state, dim3 grid, dim3 block) {
    const double threads = double(grid.x) * grid.y * block.x * block.y;
    state.counters["per_thread"] =
        benchmark::Counter(threads, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_LightKernel(benchmark::State& state) {
    const int rows = 993, cols = 1326;  // the metric map of a 4000 x 3000 photo
    std::vector<float> host(size_t(rows) * cols);
    for (size_t i = 0; i < host.size(); ++i) host[i] = float(i % 97);
    float* d_in = deviceAlloc<float>(host.size());
    unsigned char* binaryMap = deviceAlloc<unsigned char>(host.size());
    checkCudaErrors(cudaMemcpy(d_in, host.data(), host.size() * sizeof(float), cudaMemcpyHostToDevice));
    const dim3 block(32, 32), grid(cols / 32 + 1, rows / 32 + 1);
    for (auto _ : state) {
        LAUNCH_KERNEL(lightKernel, grid, block, d_in, binaryMap, 50.0f, rows, cols);
        checkCudaErrors(cudaDeviceSynchronize());
    }
    checkCudaErrors(cudaGetLastError());
    perThread(state, grid, block);
    cudaFree(d_in);
    cudaFree(binaryMap);
}
BENCHMARK(BM_LightKernel)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Averaging(benchmark::State& state) {
    const size_t height = 3000, width = 4000, mHeight = height / 3, mWidth = width / 3;
    std::vector<uchar3> image(height * width);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = {static_cast<unsigned char>(i), static_cast<unsigned char>(i / 7), static_cast<unsigned char>(i / 5)};
    uchar3* d_image = deviceAlloc<uchar3>(image.size());
    float3* d_map = deviceAlloc<float3>(mHeight * mWidth);
    checkCudaErrors(cudaMemcpy(d_image, image.data(), image.size() * sizeof(uchar3), cudaMemcpyHostToDevice));
    for (auto _ : state) {
        launchAveraging(d_image, d_map, mHeight, mWidth, width);
        checkCudaErrors(cudaDeviceSynchronize());
    }
    checkCudaErrors(cudaGetLastError());
    perThread(state, dim3(mWidth / 32 + 1, mHeight / 16 + 1), dim3(32, 16));
    cudaFree(d_image);
    cudaFree(d_map);
}
BENCHMARK(BM_Averaging)->UseRealTime()->Unit(benchmark::kMillisecond);

// One evaluation pass of the threshold search (seven launches) on the
// metric map of a real photo tiled to 4000 x 3000, at the median threshold.
void BM_EvaluationPass(benchmark::State& state) {
    const size_t height = 3000, width = 4000, mHeight = height / 3, mWidth = width / 3, window = 7;
    const cv::Mat tile = cv::imread(ROUGHGC_BENCH_PHOTO, cv::IMREAD_COLOR);
    if (tile.empty()) {
        state.SkipWithError("cannot read " ROUGHGC_BENCH_PHOTO);
        return;
    }
    std::vector<uchar3> image(height * width);
    for (size_t r = 0; r < height; ++r)
        for (size_t c = 0; c < width; ++c) {
            const cv::Vec3b& p = tile.at<cv::Vec3b>(int(r % tile.rows), int(c % tile.cols));
            image[r * width + c] = {p[0], p[1], p[2]};
        }
    const size_t rows = mHeight - window, cols = mWidth - window, n = rows * cols;
    uchar3* d_image = deviceAlloc<uchar3>(image.size());
    float3* d_aver = deviceAlloc<float3>(mHeight * mWidth);
    float* d_metric = deviceAlloc<float>(n);
    checkCudaErrors(cudaMemcpy(d_image, image.data(), image.size() * sizeof(uchar3), cudaMemcpyHostToDevice));
    launchAveraging(d_image, d_aver, mHeight, mWidth, width);
    launchMetric(d_metric, d_aver, mHeight, mWidth, window);
    std::vector<float> metric(n), quantiles(2048);
    std::vector<int> hist(2048);
    int cnt = 0;
    checkCudaErrors(cudaMemcpy(metric.data(), d_metric, n * sizeof(float), cudaMemcpyDeviceToHost));
    metricHistogram(metric.data(), rows, cols, hist.data(), &cnt, 2048);
    quantileTable(hist.data(), &cnt, quantiles.data(), 2048);
    const size_t boxes = (rows / 8) * (cols / 8);
    RoughPassBuffers b{d_metric, deviceAlloc<uchar>(n), deviceAlloc<float>(2048), deviceAlloc<uchar>(boxes),
                       deviceAlloc<uchar>(4 * boxes), deviceAlloc<int>(2), mHeight, mWidth, window};
    checkCudaErrors(cudaMemcpy(b.quantiles, quantiles.data(), 2048 * sizeof(float), cudaMemcpyHostToDevice));
    cudaEvent_t stop;
    checkCudaErrors(cudaEventCreate(&stop));
    for (auto _ : state) {
        evaluationPass(b, 1024, stop);
        checkCudaErrors(cudaDeviceSynchronize());
    }
    checkCudaErrors(cudaGetLastError());
    for (void* p : {(void*)d_image, (void*)d_aver, (void*)d_metric, (void*)b.binaryMap, (void*)b.quantiles,
                    (void*)b.coarseBoxes, (void*)b.fineBoxes, (void*)b.counts})
        cudaFree(p);
    cudaEventDestroy(stop);
}
BENCHMARK(BM_EvaluationPass)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// The threshold search two ways, on metric maps made from the input: the
// evaluation passes on the device (threshold the map, count its boxes, for
// every candidate) and counts over box maxima with one threshold at the
// end. Every choice must agree: the indices, the box counts, the estimate's
// bits, and the final map.
//
// Input: the map's rows and columns (a byte each, 8 .. 71), dim and eps
// (FuzzInput::number), a byte choosing the table (from the map's own
// histogram, or a few numbers of the input spread over it), then the metric
// values (FuzzInput::number, as long as the input lasts; then the input
// again from its start).
#include <bit>
#include <cstdint>
#include <vector>

#include "detail/search/box_search.h"
#include "detail/search/rough_host.h"
#include "detail/stages/row_stages.h"
#include "detail/search/search.h"
#include "fuzz_input.h"
#include "gpu_runtime.h"

namespace {

using namespace roughgc::detail;

template <class T>
T* deviceCopy(const std::vector<T>& host) {
    T* d = nullptr;
    FUZZ_REQUIRE(cudaMalloc((void**)&d, sizeof(T) * std::max<size_t>(host.size(), 1)) == cudaSuccess, "cudaMalloc");
    if (!host.empty())
        FUZZ_REQUIRE(cudaMemcpy(d, host.data(), sizeof(T) * host.size(), cudaMemcpyHostToDevice) == cudaSuccess, "up");
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const size_t rows = 8 + in.byte() % 64, cols = 8 + in.byte() % 64;
    const float dim = in.number(), eps = in.number();
    const uint8_t tableMode = in.byte();
    std::vector<float> table(kTableSize);
    std::vector<float> metric(rows * cols);
    if (tableMode % 2 == 1) {
        // Eight values of the input, each for a stretch of the table.
        float values[8];
        for (float& v : values) v = in.number();
        for (int i = 0; i < kTableSize; ++i) table[i] = values[i * 8 / kTableSize];
    }
    const uint8_t* start = in.rest();
    const size_t length = in.left();
    for (float& v : metric) {
        if (in.left() == 0) in = FuzzInput(start, length);
        v = in.number();
    }
    if (tableMode % 2 == 0) {
        std::vector<int> hist(kTableSize);
        int counted = 0;
        metricHistogram(metric.data(), rows, cols, hist.data(), &counted, kTableSize);
        quantileTable(hist.data(), &counted, table.data(), kTableSize);
    }

    // The evaluation passes, on buffers of their own.
    const size_t boxes = (rows / 8) * (cols / 8);
    float* d_metric = deviceCopy(metric);
    uchar* d_out = deviceCopy(std::vector<uchar>(rows * cols));
    float* d_quantiles = deviceCopy(std::vector<float>(kTableSize));
    uchar* d_coarse = deviceCopy(std::vector<uchar>(boxes));
    uchar* d_fine = deviceCopy(std::vector<uchar>(4 * boxes));
    int* d_counts = deviceCopy(std::vector<int>(2));
    cudaEvent_t stop_event;
    cudaEventCreate(&stop_event);
    // The window is left out of the map already: any one stands for it.
    const RoughPassBuffers buffers{d_metric, d_out, d_quantiles, d_coarse, d_fine, d_counts, rows + 1, cols + 1, 1};
    int counts[2];
    const SearchTrace passes = thresholdSearch(buffers, counts, table.data(), kTableSize, dim, eps, stop_event);
    std::vector<uchar> passesMap(rows * cols);
    cudaMemcpy(passesMap.data(), d_out, rows * cols, cudaMemcpyDeviceToHost);
    for (void* p : {static_cast<void*>(d_metric), static_cast<void*>(d_out), static_cast<void*>(d_quantiles),
                    static_cast<void*>(d_coarse), static_cast<void*>(d_fine), static_cast<void*>(d_counts)})
        cudaFree(p);
    cudaEventDestroy(stop_event);

    BoxMaxima maxima;
    boxMaxima(metric.data(), rows, cols, maxima);
    const SearchTrace counted = searchOnBoxMaxima(maxima, table.data(), kTableSize, dim, eps);
    std::vector<uchar> countedMap(rows * cols);
    thresholdRows(metric.data(), countedMap.size(), table[counted.indices.back()], countedMap.data());

    FUZZ_REQUIRE(counted.indices == passes.indices, "%zu passes against %zu (%zu x %zu)", counted.indices.size(),
                 passes.indices.size(), cols, rows);
    FUZZ_REQUIRE(counted.coarseBoxes == passes.coarseBoxes && counted.fineBoxes == passes.fineBoxes,
                 "boxes %d, %d against %d, %d", counted.coarseBoxes, counted.fineBoxes, passes.coarseBoxes,
                 passes.fineBoxes);
    FUZZ_REQUIRE(std::bit_cast<uint32_t>(counted.dimension) == std::bit_cast<uint32_t>(passes.dimension),
                 "estimate %a against %a", counted.dimension, passes.dimension);
    FUZZ_REQUIRE(countedMap == passesMap, "different maps (%zu x %zu)", cols, rows);
    return 0;
}

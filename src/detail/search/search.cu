// Kernels of the threshold search's evaluation pass, beside their launches,
// and the search itself.
#include "detail/search/search.h"

#include <cmath>
#include <string>

#include "detail/device/device.h"
#include "detail/device/launch.h"
#include "detail/pixel/pixel_math.cuh"
#include "detail/search/rough_host.h"
#include "detail/device/stage_times.h"

namespace roughgc::detail {

// 255 (smooth) where the metric lies below quantiles[index], 0 (rough)
// elsewhere, NaN included.
__global__ void threshold(float* metric, uchar* binMap, float* quantiles, int rows, int cols, int index) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < cols && row < rows) {
        binMap[row * cols + col] = binaryPixel(metric[row * cols + col], quantiles[index]);
    }
}

// Box counting, in three launches per box size: clear the box grid, mark the
// boxes that hold a rough pixel (any byte but 255), count the marks.
// Formerly calculating0.
__global__ void clearBoxes(uchar* boxes, int boxRows, int boxCols) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < boxCols && row < boxRows) boxes[row * boxCols + col] = 0;
}

// Number of trailing zero bits of v > 0.
__device__ __forceinline__ int trailingZeros(unsigned int v) {
#if defined(__CUDA_ARCH__)
    return __ffs(static_cast<int>(v)) - 1;
#else
    return __builtin_ctz(v);
#endif
}

// Only whole boxes that lie inside the box grid are examined. Formerly
// calculating1.
__global__ void markBoxes(uchar* binMap, uchar* boxes, int rows, int cols, int boxRows, int boxCols, int boxSize) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int rowsW = rows - rows % boxSize, colsW = cols - cols % boxSize;
    if (x >= colsW || y >= rowsW) return;
    // The pipeline's box sides are powers of two, where a shift gives the
    // quotient of these non-negative coordinates; a division per thread
    // would cost more than the rest of the kernel on a CPU.
    const bool powerOfTwo = (boxSize & (boxSize - 1)) == 0;
    const int shift = trailingZeros(static_cast<unsigned int>(boxSize));
    const int by = powerOfTwo ? y >> shift : y / boxSize;
    const int bx = powerOfTwo ? x >> shift : x / boxSize;
    if (by >= boxRows || bx >= boxCols) return;
    if (binMap[y * cols + x] == 255) return;
    // Every thread of a box stores the same 1: plain stores suffice.
    boxes[by * boxCols + bx] = 1;
}

// Adds the marked boxes to counts[slot]. Formerly calculating2.
__global__ void countBoxes(uchar* boxes, int* counts, int boxRows, int boxCols, int slot) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < boxCols && row < boxRows && boxes[row * boxCols + col] != 0) atomicAdd(&counts[slot], 1);
}

void launchThreshold(float* metric, uchar* binaryMap, float* quantiles, size_t rows, size_t cols, int index) {
    const dim3 blockSize(32, 32);
    const dim3 mapGrid(gridExtent(cols, 32), gridExtent(rows, 32));
    LAUNCH_KERNEL(threshold, mapGrid, blockSize, metric, binaryMap, quantiles, static_cast<int>(rows),
                  static_cast<int>(cols), index);
}

void evaluationPass(const RoughPassBuffers& b, int index, cudaEvent_t stop) {
    // Kernel sizes are 32-bit values formed from the truncated sizes.
    const int rows = static_cast<int>(b.mHeight) - static_cast<int>(b.window);
    const int cols = static_cast<int>(b.mWidth) - static_cast<int>(b.window);
    const size_t mapRows = b.mHeight - b.window, mapCols = b.mWidth - b.window;
    const size_t tHeight = mapRows / kBoxSide, tWidth = mapCols / kBoxSide;
    const int boxRows = static_cast<int>(tHeight), boxCols = static_cast<int>(tWidth);

    const dim3 blockSize(32, 32);
    const dim3 mapGrid(gridExtent(mapCols, 32), gridExtent(mapRows, 32));
    const dim3 coarseGrid(gridExtent(tWidth, 32), gridExtent(tHeight, 32));
    const dim3 fineGrid(gridExtent(2 * tWidth, 32), gridExtent(2 * tHeight, 32));

    launchThreshold(b.metric, b.binaryMap, b.quantiles, mapRows, mapCols, index);
    deviceCheck(stop);

    LAUNCH_KERNEL(clearBoxes, coarseGrid, blockSize, b.coarseBoxes, boxRows, boxCols);
    deviceCheck(stop);
    LAUNCH_KERNEL(markBoxes, mapGrid, blockSize, b.binaryMap, b.coarseBoxes, rows, cols, boxRows, boxCols, kBoxSide);
    deviceCheck(stop);
    LAUNCH_KERNEL(countBoxes, coarseGrid, blockSize, b.coarseBoxes, b.counts, boxRows, boxCols, 0);
    deviceCheck(stop);

    LAUNCH_KERNEL(clearBoxes, fineGrid, blockSize, b.fineBoxes, 2 * boxRows, 2 * boxCols);
    deviceCheck(stop);
    LAUNCH_KERNEL(markBoxes, mapGrid, blockSize, b.binaryMap, b.fineBoxes, rows, cols, 2 * boxRows, 2 * boxCols,
                  kFineBoxSide);
    deviceCheck(stop);
    LAUNCH_KERNEL(countBoxes, fineGrid, blockSize, b.fineBoxes, b.counts, 2 * boxRows, 2 * boxCols, 1);
    deviceCheck(stop);
}

SearchTrace thresholdSearch(const RoughPassBuffers& b, int* counts, const float* quantiles, int size, float dim,
                            float eps, cudaEvent_t stop, StageTimes* times) {
    ROUGHGC_CUDA_CHECK(cudaMemcpy(b.quantiles, quantiles, sizeof(float) * size, cudaMemcpyHostToDevice));
    // One pass for each index, on counters uploaded as zeros before it.
    return bisectQuantileTable(size, dim, eps, [&](int index, SearchTrace& trace) {
        counts[0] = counts[1] = 0;
        ROUGHGC_CUDA_CHECK(cudaMemcpy(b.counts, counts, sizeof(int) * 2, cudaMemcpyHostToDevice));
        evaluationPass(b, index, stop);
        ROUGHGC_CUDA_CHECK(cudaMemcpy(counts, b.counts, 2 * sizeof(int), cudaMemcpyDeviceToHost));
        trace.coarseBoxes = counts[0];
        trace.fineBoxes = counts[1];
        trace.dimension = dimensionEstimate(counts[0], counts[1], kBoxSide);
        if (times) times->mark("search pass " + std::to_string(trace.indices.size()));
    });
}

void loadSearchKernels() {
    cudaFuncAttributes attributes;
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, threshold));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, clearBoxes));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, markBoxes));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, countBoxes));
}

}  // namespace roughgc::detail

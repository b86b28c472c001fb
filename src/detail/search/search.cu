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

// 255 (smooth) where the metric lies below kvant[kvantIndex], 0 (rough)
// elsewhere, NaN included.
__global__ void threshold(float* metricMap, uchar* binMap, float* kvant, int rows, int cols, int kvantIndex) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < cols && row < rows) {
        binMap[row * cols + col] = binaryPixel(metricMap[row * cols + col], kvant[kvantIndex]);
    }
}

// Box counting, in three launches per box size: clear the box grid, mark the
// boxes that hold a rough pixel (any byte but 255), count the marks.
__global__ void calculating0(uchar* boxes, int boxRows, int boxCols) {
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

// Only whole boxes that lie inside the box grid are examined.
__global__ void calculating1(uchar* binMap, uchar* boxes, int rows, int cols, int boxRows, int boxCols, int boxSize) {
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

__global__ void calculating2(uchar* boxes, int* res, int boxRows, int boxCols, int resIndex) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < boxCols && row < boxRows && boxes[row * boxCols + col] != 0) atomicAdd(&res[resIndex], 1);
}

void launchThreshold(float* devContMatr, uchar* d_out, float* d_kvant, size_t rows, size_t cols, int index) {
    const dim3 blockSize(32, 32);
    const dim3 mapGrid(gridExtent(cols, 32), gridExtent(rows, 32));
    LAUNCH_KERNEL(threshold, mapGrid, blockSize, devContMatr, d_out, d_kvant, static_cast<int>(rows),
                  static_cast<int>(cols), index);
}

void evaluationPass(const RoughPassBuffers& b, int sr, cudaEvent_t stop) {
    const int N = kBoxSide;
    // Kernel sizes are 32-bit values formed from the truncated sizes.
    const int rows = static_cast<int>(b.mHeight) - static_cast<int>(b.kc2);
    const int cols = static_cast<int>(b.mWidth) - static_cast<int>(b.kc2);
    const size_t mapRows = b.mHeight - b.kc2, mapCols = b.mWidth - b.kc2;
    const size_t tHeight = mapRows / N, tWidth = mapCols / N;
    const int boxRows = static_cast<int>(tHeight), boxCols = static_cast<int>(tWidth);

    const dim3 blockSize(32, 32);
    const dim3 mapGrid(gridExtent(mapCols, 32), gridExtent(mapRows, 32));
    const dim3 coarseGrid(gridExtent(tWidth, 32), gridExtent(tHeight, 32));
    const dim3 fineGrid(gridExtent(2 * tWidth, 32), gridExtent(2 * tHeight, 32));

    launchThreshold(b.devContMatr, b.d_out, b.d_kvant, mapRows, mapCols, sr);
    deviceCheck(stop);

    LAUNCH_KERNEL(calculating0, coarseGrid, blockSize, b.d_temp1, boxRows, boxCols);
    deviceCheck(stop);
    LAUNCH_KERNEL(calculating1, mapGrid, blockSize, b.d_out, b.d_temp1, rows, cols, boxRows, boxCols, N);
    deviceCheck(stop);
    LAUNCH_KERNEL(calculating2, coarseGrid, blockSize, b.d_temp1, b.d_res, boxRows, boxCols, 0);
    deviceCheck(stop);

    LAUNCH_KERNEL(calculating0, fineGrid, blockSize, b.d_temp2, 2 * boxRows, 2 * boxCols);
    deviceCheck(stop);
    LAUNCH_KERNEL(calculating1, mapGrid, blockSize, b.d_out, b.d_temp2, rows, cols, 2 * boxRows, 2 * boxCols, kFineBoxSide);
    deviceCheck(stop);
    LAUNCH_KERNEL(calculating2, fineGrid, blockSize, b.d_temp2, b.d_res, 2 * boxRows, 2 * boxCols, 1);
    deviceCheck(stop);
}

SearchTrace thresholdSearch(const RoughPassBuffers& b, int* res, const float* kvant, int size, float dim, float eps,
                            cudaEvent_t stop, StageTimes* times) {
    ROUGHGC_CUDA_CHECK(cudaMemcpy(b.d_kvant, kvant, sizeof(float) * size, cudaMemcpyHostToDevice));
    // One pass for each index, on counters uploaded as zeros before it.
    return bisectQuantileTable(size, dim, eps, [&](int sr, SearchTrace& trace) {
        res[0] = res[1] = 0;
        ROUGHGC_CUDA_CHECK(cudaMemcpy(b.d_res, res, sizeof(int) * 2, cudaMemcpyHostToDevice));
        evaluationPass(b, sr, stop);
        ROUGHGC_CUDA_CHECK(cudaMemcpy(res, b.d_res, 2 * sizeof(int), cudaMemcpyDeviceToHost));
        trace.coarseBoxes = res[0];
        trace.fineBoxes = res[1];
        trace.dimension = dimensionEstimate(res[0], res[1], kBoxSide);
        if (times) times->mark("search pass " + std::to_string(trace.indices.size()));
    });
}

void loadSearchKernels() {
    cudaFuncAttributes attributes;
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, threshold));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, calculating0));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, calculating1));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, calculating2));
}

}  // namespace roughgc::detail

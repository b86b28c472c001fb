// Kernels of the rough pipeline's image stages, each beside its launch.
#include "detail/stages/rough_stages.h"

#include "detail/device/device.h"
#include "detail/device/launch.h"
#include "detail/pixel/pixel_math.cuh"

namespace roughgc::detail {

// Averages each 3 x 3 block of the image into one point of the feature
// space: the block's grid position times 60 plus its inverted colour on the
// colour axes. The last height % 3 rows and width % 3 columns are never read.
__global__ void averaging(const uchar3* photo, float3* features, int mHeight, int mWidth, int width) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < mWidth && row < mHeight) {
        // Integer sums: exact, and cheaper than the float sums they stand for.
        int sb = 0, sg = 0, sr = 0;
        const uchar3* block = photo + (3 * row) * width + 3 * col;
        for (int dr = 0; dr < 3; ++dr) {
            const uchar3* line = block + dr * width;
            for (int dc = 0; dc < 3; ++dc) {
                sb += line[dc].x;
                sg += line[dc].y;
                sr += line[dc].z;
            }
        }
        features[row * mWidth + col] = averagedFeature(sb, sg, sr, row, col);
    }
}

void launchAveraging(const uchar3* photo, float3* features, size_t mHeight, size_t mWidth, size_t width) {
    const dim3 blockSize(32, 16);
    const dim3 gridSize(gridExtent(mWidth, 32), gridExtent(mHeight, 16));
    LAUNCH_KERNEL(averaging, gridSize, blockSize, photo, features, static_cast<int>(mHeight),
                  static_cast<int>(mWidth), static_cast<int>(width));
}

// The metric quotient of the feature surface at each averaged pixel at
// least window / 2 from the top and left, from the forward differences to its
// right and lower neighbours. 4 on flat colour, larger across edges. The map
// has `window` fewer rows and columns than the grid.
// Formerly calculate_derive_metric_optimized.
__global__ void metricMap(float* metric, float3* features, int mHeight, int mWidth, int window) {
    const int j = blockIdx.x * blockDim.x + threadIdx.x;
    const int i = blockIdx.y * blockDim.y + threadIdx.y;
    const int h = window / 2;
    const int outWidth = mWidth - window, outHeight = mHeight - window;
    if (j >= h && j < h + outWidth && i >= h && i < h + outHeight) {
        // A NaN or an infinity counts as rough at the threshold.
        metric[(i - h) * outWidth + (j - h)] =
            neighbourMetric(features[i * mWidth + j], features[i * mWidth + j + 1], features[(i + 1) * mWidth + j]);
    }
}

void launchMetric(float* metric, float3* features, size_t mHeight, size_t mWidth, size_t window) {
    const dim3 blockSize(32, 32);
    const dim3 gridSize(gridExtent(mWidth, 32), gridExtent(mHeight, 32));
    LAUNCH_KERNEL(metricMap, gridSize, blockSize, metric, features,
                  static_cast<int>(mHeight), static_cast<int>(mWidth), static_cast<int>(window));
}

void loadRoughStageKernels() {
    cudaFuncAttributes attributes;
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, averaging));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, metricMap));
}

}  // namespace roughgc::detail

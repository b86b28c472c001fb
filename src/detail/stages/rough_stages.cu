// Kernels of the rough pipeline's image stages, each beside its launch.
#include "detail/stages/rough_stages.h"

#include "detail/device/device.h"
#include "detail/device/launch.h"
#include "detail/pixel/pixel_math.cuh"

namespace roughgc::detail {

// Averages each 3 x 3 block of the image into one point of the feature
// space: the block's grid position times 60 plus its inverted colour on the
// colour axes. The last height % 3 rows and width % 3 columns are never read.
__global__ void averaging(const uchar3* imageRGB, float3* averImage, int mHeight, int mWidth, int width) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < mWidth && row < mHeight) {
        // Integer sums: exact, and cheaper than the float sums they stand for.
        int sb = 0, sg = 0, sr = 0;
        const uchar3* block = imageRGB + (3 * row) * width + 3 * col;
        for (int dr = 0; dr < 3; ++dr) {
            const uchar3* line = block + dr * width;
            for (int dc = 0; dc < 3; ++dc) {
                sb += line[dc].x;
                sg += line[dc].y;
                sr += line[dc].z;
            }
        }
        averImage[row * mWidth + col] = averagedFeature(sb, sg, sr, row, col);
    }
}

void launchAveraging(const uchar3* d_imageRGB, float3* d_averImage, size_t mHeight, size_t mWidth, size_t width) {
    const dim3 blockSize(32, 16);
    const dim3 gridSize(gridExtent(mWidth, 32), gridExtent(mHeight, 16));
    LAUNCH_KERNEL(averaging, gridSize, blockSize, d_imageRGB, d_averImage, static_cast<int>(mHeight),
                  static_cast<int>(mWidth), static_cast<int>(width));
}

// The metric quotient of the feature surface at each averaged pixel at
// least kc2 / 2 from the top and left, from the forward differences to its
// right and lower neighbours. 4 on flat colour, larger across edges. The map
// has kc2 fewer rows and columns than the grid.
__global__ void calculate_derive_metric_optimized(float* metricMap, float3* averImage, int mHeight, int mWidth,
                                                  int kc2) {
    const int j = blockIdx.x * blockDim.x + threadIdx.x;
    const int i = blockIdx.y * blockDim.y + threadIdx.y;
    const int h = kc2 / 2;
    const int outWidth = mWidth - kc2, outHeight = mHeight - kc2;
    if (j >= h && j < h + outWidth && i >= h && i < h + outHeight) {
        // A NaN or an infinity counts as rough at the threshold.
        metricMap[(i - h) * outWidth + (j - h)] =
            neighbourMetric(averImage[i * mWidth + j], averImage[i * mWidth + j + 1], averImage[(i + 1) * mWidth + j]);
    }
}

void launchMetric(float* devContMatr, float3* d_averImage, size_t mHeight, size_t mWidth, size_t kc2) {
    const dim3 blockSize(32, 32);
    const dim3 gridSize(gridExtent(mWidth, 32), gridExtent(mHeight, 32));
    LAUNCH_KERNEL(calculate_derive_metric_optimized, gridSize, blockSize, devContMatr, d_averImage,
                  static_cast<int>(mHeight), static_cast<int>(mWidth), static_cast<int>(kc2));
}

void loadRoughStageKernels() {
    cudaFuncAttributes attributes;
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, averaging));
    ROUGHGC_CUDA_CHECK(cudaFuncGetAttributes(&attributes, calculate_derive_metric_optimized));
}

}  // namespace roughgc::detail

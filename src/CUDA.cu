// The GPU library: host entry points and the launches of its kernels.
#include "CUDA_stages.h"
#include "CUDA_wrappers.h"
#include "rough_kernels.cuh"

namespace {

// Grid extent for `extent` elements in blocks of `block`: always one block
// more than the truncating quotient, as every launch of the library does.
unsigned int gridExtent(size_t extent, unsigned int block) { return static_cast<unsigned int>(extent / block + 1); }

// Device selection at the start of every entry point. The status of
// cudaSetDevice itself surfaces through the last error.
void selectDevice() {
    cudaSetDevice(0);
    checkCudaErrors(cudaGetLastError());
}

// The two checks that end a phase of GPU work. Waiting for `stop` makes a
// failed launch or kernel surface in the last error.
[[maybe_unused]] void eventCheck(cudaEvent_t stop) {
    cudaEventRecord(stop, 0);
    cudaEventSynchronize(stop);
    checkCudaErrors(cudaGetLastError());
}

[[maybe_unused]] void deviceCheck(cudaEvent_t stop) {
    cudaEventRecord(stop, 0);
    cudaEventSynchronize(stop);
    cudaDeviceSynchronize();
    checkCudaErrors(cudaGetLastError());
}

}  // namespace

void FirstRun() {
    selectDevice();
    cudaEvent_t start, stop;
    checkCudaErrors(cudaEventCreate(&start));
    checkCudaErrors(cudaEventCreate(&stop));
}

void launchAveraging(const uchar3* d_imageRGB, float3* d_averImage, size_t mHeight, size_t mWidth, size_t width) {
    const dim3 blockSize(32, 16);
    const dim3 gridSize(gridExtent(mWidth, 32), gridExtent(mHeight, 16));
    LAUNCH_KERNEL(averaging, gridSize, blockSize, d_imageRGB, d_averImage, static_cast<int>(mHeight),
                  static_cast<int>(mWidth), static_cast<int>(width));
}

// Behaviour of the CPU stand-in that a GPU cannot show: kernels that would
// hang a GPU at a barrier are reported as failed launches instead.
#include <gtest/gtest.h>

#include <vector>

#include "CUDA_wrappers.h"
#include "device_buffer.h"

namespace {

// Thread 0 leaves before the barrier that everyone else waits at.
__global__ void firstThreadSkipsTheBarrier(int* out) {
    if (threadIdx.x == 0) return;
    __syncthreads();
    out[threadIdx.x] = 1;
}

// Some threads wait at a barrier that the others never reach.
__global__ void lastThreadsSkipTheBarrier(int* out) {
    if (threadIdx.x >= 60) return;
    __syncthreads();
    out[threadIdx.x] = 1;
}

__global__ void uniformBarrier(int* out) {
    __syncthreads();
    out[blockIdx.x * blockDim.x + threadIdx.x] = 1;
}

__global__ void oneThreadOfTheLastBlockSkipsTheBarrier() {
    if (blockIdx.x == gridDim.x - 1 && threadIdx.x == 500) return;
    __syncthreads();
}

TEST(CpuRuntime, ThreadLeavingBeforeABarrierFailsTheLaunchInsteadOfHanging) {
    DeviceBuffer<int> d_out(std::vector<int>(64, 0));
    testing::internal::CaptureStderr();
    LAUNCH_KERNEL(firstThreadSkipsTheBarrier, dim3(1), dim3(64), d_out.get());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);

    testing::internal::CaptureStderr();
    LAUNCH_KERNEL(lastThreadsSkipTheBarrier, dim3(3), dim3(64), d_out.get());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("__syncthreads()"), std::string::npos);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");
}

TEST(CpuRuntime, BarrierMisuseFailsALaunchSpreadOverTheCores) {
    // 64 blocks of 1024 threads are enough to be shared out over the cores.
    testing::internal::CaptureStderr();
    LAUNCH_KERNEL(oneThreadOfTheLastBlockSkipsTheBarrier, dim3(64), dim3(1024));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
}

TEST(CpuRuntime, FibersAreReusableAfterAnAbandonedBlock) {
    DeviceBuffer<int> d_bad(std::vector<int>(64, 0));
    testing::internal::CaptureStderr();
    LAUNCH_KERNEL(lastThreadsSkipTheBarrier, dim3(1), dim3(64), d_bad.get());
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);

    DeviceBuffer<int> d_out(std::vector<int>(40 * 128, 0));
    LAUNCH_KERNEL(uniformBarrier, dim3(40), dim3(128), d_out.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    for (int v : d_out.download()) ASSERT_EQ(v, 1);
}

TEST(CpuRuntime, DeviceCopiesMustStayInsideAnAllocation) {
    DeviceBuffer<int> d(4);
    std::vector<int> host(8, 0);
    EXPECT_EQ(cudaMemcpy(d.get(), host.data(), 8 * sizeof(int), cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host.data(), host.data() + 4, sizeof(int), cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(d.get(), host.data(), sizeof(int), static_cast<cudaMemcpyKind>(7)),
              cudaErrorInvalidMemcpyDirection);
    EXPECT_EQ(cudaFree(host.data()), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);

    // A pitched copy's last row ends `width` bytes in: 4 rows of 4 bytes,
    // 8 apart, span 28 bytes.
    DeviceBuffer<unsigned char> pitched(28);
    std::vector<unsigned char> rows(40, 1);
    EXPECT_EQ(cudaMemcpy2D(pitched.get(), 8, rows.data(), 8, 4, 4, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy2D(pitched.get(), 8, rows.data(), 8, 5, 4, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy2D(rows.data(), 8, pitched.get(), 8, 4, 5, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
}

}  // namespace

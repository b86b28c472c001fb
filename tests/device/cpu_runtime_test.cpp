// Behaviour of the CPU stand-in that a GPU cannot show: kernels that would
// hang a GPU at a barrier are reported as failed launches instead, and large
// blocks of "device" memory are faulted in ahead and kept for reuse.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "CUDA_wrappers.h"
#include "address_sanitizer.h"
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

// Large blocks: mapped whole ahead of the kernels that use them, and kept
// when freed for the next allocation of their size. (Under AddressSanitizer
// every block comes from malloc, so that the sanitizer guards its edges.)
constexpr size_t kLargeBlock = size_t{8} << 20;

bool kernelPopulatesMappings() {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    const bool populated = madvise(p, page, MADV_POPULATE_WRITE) == 0;
    munmap(p, page);
    return populated;
}

TEST(CpuRuntime, FreshLargeDeviceBlockIsResidentAtOnce) {
#if defined(ROUGHGC_ASAN)
    GTEST_SKIP() << "large blocks come from malloc under AddressSanitizer";
#endif
    if (!kernelPopulatesMappings()) GTEST_SKIP() << "the kernel lacks MADV_POPULATE_WRITE (Linux 5.14)";
    void* p = nullptr;
    ASSERT_EQ(cudaMalloc(&p, kLargeBlock), cudaSuccess);
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> pages(kLargeBlock / page);
    ASSERT_EQ(mincore(p, kLargeBlock, pages.data()), 0);
    EXPECT_EQ(std::count_if(pages.begin(), pages.end(), [](unsigned char v) { return (v & 1) != 0; }),
              static_cast<long>(pages.size()));
    EXPECT_EQ(cudaFree(p), cudaSuccess);
}

TEST(CpuRuntime, FreedLargeBlockIsReusedForTheSameSize) {
#if defined(ROUGHGC_ASAN)
    GTEST_SKIP() << "large blocks come from malloc under AddressSanitizer";
#endif
    void* first = nullptr;
    ASSERT_EQ(cudaMalloc(&first, kLargeBlock), cudaSuccess);
    std::memset(first, 0x5A, kLargeBlock);
    ASSERT_EQ(cudaFree(first), cudaSuccess);
    void* again = nullptr;
    ASSERT_EQ(cudaMalloc(&again, kLargeBlock), cudaSuccess);
    EXPECT_EQ(again, first);
    // A fresh mapping at the same address would read as zeros.
    const auto* bytes = static_cast<const unsigned char*>(again);
    EXPECT_EQ(bytes[0], 0x5A);
    EXPECT_EQ(bytes[kLargeBlock - 1], 0x5A);
    EXPECT_EQ(cudaFree(again), cudaSuccess);
}

}  // namespace

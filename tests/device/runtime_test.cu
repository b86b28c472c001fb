// The runtime behaviour that the library relies on, written as CUDA so that
// it holds for the CPU stand-in and for a real GPU alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "CUDA_wrappers.h"
#include "device_buffer.h"

namespace {

// Each block reverses its 1024 elements through block-shared memory: wrong
// unless every thread waits at the barrier for all the others' stores.
__global__ void reverseInBlocks(const int* in, int* out) {
    __shared__ int tile[1024];
    const int t = threadIdx.y * blockDim.x + threadIdx.x;
    const int n = blockDim.x * blockDim.y;
    const int base = (blockIdx.y * gridDim.x + blockIdx.x) * n;
    tile[t] = in[base + t];
    __syncthreads();
    out[base + t] = tile[n - 1 - t];
}

// A tree sum over many barriers; block b writes the sum of its elements.
__global__ void blockSums(const int* in, int* sums) {
    __shared__ int partial[1024];
    const int t = threadIdx.y * blockDim.x + threadIdx.x;
    const int n = blockDim.x * blockDim.y;
    const int b = blockIdx.y * gridDim.x + blockIdx.x;
    partial[t] = in[b * n + t];
    __syncthreads();
    for (int stride = n / 2; stride > 0; stride /= 2) {
        if (t < stride) partial[t] += partial[t + stride];
        __syncthreads();
    }
    if (t == 0) sums[b] = partial[0];
}

// Only odd blocks use shared memory and barriers; the others return at once.
__global__ void reverseOddBlocks(const int* in, int* out) {
    if (blockIdx.x % 2 == 0) return;
    __shared__ int tile[256];
    const int t = threadIdx.x;
    const int base = blockIdx.x * blockDim.x;
    tile[t] = in[base + t];
    __syncthreads();
    out[base + t] = tile[blockDim.x - 1 - t];
}

__global__ void countInShared(int* perBlock) {
    __shared__ int counter;
    if (threadIdx.x == 0 && threadIdx.y == 0) counter = 0;
    __syncthreads();
    atomicAdd(&counter, 1);
    __syncthreads();
    if (threadIdx.x == 0 && threadIdx.y == 0) perBlock[blockIdx.y * gridDim.x + blockIdx.x] = counter;
}

__global__ void countInDevice(int* counter, int rows, int cols) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < cols && row < rows) atomicAdd(counter, 1);
}

__global__ void recordCoordinates(int* out, int rows, int cols) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (col < cols && row < rows) out[row * cols + col] = row * 1000 + col;
}

__global__ void markRan(int* flag) { *flag = 1; }

__global__ void countThreads3d(int* counts, int total) {
    const int block = (blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x;
    const int thread = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
    const int i = block * blockDim.x * blockDim.y * blockDim.z + thread;
    if (i < total) atomicAdd(&counts[i], 1);
}

std::vector<int> iota(size_t n) {
    std::vector<int> v(n);
    std::iota(v.begin(), v.end(), 0);
    return v;
}

TEST(Barrier, BlockWideReversalThroughSharedMemory) {
    // Enough blocks that they run on several cores at once.
    const dim3 grid(8, 5), block(32, 32);
    const size_t n = 40 * 1024;
    const std::vector<int> in = iota(n);
    DeviceBuffer<int> d_in(in), d_out(n);
    LAUNCH_KERNEL(reverseInBlocks, grid, block, d_in.get(), d_out.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<int> out = d_out.download();
    for (size_t b = 0; b < 40; ++b)
        for (size_t t = 0; t < 1024; ++t) ASSERT_EQ(out[b * 1024 + t], in[b * 1024 + 1023 - t]) << b << " " << t;
}

TEST(Barrier, RepeatedBarriersInALoop) {
    const dim3 grid(4, 3), block(16, 64);
    const std::vector<int> in = iota(12 * 1024);
    DeviceBuffer<int> d_in(in), d_sums(12);
    LAUNCH_KERNEL(blockSums, grid, block, d_in.get(), d_sums.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<int> sums = d_sums.download();
    for (int b = 0; b < 12; ++b) EXPECT_EQ(sums[b], 1024 * b * 1024 + 1023 * 1024 / 2) << b;
}

TEST(Barrier, DecidedForEveryBlockNotOnlyTheFirst) {
    const std::vector<int> in = iota(8 * 256);
    DeviceBuffer<int> d_in(in), d_out(std::vector<int>(8 * 256, -1));
    LAUNCH_KERNEL(reverseOddBlocks, dim3(8), dim3(256), d_in.get(), d_out.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<int> out = d_out.download();
    for (int b = 0; b < 8; ++b)
        for (int t = 0; t < 256; ++t) ASSERT_EQ(out[b * 256 + t], b % 2 ? in[b * 256 + 255 - t] : -1) << b << " " << t;
}

TEST(Atomics, SharedCounterOfEveryConcurrentBlockReachesTheBlockSize) {
    const dim3 grid(8, 8), block(32, 24);
    DeviceBuffer<int> d_counts(64);
    LAUNCH_KERNEL(countInShared, grid, block, d_counts.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (int c : d_counts.download()) EXPECT_EQ(c, 32 * 24);
}

TEST(Atomics, ManyBlocksAddToOneDeviceCounter) {
    const int rows = 517, cols = 1003;
    DeviceBuffer<int> d_counter(std::vector<int>{5});
    LAUNCH_KERNEL(countInDevice, dim3(cols / 32 + 1, rows / 32 + 1), dim3(32, 32), d_counter.get(), rows, cols);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(d_counter.download()[0], 5 + rows * cols);
}

TEST(Launch, EveryThreadOfATwoDimensionalGridRunsOnce) {
    const int rows = 70, cols = 45;
    DeviceBuffer<int> d_out(std::vector<int>(rows * cols, -1));
    LAUNCH_KERNEL(recordCoordinates, dim3(cols / 16 + 1, rows / 8 + 1), dim3(16, 8), d_out.get(), rows, cols);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<int> out = d_out.download();
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) ASSERT_EQ(out[r * cols + c], r * 1000 + c);
}

TEST(Launch, EveryThreadOfAThreeDimensionalGridRunsOnce) {
    const dim3 grid(4, 2, 8), block(8, 4, 2);
    const int total = 64 * 64;
    DeviceBuffer<int> d_counts(std::vector<int>(total, 0));
    LAUNCH_KERNEL(countThreads3d, grid, block, d_counts.get(), total);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(d_counts.download(), std::vector<int>(total, 1));
}

TEST(Launch, RefusedConfigurationsDoNotRunAndReportInvalidConfiguration) {
    const std::pair<dim3, dim3> refused[] = {
        {dim3(1), dim3(1025)},        {dim3(1), dim3(32, 33)},  {dim3(1), dim3(1, 1, 65)},
        {dim3(0), dim3(32)},          {dim3(1, 0), dim3(32)},   {dim3(1), dim3(0, 32)},
        {dim3(1, 65536), dim3(32)},
    };
    for (const auto& [grid, block] : refused) {
        DeviceBuffer<int> d_flag(std::vector<int>{0});
        LAUNCH_KERNEL(markRan, grid, block, d_flag.get());
        EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration)
            << grid.x << "x" << grid.y << " blocks of " << block.x << "x" << block.y << "x" << block.z;
        EXPECT_EQ(d_flag.download()[0], 0);
    }
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration), "invalid configuration argument");
}

TEST(Launch, LargestBlocksAreAccepted) {
    for (const dim3 block : {dim3(1024), dim3(1, 1024), dim3(32, 32), dim3(16, 1, 64)}) {
        DeviceBuffer<int> d_flag(std::vector<int>{0});
        LAUNCH_KERNEL(markRan, dim3(1, 1), block, d_flag.get());
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
        EXPECT_EQ(d_flag.download()[0], 1);
    }
}

TEST(LastError, IsReturnedOnceAndThenReset) {
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, size_t{1} << 50), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaSetDevice(0), cudaSuccess);  // a later success does not clear it
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST(LastError, KeepsTheMostRecentFailure) {
    LAUNCH_KERNEL(markRan, dim3(1), dim3(2000), nullptr);
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, size_t{1} << 50), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST(LastError, UnknownDeviceIsAnInvalidOrdinal) {
    int count = 0;
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(cudaSetDevice(count), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidValue), "invalid argument");
}

TEST(Memory, ImpossibleAllocationFailsWithOutOfMemory) {
    float* p = nullptr;
    EXPECT_EQ(cudaMalloc((void**)&p, sizeof(float) * (size_t{1} << 48)), cudaErrorMemoryAllocation);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
    cudaGetLastError();
}

TEST(Memory, ZeroByteAllocationsAndCopiesSucceed) {
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, 0), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(p, p, 0, cudaMemcpyDeviceToDevice), cudaSuccess);
    EXPECT_EQ(cudaFree(p), cudaSuccess);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST(Memory, CopiesBothWaysKeepEveryByte) {
    std::vector<unsigned char> host(1000003);
    for (size_t i = 0; i < host.size(); ++i) host[i] = static_cast<unsigned char>(i * 7 + 3);
    unsigned char* d = nullptr;
    ASSERT_EQ(cudaMalloc((void**)&d, host.size()), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(d, host.data(), host.size(), cudaMemcpyHostToDevice), cudaSuccess);
    std::vector<unsigned char> back(host.size());
    ASSERT_EQ(cudaMemcpy(back.data(), d, back.size(), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back, host);
    // A copy into part of a buffer leaves the rest alone.
    const unsigned char patch[3] = {1, 2, 3};
    ASSERT_EQ(cudaMemcpy(d + 10, patch, 3, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(back.data(), d, 16, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back[9], host[9]);
    EXPECT_EQ(back[10], 1);
    EXPECT_EQ(back[12], 3);
    EXPECT_EQ(back[13], host[13]);
    EXPECT_EQ(cudaFree(d), cudaSuccess);
}

TEST(Memory, DefaultDirectionIsInferredFromThePointers) {
    const std::vector<int> host = iota(100);
    std::vector<int> back(100, -1);
    DeviceBuffer<int> d(100);
    EXPECT_EQ(cudaMemcpy(d.get(), host.data(), 100 * sizeof(int), cudaMemcpyDefault), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(back.data(), d.get(), 100 * sizeof(int), cudaMemcpyDefault), cudaSuccess);
    EXPECT_EQ(back, host);
}

TEST(Memory, LargeCopyEndsExactlyAtItsCount) {
    // Big enough to be copied in chunks on several cores, with a short last chunk.
    const size_t count = (size_t{9} << 20) + 123, total = size_t{12} << 20;
    std::vector<unsigned char> src(total);
    for (size_t i = 0; i < total; ++i) src[i] = static_cast<unsigned char>(i * 7 + 3);
    DeviceBuffer<unsigned char> d(std::vector<unsigned char>(total, 0xAB));
    ASSERT_EQ(cudaMemcpy(d.get(), src.data(), count, cudaMemcpyHostToDevice), cudaSuccess);
    const std::vector<unsigned char> out = d.download();
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + count, src.begin()));
    EXPECT_EQ(std::count(out.begin() + count, out.end(), 0xAB), static_cast<long>(total - count));
}

TEST(Memory, PitchedCopiesMoveEachRowsWidthAndNothingElse) {
    // 5 rows of 7 bytes: from rows 10 bytes apart on the host into a packed
    // device buffer, and back into rows 12 bytes apart.
    std::vector<unsigned char> src(50);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i + 1);
    DeviceBuffer<unsigned char> d(std::vector<unsigned char>(36, 0xEE));
    ASSERT_EQ(cudaMemcpy2D(d.get(), 7, src.data(), 10, 7, 5, cudaMemcpyHostToDevice), cudaSuccess);
    std::vector<unsigned char> back(60, 0);
    ASSERT_EQ(cudaMemcpy2D(back.data(), 12, d.get(), 7, 7, 5, cudaMemcpyDeviceToHost), cudaSuccess);
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 12; ++c) EXPECT_EQ(back[r * 12 + c], c < 7 ? src[r * 10 + c] : 0) << r << ", " << c;
    EXPECT_EQ(d.download()[35], 0xEE);

    // A row wider than its pitch is refused, and nothing is copied.
    EXPECT_EQ(cudaMemcpy2D(d.get(), 6, src.data(), 10, 7, 5, cudaMemcpyHostToDevice), cudaErrorInvalidPitchValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidPitchValue);
}

TEST(Memory, PageLockedHostMemoryIsUsable) {
    int* pinned = nullptr;
    ASSERT_EQ(cudaMallocHost(&pinned, 64 * sizeof(int), 0), cudaSuccess);
    for (int i = 0; i < 64; ++i) pinned[i] = i;
    DeviceBuffer<int> d(64);
    EXPECT_EQ(cudaMemcpy(d.get(), pinned, 64 * sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(d.download(), iota(64));
    EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
}

TEST(Events, ElapsedTimeIsRealMilliseconds) {
    cudaEvent_t start, stop;
    ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&stop), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(start, 0), cudaSuccess);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(cudaEventRecord(stop, 0), cudaSuccess);
    ASSERT_EQ(cudaEventSynchronize(stop), cudaSuccess);
    float ms = -1;
    ASSERT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
    EXPECT_GE(ms, 25.0f);
    EXPECT_EQ(cudaEventDestroy(start), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(stop), cudaSuccess);
}

TEST(Events, ElapsedTimeNeedsTwoRecordedEvents) {
    cudaEvent_t start, stop;
    ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&stop), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(start, 0), cudaSuccess);
    float ms = 0;
    EXPECT_NE(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
    cudaGetLastError();
    cudaEventDestroy(start);
    cudaEventDestroy(stop);
}

}  // namespace

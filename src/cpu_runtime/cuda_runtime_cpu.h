// The CPU backend's stand-in for the CUDA runtime.
//
// It offers the subset of the runtime API that the library uses, under CUDA's
// own names, types, status codes and error strings, and runs kernels on the
// host: the blocks of a grid are spread over the cores, and the threads of a
// block run one after another, as plain loop iterations while no thread needs
// a barrier and as fibers once one calls __syncthreads().
//
// Kernels are written as CUDA and launched through cpurt::launch<kernel>(),
// which the library's launch macro expands to in this backend.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>
#include <algorithm>

// ---------------------------------------------------------------------------
// Qualifiers. Device code is plain C++ here.
#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
// One instance per block being executed: a block that meets a barrier runs
// wholly on one OS thread, so a thread-local static is private to it. Blocks
// without barriers are interleaved with their neighbours on the same thread,
// so a kernel that never calls __syncthreads() must not pass data between
// its threads through block-shared memory (none of the library's do).
#define __shared__ thread_local

// ---------------------------------------------------------------------------
// Vector types, laid out as CUDA lays them out.
struct uchar3 { unsigned char x, y, z; };
struct __attribute__((aligned(4))) uchar4 { unsigned char x, y, z, w; };
struct int2 { int x, y; };
struct uint3 { unsigned int x, y, z; };
struct float2 { float x, y; };
struct float3 { float x, y, z; };
struct __attribute__((aligned(16))) float4 { float x, y, z, w; };

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
};

inline uchar3 make_uchar3(unsigned char x, unsigned char y, unsigned char z) { return {x, y, z}; }
inline uchar4 make_uchar4(unsigned char x, unsigned char y, unsigned char z, unsigned char w) { return {x, y, z, w}; }
inline float3 make_float3(float x, float y, float z) { return {x, y, z}; }
inline float4 make_float4(float x, float y, float z, float w) { return {x, y, z, w}; }

// ---------------------------------------------------------------------------
// Status codes: the values of CUDA's cudaError enumeration.
enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidPitchValue = 12,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorLaunchFailure = 719,
    cudaErrorUnknown = 999,
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

#define cudaHostAllocDefault 0x00

struct CUevent_st;
struct CUstream_st;
typedef struct CUevent_st* cudaEvent_t;
typedef struct CUstream_st* cudaStream_t;

// ---------------------------------------------------------------------------
// Runtime calls.
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);

cudaError_t cudaMalloc(void** devPtr, size_t size);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int flags);
cudaError_t cudaMallocHost(void** ptr, size_t size);
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
// `height` rows of `width` bytes, `spitch` bytes apart in the source and
// `dpitch` bytes apart in the destination.
cudaError_t cudaMemcpy2D(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width, size_t height,
                         cudaMemcpyKind kind);
cudaError_t cudaMemset(void* devPtr, int value, size_t count);

cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = 0);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaEventDestroy(cudaEvent_t event);

// The typed conveniences that CUDA's runtime header offers to C++ callers.
template <class T>
inline cudaError_t cudaMalloc(T** devPtr, size_t size) {
    return ::cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}
template <class T>
inline cudaError_t cudaMallocHost(T** ptr, size_t size, unsigned int flags = 0) {
    return ::cudaHostAlloc(reinterpret_cast<void**>(ptr), size, flags);
}
template <class T>
inline cudaError_t cudaHostAlloc(T** ptr, size_t size, unsigned int flags) {
    return ::cudaHostAlloc(reinterpret_cast<void**>(ptr), size, flags);
}

// A kernel's attributes, as a GPU with no per-kernel limits below the
// launch limits would give them.
struct cudaFuncAttributes {
    size_t sharedSizeBytes, constSizeBytes, localSizeBytes;
    int maxThreadsPerBlock, numRegs, ptxVersion, binaryVersion;
};
namespace cpurt::detail {
cudaError_t loadKernel(cudaFuncAttributes* attr, const void* kernel);
}
template <class Kernel>
inline cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, Kernel* kernel) {
    return cpurt::detail::loadKernel(attr, reinterpret_cast<const void*>(kernel));
}

// ---------------------------------------------------------------------------
// Device-side built-ins.

// Each translation unit has its own copies of the thread coordinates. The
// launch code that sets them is instantiated in the kernel's own unit, and
// because nothing takes their addresses the compiler knows that the kernel's
// stores cannot change them, which keeps the per-thread loop tight.
[[maybe_unused]] static thread_local uint3 threadIdx;
[[maybe_unused]] static thread_local uint3 blockIdx;
[[maybe_unused]] static thread_local dim3 blockDim;
[[maybe_unused]] static thread_local dim3 gridDim;

// Block-wide barrier. Must not be inlined: the thread's coordinates are read
// again after it, when the fiber resumes as another thread.
void __syncthreads();

inline int atomicAdd(int* address, int val) {
    return std::atomic_ref<int>(*address).fetch_add(val, std::memory_order_relaxed);
}
inline unsigned int atomicAdd(unsigned int* address, unsigned int val) {
    return std::atomic_ref<unsigned int>(*address).fetch_add(val, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Kernel launches.
namespace cpurt {

// Makes `tid` the current thread of the block and, if `run`, runs the kernel
// as that thread. A fiber resumed after a barrier needs only the first part.
using ThreadFn = void (*)(void* kernel, uint3 tid, bool run);
// Runs blocks [first, last) of a launch (linear block numbers, x fastest).
using BlockRangeFn = void (*)(void* launch, long first, long last);

// What is alive in the runtime now, for tests that check that a pipeline
// releases everything it creates.
size_t liveDeviceAllocations();
size_t livePinnedAllocations();
size_t liveEvents();
// Successful cudaMalloc calls since the program started, for tests that
// check that warm buffers are reused rather than allocated again.
size_t deviceAllocationCalls();

// The kernels launched since the last forgetLaunchedKernels(), and whether a
// kernel was loaded ahead of its launches (by cudaFuncGetAttributes), for
// the test that FirstRun loads every kernel the library launches.
std::vector<const void*> launchedKernels();
void forgetLaunchedKernels();
bool kernelLoaded(const void* kernel);

// Fault injection, so that tests can watch the library meet a failing
// device. After `calls` more calls of the kind succeed, the next one fails:
// a cudaMalloc with "out of memory", a launch with "unspecified launch
// failure" (the kernel does not run), a cudaEventSynchronize with
// "unspecified launch failure" (as a kernel's failure surfaces on a GPU).
// Each injection fails one call. The environment variable
// ROUGHGC_CPURT_FAIL=allocation:N, launch:N or synchronize:N injects one at
// start-up, for tests that run a whole program.
enum class Fault { Allocation, Launch, Synchronize };
void injectFault(Fault kind, long calls);

namespace detail {
// Whether a real device would refuse this configuration.
bool invalidConfiguration(dim3 grid, dim3 block);
// Records a launch error as the calling thread's last error.
void setLastError(cudaError_t error);
void noteKernelLaunched(const void* kernel);
// Whether an injected launch failure is due now (see injectFault).
bool launchFaultDue();
// Spreads the blocks of a launch over the cores, unless it is too small to
// gain from that, and waits for all of them. Returns cudaErrorLaunchFailure
// when a block misused __syncthreads().
cudaError_t runBlocks(long blockCount, long threadsPerBlock, BlockRangeFn run, void* launch);
// Runs thread 0 of a block on a fiber. If it reaches __syncthreads(), runs
// the whole block on fibers and returns true; otherwise returns false and the
// caller runs threads 1 onward itself.
bool runBlockOnFibersIfNeeded(ThreadFn fn, void* kernel, dim3 block);
}  // namespace detail

namespace {

template <class Body>
struct Launch {
    Body body;
    dim3 grid, block;
};

template <class Body>
void runThread(void* body, uint3 tid, bool run) {
    threadIdx = tid;
    if (run) (*static_cast<Body*>(body))();
}

// Blocks whose thread 0 ran to its end without a barrier, by x index; the
// rest of their threads are still to run.
thread_local std::vector<unsigned> loopBlocks;

// Flattened, so that the kernel's body is inlined into the thread loop.
template <class Body>
[[gnu::flatten]] void runBlockRange(void* p, long first, long last) {
    auto& launch = *static_cast<Launch<Body>*>(p);
    const dim3 grid = launch.grid, block = launch.block;
    gridDim = grid;
    blockDim = block;
    // A private copy of the kernel's arguments, whose address never escapes,
    // lets them live in registers in the loops below.
    Body body = launch.body;
    for (long b = first; b < last;) {
        // The blocks of this range that share one grid row.
        const long rowEnd = std::min(last, (b / grid.x + 1) * grid.x);
        const unsigned by = static_cast<unsigned>((b / grid.x) % grid.y);
        const unsigned bz = static_cast<unsigned>(b / (static_cast<long>(grid.x) * grid.y));
        loopBlocks.clear();
        for (; b < rowEnd; ++b) {
            const unsigned bx = static_cast<unsigned>(b % grid.x);
            blockIdx = uint3{bx, by, bz};
            if (!detail::runBlockOnFibersIfNeeded(&runThread<Body>, &launch.body, block)) loopBlocks.push_back(bx);
        }
        // The other threads of barrier-free blocks may run in any order. Going
        // along whole rows of the grid, block after block, visits row-major
        // data in memory order.
        for (unsigned z = 0; z < block.z; ++z)
            for (unsigned y = 0; y < block.y; ++y)
                for (const unsigned bx : loopBlocks) {
                    blockIdx = uint3{bx, by, bz};
                    for (unsigned x = (y == 0 && z == 0) ? 1 : 0; x < block.x; ++x) {
                        threadIdx = uint3{x, y, z};
                        body();
                    }
                }
    }
}

// Launches `Kernel` on `grid` blocks of `block` threads, like
// Kernel<<<grid, block, 0, 0>>>(args...), and returns when it has finished.
// A refused configuration or a failed block leaves the error for
// cudaGetLastError().
template <auto Kernel, class... Args>
void launch(dim3 grid, dim3 block, Args... args) {
    if (detail::invalidConfiguration(grid, block)) {
        detail::setLastError(cudaErrorInvalidConfiguration);
        return;
    }
    detail::noteKernelLaunched(reinterpret_cast<const void*>(Kernel));
    if (detail::launchFaultDue()) {
        detail::setLastError(cudaErrorLaunchFailure);
        return;
    }
    auto body = [=] { Kernel(args...); };
    Launch<decltype(body)> l{body, grid, block};
    const long blocks = static_cast<long>(grid.x) * grid.y * grid.z;
    const cudaError_t err = detail::runBlocks(blocks, static_cast<long>(block.x) * block.y * block.z,
                                              &runBlockRange<decltype(body)>, &l);
    if (err != cudaSuccess) detail::setLastError(err);
}

}  // namespace
}  // namespace cpurt

// Host-side runtime calls of the CPU backend: errors, the device, memory,
// copies and events. "Device" memory is host memory handed out by
// cudaMalloc; it is tracked so that copies and frees can be checked the way
// the CUDA runtime checks them.
#include "cuda_runtime_cpu.h"

#include "address_sanitizer.h"
#include "huge_pages.h"

#include <omp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace {

thread_local cudaError_t lastError = cudaSuccess;

cudaError_t fail(cudaError_t error) {
    lastError = error;
    return error;
}

// Live allocations, by start address. Also keeps them reachable, so that
// buffers a program deliberately keeps until exit are not reported as leaks.
class Allocations {
public:
    void add(void* p, size_t size) {
        std::lock_guard lock(mutex_);
        blocks_[reinterpret_cast<uintptr_t>(p)] = size;
    }
    bool remove(void* p) {
        std::lock_guard lock(mutex_);
        return blocks_.erase(reinterpret_cast<uintptr_t>(p)) == 1;
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return blocks_.size();
    }
    // Whether [p, p + size) lies inside one allocation.
    bool covers(const void* p, size_t size) const {
        const auto a = reinterpret_cast<uintptr_t>(p);
        std::lock_guard lock(mutex_);
        auto it = blocks_.upper_bound(a);
        if (it == blocks_.begin()) return false;
        --it;
        const uintptr_t offset = a - it->first;
        return offset <= it->second && size <= it->second - offset;
    }

private:
    mutable std::mutex mutex_;
    std::map<uintptr_t, size_t> blocks_;
};

Allocations& deviceMemory() {
    static Allocations* a = new Allocations;  // outlives every static destructor
    return *a;
}
Allocations& pinnedMemory() {
    static Allocations* a = new Allocations;
    return *a;
}

// The "device" has as much memory as the machine: a request beyond that
// fails with cudaErrorMemoryAllocation, as it would on a GPU, without asking
// the allocator for an impossible block.
size_t memoryCapacity() {
    static const size_t capacity = [] {
        const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
        return pages > 0 && pageSize > 0 ? static_cast<size_t>(pages) * static_cast<size_t>(pageSize) : size_t{1} << 40;
    }();
    return capacity;
}

constexpr size_t kAlignment = 256;  // cudaMalloc's guaranteed alignment

// Large blocks come straight from the kernel in 2 MiB-aligned mappings,
// backed by huge pages where the system allows, and freed ones are kept for
// reuse. A GPU's memory is mapped already; here every fresh page costs a
// fault on first touch, which for a photo's buffers outweighs the work done
// on them. So a pipeline run again reuses warm memory, and a first run
// faults in 2 MiB steps rather than 4 KiB ones.
class LargeBlocks {
public:
    static constexpr size_t kMinimum = size_t{1} << 20;  // smaller blocks come from malloc

    void* take(size_t size) {
        const size_t length = roughgc::hugePageLength(size);
        {
            std::lock_guard lock(mutex_);
            // A cached block at most twice the size needed.
            const auto it = cached_.lower_bound(length);
            if (it != cached_.end() && it->first <= 2 * length) {
                void* p = it->second;
                live_[p] = it->first;
                cachedBytes_ -= it->first;
                cached_.erase(it);
                return p;
            }
        }
        void* p = roughgc::mapHugePages(size);
        if (p == nullptr) return nullptr;
        populate(p, length);
        std::lock_guard lock(mutex_);
        live_[p] = length;
        return p;
    }

    // Returns false if `p` is not one of ours.
    bool give(void* p) {
        std::lock_guard lock(mutex_);
        const auto it = live_.find(p);
        if (it == live_.end()) return false;
        // Ahead of cached blocks of the same length: the one freed last is
        // the likeliest to be warm in the caches and the TLB.
        cached_.emplace_hint(cached_.lower_bound(it->second), it->second, p);
        cachedBytes_ += it->second;
        live_.erase(it);
        // Keep at most a quarter of the machine's memory; drop small ones first.
        while (cachedBytes_ > cacheLimit() && !cached_.empty()) {
            const auto victim = cached_.begin();
            roughgc::unmapHugePages(victim->second, victim->first);
            cachedBytes_ -= victim->first;
            cached_.erase(victim);
        }
        return true;
    }

private:
    // Faults a fresh mapping in now, in one call per core and chunk, which
    // costs a fraction of the page faults that the first kernels to touch
    // it would take one by one. Where the kernel cannot (before Linux
    // 5.14), the pages are faulted in on first touch as before.
    static void populate(void* p, size_t length) {
        using roughgc::kHugePageBytes;
        const long chunks = static_cast<long>(length / kHugePageBytes);
#pragma omp parallel for schedule(static) if (chunks > 1)
        for (long c = 0; c < chunks; ++c) {
            madvise(static_cast<char*>(p) + c * kHugePageBytes, kHugePageBytes, MADV_POPULATE_WRITE);
        }
    }

    static size_t cacheLimit() {
        const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
        return pages > 0 && pageSize > 0 ? static_cast<size_t>(pages) * static_cast<size_t>(pageSize) / 4
                                         : size_t{1} << 30;
    }

    std::mutex mutex_;
    std::map<void*, size_t> live_;          // address -> mapped length
    std::multimap<size_t, void*> cached_;   // mapped length -> address
    size_t cachedBytes_ = 0;
};

LargeBlocks& largeBlocks() {
    static LargeBlocks* b = new LargeBlocks;
    return *b;
}

// Under AddressSanitizer every block comes from malloc, so that the
// sanitizer guards its edges.
#if defined(ROUGHGC_ASAN)
constexpr bool kUseLargeBlocks = false;
#else
constexpr bool kUseLargeBlocks = true;
#endif

cudaError_t allocate(Allocations& registry, void** ptr, size_t size) {
    if (ptr == nullptr) return fail(cudaErrorInvalidValue);
    *ptr = nullptr;
    if (size == 0) return cudaSuccess;
    if (size > memoryCapacity()) return fail(cudaErrorMemoryAllocation);
    void* p = nullptr;
    if (kUseLargeBlocks && size >= LargeBlocks::kMinimum) {
        p = largeBlocks().take(size);
        if (p == nullptr) return fail(cudaErrorMemoryAllocation);
    } else if (posix_memalign(&p, kAlignment, size) != 0) {
        return fail(cudaErrorMemoryAllocation);
    }
    registry.add(p, size);
    *ptr = p;
    return cudaSuccess;
}

cudaError_t release(Allocations& registry, void* ptr) {
    if (ptr == nullptr) return cudaSuccess;
    if (!registry.remove(ptr)) return fail(cudaErrorInvalidValue);
    if (!(kUseLargeBlocks && largeBlocks().give(ptr))) std::free(ptr);
    return cudaSuccess;
}

// Copies of many megabytes go faster on all cores.
void copyBytes(void* dst, const void* src, size_t count) {
    constexpr size_t kParallelBytes = size_t{8} << 20, kChunk = size_t{2} << 20;
    const int threads = omp_get_max_threads();
    if (count < kParallelBytes || threads <= 1) {
        std::memmove(dst, src, count);
        return;
    }
    const auto* s = static_cast<const char*>(src);
    auto* d = static_cast<char*>(dst);
    // Overlapping ranges only arise within one buffer; copy those serially.
    if (d < s + count && s < d + count) {
        std::memmove(dst, src, count);
        return;
    }
    const long chunks = static_cast<long>((count + kChunk - 1) / kChunk);
#pragma omp parallel for schedule(static)
    for (long c = 0; c < chunks; ++c) {
        const size_t begin = static_cast<size_t>(c) * kChunk;
        std::memcpy(d + begin, s + begin, std::min(kChunk, count - begin));
    }
}

}  // namespace

struct CUevent_st {
    bool recorded = false;
    std::chrono::steady_clock::time_point time;
};

namespace {

class Events {
public:
    cudaEvent_t create() {
        auto* e = new CUevent_st;
        std::lock_guard lock(mutex_);
        live_.insert(e);
        return e;
    }
    bool valid(cudaEvent_t e) const {
        std::lock_guard lock(mutex_);
        return live_.count(e) == 1;
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return live_.size();
    }
    bool destroy(cudaEvent_t e) {
        {
            std::lock_guard lock(mutex_);
            if (live_.erase(e) == 0) return false;
        }
        delete e;
        return true;
    }

private:
    mutable std::mutex mutex_;
    std::set<cudaEvent_t> live_;
};

Events& events() {
    static Events* e = new Events;
    return *e;
}

}  // namespace

// ---------------------------------------------------------------------------
// Errors and the device.

cudaError_t cudaGetLastError() {
    const cudaError_t e = lastError;
    lastError = cudaSuccess;
    return e;
}

cudaError_t cudaPeekAtLastError() { return lastError; }

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorInitializationError: return "initialization error";
        case cudaErrorInvalidConfiguration: return "invalid configuration argument";
        case cudaErrorInvalidPitchValue: return "invalid pitch argument";
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorInvalidResourceHandle: return "invalid resource handle";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
        case cudaErrorUnknown: return "unknown error";
    }
    return "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "cudaSuccess";
        case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
        case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
        case cudaErrorInitializationError: return "cudaErrorInitializationError";
        case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
        case cudaErrorInvalidPitchValue: return "cudaErrorInvalidPitchValue";
        case cudaErrorInvalidMemcpyDirection: return "cudaErrorInvalidMemcpyDirection";
        case cudaErrorNoDevice: return "cudaErrorNoDevice";
        case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
        case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
        case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
        case cudaErrorUnknown: return "cudaErrorUnknown";
    }
    return "unrecognized error code";
}

// The CPU is the one device, number 0.
cudaError_t cudaSetDevice(int device) { return device == 0 ? cudaSuccess : fail(cudaErrorInvalidDevice); }

cudaError_t cudaGetDevice(int* device) {
    if (device == nullptr) return fail(cudaErrorInvalidValue);
    *device = 0;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceCount(int* count) {
    if (count == nullptr) return fail(cudaErrorInvalidValue);
    *count = 1;
    return cudaSuccess;
}

// Launches and copies complete before they return, so there is never
// outstanding work to wait for.
cudaError_t cudaDeviceSynchronize() { return cudaSuccess; }

namespace {
// Which kernels were launched, and which were loaded ahead of time.
struct KernelRecord {
    std::mutex mutex;
    std::set<const void*> launched, loaded;
};
KernelRecord& kernelRecord() {
    static KernelRecord record;
    return record;
}
}  // namespace

namespace {
// Calls of each kind still to succeed before an injected failure; -1: none
// injected.
std::atomic<long> allocationsBeforeFault{-1}, launchesBeforeFault{-1}, synchronizationsBeforeFault{-1};
std::atomic<size_t> deviceAllocationCount{0};

// One countdown step: true when this call is the one to fail.
bool faultDue(std::atomic<long>& countdown) {
    long left = countdown.load();
    while (left >= 0) {
        if (countdown.compare_exchange_weak(left, left - 1)) return left == 0;
    }
    return false;
}

// ROUGHGC_CPURT_FAIL=allocation:N or launch:N, read once.
void injectFromEnvironment() {
    static const bool done = [] {
        const char* spec = std::getenv("ROUGHGC_CPURT_FAIL");
        if (spec == nullptr) return true;
        const std::string s = spec;
        const size_t colon = s.find(':');
        const std::string kind = s.substr(0, colon);
        const long calls = colon == std::string::npos ? 0 : std::strtol(s.c_str() + colon + 1, nullptr, 10);
        if (kind == "allocation") cpurt::injectFault(cpurt::Fault::Allocation, calls);
        if (kind == "launch") cpurt::injectFault(cpurt::Fault::Launch, calls);
        if (kind == "synchronize") cpurt::injectFault(cpurt::Fault::Synchronize, calls);
        return true;
    }();
    (void)done;
}
}  // namespace

namespace cpurt {
void injectFault(Fault kind, long calls) {
    std::atomic<long>& countdown = kind == Fault::Allocation ? allocationsBeforeFault
                                   : kind == Fault::Launch   ? launchesBeforeFault
                                                             : synchronizationsBeforeFault;
    countdown.store(std::max(calls, 0L));
}

size_t liveDeviceAllocations() { return deviceMemory().count(); }
size_t livePinnedAllocations() { return pinnedMemory().count(); }
size_t deviceAllocationCalls() { return deviceAllocationCount.load(); }
size_t liveEvents() { return events().count(); }

std::vector<const void*> launchedKernels() {
    KernelRecord& r = kernelRecord();
    const std::lock_guard lock(r.mutex);
    return {r.launched.begin(), r.launched.end()};
}
void forgetLaunchedKernels() {
    KernelRecord& r = kernelRecord();
    const std::lock_guard lock(r.mutex);
    r.launched.clear();
}
bool kernelLoaded(const void* kernel) {
    KernelRecord& r = kernelRecord();
    const std::lock_guard lock(r.mutex);
    return r.loaded.count(kernel) != 0;
}

namespace detail {
void setLastError(cudaError_t error) { fail(error); }

bool launchFaultDue() {
    injectFromEnvironment();
    return faultDue(launchesBeforeFault);
}

void noteKernelLaunched(const void* kernel) {
    KernelRecord& r = kernelRecord();
    const std::lock_guard lock(r.mutex);
    r.launched.insert(kernel);
}

cudaError_t loadKernel(cudaFuncAttributes* attr, const void* kernel) {
    if (attr == nullptr || kernel == nullptr) return fail(cudaErrorInvalidValue);
    *attr = cudaFuncAttributes{0, 0, 0, 1024, 0, 0, 0};
    KernelRecord& r = kernelRecord();
    const std::lock_guard lock(r.mutex);
    r.loaded.insert(kernel);
    return cudaSuccess;
}
}  // namespace detail
}  // namespace cpurt

// ---------------------------------------------------------------------------
// Memory and copies.

cudaError_t cudaMalloc(void** devPtr, size_t size) {
    injectFromEnvironment();
    if (faultDue(allocationsBeforeFault)) {
        if (devPtr != nullptr) *devPtr = nullptr;
        return fail(cudaErrorMemoryAllocation);
    }
    const cudaError_t status = allocate(deviceMemory(), devPtr, size);
    if (status == cudaSuccess) ++deviceAllocationCount;
    return status;
}
cudaError_t cudaFree(void* devPtr) { return release(deviceMemory(), devPtr); }
cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int) { return allocate(pinnedMemory(), pHost, size); }
cudaError_t cudaMallocHost(void** ptr, size_t size) { return allocate(pinnedMemory(), ptr, size); }
cudaError_t cudaFreeHost(void* ptr) { return release(pinnedMemory(), ptr); }

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return fail(cudaErrorInvalidMemcpyDirection);
    if (count == 0) return cudaSuccess;
    if (dst == nullptr || src == nullptr) return fail(cudaErrorInvalidValue);
    const bool dstOnDevice = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool srcOnDevice = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (dstOnDevice && !deviceMemory().covers(dst, count)) return fail(cudaErrorInvalidValue);
    if (srcOnDevice && !deviceMemory().covers(src, count)) return fail(cudaErrorInvalidValue);
    copyBytes(dst, src, count);
    return cudaSuccess;
}

cudaError_t cudaMemcpy2D(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width, size_t height,
                         cudaMemcpyKind kind) {
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return fail(cudaErrorInvalidMemcpyDirection);
    if (width == 0 || height == 0) return cudaSuccess;
    if (width > dpitch || width > spitch) return fail(cudaErrorInvalidPitchValue);
    if (dst == nullptr || src == nullptr) return fail(cudaErrorInvalidValue);
    // The last row ends `width` bytes in; nothing beyond it is touched.
    const size_t dspan = dpitch * (height - 1) + width, sspan = spitch * (height - 1) + width;
    if ((dspan - width) / dpitch != height - 1 || (sspan - width) / spitch != height - 1) return fail(cudaErrorInvalidValue);
    const bool dstOnDevice = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool srcOnDevice = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (dstOnDevice && !deviceMemory().covers(dst, dspan)) return fail(cudaErrorInvalidValue);
    if (srcOnDevice && !deviceMemory().covers(src, sspan)) return fail(cudaErrorInvalidValue);
    if (dpitch == width && spitch == width) {
        copyBytes(dst, src, width * height);
        return cudaSuccess;
    }
    auto* d = static_cast<char*>(dst);
    const auto* s = static_cast<const char*>(src);
    const long rows = static_cast<long>(height);
#pragma omp parallel for schedule(static) if (width * height >= (size_t{8} << 20))
    for (long r = 0; r < rows; ++r) std::memmove(d + r * dpitch, s + r * spitch, width);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
    if (count == 0) return cudaSuccess;
    if (!deviceMemory().covers(devPtr, count)) return fail(cudaErrorInvalidValue);
    std::memset(devPtr, value, count);
    return cudaSuccess;
}

// ---------------------------------------------------------------------------
// Events. All work has finished by the time a call returns, so an event
// simply takes the time at which it is recorded.

cudaError_t cudaEventCreate(cudaEvent_t* event) {
    if (event == nullptr) return fail(cudaErrorInvalidValue);
    *event = events().create();
    return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t) {
    if (!events().valid(event)) return fail(cudaErrorInvalidResourceHandle);
    event->time = std::chrono::steady_clock::now();
    event->recorded = true;
    return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    if (!events().valid(event)) return fail(cudaErrorInvalidResourceHandle);
    injectFromEnvironment();
    return faultDue(synchronizationsBeforeFault) ? fail(cudaErrorLaunchFailure) : cudaSuccess;
}

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    if (ms == nullptr) return fail(cudaErrorInvalidValue);
    if (!events().valid(start) || !events().valid(end)) return fail(cudaErrorInvalidResourceHandle);
    if (!start->recorded || !end->recorded) return fail(cudaErrorInvalidResourceHandle);
    *ms = std::chrono::duration<float, std::milli>(end->time - start->time).count();
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    return events().destroy(event) ? cudaSuccess : fail(cudaErrorInvalidResourceHandle);
}

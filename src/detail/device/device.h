// The device side of the library's core: checked runtime calls that throw
// roughgc::DeviceError, device selection, the checks that end a phase of
// GPU work, and owners of device memory, page-locked memory and events.
#pragma once

#include <cstddef>
#include <tuple>

#include "gpu_runtime.h"

namespace roughgc::detail {

// Throws roughgc::DeviceError for `error`, naming the call's source text and
// where it was made. The thread's last error is cleared first, so that the
// next check does not report this failure again.
[[noreturn]] void throwDeviceError(cudaError_t error, const char* call, const char* file, int line);

inline void checkCall(cudaError_t error, const char* call, const char* file, int line) {
    if (error != cudaSuccess) throwDeviceError(error, call, file, line);
}

// Every runtime call whose failure matters goes through this, so that the
// error quotes the call.
#define ROUGHGC_CUDA_CHECK(call) ::roughgc::detail::checkCall((call), #call, __FILE__, __LINE__)

// cudaSetDevice(device); its status surfaces through the last error, checked
// as "cudaGetLastError()".
void selectDevice(int device, const char* file = __builtin_FILE(), int line = __builtin_LINE());

// Selects a device when it is made: a member of this type declared first
// makes the members after it on that device.
struct SelectedDevice {
    int device;
    explicit SelectedDevice(int d, const char* file = __builtin_FILE(), int line = __builtin_LINE()) : device(d) {
        selectDevice(d, file, line);
    }
};

// The two checks that end a phase of GPU work: record `stop` and wait for
// it, then the checked last error, so that a failed launch or kernel
// surfaces; the device check also waits for the whole device. A failure
// names the caller's line.
void eventCheck(cudaEvent_t stop, const char* file = __builtin_FILE(), int line = __builtin_LINE());
void deviceCheck(cudaEvent_t stop, const char* file = __builtin_FILE(), int line = __builtin_LINE());

// An event of the runtime, destroyed with its owner: the stop event that
// the checks above record and wait for, or the start of a timed phase.
class Event {
public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    operator cudaEvent_t() const { return event_; }

private:
    cudaEvent_t event_ = nullptr;
};

// The start and stop events of an entry point that times a kernel.
struct EventPair {
    Event start, stop;
};

// Frees the device buffers whose pointers it refers to when it goes, on
// every way out of an entry point.
template <class... T>
class FreeOnExit {
public:
    explicit FreeOnExit(T*&... pointers) : pointers_(pointers...) {}
    ~FreeOnExit() {
        std::apply([](auto*&... p) { (cudaFree(p), ...); }, pointers_);
    }
    FreeOnExit(const FreeOnExit&) = delete;
    FreeOnExit& operator=(const FreeOnExit&) = delete;

private:
    std::tuple<T*&...> pointers_;
};

// A buffer of device memory (Pinned = false) or page-locked host memory
// (Pinned = true) that grows on demand and is otherwise reused. Growing
// keeps none of the old contents. After a failed allocation it is empty and
// can grow again.
template <class T, bool Pinned>
class GrowingBuffer {
public:
    GrowingBuffer() = default;
    ~GrowingBuffer() { release(); }
    GrowingBuffer(const GrowingBuffer&) = delete;
    GrowingBuffer& operator=(const GrowingBuffer&) = delete;

    void reserve(size_t count, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
        if (count <= capacity_ && data_ != nullptr) return;
        release();
        if constexpr (Pinned) {
            checkCall(cudaMallocHost((void**)&data_, sizeof(T) * count), "cudaMallocHost((void**)&data_, sizeof(T) * count)",
                      file, line);
        } else {
            checkCall(cudaMalloc((void**)&data_, sizeof(T) * count), "cudaMalloc((void**)&data_, sizeof(T) * count)",
                      file, line);
        }
        capacity_ = count;
    }
    T* get() const { return data_; }
    size_t capacity() const { return capacity_; }

    // Gives the memory back; the buffer can grow again.
    void release() {
        if constexpr (Pinned) {
            cudaFreeHost(data_);
        } else {
            cudaFree(data_);
        }
        data_ = nullptr;
        capacity_ = 0;
    }

private:
    T* data_ = nullptr;
    size_t capacity_ = 0;
};

template <class T>
using DeviceArray = GrowingBuffer<T, false>;
template <class T>
using PinnedArray = GrowingBuffer<T, true>;

}  // namespace roughgc::detail

#include "detail/device/device.h"

#include "roughgc/errors.hpp"

namespace roughgc::detail {

void throwDeviceError(cudaError_t error, const char* call, const char* file, int line) {
    cudaGetLastError();
    throw DeviceError(call, file, line, static_cast<int>(error), cudaGetErrorString(error));
}

void selectDevice(int device, const char* file, int line) {
    cudaSetDevice(device);
    checkCall(cudaGetLastError(), "cudaGetLastError()", file, line);
}

void eventCheck(cudaEvent_t stop, const char* file, int line) {
    cudaEventRecord(stop, 0);
    cudaEventSynchronize(stop);
    checkCall(cudaGetLastError(), "cudaGetLastError()", file, line);
}

void deviceCheck(cudaEvent_t stop, const char* file, int line) {
    cudaEventRecord(stop, 0);
    cudaEventSynchronize(stop);
    cudaDeviceSynchronize();
    checkCall(cudaGetLastError(), "cudaGetLastError()", file, line);
}

Event::Event() { ROUGHGC_CUDA_CHECK(cudaEventCreate(&event_)); }

Event::~Event() { cudaEventDestroy(event_); }

}  // namespace roughgc::detail

#include "detail/device.h"

#include "roughgc/roughgc.hpp"

namespace roughgc::detail {

void throwDeviceError(cudaError_t error, const char* call, const char* file, int line) {
    cudaGetLastError();
    throw DeviceError(call, file, line, static_cast<int>(error), cudaGetErrorString(error));
}

void selectDevice(int device, std::source_location where) {
    cudaSetDevice(device);
    checkCall(cudaGetLastError(), "cudaGetLastError()", where.file_name(), static_cast<int>(where.line()));
}

void eventCheck(cudaEvent_t stop, std::source_location where) {
    cudaEventRecord(stop, 0);
    cudaEventSynchronize(stop);
    checkCall(cudaGetLastError(), "cudaGetLastError()", where.file_name(), static_cast<int>(where.line()));
}

void deviceCheck(cudaEvent_t stop, std::source_location where) {
    cudaEventRecord(stop, 0);
    cudaEventSynchronize(stop);
    cudaDeviceSynchronize();
    checkCall(cudaGetLastError(), "cudaGetLastError()", where.file_name(), static_cast<int>(where.line()));
}

EventPair::EventPair() {
    ROUGHGC_CUDA_CHECK(cudaEventCreate(&start));
    try {
        ROUGHGC_CUDA_CHECK(cudaEventCreate(&stop));
    } catch (...) {
        cudaEventDestroy(start);
        throw;
    }
}

EventPair::~EventPair() {
    cudaEventDestroy(start);
    cudaEventDestroy(stop);
}

}  // namespace roughgc::detail

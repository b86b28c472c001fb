// A device buffer for tests: allocated on construction, freed on
// destruction, with whole-buffer copies to and from host vectors.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "gpu_runtime.h"

template <class T>
class DeviceBuffer {
public:
    explicit DeviceBuffer(size_t count) : count_(count) {
        ok(cudaMalloc((void**)&data_, count * sizeof(T)), "cudaMalloc");
    }
    explicit DeviceBuffer(const std::vector<T>& host) : DeviceBuffer(host.size()) { upload(host); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    ~DeviceBuffer() { cudaFree(data_); }

    T* get() const { return data_; }
    size_t size() const { return count_; }

    void upload(const std::vector<T>& host) {
        if (host.size() != count_) throw std::invalid_argument("DeviceBuffer::upload: size mismatch");
        ok(cudaMemcpy(data_, host.data(), count_ * sizeof(T), cudaMemcpyHostToDevice), "upload");
    }
    std::vector<T> download() const {
        std::vector<T> host(count_);
        ok(cudaMemcpy(host.data(), data_, count_ * sizeof(T), cudaMemcpyDeviceToHost), "download");
        return host;
    }

private:
    static void ok(cudaError_t status, const char* what) {
        if (status != cudaSuccess) throw std::runtime_error(std::string(what) + ": " + cudaGetErrorString(status));
    }

    T* data_ = nullptr;
    size_t count_;
};

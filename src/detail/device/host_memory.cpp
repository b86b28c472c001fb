#include "detail/device/host_memory.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace roughgc::detail {

HostBuffer::HostBuffer(HostBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

HostBuffer& HostBuffer::operator=(HostBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

void HostBuffer::reserve(size_t bytes, size_t keep) {
    if (bytes <= capacity_ && data_ != nullptr) return;
    auto* grown = static_cast<unsigned char*>(std::malloc(bytes == 0 ? 1 : bytes));
    if (grown == nullptr) throw std::bad_alloc();
    if (keep > capacity_) keep = capacity_;
    if (keep > 0) std::memcpy(grown, data_, keep);
    release();
    data_ = grown;
    capacity_ = bytes;
}

void HostBuffer::release() noexcept {
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
    mapped_ = false;
}

cv::MatAllocator* hugePageAllocator() { return cv::Mat::getStdAllocator(); }

cv::Mat freshMat(int rows, int cols, int type) { return cv::Mat(rows, cols, type); }

}  // namespace roughgc::detail

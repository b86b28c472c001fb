// Host memory that the core writes fresh: a photo's file bytes and decoded
// pixels, the matrices it returns. Blocks of a huge page or more are mapped
// at a 2 MiB boundary and advised MADV_HUGEPAGE (see huge_pages.h), so that
// filling them takes a page fault per 2 MiB instead of per 4 KiB; smaller
// ones come from malloc. Nothing here replaces any allocator of the
// process: a program that embeds the library keeps its own.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>

namespace roughgc::detail {

// Bytes of host memory that grow on demand and are otherwise reused.
class HostBuffer {
public:
    HostBuffer() = default;
    ~HostBuffer() { release(); }
    HostBuffer(HostBuffer&& other) noexcept;
    HostBuffer& operator=(HostBuffer&& other) noexcept;
    HostBuffer(const HostBuffer&) = delete;
    HostBuffer& operator=(const HostBuffer&) = delete;

    // Room for at least `bytes`. With `keep`, the first `keep` bytes (at
    // most the old capacity) move with the memory when it grows; nothing
    // else is kept. Throws std::bad_alloc where memory runs out, leaving
    // the buffer as it was.
    void reserve(size_t bytes, size_t keep = 0);
    // Gives the memory back; the buffer is empty and can grow again.
    void release() noexcept;

    unsigned char* data() const noexcept { return data_; }
    size_t capacity() const noexcept { return capacity_; }

private:
    unsigned char* data_ = nullptr;
    size_t capacity_ = 0;
    bool mapped_ = false;
};

// An OpenCV allocator whose matrices of kHugePageBytes or more live on huge
// pages and the rest where OpenCV's own allocator puts them. A matrix keeps
// its allocator through copies, so its memory is freed the right way
// wherever it goes; every matrix that the library returns is made by it.
cv::MatAllocator* hugePageAllocator();

// A fresh rows x cols matrix of `type` from hugePageAllocator(). Throws
// std::bad_alloc where memory runs out.
cv::Mat freshMat(int rows, int cols, int type);

}  // namespace roughgc::detail

#include "detail/device/host_memory.h"

#include "address_sanitizer.h"
#include "huge_pages.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace roughgc::detail {

namespace {

// Under AddressSanitizer everything comes from malloc, so that the
// sanitizer guards its edges, as the cpu runtime's blocks do.
#if defined(ROUGHGC_ASAN)
constexpr bool kMapHugePages = false;
#else
constexpr bool kMapHugePages = true;
#endif

// OpenCV's CV_AUTOSTEP, which only its C interface (core_c.h) names.
constexpr size_t kAutoStep = 0x7fffffff;

bool mapped(size_t bytes) { return kMapHugePages && bytes >= kHugePageBytes; }

// OpenCV's StdMatAllocator, but for where large data lives. The mapped
// length follows from UMatData::size (the bytes asked for, as OpenCV keeps
// them), so nothing else needs remembering.
class HugePageMatAllocator final : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, size_t* step, cv::AccessFlag,
                           cv::UMatUsageFlags) const override {
        size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; i--) {
            if (step) {
                if (data0 && step[i] != kAutoStep) {
                    CV_Assert(total <= step[i]);
                    total = step[i];
                } else {
                    step[i] = total;
                }
            }
            total *= sizes[i];
        }
        uchar* data = static_cast<uchar*>(data0);
        if (data == nullptr) {
            if (mapped(total)) {
                data = static_cast<uchar*>(mapHugePages(total));
                // On which cv::Mat::create tries OpenCV's own allocator.
                if (data == nullptr) throw std::bad_alloc();
            } else {
                data = static_cast<uchar*>(cv::fastMalloc(total));
            }
        }
        cv::UMatData* u;
        try {
            u = new cv::UMatData(this);
        } catch (...) {
            if (data0 == nullptr) release(data, total);
            throw;
        }
        u->data = u->origdata = data;
        u->size = total;
        if (data0) u->flags |= cv::UMatData::USER_ALLOCATED;
        return u;
    }

    bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }

    void deallocate(cv::UMatData* u) const override {
        if (!u) return;
        CV_Assert(u->urefcount == 0);
        CV_Assert(u->refcount == 0);
        if (!(u->flags & cv::UMatData::USER_ALLOCATED)) {
            release(u->origdata, u->size);
            u->origdata = nullptr;
        }
        delete u;
    }

private:
    static void release(uchar* data, size_t total) {
        if (mapped(total)) {
            unmapHugePages(data, total);
        } else {
            cv::fastFree(data);
        }
    }
};

}  // namespace

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
    const bool map = mapped(bytes);
    // All of a mapping is room: growth into its last huge page costs nothing.
    const size_t capacity = map ? hugePageLength(bytes) : bytes;
    auto* grown = static_cast<unsigned char*>(map ? mapHugePages(bytes) : std::malloc(bytes == 0 ? 1 : bytes));
    if (grown == nullptr) throw std::bad_alloc();
    if (keep > capacity_) keep = capacity_;
    if (keep > 0) std::memcpy(grown, data_, keep);
    release();
    data_ = grown;
    capacity_ = capacity;
    mapped_ = map;
}

void HostBuffer::release() noexcept {
    if (mapped_) {
        unmapHugePages(data_, capacity_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    capacity_ = 0;
    mapped_ = false;
}

cv::MatAllocator* hugePageAllocator() {
    // Never destroyed: a matrix held in a static may go after this would.
    static HugePageMatAllocator* const allocator = new HugePageMatAllocator;
    return allocator;
}

cv::Mat freshMat(int rows, int cols, int type) {
    cv::Mat m;
    m.allocator = hugePageAllocator();
    try {
        m.create(rows, cols, type);
    } catch (const cv::Exception& e) {
        // OpenCV's own allocator, which create() falls back on, says so in
        // its own words.
        if (e.code == cv::Error::StsNoMem) throw std::bad_alloc();
        throw;
    }
    return m;
}

}  // namespace roughgc::detail

// Fresh memory at huge-page cost. A buffer of megabytes written for the
// first time costs a page fault per 4 KiB page, which costs more than
// filling it; mapped at a 2 MiB boundary and advised MADV_HUGEPAGE, it
// takes one per 2 MiB where the kernel offers transparent huge pages (in
// its "madvise" or "always" mode), and costs as before where it does not.
// Used by the cpu backend's runtime and the core alike.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace roughgc {

constexpr size_t kHugePageBytes = size_t{2} << 20;

// `bytes` rounded up to whole huge pages.
constexpr size_t hugePageLength(size_t bytes) {
    return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

// A fresh private mapping of hugePageLength(bytes) bytes, zero-filled, that
// starts at a 2 MiB boundary and is advised MADV_HUGEPAGE. Null where it
// cannot be mapped (or bytes is 0).
inline void* mapHugePages(size_t bytes) noexcept {
    if (bytes == 0) return nullptr;
    const size_t length = hugePageLength(bytes);
    if (length < bytes) return nullptr;  // no such size
    // Over-mapped by a huge page, then trimmed to the boundary on both sides.
    void* raw = mmap(nullptr, length + kHugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
    if (aligned > start) munmap(raw, aligned - start);
    const uintptr_t end = start + length + kHugePageBytes;
    if (aligned + length < end) munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    void* p = reinterpret_cast<void*>(aligned);
    madvise(p, length, MADV_HUGEPAGE);
    return p;
}

// Unmaps what mapHugePages(bytes) gave.
inline void unmapHugePages(void* p, size_t bytes) noexcept {
    if (p != nullptr) munmap(p, hugePageLength(bytes));
}

}  // namespace roughgc

#include "cli/memory_budget.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "detail/photo_header.h"

PhotoCost photoCost(const std::string& path) {
    const auto size = roughgc::detail::photoDimensionsOfFile(path.c_str());
    if (!size) return {0, 0, false};
    // Past 2^40 pixels no decoder goes on: the header is nonsense.
    if (size->width > (uint64_t{1} << 40) / size->height) return {0, 0, false};
    const size_t pixels = size->width * size->height;
    // In flight: the decoded BGR pixels, with room for a decoder's grey or
    // four-channel rows before conversion, and the map. The extractor's host
    // memory: the metric map and the binary map (4 + 1 bytes per 9 pixels),
    // which are its device buffers on the cpu backend and its page-locked
    // downloads on a GPU.
    return {4 * pixels + pixels / 9, 5 * pixels / 9, true};
}

bool MemoryBudget::admit(const PhotoCost& cost, const std::function<bool()>& stopRequested) {
    std::unique_lock lock(mutex_);
    const size_t all = cost.known ? cost.extractor * extractors_ : 0;
    const size_t growth = all > extractor_ ? all - extractor_ : 0;
    const size_t need = charge(cost) + growth;
    // A stop asked for while waiting wins over room that comes at once.
    for (;;) {
        if (stopRequested && stopRequested()) return false;
        if (inFlight_ == 0 || inFlight_ + extractor_ + need <= limit_) break;
        released_.wait_for(lock, std::chrono::milliseconds(100));
    }
    inFlight_ += charge(cost);
    extractor_ += growth;
    return true;
}

void MemoryBudget::release(const PhotoCost& cost) {
    {
        const std::lock_guard lock(mutex_);
        inFlight_ -= charge(cost);
    }
    released_.notify_all();
}

size_t MemoryBudget::defaultLimit() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return size_t{4} << 30;
    return static_cast<size_t>(pages) * static_cast<size_t>(pageSize) / 4;
}

#include "cli/memory_budget.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <roughgc/roughgc.hpp>

PhotoCost photoCost(const std::string& path, Reading reading) {
    const roughgc::Footprint f = roughgc::photoFootprint(path, reading == Reading::Decoded);
    return {f.inFlight, f.extractor, f.known};
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

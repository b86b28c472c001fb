// Batch mode's bound on the memory its photos take, in bytes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

// What one photo costs while it is in flight, and what the extractor needs
// to hold for it, from its file's header. A photo whose size the header does
// not tell (another format, a pipe) is taken as larger than any budget.
struct PhotoCost {
    size_t inFlight;   // decoded pixels and map, until the photo is done
    size_t extractor;  // the extractor's buffers at this size, kept after it
    bool known;
};
PhotoCost photoCost(const std::string& path);

// Photos are admitted while those in flight, and the buffers the extractor
// keeps for the largest photo so far, stay within the limit; a photo that
// alone is larger waits until nothing else is in flight and then runs by
// itself. The extractor's share only grows: it keeps its buffers.
class MemoryBudget {
public:
    explicit MemoryBudget(size_t limit) : limit_(limit) {}

    // Blocks until `cost` fits. Returns false, admitting nothing, if
    // `stopRequested` turns true meanwhile.
    bool admit(const PhotoCost& cost, const std::function<bool()>& stopRequested);
    // The photo admitted with `cost` is done.
    void release(const PhotoCost& cost);

    // A quarter of the machine's memory.
    static size_t defaultLimit();

private:
    size_t charge(const PhotoCost& cost) const { return cost.known ? cost.inFlight : limit_; }

    size_t limit_, inFlight_ = 0, extractor_ = 0;
    std::mutex mutex_;
    std::condition_variable released_;
};

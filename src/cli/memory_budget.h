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
    size_t inFlight;   // what the photo holds until it is done
    size_t extractor;  // an extractor's buffers at this size, kept after it
    bool known;
};

// How batch mode reads a photo: decoded whole, into memory of a reader that
// travels with it to the extraction; or read by the extractor itself
// (Extractor::extractFile), which keeps the file's bytes and decoded pixels
// with its other buffers, and streams a JPEG that needs no turning, holding
// a band of its rows and never the photo.
enum class Reading { Decoded, ByExtractor };
PhotoCost photoCost(const std::string& path, Reading reading);

// Photos are admitted while those in flight, and the buffers that the
// extractors (`extractors` at most) keep for the largest photo so far, stay
// within the limit; a photo that alone is larger waits until nothing else is
// in flight and then runs by itself. The extractors' share only grows: they
// keep their buffers.
class MemoryBudget {
public:
    MemoryBudget(size_t limit, size_t extractors) : limit_(limit), extractors_(extractors) {}

    // Blocks until `cost` fits. Returns false, admitting nothing, if
    // `stopRequested` turns true meanwhile.
    bool admit(const PhotoCost& cost, const std::function<bool()>& stopRequested);
    // The photo admitted with `cost` is done.
    void release(const PhotoCost& cost);

    // A quarter of the machine's memory.
    static size_t defaultLimit();

private:
    size_t charge(const PhotoCost& cost) const { return cost.known ? cost.inFlight : limit_; }

    size_t limit_, extractors_, inFlight_ = 0, extractor_ = 0;  // extractor_: all of them
    std::mutex mutex_;
    std::condition_variable released_;
};

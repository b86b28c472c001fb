// Objects kept from one photo to the next and shared by the pipeline's
// threads: a reader's file buffer and pixels, an extractor's buffers.
#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

template <class T>
class Pool {
public:
    // An idle object, or a new one that `make` returns where none is idle.
    template <class Make>
    std::unique_ptr<T> take(Make make) {
        {
            const std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                std::unique_ptr<T> object = std::move(idle_.back());
                idle_.pop_back();
                return object;
            }
        }
        return make();
    }
    std::unique_ptr<T> take() {
        return take([] { return std::make_unique<T>(); });
    }

    // Back for the next taker; nothing for an empty pointer.
    void give(std::unique_ptr<T> object) {
        if (!object) return;
        const std::lock_guard lock(mutex_);
        idle_.push_back(std::move(object));
    }

    // The idle objects destroyed, on this thread.
    void clear() {
        const std::lock_guard lock(mutex_);
        idle_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<T>> idle_;
};

#include "cli/extraction_thread.h"

#include <omp.h>

ExtractionThread::ExtractionThread() : thread_([this] { serve(); }) {
    // The OpenMP team of this thread, made now, while memory is plenty.
    run([] {
#pragma omp parallel
        {
            (void)omp_get_thread_num();
        }
    });
}

ExtractionThread::~ExtractionThread() {
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ExtractionThread::run(const std::function<void()>& job) {
    std::unique_lock lock(mutex_);
    job_ = &job;
    done_ = false;
    thrown_ = nullptr;
    changed_.notify_all();
    changed_.wait(lock, [this] { return done_; });
    if (thrown_) std::rethrow_exception(thrown_);
}

void ExtractionThread::serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return job_ != nullptr || closing_; });
        if (job_ == nullptr) return;
        const std::function<void()>* job = job_;
        lock.unlock();
        std::exception_ptr thrown;
        try {
            (*job)();
        } catch (...) {
            thrown = std::current_exception();
        }
        lock.lock();
        job_ = nullptr;
        thrown_ = thrown;
        done_ = true;
        changed_.notify_all();
    }
}

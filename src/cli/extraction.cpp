#include "cli/extraction.h"

#include <omp.h>

#include <string>
#include <utility>

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

bool Extraction::parallel() { return roughgc::extractionsRunInParallel(); }

Extraction::Extraction() {
    if (parallel()) {
        idle_.give(std::make_unique<roughgc::Extractor>());
        return;
    }
    thread_ = std::make_unique<ExtractionThread>();
    thread_->run([this] { device_ = std::make_unique<roughgc::Extractor>(); });
}

Extraction::~Extraction() {
    // The device's extractor goes before the thread that made it.
    if (thread_) thread_->run([this] { device_.reset(); });
}

void Extraction::run(const std::function<void(roughgc::Extractor&)>& job) {
    if (thread_) return thread_->run([&] { job(*device_); });
    // This thread's parallel work stays on this thread: no OpenMP team.
    static thread_local const bool oneCore = [] {
        omp_set_num_threads(1);
        return true;
    }();
    (void)oneCore;
    std::unique_ptr<roughgc::Extractor> extractor = idle_.take();
    struct GiveBack {
        Pool<roughgc::Extractor>& pool;
        std::unique_ptr<roughgc::Extractor>& extractor;
        ~GiveBack() { pool.give(std::move(extractor)); }
    } giveBack{idle_, extractor};
    job(*extractor);
}

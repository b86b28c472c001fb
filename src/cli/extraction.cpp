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
    if (!parallel()) thread_ = std::make_unique<ExtractionThread>();
    std::unique_ptr<roughgc::Extractor> first;
    if (thread_) {
        thread_->run([&] { first = std::make_unique<roughgc::Extractor>(); });
    } else {
        first = std::make_unique<roughgc::Extractor>();
    }
    idle_.push_back(std::move(first));
}

Extraction::~Extraction() {
    // The extractors go before the thread that made the device's.
    if (thread_) thread_->run([this] { idle_.clear(); });
}

std::unique_ptr<roughgc::Extractor> Extraction::take() {
    {
        const std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            auto extractor = std::move(idle_.back());
            idle_.pop_back();
            return extractor;
        }
    }
    return std::make_unique<roughgc::Extractor>();
}

void Extraction::give(std::unique_ptr<roughgc::Extractor> extractor) {
    const std::lock_guard lock(mutex_);
    idle_.push_back(std::move(extractor));
}

template <class Job>
roughgc::Result Extraction::withExtractor(Job job) {
    // This thread's parallel work stays on this thread: no OpenMP team.
    static thread_local const bool oneCore = [] {
        omp_set_num_threads(1);
        return true;
    }();
    (void)oneCore;
    auto extractor = take();
    struct GiveBack {
        Extraction* pool;
        std::unique_ptr<roughgc::Extractor>& extractor;
        ~GiveBack() { pool->give(std::move(extractor)); }
    } giveBack{this, extractor};
    return job(*extractor);
}

roughgc::Result Extraction::extract(const cv::Mat& photo, const roughgc::Params& params) {
    if (thread_) {
        // One extractor, one photo at a time: the pipeline stage is serial.
        roughgc::Result result;
        thread_->run([&] { result = idle_.front()->extract(photo, params); });
        return result;
    }
    return withExtractor([&](roughgc::Extractor& e) { return e.extract(photo, params); });
}

roughgc::Result Extraction::extractFile(const std::string& path, const roughgc::Params& params,
                                        cv::Size& photoSize, cv::Mat* atMapScale) {
    photoSize = cv::Size();
    return withExtractor([&](roughgc::Extractor& e) {
        struct Size {
            roughgc::Extractor& extractor;
            cv::Size& size;
            ~Size() { size = extractor.photoSize(); }
        } size{e, photoSize};
        return atMapScale != nullptr ? e.extractFile(path, params, *atMapScale) : e.extractFile(path, params);
    });
}

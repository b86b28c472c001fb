// One thread of its own for batch mode's extractions.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

// Runs jobs, one at a time, on a thread that lives as long as the object.
//
// The library spreads an extraction over the cores with OpenMP, whose
// runtime keeps a team of threads for each thread that starts parallel work
// and makes it at that thread's first parallel work. From the pipeline's
// worker threads that could happen at any photo, in the middle of a run
// short of memory, where libgomp, unable to start a thread, ends the whole
// process. From this one thread, the team is made once, at the start.
class ExtractionThread {
public:
    ExtractionThread();
    ~ExtractionThread();
    ExtractionThread(const ExtractionThread&) = delete;
    ExtractionThread& operator=(const ExtractionThread&) = delete;

    // Runs `job` there and waits for it; what it throws is thrown here.
    void run(const std::function<void()>& job);

private:
    void serve();

    std::mutex mutex_;
    std::condition_variable changed_;
    const std::function<void()>* job_ = nullptr;
    std::exception_ptr thrown_;
    bool done_ = false, closing_ = false;
    std::thread thread_;
};

// Where batch mode's extractions run.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <roughgc/roughgc.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cli/pool.h"

// Runs jobs, one at a time, on a thread that lives as long as the object.
//
// The library spreads an extraction's host work over the cores with OpenMP,
// whose runtime keeps a team of threads for each thread that starts parallel
// work and makes it at that thread's first parallel work. From the
// pipeline's worker threads that could happen at any photo, in the middle of
// a run short of memory, where libgomp, unable to start a thread, ends the
// whole process. From this one thread, the team is made once, at the start.
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

// The extractors of a batch run.
//
// On a GPU (the kernel schedule): one extractor, the device's, takes the
// photos one at a time on a thread of its own. On the cpu backend's row
// schedule the photos themselves are the parallel work: each pipeline
// worker extracts its photo on its own core, with an extractor of a pool
// (one per worker at most). Spreading each extraction over the cores as
// well would have its threads wait at every barrier for cores that the
// decoders hold, and spin meanwhile.
class Extraction {
public:
    // Whether photos may be extracted at once, from several threads: on the
    // row schedule (the cpu backend's), not on the kernel schedule.
    static bool parallel();

    // Makes the first extractor: throws roughgc::DeviceError as
    // roughgc::Extractor's constructor does.
    Extraction();
    ~Extraction();
    Extraction(const Extraction&) = delete;
    Extraction& operator=(const Extraction&) = delete;

    // Runs `job` with an extractor, from any pipeline worker: on a GPU
    // the device's, on its thread, one photo at a time (the pipeline stage
    // is serial); otherwise one of the pool's, on this thread. What `job`
    // throws is thrown here, as is a failure to make a new extractor.
    void run(const std::function<void(roughgc::Extractor&)>& job);

    // How many extractors the run may hold at most, each with buffers for
    // the largest photo it has seen, with `workers` pipeline workers.
    static size_t extractorsFor(size_t workers) { return parallel() ? workers : 1; }

private:
    std::unique_ptr<ExtractionThread> thread_;  // on a GPU
    std::unique_ptr<roughgc::Extractor> device_;  // on a GPU: its one extractor
    Pool<roughgc::Extractor> idle_;
};

// Where batch mode's extractions run.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <roughgc/roughgc.hpp>
#include <string>
#include <thread>
#include <vector>

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

    // As roughgc::Extractor::extract, from any pipeline worker.
    roughgc::Result extract(const cv::Mat& photo, const roughgc::Params& params);

    // As roughgc::Extractor::extractFile; `photoSize` becomes the photo's
    // size as the extractor found it, also when this throws. Parallel
    // extraction only: on a GPU photos are decoded ahead, in parallel.
    // With `atMapScale`, the photo at its map's scale too (for its overlay).
    roughgc::Result extractFile(const std::string& path, const roughgc::Params& params, cv::Size& photoSize,
                                cv::Mat* atMapScale = nullptr);

    // How many extractors the run may hold at most, each with buffers for
    // the largest photo it has seen, with `workers` pipeline workers.
    static size_t extractorsFor(size_t workers) { return parallel() ? workers : 1; }

private:
    template <class Job>
    roughgc::Result withExtractor(Job job);
    std::unique_ptr<roughgc::Extractor> take();
    void give(std::unique_ptr<roughgc::Extractor> extractor);

    std::unique_ptr<ExtractionThread> thread_;  // on a GPU
    std::mutex mutex_;
    std::vector<std::unique_ptr<roughgc::Extractor>> idle_;
};

// A reusable rough contour extractor, for programs that process many photos.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include "CUDA_stages.h"
#include "gpu_runtime.h"

// Input that the extractor cannot take. what() is the one line the roughgc
// tool prints for it, e.g. "(!) Image too small: 30 x 30 pixels; at least
// 45 x 45 needed".
class RoughInputError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The rough contour map of one photo and what the threshold search found.
struct RoughMap {
    // rows x cols bytes, row after row without padding: 0 rough, 255 smooth.
    // Owned by the extractor and valid until its next extract().
    const unsigned char* pixels = nullptr;
    size_t rows = 0, cols = 0;
    int quantileIndex = 0;     // the table index of the final pass
    float threshold = 0;       // the metric threshold at that index
    int coarseBoxes = 0;       // occupied boxes of side 8 in the final map
    int fineBoxes = 0;         // and of side 4
    float dimension = 0;       // the final pass's box-counting dimension estimate
    int passes = 0;            // evaluation passes the search made, 1 to 12
};

// The rough contour pipeline of processImageCUDA, holding its device
// buffers, page-locked host buffers and events from one photo to the next:
// they grow when a larger photo comes and are otherwise reused, so a warm
// extractor allocates nothing per photo. One extractor serves one thread
// at a time; the maps it makes are byte for byte those of processImageCUDA.
//
// A failed GPU runtime call ends the process with status 1, as everywhere
// in the library.
class RoughExtractor {
public:
    // Selects device 0 and creates the events.
    RoughExtractor();
    ~RoughExtractor();
    RoughExtractor(const RoughExtractor&) = delete;
    RoughExtractor& operator=(const RoughExtractor&) = delete;

    // The map of a height x width image of BGR pixels in host memory (any
    // memory; page-locked memory uploads faster on a GPU), with metric
    // window kc2 and the search's target dimension dim and tolerance eps.
    // Throws RoughInputError, before any GPU work, for a size or window
    // outside roughImageSizeProblem's limits or a dim or eps that is not a
    // finite number.
    const RoughMap& extract(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2 = 7, float dim = 1.7f,
                            float eps = 0.1f);

    // Notes the duration of each phase of later extractions in `times`
    // (null: none); for benchmarks.
    void recordStageTimes(StageTimes* times) { times_ = times; }

    // What processImageCUDA runs: extract() without the checks of dim and
    // eps, which it takes as they are. The size must have been checked.
    const RoughMap& extractChecked(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2, float dim,
                                   float eps);

private:
    template <class T>
    struct Buffer {
        T* data = nullptr;
        size_t capacity = 0;
    };
    template <class T>
    static void growDevice(Buffer<T>& b, size_t count);
    template <class T>
    static void growHost(Buffer<T>& b, size_t count);
    void phase(const char* name) const;

    cudaEvent_t start_ = nullptr, stop_ = nullptr;
    Buffer<uchar3> d_imageRGB_;
    Buffer<float3> d_averImage_;
    Buffer<float> devContMatr_;
    Buffer<uchar> d_out_;
    Buffer<uchar> d_temp1_;
    Buffer<uchar> d_temp2_;
    float* d_kvant_ = nullptr;
    int* d_res_ = nullptr;
    Buffer<float> contMatr_;     // the metric map, downloaded
    Buffer<uchar> contMatrRes_;  // the final binary map, downloaded
    int* hist_ = nullptr;
    float* kvant_ = nullptr;
    StageTimes* times_ = nullptr;
    RoughMap map_;
};

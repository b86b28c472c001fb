// The library's device stages, with exactly the launch shapes and checks
// that processImageCUDA and fineContoursCUDA use. Exposed so that tests run
// the very code of the pipelines on buffers of their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "gpu_runtime.h"

// Device selection at the start of every entry point.
void selectDevice();

// The two checks that end a phase of GPU work: recording and waiting for
// `stop`, then the checked last error; the second also waits for the device.
void eventCheck(cudaEvent_t stop);
void deviceCheck(cudaEvent_t stop);

// 3 x 3 block averaging into the float3 feature map: blocks of 32 x 16
// threads over the mHeight x mWidth averaged grid. Launch only: the caller
// checks for errors.
void launchAveraging(const uchar3* d_imageRGB, float3* d_averImage, size_t mHeight, size_t mWidth, size_t width);

// The derivative metric of the feature map into the (mHeight - kc2) x
// (mWidth - kc2) metric map: blocks of 32 x 32 threads over the averaged
// grid. Launch only.
void launchMetric(float* devContMatr, float3* d_averImage, size_t mHeight, size_t mWidth, size_t kc2);

// The device buffers and sizes of the threshold search. The maps have
// mHeight - kc2 rows of mWidth - kc2 elements; d_temp1 holds one byte per
// box of side 8, d_temp2 one per box of side 4; d_res two counters.
struct RoughPassBuffers {
    float* devContMatr;
    uchar* d_out;
    float* d_kvant;
    uchar* d_temp1;
    uchar* d_temp2;
    int* d_res;
    size_t mHeight, mWidth, kc2;
};

// Side of the coarse boxes; the fine ones have half of it.
constexpr int kBoxSide = 8;

// One evaluation of table index sr: thresholds the metric into d_out and
// adds the occupied boxes of side 8 to d_res[k] and of side 4 to
// d_res[k + 1]. Seven launches, each timed and followed by a device check.
void evaluationPass(const RoughPassBuffers& b, int sr, int k, cudaEvent_t start, cudaEvent_t stop);

// What the threshold search did: the table indices it evaluated, in order,
// and the last pass's box counts and dimension estimate. The map of the last index is in d_out.
struct SearchTrace {
    std::vector<int> indices;
    float dimension;
    int coarseBoxes, fineBoxes;  // the last pass's counts at sides 8 and 4
};

// Wall-clock durations of a pipeline's phases, in milliseconds, in the order
// they ran; for benchmarks. Each phase ends with its check, which waits for
// the device, so the times hold on a GPU too.
class StageTimes {
public:
    void start() { last_ = std::chrono::steady_clock::now(); }
    // Closes the phase that began at the previous mark.
    void mark(std::string name) {
        const auto now = std::chrono::steady_clock::now();
        stages.emplace_back(std::move(name), std::chrono::duration<double, std::milli>(now - last_).count());
        last_ = now;
    }
    std::vector<std::pair<std::string, double>> stages;

private:
    std::chrono::steady_clock::time_point last_;
};

// processImageCUDA, noting each phase's duration in `times` when it is not
// null.
void processImageStaged(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2, float dim, float eps,
                        StageTimes* times);

// Bisects the quantile table (size entries, uploaded to d_kvant here) for a
// map whose box-counting dimension lies within eps of dim, for at most
// eleven moves from the middle index. res is the host copy of the two
// counters.
SearchTrace thresholdSearch(const RoughPassBuffers& b, int* res, const float* kvant, int size, float dim, float eps,
                            cudaEvent_t start, cudaEvent_t stop, StageTimes* times = nullptr);

// The fine stage's three launches, as fineContoursCUDA makes them; launch
// only. Feature image: blocks of 32 x 32 over the height x width image.
void launchImageProcessing1(const uchar4* d_imageRGB, float4* d_newImage, size_t height, size_t width);
// Mark map: blocks of 32 x 32 over the (height/3 - 2) x (width/3 - 2) rough
// map, into a mark map of rows width - kc2 long.
void launchImageProcessing2(float* d_roughCont, float* tempFineContours, size_t height, size_t width, size_t kc2);
// Fine map: blocks of 16 x 16 over the (height - kc2) x (width - kc2) map.
void launchFineContours(float* devFineContours, float* tempFineContours, float4* d_newImage, float* devfmat1,
                        float* devfmat2, float* devfmat3, size_t height, size_t width, size_t kc2);

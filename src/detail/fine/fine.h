// The fine contour stage: the metric at full resolution around the pixels
// that a rough map marks.
#pragma once

#include <cstddef>
#include <string>

#include "gpu_runtime.h"

namespace roughgc::detail {

// Empty if the fine stage takes a height x width image with window `window`;
// otherwise why not, as one line without a prefix. The limits: both sides
// at least 6 and window <= 6 + the smaller of height % 3 and width % 3, so that
// every marked block lies inside the fine map; fewer than 2^31 pixels; and
// height - window <= 1048559 (a GPU launches at most 65535 blocks of 16 rows
// over the fine map).
std::string fineSizeProblem(size_t height, size_t width, size_t window);

// The fine map, as fineContoursCUDA describes it, on device `device`: every
// array in host memory, fineMap holding the caller's marks on entry
// and the map on return. The sizes must be taken by fineSizeProblem. Throws
// DeviceError for a failed runtime call, releasing what it allocated.
void runFineContours(const uchar4* photo, const float* roughCells, float* fineMap, const float* filterP,
                     const float* filterQ, const float* filterR, size_t height, size_t width, size_t window,
                     int device);

// The stage's three launches; launch only. Feature image: blocks of 32 x 32
// over the height x width image. (Formerly launchImageProcessing1.)
void launchFineFeatures(const uchar4* d_photo, float4* d_features, size_t height, size_t width);
// Mark map: blocks of 32 x 32 over the (height/3 - 2) x (width/3 - 2) rough
// map, into a mark map of rows width - window long. (Formerly
// launchImageProcessing2.)
void launchMarkRoughBlocks(float* d_roughCells, float* d_marks, size_t height, size_t width, size_t window);
// Fine map: blocks of 16 x 16 over the (height - window) x (width - window) map.
void launchFineContours(float* d_fineMap, float* d_marks, float4* d_features, float* d_filterP,
                        float* d_filterQ, float* d_filterR, size_t height, size_t width, size_t window);

void loadFineKernels();

}  // namespace roughgc::detail

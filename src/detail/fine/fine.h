// The fine contour stage: the metric at full resolution around the pixels
// that a rough map marks.
#pragma once

#include <cstddef>
#include <string>

#include "gpu_runtime.h"

namespace roughgc::detail {

// Empty if the fine stage takes a height x width image with window kc2;
// otherwise why not, as one line without a prefix. The limits: both sides
// at least 6 and kc2 <= 6 + the smaller of height % 3 and width % 3, so that
// every marked block lies inside the fine map; fewer than 2^31 pixels; and
// height - kc2 <= 1048559 (a GPU launches at most 65535 blocks of 16 rows
// over the fine map).
std::string fineSizeProblem(size_t height, size_t width, size_t kc2);

// The fine map, as fineContoursCUDA describes it, on device `device`: every
// array in host memory, h_fineContours holding the caller's marks on entry
// and the map on return. The sizes must be taken by fineSizeProblem. Throws
// DeviceError for a failed runtime call, releasing what it allocated.
void runFineContours(const uchar4* h_imageRGB, const float* h_roughCont, float* h_fineContours, const float* h_fmat1,
                     const float* h_fmat2, const float* h_fmat3, size_t height, size_t width, size_t kc2, int device);

// The stage's three launches; launch only. Feature image: blocks of 32 x 32
// over the height x width image.
void launchImageProcessing1(const uchar4* d_imageRGB, float4* d_newImage, size_t height, size_t width);
// Mark map: blocks of 32 x 32 over the (height/3 - 2) x (width/3 - 2) rough
// map, into a mark map of rows width - kc2 long.
void launchImageProcessing2(float* d_roughCont, float* tempFineContours, size_t height, size_t width, size_t kc2);
// Fine map: blocks of 16 x 16 over the (height - kc2) x (width - kc2) map.
void launchFineContours(float* devFineContours, float* tempFineContours, float4* d_newImage, float* devfmat1,
                        float* devfmat2, float* devfmat3, size_t height, size_t width, size_t kc2);

void loadFineKernels();

}  // namespace roughgc::detail

// The rough pipeline's two image stages: block averaging into the feature
// map, and the derivative metric of the feature map.
#pragma once

#include <cstddef>

#include "gpu_runtime.h"

namespace roughgc::detail {

// 3 x 3 block averaging into the float3 feature map: blocks of 32 x 16
// threads over the mHeight x mWidth averaged grid. Launch only: the caller
// checks for errors.
void launchAveraging(const uchar3* photo, float3* features, size_t mHeight, size_t mWidth, size_t width);

// The derivative metric of the feature map into the (mHeight - window) x
// (mWidth - window) metric map: blocks of 32 x 32 threads over the averaged
// grid. Launch only.
void launchMetric(float* metric, float3* features, size_t mHeight, size_t mWidth, size_t window);

// Loads both kernels ahead of their first launch (see FirstRun).
void loadRoughStageKernels();

}  // namespace roughgc::detail

// processImageCUDA with the duration of each phase noted, for benchmarks.
#pragma once

#include <cstddef>

#include "detail/device/stage_times.h"
#include "gpu_runtime.h"

// processImageCUDA, noting each phase's duration in `times` when it is not
// null.
void processImageStaged(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2, float dim, float eps,
                        roughgc::detail::StageTimes* times);

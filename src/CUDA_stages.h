// The rough pipeline's device stages, one launch each, with exactly the
// launch shapes that processImageCUDA uses. They only launch: the caller
// owns the buffers and checks for errors. Exposed so that tests run the very
// launches of the pipeline.
#pragma once

#include <cstddef>

#include "gpu_runtime.h"

// 3 x 3 block averaging into the float3 feature map: blocks of 32 x 16
// threads over the mHeight x mWidth averaged grid.
void launchAveraging(const uchar3* d_imageRGB, float3* d_averImage, size_t mHeight, size_t mWidth, size_t width);

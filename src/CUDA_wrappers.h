// The GPU library's interface, usable from plain C++ in either backend.
#pragma once

#include <cstddef>
#include <vector>

#include "CUDA_common.h"
#include "gpu_runtime.h"

// Exit statuses of the library's own refusals. A failed GPU runtime call
// exits with 1 (see check).
constexpr int kExitUnsupportedImageSize = 3;
constexpr int kExitOutputNotWritten = 4;

// Selects device 0 and creates the runtime's context, so that later calls
// are not charged with that start-up cost.
void FirstRun();

// The rough contour map of a height x width image of BGR pixels in host
// memory, written to "RoughGC.bmp" in the working directory:
// (height / 3 - kc2) rows of (width / 3 - kc2) bytes, 0 where the image is
// rough and 255 where it is smooth. The threshold is searched so that the
// map's box-counting dimension comes within eps of dim. Prints nothing on
// success. Ends the process on failure: status 1 for a GPU error,
// kExitUnsupportedImageSize for an image outside requireRoughImageSize's
// limits, kExitOutputNotWritten when the file cannot be written.
void processImageCUDA(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2, float dim, float eps);

// Smallest image side that processImageCUDA takes for window kc2: both box
// grids need at least one box in each direction.
size_t roughMinimumSide(size_t kc2);

// Returns if processImageCUDA can take a height x width image with window
// kc2 (kc2 at least 1, both sides at least roughMinimumSide(kc2), and few
// enough pixels for 32-bit indices). Otherwise prints one line saying why on
// standard error and exits with kExitUnsupportedImageSize.
void requireRoughImageSize(size_t height, size_t width, size_t kc2);

// Least-squares line y = theta[0] x + theta[1] through the points
// (x[j], y[j]), solved through the explicit inverse of the 2 x 2 normal
// matrix in single precision. Uses as many points as both vectors hold.
std::vector<float> NormalEquations2d(const std::vector<float>& y, const std::vector<float>& x);

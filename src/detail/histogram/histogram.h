// The GPU histogram of a float matrix.
#pragma once

#include <cstddef>
#include <string>

namespace roughgc::detail {

// Bin capacity of the kernel's block-shared array.
constexpr int kMaxHistogramBins = 2048;

// Empty if the histogram takes a height x width matrix and N bins (a matrix
// without elements is taken: there is nothing to count); otherwise why not,
// as one line without a prefix: N must be 1 to 2048, and the matrix hold at
// most INT_MAX elements in at most 2097119 rows (a GPU launches at most
// 65535 blocks of 32 rows).
std::string histogramSizeProblem(size_t height, size_t width, size_t N);

// Counts the height x width floats of `values` into N bins of width
// (end - begin) / N on device `device`, adding the counts to hist and
// their total to *counted (see histogramCUDA for the binning). The sizes must
// be taken by histogramSizeProblem and not empty. Calls kernelTime with the
// kernel's milliseconds once the kernel has run, if it is given. Throws
// DeviceError for a failed runtime call, releasing what it allocated.
void runHistogram(const float* values, int* hist, int* counted, size_t height, size_t width, float begin, float end,
                  size_t N, int device, void (*kernelTime)(float milliseconds) = nullptr);

void loadHistogramKernels();

}  // namespace roughgc::detail

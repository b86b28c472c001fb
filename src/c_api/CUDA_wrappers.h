// The GPU library's C interface, usable from plain C++ in either
// backend. It brings in the GPU runtime's header (NVIDIA's, or the cpu
// backend's stand-in); programs that want none of that use
// <roughgc/roughgc.hpp>, the same work behind OpenCV matrices and
// exceptions.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "CUDA_common.h"
#include "gpu_runtime.h"

// Exit statuses of the library's own refusals. A failed GPU runtime call
// exits with 1 (see check).
constexpr int kExitUnsupportedImageSize = 3;
constexpr int kExitOutputNotWritten = 4;

// Selects device 0, creates the runtime's context and loads every kernel of
// the library (a GPU otherwise loads a kernel at its first launch), so that
// later calls are not charged with those start-up costs. Keeps nothing: what
// it creates to that end it releases again.
void FirstRun();

// The rough contour map of a height x width image of BGR pixels in host
// memory, written to "RoughGC.bmp" in the working directory:
// (height / 3 - kc2) rows of (width / 3 - kc2) bytes, 0 where the image is
// rough and 255 where it is smooth. The threshold is searched so that the
// map's box-counting dimension comes within eps of dim. Prints nothing on
// success. Ends the process on failure: status 1 for a GPU error,
// kExitUnsupportedImageSize, before anything is allocated, for arguments
// outside roughImageSizeProblem's limits, kExitOutputNotWritten when the
// file cannot be written. The file is written whole or not at all: a failed
// write leaves any earlier RoughGC.bmp as it was.
void processImageCUDA(const uchar3* h_imageRGB, size_t height, size_t width, size_t kc2, float dim, float eps);

// The largest window that processImageCUDA takes: with a larger one even the
// smallest accepted square image would have more than INT_MAX pixels.
constexpr size_t kMaxRoughWindow = 15438;

// Smallest image side that processImageCUDA takes for window kc2 (both box
// grids need at least one box in each direction); SIZE_MAX for a kc2 above
// kMaxRoughWindow.
size_t roughMinimumSide(size_t kc2);

// Empty if processImageCUDA takes a height x width image with window kc2;
// otherwise the one line (without its newline) saying why not. The limits:
// 1 <= kc2 <= kMaxRoughWindow; both sides at least roughMinimumSide(kc2);
// at most INT_MAX pixels, for 32-bit indices; at most 3145679 rows, so that
// no launch needs more than the 65535 blocks a GPU allows in y. Any size_t
// values may be passed: nothing wraps around.
std::string roughImageSizeProblem(size_t height, size_t width, size_t kc2);

// Returns if roughImageSizeProblem finds no problem; otherwise prints its
// line on standard error and exits with kExitUnsupportedImageSize.
void requireRoughImageSize(size_t height, size_t width, size_t kc2);

// Least-squares line y = theta[0] x + theta[1] through the points
// (x[j], y[j]), solved through the explicit inverse of the 2 x 2 normal
// matrix in single precision. Uses as many points as both vectors hold.
std::vector<float> NormalEquations2d(const std::vector<float>& y, const std::vector<float>& x);

// Counts the height x width floats of h_matr into N bins of width
// (end - begin) / N on the GPU, adding the counts to h_hist[0 .. N - 1] and
// their total to *h_cnt. Bin k holds the values v with k <= v / width < k + 1,
// and bin 0 also those with -1 < v / width < 0, as the quotient is
// truncated toward zero: the bins start at 0, not at begin. A NaN element
// lands in bin 0, as the GPU's conversion of NaN to an integer gives 0.
// Prints the kernel's time as "CUDA histogram kernel (ms): T". N must be 1 to 2048, and the matrix hold
// fewer than 2^31 elements in at most 2097119 rows (a GPU launches at most
// 65535 blocks of 32 rows); otherwise the call prints one line on standard
// error and returns with h_hist and *h_cnt unchanged, doing no GPU work. A
// matrix without elements (height or width 0) is no error: the call returns
// at once, printing nothing.
void histogramCUDA(float* h_matr, int* h_hist, int* h_cnt, size_t height, size_t width, float begin, float end,
                   size_t N);

// The fine contour map of a height x width four-channel image (x, y, z the
// colour channels; w unused), (height - kc2) x (width - kc2) floats written
// to h_fineContours.
//
// The pixels evaluated are those under a rough cell below 255 (NaN is not):
// h_roughCont holds (height/3 - 2) x (width/3 - 2) cells, each over the
// 3 x 3 block of fine-map pixels at rows 3y .. 3y + 2 and columns
// 3x .. 3x + 2, and the cells of row 0 and column 0 are never used. On entry
// h_fineContours holds the caller's own marks, added to those: a positive
// value marks a pixel. Each evaluated pixel gets the metric quotient
// (E + G)^2 / (E G - F^2) of u = kc2 (R - Q) and v = kc2 (P - Q), where P, Q
// and R are the feature image (inverted colour on orthonormal axes, plus 20
// times the pixel's row and column) filtered over the kc2 x kc2 window
// around it with h_fmat1, h_fmat2 and h_fmat3; every other pixel gets 0.
// A quotient that is not a number (0/0, or a NaN among the filter weights)
// is stored as the NaN 0x7fffffff on either backend.
// The window of pixel (y, x) covers rows y - kc2/2 .. and columns
// x - kc2/2 ..; window elements above or left of the image are left out of
// the sums (only a caller's own marks near the top or left edge, or a kc2
// over 7, reach them).
//
// Needs height and width of at least 6 and kc2 <= 6 + height % 3 and
// kc2 <= 6 + width % 3, so that every marked block lies inside the fine map,
// fewer than 2^31 pixels, and height - kc2 <= 1048559 (a GPU launches at
// most 65535 blocks of 16 rows over the fine map). Otherwise the call prints
// one line on standard error and returns with h_fineContours unchanged,
// doing no GPU work. A GPU runtime failure ends the process with status 1.
void fineContoursCUDA(const uchar4* h_imageRGB, float* h_roughCont, float* h_fineContours, float* h_fmat1,
                      float* h_fmat2, float* h_fmat3, size_t height, size_t width, size_t kc2);

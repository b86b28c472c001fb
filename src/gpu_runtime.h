// Selects the runtime that the library is built against: NVIDIA's CUDA
// runtime, or the CPU backend's stand-in with the same names. Kernels are
// launched through LAUNCH_KERNEL in both.
#pragma once

#if defined(ROUGHGC_CUDA_BACKEND)
#include <cuda_runtime.h>
#define LAUNCH_KERNEL(kernel, grid, block, ...) kernel<<<(grid), (block), 0, 0>>>(__VA_ARGS__)
#else
#include "cpu_runtime/cuda_runtime_cpu.h"
#define LAUNCH_KERNEL(kernel, grid, block, ...) ::cpurt::launch<kernel>((grid), (block) __VA_OPT__(, ) __VA_ARGS__)
#endif

typedef unsigned char uchar;

// One NaN for every kernel that stores a float, on both backends.
#pragma once

#include "gpu_runtime.h"

#if !defined(__CUDA_ARCH__)
#include <bit>
#include <cstdint>
#endif

// v, or the canonical quiet NaN 0x7fffffff when v is a NaN. A GPU's own
// arithmetic gives that NaN, while x86 gives 0xffc00000 for 0/0 and passes a
// NaN operand's payload on; storing through this makes the stored bits the
// same everywhere. Every other value, infinities and -0 included, is kept.
__device__ __forceinline__ float canonicalNaN(float v) {
#if defined(__CUDA_ARCH__)
    return v != v ? __int_as_float(0x7fffffff) : v;
#else
    return v != v ? std::bit_cast<float>(std::uint32_t{0x7fffffff}) : v;
#endif
}

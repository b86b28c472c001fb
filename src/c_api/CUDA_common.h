// Checked GPU runtime calls: a failed call is reported on standard error with
// its own source text, file and line, and ends the process with status 1.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "gpu_runtime.h"

template <typename T>
void check(T err, const char* const func, const char* const file, const int line) {
    if (static_cast<int>(err) != 0) {
        std::fprintf(stderr, "CUDA error at: %s:%d\n", file, line);
        std::fprintf(stderr, "%s %s\n", cudaGetErrorString(err), func);
        std::exit(1);
    }
}

// Wrap every checked runtime call in this, so that the report quotes the call.
#define checkCudaErrors(val) check((val), #val, __FILE__, __LINE__)

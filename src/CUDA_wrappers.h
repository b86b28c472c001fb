// The GPU library's interface, usable from plain C++ in either backend.
#pragma once

#include "CUDA_common.h"
#include "gpu_runtime.h"

// Selects device 0 and creates the runtime's context, so that later calls
// are not charged with that start-up cost.
void FirstRun();

// How the rough pipeline's image stages run: the GPU's schedule of kernels
// (upload, launches, downloads), or the CPU's row loops straight on the
// photo's pixels. Both run the same per-pixel functions and give the same
// bytes.
#pragma once

namespace roughgc::detail {

enum class Schedule {
    Kernels,  // every launch, copy and download a GPU makes (the only one on a GPU)
    Rows,     // host row loops, photo rows streamed from the decoder (cpu backend)
};

// The schedule of a pipeline made without one: the kernels on a GPU; on the
// cpu backend the row loops, or the kernels on the emulated runtime when
// ROUGHGC_CPURT_SCHEDULE is "kernels", so that the tool and the library run
// the GPU's orchestration without a GPU.
Schedule defaultSchedule();

// Whether this build can run `schedule`: the row loops need device memory
// to be host memory.
bool scheduleAvailable(Schedule schedule);

}  // namespace roughgc::detail

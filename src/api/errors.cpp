#include <utility>

#include "gpu_runtime.h"
#include "roughgc/roughgc.hpp"

namespace roughgc {

DeviceError::DeviceError(std::string call, std::string file, int line, int code, std::string reason)
    : std::runtime_error("CUDA error at " + file + ":" + std::to_string(line) + ": " + reason + " in " + call),
      call_(std::move(call)),
      file_(std::move(file)),
      line_(line),
      code_(code),
      reason_(std::move(reason)) {}

bool DeviceError::outOfMemory() const noexcept { return code_ == cudaErrorMemoryAllocation; }

WriteError::WriteError(std::string path, std::string reason, int errorNumber)
    : std::runtime_error("Error writing " + path + ": " + reason),
      path_(std::move(path)),
      reason_(std::move(reason)),
      errorNumber_(errorNumber) {}

}  // namespace roughgc

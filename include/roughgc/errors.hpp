// RoughGC's exceptions: what the library throws, from its face and from its
// core alike. <roughgc/roughgc.hpp> includes this header.
#pragma once

#include <stdexcept>
#include <string>

namespace roughgc {

// Input that the library cannot take. what() is one line, worded as the
// roughgc tool words it, e.g. "(!) Image too small: 30 x 30 pixels; at
// least 45 x 45 needed".
class InputError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A GPU runtime call that failed. what() names the error, the call and
// where it was made: "CUDA error at FILE:LINE: out of memory in
// cudaMalloc(...)". The object that threw stays usable.
class DeviceError : public std::runtime_error {
public:
    DeviceError(std::string call, std::string file, int line, int code, std::string reason);
    const std::string& call() const noexcept { return call_; }      // the call's source text
    const std::string& file() const noexcept { return file_; }      // the source file that made it
    int line() const noexcept { return line_; }                     // and its line
    int code() const noexcept { return code_; }                     // the runtime's status code
    const std::string& reason() const noexcept { return reason_; }  // the runtime's text for it
    // The device (or, in the cpu build, the machine) had no memory for an
    // allocation: a smaller photo may still work.
    bool outOfMemory() const noexcept;

private:
    std::string call_, file_;
    int line_, code_;
    std::string reason_;
};

// A file that could not be written. what() is "Error writing PATH: REASON".
class WriteError : public std::runtime_error {
public:
    WriteError(std::string path, std::string reason, int errorNumber);
    const std::string& path() const noexcept { return path_; }
    const std::string& reason() const noexcept { return reason_; }
    int errorNumber() const noexcept { return errorNumber_; }  // errno's value, or 0

private:
    std::string path_, reason_;
    int errorNumber_;
};

}  // namespace roughgc

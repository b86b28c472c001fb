// Reporting a failed write to standard output, as common tools do.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

// The map was written, but standard output could not be.
constexpr int kExitStdoutNotWritten = 5;

// Standard output is written line by line; the first failed write is noted
// here, with its reason, as soon as it happens, before other calls can
// overwrite errno.
struct StdoutWatch {
    int error = 0;
    void check() {
        if (error == 0 && !std::cout) error = errno != 0 ? errno : EIO;
    }
    // The status to exit with: `status`, unless standard output failed on a
    // run that otherwise succeeded.
    int finish(int status) {
        std::cout.flush();
        check();
        if (error == 0 && (std::fflush(stdout) != 0 || std::ferror(stdout))) error = errno != 0 ? errno : EIO;
        if (error == 0) return status;
        std::fprintf(stderr, "(!) Error writing standard output: %s\n", std::strerror(error));
        return status == 0 ? kExitStdoutNotWritten : status;
    }
};

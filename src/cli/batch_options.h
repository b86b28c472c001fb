// Batch mode's command line, read with CLI11 from the table of the run's
// options (batch/options.h).
#pragma once

#include <cstddef>
#include <optional>
#include <roughgc/roughgc.hpp>
#include <string>
#include <vector>

#include "batch/options.h"

// Whether the command line asks for batch mode rather than the single-photo
// tool: `roughgc PHOTO` and any other run without an option keep their old
// meaning, whatever PHOTO is called, except --help, -h, --version and -V.
bool isBatchCommandLine(int argc, char** argv);

// Refuses the run: "roughgc: LINE" on standard error; returns
// kExitBadCommandLine.
int refuseCommandLine(const std::string& line);

// Parses the command line into `options`. Returns an exit status when the
// run should end here (0 after --help or --version; 255, with one line on
// standard error, for a bad command line), nothing otherwise.
std::optional<int> parseBatchOptions(int argc, char** argv, BatchOptions& options);

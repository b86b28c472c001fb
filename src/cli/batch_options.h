// The command line of batch mode and the plan it makes: which photo goes to
// which map.
#pragma once

#include <cstddef>
#include <optional>
#include <roughgc/roughgc.hpp>
#include <string>
#include <vector>

#include "batch/policy.h"

struct BatchOptions {
    std::string outDir;
    std::vector<std::string> photos;  // command-line photos, then those of --files-from
    std::string filesFrom;
    bool nullSeparated = false;
    bool skipExisting = false;
    std::string report;
    float dim = roughgc::Params{}.dimension;
    float tolerance = roughgc::Params{}.tolerance;
    size_t window = static_cast<size_t>(roughgc::Params{}.window);
    unsigned jobs = 1;
    size_t memoryLimit = 0;  // bytes for the photos in flight and the extractor
    bool quiet = false;
    std::string format = "bmp";  // of the maps: bmp or png
    bool recursive = false;      // folders' subfolders too
    std::string overlayDir;      // where the overlays go; empty: none

    roughgc::Params params() const { return {static_cast<int>(window), dim, tolerance}; }
};

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

// Pairs every photo, and every photo of the folders named, with its map,
// DIR/NAME.bmp (findPhotos, planNamedMaps). Returns the one line (without
// newline) that refuses the run, empty if there is none: a folder cannot be
// read, the photos' names do (planNamedMaps), the output folder is a file or a
// link to nothing, or the report may not be written where it is named
// (reportProblem). `notes` gets findPhotos's lines.
std::string planBatch(const BatchOptions& options, std::vector<BatchItem>& items, std::vector<std::string>& notes);

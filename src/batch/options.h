// The options of a run of many photos and the table they are offered from:
// batch mode's command line (CLI11) and `python3 -m roughgc.dask`'s
// (argparse, through the Python module) are both built from runOptions(),
// so that an option has one name, one value name and one help text.
#pragma once

#include <cstddef>
#include <roughgc/roughgc.hpp>
#include <string>
#include <vector>

#include "batch/job.h"
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

// One option of the table.
struct RunOption {
    enum Id {
        Photos, OutDir, FilesFrom, Null, Recursive, SkipExisting, Report, Dimension, Tolerance, Window, Jobs,
        MemoryLimit, Format, Overlay, Quiet
    };
    Id id;
    std::string names;  // as CLI11 takes them: "-o,--out-dir"; "photos" for the photos themselves
    std::string value;  // what --help calls its value ("DIR"); empty for a flag
    std::string help;
    std::string defaultValue{};           // as the command line would give it; empty: none
    bool required = false;
    bool batchOnly = false;               // threads, memory and the display: batch mode's alone
    const NumberRange* range = nullptr;   // a number of this range
};

// The options, in the order --help lists them.
const std::vector<RunOption>& runOptions();

// Pairs every photo, and every photo of the folders named, with its map,
// DIR/NAME.bmp (findPhotos, planNamedMaps). Returns the one line (without
// newline) that refuses the run, empty if there is none: a folder cannot be
// read, the photos' names do (planNamedMaps), the output folder is a file or a
// link to nothing, or the report may not be written where it is named
// (reportProblem). `notes` gets findPhotos's lines.
std::string planBatch(const BatchOptions& options, std::vector<BatchItem>& items, std::vector<std::string>& notes);

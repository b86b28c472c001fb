// The command line of batch mode and the plan it makes: which photo goes to
// which map.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct BatchOptions {
    std::string outDir;
    std::vector<std::string> photos;  // command-line photos, then those of --files-from
    std::string filesFrom;
    bool nullSeparated = false;
    bool skipExisting = false;
    std::string report;
    float dim = 1.7f;
    float tolerance = 0.1f;
    size_t window = 7;
    unsigned jobs = 1;
    size_t memoryLimit = 0;  // bytes for the photos in flight and the extractor
    bool quiet = false;
};

// One photo of the run and the map it is to give.
struct BatchItem {
    std::string photo;
    std::string map;
};

// Whether the command line asks for batch mode rather than the single-photo
// tool: `roughgc PHOTO` and any other run without an option keep their old
// meaning, whatever PHOTO is called, except --help, -h, --version and -V.
bool isBatchCommandLine(int argc, char** argv);

// Parses the command line into `options`. Returns an exit status when the
// run should end here (0 after --help or --version; 255, with one line on
// standard error, for a bad command line), nothing otherwise.
std::optional<int> parseBatchOptions(int argc, char** argv, BatchOptions& options);

// Pairs every photo with its map, DIR/NAME.bmp. Returns the one line
// (without newline) that refuses the run, empty if there is none: two photos
// would write the same map, a map would overwrite a photo of the run, the
// output folder is a file or a link to nothing, or the report would replace
// a photo, a map, the list or anything else that is not a report of
// roughgc's, or has no folder to go to.
std::string planBatch(const BatchOptions& options, std::vector<BatchItem>& items);

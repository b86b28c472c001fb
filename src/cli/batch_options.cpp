#include "cli/batch_options.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <cstring>
#include <thread>

#include "CUDA_wrappers.h"

namespace fs = std::filesystem;

namespace {

constexpr int kBadCommandLine = 255;

int refuse(const std::string& line) {
    std::fprintf(stderr, "roughgc: %s\n", line.c_str());
    return kBadCommandLine;
}

// The names listed in `path` (standard input for "-"), one a line or, with
// `nullSeparated`, ended by NUL bytes; empty entries are skipped.
bool readList(const std::string& path, bool nullSeparated, std::vector<std::string>& names, std::string& why) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) {
            why = std::strerror(errno);
            return false;
        }
        in = &file;
    }
    std::string name;
    while (std::getline(*in, name, nullSeparated ? '\0' : '\n')) {
        if (!nullSeparated && !name.empty() && name.back() == '\r') name.pop_back();
        if (!name.empty()) names.push_back(name);
    }
    if (in->bad()) {
        why = "read error";
        return false;
    }
    return true;
}

std::string number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

// A refusal line if `value` lies outside [low, high] or is not a number.
std::string outOfRange(const char* option, double value, double low, double high) {
    if (value >= low && value <= high) return "";
    return std::string(option) + " must be a number from " + number(low) + " to " + number(high) + ", not " +
           number(value);
}

std::string canonical(const std::string& path) {
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(path, ec);
    return ec ? fs::absolute(path).lexically_normal().string() : p.string();
}

}  // namespace

bool isBatchCommandLine(int argc, char** argv) {
    if (argc == 2) {
        const std::string a = argv[1];
        return a == "--help" || a == "-h" || a == "--version" || a == "-V";
    }
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] == '-' && argv[i][1] != '\0') return true;
    return false;
}

std::optional<int> parseBatchOptions(int argc, char** argv, BatchOptions& options) {
    CLI::App app("Writes the rough contour map of each photo, as DIR/NAME.bmp, NAME being the photo's file name "
                 "without its last extension. Without options, `roughgc PHOTO` writes the map of one photo to "
                 "RoughGC.bmp in the working directory.",
                 "roughgc");
    app.set_version_flag("-V,--version", "roughgc " ROUGHGC_VERSION);
    double dim = options.dim, tolerance = options.tolerance, window = static_cast<double>(options.window);
    double jobs = std::max(1u, std::thread::hardware_concurrency());
    app.add_option("photos", options.photos, "Photos to process")->type_name("PHOTO...");
    app.add_option("-o,--out-dir", options.outDir, "Folder for the maps, created if missing (required)")
        ->type_name("DIR");
    app.add_option("-f,--files-from", options.filesFrom, "Also process the photos listed in FILE, one a line ('-': "
                                                         "standard input)")
        ->type_name("FILE");
    app.add_flag("-0,--null", options.nullSeparated, "Names in --files-from end with NUL bytes, not newlines");
    app.add_flag("-s,--skip-existing", options.skipExisting, "Skip photos whose map exists already (to resume a run)");
    app.add_option("-r,--report", options.report, "Write a CSV row per photo: outcome, size and the search's figures")
        ->type_name("FILE.csv");
    app.add_option("--dim", dim, "Target box-counting dimension of the maps, 0 to 2 (default 1.7)")->type_name("D");
    app.add_option("--tolerance", tolerance, "Tolerance on the dimension, 0 to 2 (default 0.1)")->type_name("E");
    app.add_option("--window", window, "Metric window in averaged pixels, 1 to 15438 (default 7)")->type_name("K");
    app.add_option("-j,--jobs", jobs, "Threads for decoding and writing (default: the number of cores)")
        ->type_name("N");
    app.add_flag("-q,--quiet", options.quiet, "No progress display");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << "\n";
        return 0;
    } catch (const CLI::ParseError& e) {
        return refuse(std::string(e.what()) + " (see roughgc --help)");
    }

    for (const std::string& problem : {outOfRange("--dim", dim, 0, 2), outOfRange("--tolerance", tolerance, 0, 2),
                                       outOfRange("--window", window, 1, static_cast<double>(kMaxRoughWindow)),
                                       outOfRange("--jobs", jobs, 1, 1024)}) {
        if (!problem.empty()) return refuse(problem);
    }
    if (window != std::floor(window) || jobs != std::floor(jobs))
        return refuse(std::string(window != std::floor(window) ? "--window" : "--jobs") + " must be a whole number");
    options.dim = static_cast<float>(dim);
    options.tolerance = static_cast<float>(tolerance);
    options.window = static_cast<size_t>(window);
    options.jobs = static_cast<unsigned>(jobs);

    if (options.outDir.empty()) return refuse("--out-dir is required (see roughgc --help)");
    if (!options.filesFrom.empty()) {
        std::string why;
        if (!readList(options.filesFrom, options.nullSeparated, options.photos, why))
            return refuse("cannot read " + options.filesFrom + ": " + why);
    } else if (options.nullSeparated) {
        return refuse("--null goes with --files-from (see roughgc --help)");
    }
    if (options.photos.empty()) return refuse("no photos given (see roughgc --help)");
    return std::nullopt;
}

std::string planBatch(const BatchOptions& options, std::vector<BatchItem>& items) {
    items.clear();
    std::map<std::string, size_t> byMap;     // canonical map path -> item
    std::map<std::string, size_t> byPhoto;   // canonical photo path -> item
    for (const std::string& photo : options.photos) {
        const std::string map = (fs::path(options.outDir) / (fs::path(photo).stem().string() + ".bmp")).string();
        const auto [it, added] = byMap.emplace(canonical(map), items.size());
        if (!added) return items[it->second].photo + " and " + photo + " would both write " + map;
        byPhoto.emplace(canonical(photo), items.size());
        items.push_back({photo, map});
    }
    for (const BatchItem& item : items) {
        const auto it = byPhoto.find(canonical(item.map));
        if (it != byPhoto.end()) return "the map of " + item.photo + " would overwrite " + items[it->second].photo;
    }
    return "";
}

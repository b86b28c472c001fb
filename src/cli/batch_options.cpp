#include "cli/batch_options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <cstring>
#include <sys/stat.h>
#include <thread>

#include "cli/memory_budget.h"
#include "cli/report.h"
#include "detail/stages/rough_size.h"

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
        // No file name holds a NUL: this is a list that find -print0 wrote.
        if (!nullSeparated && name.find('\0') != std::string::npos) {
            why = "it holds NUL bytes (for a list that ends names with NUL bytes, add --null)";
            return false;
        }
        if (!name.empty()) names.push_back(name);
    }
    if (in->bad()) {
        why = "read error";
        return false;
    }
    return true;
}

// A CLI11 validator for a number from low to high, written as a whole number
// when `whole`. The value is quoted as given, so that the line shows what
// was typed.
CLI::Validator numberFrom(double low, double high, bool whole) {
    std::ostringstream demand;
    demand << "must be a " << (whole ? "whole number" : "number") << " from " << low << " to " << high;
    return CLI::Validator(
        [low, high, whole, text = demand.str()](std::string& input) -> std::string {
            const char* begin = input.c_str();
            char* end = nullptr;
            errno = 0;
            const double value = std::strtod(begin, &end);
            const bool parsed = !input.empty() && end == begin + input.size() && errno == 0 && !std::isspace(*begin);
            if (parsed && value >= low && value <= high && (!whole || value == std::floor(value))) return "";
            return text + ", not " + (input.empty() ? std::string("an empty value") : input);
        },
        "");
}

// A number of bytes, with an optional K, M, G or T (powers of 1024);
// nothing for zero, other text, or more than 64 bits hold.
std::optional<size_t> byteCount(const std::string& text) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits == 0 || digits > 18 || text.size() - digits > 1) return std::nullopt;
    const size_t number = std::stoull(text.substr(0, digits));
    size_t shift = 0;
    if (digits < text.size()) {
        const size_t unit = std::string("KMGT").find(static_cast<char>(std::toupper(text.back())));
        if (unit == std::string::npos) return std::nullopt;
        shift = 10 * (unit + 1);
    }
    if (number == 0 || number > (SIZE_MAX >> shift)) return std::nullopt;
    return number << shift;
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
    options.jobs = std::max(1u, std::thread::hardware_concurrency());
    // Parsed as double and then rounded once to float, as a C++ caller
    // writing 1.7f gets it.
    double dim = options.dim, tolerance = options.tolerance;
    app.add_option("photos", options.photos, "Photos to process")->type_name("PHOTO...");
    app.add_option("-o,--out-dir", options.outDir, "Folder for the maps, created if missing")
        ->type_name("DIR")
        ->required();
    CLI::Option* filesFrom =
        app.add_option("-f,--files-from", options.filesFrom,
                       "Also process the photos listed in FILE, one a line ('-': standard input)")
            ->type_name("FILE");
    app.add_flag("-0,--null", options.nullSeparated, "Names in --files-from end with NUL bytes, not newlines")
        ->needs(filesFrom);
    app.add_flag("-s,--skip-existing", options.skipExisting, "Skip photos whose map exists already (to resume a run)");
    app.add_option("-r,--report", options.report,
                   "Write a CSV row per photo, as it finishes: outcome, size and the search's figures. A new report "
                   "replaces an earlier one of roughgc's (with --skip-existing it goes on after its rows), never "
                   "another file, a photo, a map or the list")
        ->type_name("FILE.csv");
    app.add_option("--dim", dim, "Target box-counting dimension of the maps, 0 to 2 (default 1.7)")
        ->type_name("D")
        ->check(numberFrom(0, 2, false));
    app.add_option("--tolerance", tolerance, "Tolerance on the dimension, 0 to 2 (default 0.1)")
        ->type_name("E")
        ->check(numberFrom(0, 2, false));
    app.add_option("--window", options.window, "Metric window in averaged pixels, 1 to 15438 (default 7)")
        ->type_name("K")
        ->check(numberFrom(1, static_cast<double>(roughgc::detail::kMaxRoughWindow), true));
    app.add_option("-j,--jobs", options.jobs, "Threads that decode, extract and write photos (default: the number of cores)")
        ->type_name("N")
        ->check(numberFrom(1, 1024, true));
    std::string memoryLimit;
    app.add_option("--memory-limit", memoryLimit,
                   "Memory for the photos in flight and the extractors' buffers, in bytes, with K, M, G or T for "
                   "powers of 1024 (default: a quarter of the machine's memory); a larger photo runs alone")
        ->type_name("BYTES")
        ->check(CLI::Validator(
            [](std::string& input) -> std::string {
                if (byteCount(input)) return "";
                return "must be a number of bytes above 0, with K, M, G or T for powers of 1024, not " +
                       (input.empty() ? std::string("an empty value") : input);
            },
            ""));
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

    // An empty shell variable must not turn into "no report".
    const std::pair<const char*, const std::string*> named[] = {
        {"--report", &options.report}, {"--files-from", &options.filesFrom}, {"--out-dir", &options.outDir}};
    for (const auto& [name, value] : named)
        if (app.count(name) != 0 && value->empty()) return refuse(std::string(name) + " needs a name, not an empty one");
    options.memoryLimit = memoryLimit.empty() ? MemoryBudget::defaultLimit() : *byteCount(memoryLimit);
    options.dim = static_cast<float>(dim);
    options.tolerance = static_cast<float>(tolerance);
    if (!options.filesFrom.empty()) {
        std::string why;
        if (!readList(options.filesFrom, options.nullSeparated, options.photos, why))
            return refuse("cannot read " + (options.filesFrom == "-" ? std::string("the list on standard input")
                                                                      : options.filesFrom) + ": " + why);
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

    struct stat st;
    if (lstat(options.outDir.c_str(), &st) == 0) {
        if (stat(options.outDir.c_str(), &st) != 0) return "--out-dir " + options.outDir + " is a link to nothing";
        if (!S_ISDIR(st.st_mode)) return "--out-dir " + options.outDir + " is not a folder";
    }

    if (options.report.empty()) return "";
    const std::string report = canonical(options.report);
    if (const auto it = byPhoto.find(report); it != byPhoto.end())
        return "the report " + options.report + " would overwrite the photo " + items[it->second].photo;
    if (const auto it = byMap.find(report); it != byMap.end())
        return "the report " + options.report + " would overwrite the map of " + items[it->second].photo;
    if (!options.filesFrom.empty() && options.filesFrom != "-" && canonical(options.filesFrom) == report)
        return "the report " + options.report + " would overwrite the list " + options.filesFrom;
    // Its folder must be there already, unless it is the output folder, made
    // before the report is opened.
    const fs::path folder = fs::path(options.report).parent_path();
    if (!folder.empty() && !fs::is_directory(folder) && canonical(folder.string()) != canonical(options.outDir))
        return "cannot write the report " + options.report + ": no folder " + folder.string();
    return reportPathProblem(options.report);
}

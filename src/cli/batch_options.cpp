#include "cli/batch_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "cli/memory_budget.h"

namespace {

// A CLI11 validator for a number of `range`. The value is quoted as given,
// so that the line shows what was typed.
CLI::Validator numberFrom(const NumberRange& range) {
    return CLI::Validator(
        [range](std::string& input) -> std::string { return numberIn(input, range) ? "" : numberRefusal(input, range); },
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

std::string planRun(const BatchOptions& options, BatchPlan& plan, std::vector<std::string>& notes) {
    std::vector<PhotoName> photos;
    if (std::string refusal = findPhotos(options.photos, options.recursive, photos, notes); !refusal.empty())
        return refusal;
    if (std::string refusal = planNamedMaps(photos, options.outDir, plan, options.format, options.overlayDir);
        !refusal.empty())
        return refusal;
    for (const auto& [option, folder] : {std::pair{"--out-dir", &options.outDir}, {"--overlay", &options.overlayDir}}) {
        struct stat st;
        if (folder->empty() || lstat(folder->c_str(), &st) != 0) continue;
        if (stat(folder->c_str(), &st) != 0) return std::string(option) + " " + *folder + " is a link to nothing";
        if (!S_ISDIR(st.st_mode)) return std::string(option) + " " + *folder + " is not a folder";
    }
    if (options.report.empty()) return "";
    return reportProblem(plan, options.report, options.outDir, options.filesFrom, "--report");
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

int refuseCommandLine(const std::string& line) {
    std::fprintf(stderr, "roughgc: %s\n", line.c_str());
    return kExitBadCommandLine;
}

namespace {

constexpr size_t kHelpWidth = 100;

// `text`'s words in lines of at most kHelpWidth columns, each but the first
// indented by `indent`, the first starting at column `start`. A word longer
// than a line has one of its own.
std::string wrapped(const std::string& text, size_t start, size_t indent) {
    std::string out;
    size_t column = start;
    std::istringstream words(text);
    bool first = true;
    for (std::string word; words >> word;) {
        if (!first && column + 1 + word.size() > kHelpWidth) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (!first) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        first = false;
    }
    return out;
}

// --help in lines of at most 100 columns, an option's value named by its
// type alone (no REQUIRED, Needs: or "..." of CLI11's own).
class WrappedHelp : public CLI::Formatter {
public:
    std::string make_description(const CLI::App* app) const override {
        return wrapped(app->get_description(), 0, 0) + "\n";
    }
    std::string make_option_opts(const CLI::Option* option) const override {
        const std::string type = option->get_type_name();
        return type.empty() ? "" : " " + type;
    }
    std::string make_option(const CLI::Option* option, bool positional) const override {
        std::string left = "  " + make_option_name(option, positional) + make_option_opts(option);
        if (left.size() + 2 > column_width_)
            left += "\n" + std::string(column_width_, ' ');
        else
            left.resize(column_width_, ' ');
        return left + wrapped(make_option_desc(option), column_width_, column_width_) + "\n";
    }
};

}  // namespace

std::optional<int> parseBatchOptions(int argc, char** argv, BatchOptions& options) {
    CLI::App app("Writes the rough contour map of each photo, as DIR/NAME.bmp (or .png), NAME being the photo's file name "
                 "without its last extension (for a photo found in a folder named, its path below that folder). A "
                 "photo whose search ends short of its target dimension is told on standard error; its map is "
                 "written all the same. Without options, `roughgc PHOTO` writes the map of one photo to "
                 "RoughGC.bmp in the working directory.",
                 "roughgc");
    app.formatter(std::make_shared<WrappedHelp>());
    app.set_version_flag("-V,--version", "roughgc " ROUGHGC_VERSION);
    options.jobs = std::max(1u, std::thread::hardware_concurrency());
    // Parsed as double and then rounded once to float, as a C++ caller
    // writing 1.7f gets it.
    double dim = options.dim, tolerance = options.tolerance;
    app.add_option("photos", options.photos,
                   "Photos to process, and folders of photos. A folder's photos are its files whose extension "
                   "is a photo format's (jpg, jpeg, png, tif, tiff, webp, bmp and the others roughgc reads, in "
                   "any case), taken by name; hidden files, and files of other extensions, are left alone")
        ->type_name("PHOTO...");
    app.add_option("-o,--out-dir", options.outDir, "Folder for the maps, created if missing")
        ->type_name("DIR")
        ->required();
    CLI::Option* filesFrom =
        app.add_option("-f,--files-from", options.filesFrom,
                       "Also process the photos listed in FILE, one a line ('-': standard input)")
            ->type_name("FILE");
    app.add_flag("-0,--null", options.nullSeparated, "Names in --files-from end with NUL bytes, not newlines")
        ->needs(filesFrom);
    app.add_flag("-R,--recursive", options.recursive,
                 "Also the photos of the folders' subfolders, their tree kept under DIR: photos/a/x.jpg gives "
                 "DIR/a/x.bmp for the folder photos");
    app.add_flag("-s,--skip-existing", options.skipExisting, "Skip photos whose map exists already (to resume a run)");
    app.add_option("-r,--report", options.report,
                   "Write a CSV row per photo, as it finishes: outcome, size, the search's figures and whether it "
                   "converged. A new report replaces an earlier one of roughgc's; with --skip-existing it goes on "
                   "after its rows and ends with one row per photo. Never another file, a photo, a map or the list")
        ->type_name("FILE.csv");
    const roughgc::Params defaults;
    app.add_option("--dim", dim,
                   "Target box-counting dimension of the maps, " + rangeText(kDimensionRange) + " (default " +
                       defaultText(defaults.dimension) + ")")
        ->type_name("D")
        ->check(numberFrom(kDimensionRange));
    app.add_option("--tolerance", tolerance,
                   "Tolerance on the dimension, " + rangeText(kToleranceRange) + " (default " +
                       defaultText(defaults.tolerance) + ")")
        ->type_name("E")
        ->check(numberFrom(kToleranceRange));
    app.add_option("--window", options.window,
                   "Metric window in averaged pixels, " + rangeText(kWindowRange) + " (default " +
                       std::to_string(defaults.window) + ")")
        ->type_name("K")
        ->check(numberFrom(kWindowRange));
    app.add_option("-j,--jobs", options.jobs, "Threads that decode, extract and write photos (default: the number of cores)")
        ->type_name("N")
        ->check(numberFrom(kJobsRange));
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
    app.add_option("--format", options.format,
                   "Map format: bmp, 8-bit grey as `roughgc PHOTO` writes it (the default), or png, 1-bit grey: the "
                   "same pixels, lossless, in a several times smaller file")
        ->type_name("bmp|png")
        ->check(CLI::Validator(
            [](std::string& input) -> std::string {
                return isMapFormat(input) ? "" : "must be bmp or png, not " + input;
            },
            ""));
    app.add_option("--overlay", options.overlayDir,
                   "Also write each map drawn over its photo, as DIR/NAME.jpg: the photo at the map's scale, the "
                   "map's black pixels in red where they lie")
        ->type_name("DIR");
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
        return refuseCommandLine(std::string(e.what()) + " (see roughgc --help)");
    }

    // An empty shell variable must not turn into "no report".
    const std::pair<const char*, const std::string*> named[] = {
        {"--report", &options.report}, {"--files-from", &options.filesFrom}, {"--out-dir", &options.outDir},
        {"--overlay", &options.overlayDir}};
    for (const auto& [name, value] : named)
        if (app.count(name) != 0 && value->empty())
            return refuseCommandLine(std::string(name) + " needs a name, not an empty one");
    options.memoryLimit = memoryLimit.empty() ? MemoryBudget::defaultLimit() : *byteCount(memoryLimit);
    options.dim = static_cast<float>(dim);
    options.tolerance = static_cast<float>(tolerance);
    if (!options.filesFrom.empty()) {
        int errorNumber = 0;
        const std::string why = readList(options.filesFrom, options.nullSeparated, options.photos, errorNumber);
        if (!why.empty())
            return refuseCommandLine(listRefusal(
                options.filesFrom == "-" ? std::string("the list on standard input") : options.filesFrom, why));
    }
    if (options.photos.empty()) return refuseCommandLine("no photos given (see roughgc --help)");
    return std::nullopt;
}

std::string planBatch(const BatchOptions& options, std::vector<BatchItem>& items, std::vector<std::string>& notes) {
    BatchPlan plan;
    std::string refusal = planRun(options, plan, notes);
    items = std::move(plan.items);
    return refusal;
}

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

namespace {

// A number of bytes, as --memory-limit takes it.
CLI::Validator byteCountCheck() {
    return CLI::Validator(
        [](std::string& input) -> std::string {
            if (byteCount(input)) return "";
            return "must be a number of bytes above 0, with K, M, G or T for powers of 1024, not " +
                   (input.empty() ? std::string("an empty value") : input);
        },
        "");
}

CLI::Validator formatCheck() {
    return CLI::Validator(
        [](std::string& input) -> std::string { return isMapFormat(input) ? "" : "must be bmp or png, not " + input; },
        "");
}

// What the command line's text becomes before it is checked: numbers are
// parsed as double and then rounded once to float, as a C++ caller writing
// 1.7f gets them, and the memory limit is read with its unit.
struct RawValues {
    double dim, tolerance;
    std::string memoryLimit;
};

// The option of the table, bound to where its value goes.
CLI::Option* addOption(CLI::App& app, const RunOption& o, BatchOptions& options, RawValues& raw) {
    using O = RunOption;
    switch (o.id) {
        case O::Photos: return app.add_option(o.names, options.photos, o.help);
        case O::OutDir: return app.add_option(o.names, options.outDir, o.help);
        case O::FilesFrom: return app.add_option(o.names, options.filesFrom, o.help);
        case O::Null: return app.add_flag(o.names, options.nullSeparated, o.help)->needs("--files-from");
        case O::Recursive: return app.add_flag(o.names, options.recursive, o.help);
        case O::SkipExisting: return app.add_flag(o.names, options.skipExisting, o.help);
        case O::Report: return app.add_option(o.names, options.report, o.help);
        case O::Dimension: return app.add_option(o.names, raw.dim, o.help);
        case O::Tolerance: return app.add_option(o.names, raw.tolerance, o.help);
        case O::Window: return app.add_option(o.names, options.window, o.help);
        case O::Jobs: return app.add_option(o.names, options.jobs, o.help);
        case O::MemoryLimit: return app.add_option(o.names, raw.memoryLimit, o.help)->check(byteCountCheck());
        case O::Format: return app.add_option(o.names, options.format, o.help)->check(formatCheck());
        case O::Overlay: return app.add_option(o.names, options.overlayDir, o.help);
        case O::Quiet: return app.add_flag(o.names, options.quiet, o.help);
    }
    return nullptr;
}

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
    RawValues raw{options.dim, options.tolerance, {}};
    for (const RunOption& o : runOptions()) {
        CLI::Option* option = addOption(app, o, options, raw);
        if (!o.value.empty()) option->type_name(o.value);
        if (o.required) option->required();
        if (o.range != nullptr) option->check(numberFrom(*o.range));
    }

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
    options.memoryLimit = raw.memoryLimit.empty() ? MemoryBudget::defaultLimit() : *byteCount(raw.memoryLimit);
    options.dim = static_cast<float>(raw.dim);
    options.tolerance = static_cast<float>(raw.tolerance);
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


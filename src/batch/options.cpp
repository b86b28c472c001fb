#include "batch/options.h"

#include <sys/stat.h>

#include <utility>

const std::vector<RunOption>& runOptions() {
    static const std::vector<RunOption> options = [] {
        const roughgc::Params defaults;
        // A number's help: what it is, its range and its default.
        auto number = [](const std::string& what, const NumberRange& range, const std::string& value) {
            return what + ", " + rangeText(range) + " (default " + value + ")";
        };
        const std::string dim = defaultText(defaults.dimension), tolerance = defaultText(defaults.tolerance),
                          window = std::to_string(defaults.window);
        using O = RunOption;
        return std::vector<RunOption>{
            {O::Photos, "photos", "PHOTO...",
             "Photos to process, and folders of photos. A folder's photos are its files whose extension is a photo "
             "format's (jpg, jpeg, png, tif, tiff, webp, bmp and the others roughgc reads, in any case), taken by "
             "name; hidden files, and files of other extensions, are left alone"},
            {O::OutDir, "-o,--out-dir", "DIR", "Folder for the maps, created if missing", "", true},
            {O::FilesFrom, "-f,--files-from", "FILE",
             "Also process the photos listed in FILE, one a line ('-': standard input)"},
            {O::Null, "-0,--null", "", "Names in --files-from end with NUL bytes, not newlines"},
            {O::Recursive, "-R,--recursive", "",
             "Also the photos of the folders' subfolders, their tree kept under DIR: photos/a/x.jpg gives "
             "DIR/a/x.bmp for the folder photos"},
            {O::SkipExisting, "-s,--skip-existing", "", "Skip photos whose map exists already (to resume a run)"},
            {O::Report, "-r,--report", "FILE.csv",
             "Write a CSV row per photo, as it finishes: outcome, size, the search's figures and whether it "
             "converged. A new report replaces an earlier one of roughgc's; with --skip-existing it goes on after "
             "its rows and ends with one row per photo. Never another file, a photo, a map or the list"},
            {O::Dimension, "--dim", "D", number("Target box-counting dimension of the maps", kDimensionRange, dim),
             dim, false, false, &kDimensionRange},
            {O::Tolerance, "--tolerance", "E", number("Tolerance on the dimension", kToleranceRange, tolerance),
             tolerance, false, false, &kToleranceRange},
            {O::Window, "--window", "K", number("Metric window in averaged pixels", kWindowRange, window), window,
             false, false, &kWindowRange},
            {O::Jobs, "-j,--jobs", "N", "Threads that decode, extract and write photos (default: the number of cores)",
             "", false, true, &kJobsRange},
            {O::MemoryLimit, "--memory-limit", "BYTES",
             "Memory for the photos in flight and the extractors' buffers, in bytes, with K, M, G or T for powers "
             "of 1024 (default: a quarter of the machine's memory); a larger photo runs alone",
             "", false, true},
            {O::Format, "--format", "bmp|png",
             "Map format: bmp, 8-bit grey as `roughgc PHOTO` writes it (the default), or png, 1-bit grey: the same "
             "pixels, lossless, in a several times smaller file",
             "bmp"},
            {O::Overlay, "--overlay", "DIR",
             "Also write each map drawn over its photo, as DIR/NAME.jpg: the photo at the map's scale, the map's "
             "black pixels in red where they lie"},
            {O::Quiet, "-q,--quiet", "", "No progress display", "", false, true},
        };
    }();
    return options;
}

namespace {

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

std::string planBatch(const BatchOptions& options, std::vector<BatchItem>& items, std::vector<std::string>& notes) {
    BatchPlan plan;
    std::string refusal = planRun(options, plan, notes);
    items = std::move(plan.items);
    return refusal;
}

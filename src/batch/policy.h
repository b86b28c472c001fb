// How a run of many photos is named, checked, listed and reported, decided
// once: batch mode and roughgc.dask (through the Python module) both use it,
// and roughgc.dask adds only the scheduling of its tasks. The report's
// format and file are report.h's.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <roughgc/roughgc.hpp>
#include <string>
#include <vector>

#include "batch/job.h"
#include "batch/report.h"

// The exit statuses of a run of many photos, batch mode's and
// `python3 -m roughgc.dask`'s. Interrupted by a signal, a run ends with 128
// and the signal's number.
inline constexpr int kExitAllWritten = 0;        // every map written (or skipped)
inline constexpr int kExitDeviceFailed = 1;      // a GPU call failed: the run ended there, report and summary made
inline constexpr int kExitSomePhotosFailed = 2;  // a photo gave no map, or the report could not be written
inline constexpr int kExitBadCommandLine = 255;  // nothing done: the command line cannot work

// The run's last line on standard output, without its newline: "3 maps
// written, 1 failed, 2 skipped, 4 not started, 1.2 s", the skipped and the
// not started only where there are any.
std::string summaryLine(size_t written, size_t failed, size_t skipped, size_t notStarted, double seconds);

// The photos of a run paired with their maps, and the canonical paths that
// the report is checked against.
struct BatchPlan {
    std::vector<BatchItem> items;
    std::map<std::string, size_t> byMap;    // canonical map path -> item
    std::map<std::string, size_t> byPhoto;  // canonical photo path -> its first item
};

// A photo of the run and the name of its map under the output folder,
// without its extension.
struct PhotoName {
    std::string path;
    std::string map;
};

// Whether a file met in a folder is taken as a photo: its extension is one
// of a format that roughgc reads (jpg, jpeg, jpe, jfif, png, bmp, dib, tif,
// tiff, webp, jp2, pbm, pgm, ppm, pnm, pxm, pfm, sr, ras, exr, hdr, pic), in
// any case. Named on its own, a file is a photo whatever its name.
bool isPhotoName(const std::string& name);

// The photos that `names` stand for, in order. A name that is not a folder
// is one photo, its map named after its file name without the extension. A
// folder stands for its photos (isPhotoName; hidden files, whose names
// start with a dot, left out as the shell's * leaves them), by name in byte
// order, and with `recursive` for those of its subfolders too, in their
// place in that order; each map is named after the photo's path below the
// folder named, so that the tree is kept. A folder is walked once, however
// many links lead to it: a loop of links ends there. Returns the line that
// refuses the run, empty if none: a folder that cannot be read. `notes`
// gets a line for each folder named that holds no photo.
std::string findPhotos(const std::vector<std::string>& names, bool recursive, std::vector<PhotoName>& photos,
                       std::vector<std::string>& notes);

// Pairs every photo with its map, OUT_DIR/NAME.bmp (or NAME.png with the
// format "png"), NAME being the photo's map name (see PhotoName). Returns
// the one line (without newline) that refuses the run, empty if there is
// none: two photos would write the same map, or a map would overwrite a
// photo of the run. With an `overlayDir`, each photo also gets its overlay
// (see roughgc::overlay), OVERLAY_DIR/NAME.jpg, which may not overwrite a
// photo of the run either.
std::string planNamedMaps(const std::vector<PhotoName>& photos, const std::string& outDir, BatchPlan& plan,
                          const std::string& format = "bmp", const std::string& overlayDir = "");
// planNamedMaps for photos named on their own: NAME is the file name
// without its last extension.
std::string planMaps(const std::vector<std::string>& photos, const std::string& outDir, BatchPlan& plan,
                     const std::string& format = "bmp");

// The formats of batch mode's maps: "bmp", the 8-bit grey BMP that the
// single-photo tool writes, and "png", a 1-bit grey PNG of the same pixels.
inline bool isMapFormat(const std::string& format) { return format == "bmp" || format == "png"; }

// Why the run of `plan` may not write its report to `report`, empty if it
// may: it would replace a photo, a map, the list `list` (none if empty or
// "-") or anything that is not a report of roughgc's, or its folder is
// missing and is not `outDir` (made before the report is opened). `option`
// names the report where the line asks for another name ("--report").
std::string reportProblem(const BatchPlan& plan, const std::string& report, const std::string& outDir,
                          const std::string& list, const std::string& option);

// Reads the names listed in `path` (standard input for "-"), one a line or,
// with `nullSeparated`, ended by NUL bytes; empty entries are skipped, and a
// carriage return before a newline goes with it. Returns why the list
// cannot be read, empty if it was; `errorNumber` becomes errno's value where
// the file could not be opened, 0 otherwise.
std::string readList(const std::string& path, bool nullSeparated, std::vector<std::string>& names,
                     int& errorNumber);

// The line that refuses a list, named `shown`, for `why`.
std::string listRefusal(const std::string& shown, const std::string& why);

// A number that the run takes: from low to high, a whole one if `whole`.
struct NumberRange {
    double low, high;
    bool whole;
};
inline constexpr NumberRange kWindowRange{1, static_cast<double>(roughgc::kMaxWindow), true};
inline constexpr NumberRange kDimensionRange{0, 2, false};
inline constexpr NumberRange kToleranceRange{0, 2, false};
inline constexpr NumberRange kJobsRange{1, 1024, true};

// The value of `text` if it is a number of `range` (written as strtod reads
// it, without spaces around), nothing otherwise.
std::optional<double> numberIn(const std::string& text, const NumberRange& range);

// Why `shown` (a value as it was given) is not a number of `range`:
// "must be a whole number from 1 to 15438, not 7.5".
std::string numberRefusal(const std::string& shown, const NumberRange& range);

// The range as help texts name it: "0 to 2".
std::string rangeText(const NumberRange& range);

// A default as help texts show it: the shortest text that reads back as the
// same float ("1.7" for 1.7f).
std::string defaultText(float value);

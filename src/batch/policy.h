// How a run of many photos is named, checked, listed and reported, decided
// once: batch mode and roughgc.dask (through the Python module) both use it,
// and roughgc.dask adds only the scheduling of its tasks. The report's
// format and file are report.h's.
#pragma once

#include <cstddef>
#include <exception>
#include <map>
#include <optional>
#include <roughgc/roughgc.hpp>
#include <string>
#include <vector>

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

// One photo of the run and the map it is to give; with --overlay, the
// picture of the map over the photo too.
struct BatchItem {
    std::string photo;
    std::string map;
    std::string overlay{};  // empty: none
};

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

// Writes a map planned by planMaps, in the format its name ends with: a
// ".png" map as a 1-bit grey PNG, any other as roughgc::writeMap writes it.
// The folders of a kept tree are made first, where missing. Throws
// roughgc::WriteError when it cannot be written.
void writeBatchMap(const std::string& path, const cv::Mat& map);

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

// A line of the library's without the "(!) " that marks the tool's own
// messages.
std::string withoutMarker(std::string line);

// How a photo whose extraction threw `thrown` is reported: its row's error,
// and whether the device is lost (a failed GPU call other than one short of
// memory). `unread`: the photo could not be read at all (it has no size).
struct ExtractionFailure {
    std::string error;
    bool deviceLost = false;
};
// `photo` is the path of the photo, where an unread one is looked at for
// the system's reason (see unreadable).
ExtractionFailure extractionFailure(const std::exception_ptr& thrown, bool unread, const std::string& photo);

// The error of a photo that could not be read: "Error reading image", with
// the system's reason where the path itself has one, as "Error reading
// image (No such file or directory)", "(Permission denied)" or "(Is a
// directory)". The path is looked at, never opened (a pipe's writer would
// go on).
std::string unreadable(const std::string& photo);

// The error of a map that could not be written to `map` for `reason`.
std::string writeFailure(const std::string& map, const std::string& reason);

// Writes the overlay of `result` over `photo` to `path` (planned by
// planNamedMaps) as a JPEG of quality 90, the folders of a kept tree made
// first. With `atMapScale`, `photo` is the photo at its map's scale, as
// extractFile gives it, and is painted over in place. Throws
// roughgc::WriteError when it cannot be written.
void writeBatchOverlay(const std::string& path, cv::Mat photo, const roughgc::Result& result, bool atMapScale);

// The error of a photo whose every worker died while it was on it, the
// worker's memory limit being the usual cause (roughgc.dask).
inline constexpr const char* kWorkerDied = "out of memory: its worker died";

// The search's figures of an extracted photo, as its row holds them.
ReportRow::Figures figuresOf(const roughgc::Result& result, double milliseconds);

// What batch mode says of a photo whose search ended short of its target,
// after "PHOTO: ": "did not converge: dimension 1.412 after 12 passes,
// target 1.7 within 0.1 (its map is written)". Its map and its outcome
// stand; only the user is told.
std::string notConverged(const ReportRow::Figures& figures, const roughgc::Params& params);

// Where a name given in `folder` is, for a process that may work in another
// folder: `name` itself if it is absolute or `folder` is empty.
std::string placedIn(const std::string& folder, const std::string& name);

// Whether a map is there already, as --skip-existing sees it: a regular file,
// or a link to one.
bool mapExists(const std::string& map);

// One photo read, extracted by `extractor` and written, its names taken in
// `folder` (see placedIn), as a worker of roughgc.dask makes it: its row,
// failed with the photo's own failure if there is one. The figures stay
// when only the writing failed.
ReportRow mapPhoto(roughgc::Extractor& extractor, const BatchItem& item, const std::string& folder,
                   const roughgc::Params& params);

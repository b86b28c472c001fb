// One photo of a run of many: read, extracted, written, and the report row
// that says how it went, each failure worded here once. Batch mode's
// pipeline takes the steps as stages of their own; a worker of roughgc.dask
// takes them in one go (mapPhoto).
#pragma once

#include <exception>
#include <opencv2/core.hpp>
#include <roughgc/roughgc.hpp>
#include <string>

#include "batch/report.h"

// One photo of the run and the map it is to give; with --overlay, the
// picture of the map over the photo too.
struct BatchItem {
    std::string photo;
    std::string map;
    std::string overlay{};  // empty: none
};

// The error of a photo whose every worker died while it was on it, the
// worker's memory limit being the usual cause (roughgc.dask).
inline constexpr const char* kWorkerDied = "out of memory: its worker died";

// The error of a photo that could not be read: "Error reading image", with
// the system's reason where the path itself has one, as "Error reading
// image (No such file or directory)", "(Permission denied)" or "(Is a
// directory)". The path is looked at, never opened (a pipe's writer would
// go on).
std::string unreadable(const std::string& photo);

// A line of the library's without the "(!) " that marks the tool's own
// messages.
std::string withoutMarker(std::string line);

// How a photo whose extraction threw `thrown` is reported: its row's error,
// and whether the device is lost (a failed GPU call other than one short of
// memory). `unread`: the photo could not be read at all (it has no size);
// `photo` is its path, looked at for the system's reason (see unreadable).
struct ExtractionFailure {
    std::string error;
    bool deviceLost = false;
};
ExtractionFailure extractionFailure(const std::exception_ptr& thrown, bool unread, const std::string& photo);

// The error of a map (or overlay) that could not be written to `map` for
// `reason`.
std::string writeFailure(const std::string& map, const std::string& reason);

// Writes a map planned by planMaps, in the format its name ends with: a
// ".png" map as a 1-bit grey PNG, any other as roughgc::writeMap writes it.
// The folders of a kept tree are made first, where missing. Throws
// roughgc::WriteError when it cannot be written.
void writeBatchMap(const std::string& path, const cv::Mat& map);

// Writes the overlay of `result` over `photo` to `path` (planned by
// planNamedMaps) as a JPEG of quality 90, the folders of a kept tree made
// first. With `atMapScale`, `photo` is the photo at its map's scale, as
// extractFile gives it, and is painted over in place. Throws
// roughgc::WriteError when it cannot be written.
void writeBatchOverlay(const std::string& path, cv::Mat photo, const roughgc::Result& result, bool atMapScale);

// The search's figures of an extracted photo, as its row holds them.
ReportRow::Figures figuresOf(const roughgc::Result& result, double milliseconds);

// What batch mode says of a photo whose search ended short of its target,
// after "PHOTO: ": "did not converge: dimension 1.412 after 12 passes,
// target 1.7 within 0.1 (its map is written)". Its map and its outcome
// stand; only the user is told.
std::string notConverged(const ReportRow::Figures& figures, const roughgc::Params& params);

// What the user is told of the photo of `row` on standard error, after
// "PHOTO: ": its error if it failed, notConverged if its search ended short
// of its target; empty if nothing.
std::string photoNote(const ReportRow& row, const roughgc::Params& params);

// Where a name given in `folder` is, for a process that may work in another
// folder: `name` itself if it is absolute or `folder` is empty.
std::string placedIn(const std::string& folder, const std::string& name);

// Whether a map is there already, as --skip-existing sees it: a regular file,
// or a link to one.
bool mapExists(const std::string& map);

// A photo on its way. Each step does nothing once the photo has failed: its
// first failure is the one its row keeps. The figures stay when only the
// writing failed.
class PhotoJob {
public:
    // The photo and map of `item`, their names taken in `folder` (see
    // placedIn); the row names them as the item does.
    explicit PhotoJob(const BatchItem& item, const std::string& folder = "");

    // The photo read by `extractor`, which keeps the file's bytes and pixels
    // from one photo to the next (and streams a JPEG into its first stage),
    // and extracted; with an overlay planned, the photo at its map's scale
    // comes along.
    void extractFile(roughgc::Extractor& extractor, const roughgc::Params& params);
    // `photo`, decoded ahead, extracted; held (not copied) for the overlay
    // until write() or release().
    void extract(roughgc::Extractor& extractor, const cv::Mat& photo, const roughgc::Params& params);
    // The map written and, where one is planned, the overlay; the pixels
    // are let go.
    void write();

    // The photo fails with `thrown`, which an extraction threw (see
    // extractionFailure); a lost device is marked.
    void extractionFailed(const std::exception_ptr& thrown, bool unread);
    // The photo fails with `error` ("out of memory" where even its text
    // cannot be copied).
    void fail(const std::string& error) noexcept;
    // Its map is there already: the photo is skipped.
    void skip() { row.outcome = kSkipped; }
    // The map, the photo's pixels and its picture let go.
    void release();

    bool failed() const { return row.outcome == kFailed; }
    bool skipped() const { return row.outcome == kSkipped; }
    bool deviceLost() const { return deviceLost_; }
    const std::string& photoPath() const { return photo_; }

    ReportRow row;  // outcome kWritten until a step says otherwise

private:
    void extracted(roughgc::Result result, double milliseconds);

    const BatchItem& item_;
    std::string photo_;
    std::string folder_;
    roughgc::Result result_;
    cv::Mat picture_;  // for the overlay: decoded ahead, or at the map's scale
    bool atMapScale_ = false;
    bool deviceLost_ = false;
};

// One photo read, extracted by `extractor` and written, its names taken in
// `folder`, as a worker of roughgc.dask makes it: its row (see PhotoJob).
ReportRow mapPhoto(roughgc::Extractor& extractor, const BatchItem& item, const std::string& folder,
                   const roughgc::Params& params);

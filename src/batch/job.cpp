#include "batch/job.h"

#include "batch/policy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <utility>

namespace fs = std::filesystem;

std::string withoutMarker(std::string line) { return line.rfind("(!) ", 0) == 0 ? line.substr(4) : line; }

std::string unreadable(const std::string& photo) {
    std::string line = "Error reading image";
    struct stat st;
    int number = 0;
    if (stat(photo.c_str(), &st) != 0)
        number = errno;
    else if (S_ISDIR(st.st_mode))
        number = EISDIR;
    else if (access(photo.c_str(), R_OK) != 0)
        number = errno;
    if (number != 0) line += std::string(" (") + std::strerror(number) + ")";
    return line;
}

ExtractionFailure extractionFailure(const std::exception_ptr& thrown, bool unread, const std::string& photo) {
    try {
        std::rethrow_exception(thrown);
    } catch (const roughgc::InputError& e) {
        // A photo that could not be read has no size.
        return {unread ? unreadable(photo) : withoutMarker(e.what())};
    } catch (const roughgc::DeviceError& e) {
        // Short of memory, a smaller photo may still work; otherwise the
        // device is gone.
        if (e.outOfMemory()) return {e.reason()};
        return {e.what(), true};
    } catch (const std::bad_alloc&) {
    } catch (const cv::Exception&) {
        // A matrix OpenCV could not allocate.
    } catch (const std::exception& e) {
        return {e.what()};
    } catch (...) {
        return {"unknown failure"};
    }
    return {"out of memory"};
}

namespace {

// A kept tree's folders; what stands in the way is left for the write to
// report.
void makeFolderOf(const std::string& path) {
    if (const fs::path folder = fs::path(path).parent_path(); !folder.empty()) {
        std::error_code ec;
        if (!fs::is_directory(folder, ec)) fs::create_directories(folder, ec);
    }
}

}  // namespace

void writeBatchOverlay(const std::string& path, cv::Mat photo, const roughgc::Result& result, bool atMapScale) {
    makeFolderOf(path);
    cv::Mat picture = photo;
    if (atMapScale)
        roughgc::paintContours(picture, result);
    else
        roughgc::overlay(photo, result, picture);
    // A picture to look at, made again from the photo at will: written
    // whole, but not flushed to the disk one by one, as maps are.
    roughgc::writeJpeg(path, picture, 90, false);
}

void writeBatchMap(const std::string& path, const cv::Mat& map) {
    makeFolderOf(path);
    if (fs::path(path).extension() != ".png") return roughgc::writeMap(path, map);
    roughgc::writeBilevelMap(path, map);
}

std::string writeFailure(const std::string& map, const std::string& reason) {
    return "Error writing " + map + ": " + reason;
}

ReportRow::Figures figuresOf(const roughgc::Result& r, double milliseconds) {
    return {r.quantileIndex, r.threshold, r.coarseBoxes, r.fineBoxes, r.dimension, r.passes, milliseconds, r.converged};
}

std::string notConverged(const ReportRow::Figures& f, const roughgc::Params& params) {
    char line[160];
    std::snprintf(line, sizeof line, "did not converge: dimension %.4g after %d pass%s, target %s within %s (its map is written)",
                  static_cast<double>(f.dimension), f.passes, f.passes == 1 ? "" : "es", defaultText(params.dimension).c_str(),
                  defaultText(params.tolerance).c_str());
    return line;
}

std::string placedIn(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : (fs::path(folder) / name).string();
}

bool mapExists(const std::string& map) {
    struct stat st;
    return stat(map.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string photoNote(const ReportRow& row, const roughgc::Params& params) {
    if (row.outcome == kFailed) return row.error;
    if (row.figures && !row.figures->converged) return notConverged(*row.figures, params);
    return "";
}

PhotoJob::PhotoJob(const BatchItem& item, const std::string& folder)
    : row{item.photo, item.map, kWritten, 0, 0, {}, {}},
      item_(item),
      photo_(placedIn(folder, item.photo)),
      folder_(folder) {}

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

void PhotoJob::extractFile(roughgc::Extractor& extractor, const roughgc::Params& params) {
    if (row.outcome != kWritten) return;
    const auto start = Clock::now();
    roughgc::Result result;
    try {
        atMapScale_ = !item_.overlay.empty();
        result = atMapScale_ ? extractor.extractFile(photo_, params, picture_) : extractor.extractFile(photo_, params);
    } catch (...) {
        row.width = extractor.photoSize().width;
        row.height = extractor.photoSize().height;
        return extractionFailed(std::current_exception(), extractor.photoSize().empty());
    }
    row.width = extractor.photoSize().width;
    row.height = extractor.photoSize().height;
    extracted(std::move(result), millisecondsSince(start));
}

void PhotoJob::extract(roughgc::Extractor& extractor, const cv::Mat& photo, const roughgc::Params& params) {
    if (row.outcome != kWritten) return;
    row.width = photo.cols;
    row.height = photo.rows;
    const auto start = Clock::now();
    try {
        extracted(extractor.extract(photo, params), millisecondsSince(start));
    } catch (...) {
        return extractionFailed(std::current_exception(), false);
    }
    if (!item_.overlay.empty()) picture_ = photo;
}

void PhotoJob::extracted(roughgc::Result result, double milliseconds) {
    row.figures = figuresOf(result, milliseconds);
    result_ = std::move(result);
}

void PhotoJob::write() {
    if (row.outcome != kWritten || !row.figures) return release();
    const std::string* writing = &item_.map;
    try {
        writeBatchMap(placedIn(folder_, item_.map), result_.map);
        if (!item_.overlay.empty()) {
            writing = &item_.overlay;
            writeBatchOverlay(placedIn(folder_, item_.overlay), picture_, result_, atMapScale_);
        }
    } catch (const roughgc::WriteError& e) {
        fail(writeFailure(*writing, e.reason()));
    } catch (const std::bad_alloc&) {
        fail(writeFailure(*writing, "out of memory"));
    }
    release();
}

void PhotoJob::extractionFailed(const std::exception_ptr& thrown, bool unread) {
    const ExtractionFailure failure = extractionFailure(thrown, unread, photo_);
    deviceLost_ = deviceLost_ || failure.deviceLost;
    fail(failure.error);
}

void PhotoJob::fail(const std::string& error) noexcept {
    row.outcome = kFailed;
    try {
        row.error = error;
    } catch (const std::bad_alloc&) {
        row.error = "out of memory";  // short enough to need no memory
    }
}

void PhotoJob::release() {
    result_.map.release();
    picture_.release();
}

ReportRow mapPhoto(roughgc::Extractor& extractor, const BatchItem& item, const std::string& folder,
                   const roughgc::Params& params) {
    PhotoJob job(item, folder);
    job.extractFile(extractor, params);
    job.write();
    return job.row;
}

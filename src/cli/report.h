// Batch mode's CSV report: one row per photo, appended and flushed to the
// disk as the photo finishes, so that an abnormal end keeps the row of every
// map that was written. roughgc.dask writes its report with it too.
#pragma once

#include <sys/types.h>

#include <array>
#include <optional>
#include <string>

// The report's fields, in the order of its columns.
extern const std::array<const char*, 13> kReportFields;

// The report's first line: its fields, comma-separated. A file whose first
// line is this is a report that roughgc wrote, and may be replaced or
// continued.
const std::string& reportHeader();

// Why `path` may not receive the report, or empty if it may: it exists and
// is a directory, not a regular file, or a file whose first line is not the
// header. `option` names the report where the line asks for another name
// ("--report").
std::string reportPathProblem(const std::string& path, const std::string& option);

// A photo's outcome, as its row words it.
inline constexpr const char* kWritten = "written";
inline constexpr const char* kSkipped = "skipped";
inline constexpr const char* kFailed = "failed";

// What one photo gave, as a report row holds it.
struct ReportRow {
    std::string photo, map, outcome;   // outcome: kWritten, kSkipped or kFailed
    int width = 0, height = 0;         // 0: not decoded
    struct Figures {
        int quantileIndex;
        float threshold;
        int coarseBoxes, fineBoxes;
        float dimension;
        int passes;
        double milliseconds;
    };
    std::optional<Figures> figures;    // only for an extracted photo
    std::string error;
};

// The CSV line of `row`, with its newline; fields quoted where they must be.
std::string csvLine(const ReportRow& row);

class ReportFile {
public:
    ReportFile() = default;
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // Opens `path` for the rows of this run: a new report with its header,
    // or, with `continuing`, an earlier report of roughgc's whose rows are
    // kept and followed by this run's. Returns the reason it cannot, or
    // empty.
    std::string open(const std::string& path, bool continuing);
    bool isOpen() const { return fd_ >= 0; }

    // Appends the row and waits until it is on the disk. The first failure
    // is kept (failure()) and later rows are not written.
    void append(const ReportRow& row);
    const std::string& failure() const { return failure_; }
    // errno's value for the reason that open() returned or for failure(),
    // 0 if it had none.
    int errorNumber() const { return errorNumber_; }

private:
    bool write(const std::string& text);
    // Where the last whole row ends: after the file's last newline.
    off_t wholeRowsEnd() const;

    int fd_ = -1;
    std::string path_, failure_;
    int errorNumber_ = 0;
};

// Batch mode's CSV report: one row per photo, appended and flushed to the
// disk as the photo finishes, so that an abnormal end keeps the row of every
// map that was written. roughgc.dask writes its report with it too.
#pragma once

#include <sys/types.h>

#include <array>
#include <optional>
#include <string>

// The report's fields, in the order of its columns. "converged" came last,
// after the others: a script that reads the columns by their place reads
// what it did before.
extern const std::array<const char*, 14> kReportFields;

// The report's first line: its fields, comma-separated.
const std::string& reportHeader();

// Whether `line` is the first line of a report that roughgc wrote, which
// may be replaced or continued: the header, or the header of the reports
// written before "converged" was added (a continued one gets the column).
bool isReportHeader(const std::string& line);

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
        bool converged;  // the dimension came within the tolerance of its target
    };
    std::optional<Figures> figures;    // only for an extracted photo
    std::string error;
};

// The CSV line of `row`, with its newline; fields quoted where they must be.
std::string csvLine(const ReportRow& row);

// The rows of a report (its text after the header), one per photo: the
// last row of each photo, in the place of its first. A photo skipped for
// its existing map keeps the row that says it was written. Rows of the
// header before "converged" (`withoutConverged`) get that column, empty.
std::string oneRowEach(const std::string& rows, bool withoutConverged);

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

    // Ends the report. A continued one is then rewritten with one row per
    // photo (see oneRowEach), whole or not at all: until then, and if the
    // run ends before, it holds every earlier row and this run's after
    // them. A failure to rewrite it is kept as failure(). The destructor
    // calls it.
    void close();

    // Appends the row and waits until it is on the disk. The first failure
    // is kept (failure()) and later rows are not written.
    void append(const ReportRow& row);
    const std::string& failure() const { return failure_; }
    // errno's value for the reason that open() returned or for failure(),
    // 0 if it had none.
    int errorNumber() const { return errorNumber_; }

private:
    bool write(const std::string& text);
    bool rewrite();
    // Where the last whole row ends: after the file's last newline.
    off_t wholeRowsEnd() const;

    int fd_ = -1;
    bool continued_ = false;
    std::string path_, failure_;
    int errorNumber_ = 0;
};

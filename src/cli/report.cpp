#include "cli/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

const std::array<const char*, 13> kReportFields = {
    "photo",      "map",    "outcome",      "width", "height", "quantile_index", "threshold", "coarse_boxes",
    "fine_boxes", "dimension", "passes", "milliseconds", "error"};

const std::string& reportHeader() {
    static const std::string header = [] {
        std::string line;
        for (const char* field : kReportFields) {
            if (!line.empty()) line += ',';
            line += field;
        }
        return line;
    }();
    return header;
}

namespace {

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// Shortest text that reads back as the same float.
std::string exactFloat(float v) {
    char s[32];
    std::snprintf(s, sizeof s, "%.9g", static_cast<double>(v));
    return s;
}

}  // namespace

std::string reportPathProblem(const std::string& path, const std::string& option) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "" : "cannot write the report " + path + ": " + std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "the report " + path + " is a directory";
    if (!S_ISREG(st.st_mode)) return "the report " + path + " is not a regular file";
    std::ifstream in(path, std::ios::binary);
    std::string first;
    std::getline(in, first);
    if (first != reportHeader())
        return path + " is not a report of roughgc's, and it is not replaced (name another " + option + ")";
    return "";
}

std::string csvLine(const ReportRow& row) {
    // Appended field by field: GCC 12 warns wrongly on "," + std::string.
    std::string line = csvField(row.photo);
    auto field = [&line](const std::string& value) {
        line += ',';
        line += value;
    };
    field(csvField(row.map));
    field(row.outcome);
    field(row.width != 0 ? std::to_string(row.width) : "");
    field(row.width != 0 ? std::to_string(row.height) : "");
    if (row.figures) {
        const ReportRow::Figures& f = *row.figures;
        char ms[32];
        std::snprintf(ms, sizeof ms, "%.3f", f.milliseconds);
        for (const std::string& value : {std::to_string(f.quantileIndex), exactFloat(f.threshold),
                                         std::to_string(f.coarseBoxes), std::to_string(f.fineBoxes),
                                         exactFloat(f.dimension), std::to_string(f.passes), std::string(ms)})
            field(value);
    } else {
        line += ",,,,,,,";
    }
    field(csvField(row.error));
    return line + "\n";
}

ReportFile::~ReportFile() {
    if (fd_ >= 0) close(fd_);
}

std::string ReportFile::open(const std::string& path, bool continuing) {
    path_ = path;
    struct stat st;
    const bool exists = stat(path.c_str(), &st) == 0 && st.st_size > 0;
    const int flags = O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | (continuing && exists ? 0 : O_TRUNC);
    fd_ = ::open(path.c_str(), flags, 0666);
    if (fd_ < 0) {
        errorNumber_ = errno;
        return std::strerror(errorNumber_);
    }
    if (continuing && exists) {
        // A row cut off by an earlier run (a full disk, a crash inside a
        // write) goes: rows are whole or absent, and this run's start on a
        // line of their own.
        if (const off_t whole = wholeRowsEnd(); whole < 0 || ftruncate(fd_, whole) != 0) {
            errorNumber_ = errno;
            return std::strerror(errorNumber_);
        }
        return "";
    }
    if (!write(reportHeader() + "\n")) return failure_;
    return "";
}

off_t ReportFile::wholeRowsEnd() const {
    const off_t size = lseek(fd_, 0, SEEK_END);
    if (size < 0) return -1;
    char tail[4096];
    for (off_t end = size; end > 0;) {
        const off_t start = end > static_cast<off_t>(sizeof tail) ? end - static_cast<off_t>(sizeof tail) : 0;
        const ssize_t n = pread(fd_, tail, static_cast<size_t>(end - start), start);
        if (n != end - start) return -1;
        for (ssize_t k = n; k > 0; --k)
            if (tail[k - 1] == '\n') return start + k;
        end = start;
    }
    return 0;
}

void ReportFile::append(const ReportRow& row) {
    if (fd_ >= 0 && failure_.empty()) write(csvLine(row));
}

bool ReportFile::write(const std::string& text) {
    const char* data = text.data();
    size_t left = text.size();
    // What a failed write leaves of the row is cut off again.
    const off_t before = lseek(fd_, 0, SEEK_END);
    while (left > 0) {
        const ssize_t n = ::write(fd_, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            errorNumber_ = n < 0 ? errno : 0;
            failure_ = n < 0 ? std::strerror(errno) : "nothing written";
            if (before >= 0 && ftruncate(fd_, before) != 0) {
                // Nothing more to do: the next run drops the cut row.
            }
            return false;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    // The row reaches the disk before the run goes on: a power cut then
    // keeps it, as it keeps the map it stands for.
    if (fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
        errorNumber_ = errno;
        failure_ = std::strerror(errno);
        return false;
    }
    return true;
}

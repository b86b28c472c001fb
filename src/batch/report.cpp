#include "batch/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <roughgc/roughgc.hpp>
#include <sstream>
#include <string_view>
#include <unordered_map>
#include <vector>


const std::array<const char*, 14> kReportFields = {
    "photo",      "map",       "outcome", "width",        "height", "quantile_index", "threshold",
    "coarse_boxes", "fine_boxes", "dimension", "passes", "milliseconds", "error", "converged"};

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

bool isReportHeader(const std::string& line) {
    static const std::string before = reportHeader().substr(0, reportHeader().rfind(','));
    return line == reportHeader() || line == before;
}

namespace {

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// Nine significant digits, which read back as the same float: not the
// shortest such text (1.7f is written 1.70000005).
std::string exactFloat(float v) {
    char s[32];
    std::snprintf(s, sizeof s, "%.9g", static_cast<double>(v));
    return s;
}

// Where the CSV record that starts at `begin` ends: after its newline, the
// first one outside quotes (a name may hold a newline).
size_t recordEnd(const std::string& text, size_t begin) {
    bool quoted = false;
    for (size_t k = begin; k < text.size(); ++k) {
        if (text[k] == '"')
            quoted = !quoted;
        else if (text[k] == '\n' && !quoted)
            return k + 1;
    }
    return text.size();
}

// The record's fields as written, quotes and all: the photo's name is the
// same text in every row of that photo.
std::vector<std::string_view> fieldsOf(std::string_view record) {
    std::vector<std::string_view> fields;
    bool quoted = false;
    size_t start = 0;
    for (size_t k = 0; k < record.size(); ++k) {
        if (record[k] == '"') {
            quoted = !quoted;
        } else if (!quoted && (record[k] == ',' || record[k] == '\n')) {
            fields.push_back(record.substr(start, k - start));
            start = k + 1;
        }
    }
    if (start < record.size()) fields.push_back(record.substr(start));
    return fields;
}

}  // namespace

std::string oneRowEach(const std::string& rows, bool withoutConverged) {
    struct Row {
        std::string_view text, outcome;
    };
    std::vector<Row> kept;
    std::unordered_map<std::string_view, size_t> place;
    for (size_t begin = 0; begin < rows.size();) {
        const size_t end = recordEnd(rows, begin);
        const std::string_view record(rows.data() + begin, end - begin);
        begin = end;
        const std::vector<std::string_view> fields = fieldsOf(record);
        if (fields.size() < 3) continue;  // not a row of roughgc's
        const Row row{record, fields[2]};
        const auto [it, added] = place.emplace(fields[0], kept.size());
        if (added)
            kept.push_back(row);
        else if (row.outcome != kSkipped || kept[it->second].outcome != kWritten)
            kept[it->second] = row;
    }
    std::string out;
    out.reserve(rows.size());
    for (const Row& row : kept) {
        std::string_view text = row.text;
        if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        out += text;
        if (withoutConverged) out += ',';
        out += '\n';
    }
    return out;
}

std::string reportPathProblem(const std::string& path, const std::string& option) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "" : "cannot write the report " + path + ": " + std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "the report " + path + " is a directory";
    if (!S_ISREG(st.st_mode)) return "the report " + path + " is not a regular file";
    std::ifstream in(path, std::ios::binary);
    std::string first;
    std::getline(in, first);
    if (!isReportHeader(first))
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
    field(row.figures ? (row.figures->converged ? "true" : "false") : "");
    return line + "\n";
}

ReportFile::~ReportFile() { close(); }

void ReportFile::close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    // After a failed write the rows are left as they are: the disk may be
    // full, and the next run drops what was cut.
    if (continued_ && failure_.empty()) rewrite();
}

bool ReportFile::rewrite() {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream content;
    if (in.is_open()) content << in.rdbuf();
    if (!in.is_open() || in.bad()) {
        errorNumber_ = errno;
        failure_ = errorNumber_ != 0 ? std::strerror(errorNumber_) : "read error";
        return false;
    }
    const std::string text = content.str();
    const size_t rowsBegin = recordEnd(text, 0);
    const bool withoutConverged = text.compare(0, rowsBegin, reportHeader() + "\n") != 0;
    const std::string rewritten = reportHeader() + "\n" + oneRowEach(text.substr(rowsBegin), withoutConverged);
    try {
        roughgc::writeFileWhole(path_, rewritten.data(), rewritten.size());
    } catch (const roughgc::WriteError& e) {
        errorNumber_ = e.errorNumber();
        failure_ = e.reason();
        return false;
    }
    return true;
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
        continued_ = true;
        // Rows without "converged" get it before this run's, which have it.
        std::ifstream in(path, std::ios::binary);
        std::string first;
        std::getline(in, first);
        if (first != reportHeader()) {
            ::close(fd_);
            fd_ = -1;
            if (!rewrite()) return failure_;
            fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
            if (fd_ < 0) {
                errorNumber_ = errno;
                return std::strerror(errorNumber_);
            }
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

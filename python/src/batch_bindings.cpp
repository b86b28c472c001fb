// The batch room for roughgc.dask: the run's table of options and
// numbers, its plan, each photo's job and its report. Names are the bytes
// they spell; text that holds them is decoded as Python decodes file names.
#include <pybind11/pybind11.h>

#include <optional>
#include <roughgc/roughgc.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "batch/job.h"
#include "batch/options.h"
#include "batch/policy.h"
#include "batch/report.h"
#include "bindings.h"

namespace roughgc_python {

namespace {

// A record of roughgc.dask: the report's fields, None where a row has no
// value.
py::dict recordOf(const ReportRow& row) {
    const py::object none = py::none();
    const auto& f = row.figures;
    const py::object values[] = {
        textOf(row.photo),
        textOf(row.map),
        py::str(row.outcome),
        row.width != 0 ? py::object(py::int_(row.width)) : none,
        row.width != 0 ? py::object(py::int_(row.height)) : none,
        f ? py::object(py::int_(f->quantileIndex)) : none,
        f ? py::object(py::float_(f->threshold)) : none,
        f ? py::object(py::int_(f->coarseBoxes)) : none,
        f ? py::object(py::int_(f->fineBoxes)) : none,
        f ? py::object(py::float_(f->dimension)) : none,
        f ? py::object(py::int_(f->passes)) : none,
        f ? py::object(py::float_(f->milliseconds)) : none,
        textOf(row.error),
        f ? py::object(py::bool_(f->converged)) : none};
    static_assert(std::size(values) == kReportFields.size());
    py::dict record;
    for (size_t k = 0; k < kReportFields.size(); ++k) record[kReportFields[k]] = values[k];
    return record;
}

// The row of a record (a mapping of the report's fields; a missing field or
// None has no value).
ReportRow rowOf(const py::handle& record) {
    const py::dict values(py::reinterpret_borrow<py::object>(record));
    auto field = [&values](const char* name) -> py::object {
        return values.contains(name) ? py::object(values[name]) : py::none();
    };
    auto text = [&field](const char* name) {
        const py::object value = field(name);
        return value.is_none() ? std::string() : bytesOf(py::str(value));
    };
    auto number = [&field](const char* name) {
        const py::object value = field(name);
        return value.is_none() ? 0 : value.cast<int>();
    };
    ReportRow row{text("photo"), text("map"), text("outcome"), number("width"), number("height"), {}, text("error")};
    if (!field("quantile_index").is_none()) {
        row.figures = ReportRow::Figures{number("quantile_index"), field("threshold").cast<float>(),
                                         number("coarse_boxes"),   number("fine_boxes"),
                                         field("dimension").cast<float>(), number("passes"),
                                         field("milliseconds").cast<double>(),
                                         !field("converged").is_none() && field("converged").cast<bool>()};
    }
    return row;
}

// The report of roughgc.dask, as batch mode writes it.
class PyReportFile {
public:
    PyReportFile(const py::object& path, bool continuing) {
        const std::string p = pathOf(path);
        const std::string why = file_->open(p, continuing);
        if (!why.empty()) raiseOSError(file_->errorNumber(), why, textOf(p));
    }
    void add(const py::handle& record) {
        if (!file_) throw py::value_error("the report is closed");
        const ReportRow row = rowOf(record);
        {
            py::gil_scoped_release released;
            file_->append(row);
        }
        if (!file_->failure().empty()) raiseOSError(file_->errorNumber(), file_->failure());
    }
    // Raises OSError if a continued report could not be rewritten with one
    // row per photo (its rows are all there still).
    void close() {
        if (!file_) return;
        const bool failedBefore = !file_->failure().empty();  // raised by add already
        {
            py::gil_scoped_release released;
            file_->close();
        }
        const std::unique_ptr<ReportFile> closed = std::move(file_);
        if (!failedBefore && !closed->failure().empty()) raiseOSError(closed->errorNumber(), closed->failure());
    }

private:
    std::unique_ptr<ReportFile> file_ = std::make_unique<ReportFile>();
};

py::object numberObject(double value) {
    if (value == static_cast<double>(static_cast<long long>(value))) return py::int_(static_cast<long long>(value));
    return py::float_(value);
}

// The range of a number, as roughgc.dask passes it: low, high, whole.
NumberRange rangeOf(double low, double high, bool whole) { return NumberRange{low, high, whole}; }

}  // namespace

// The report's fields, the exit statuses, the summary line, and the options with their defaults,
// ranges and help, as batch mode has them.
void bindRunTable(py::module_& m) {
    py::tuple fields(kReportFields.size());
    for (size_t k = 0; k < kReportFields.size(); ++k) fields[k] = py::str(kReportFields[k]);
    m.attr("_REPORT_FIELDS") = fields;
    m.attr("_WORKER_DIED") = kWorkerDied;
    py::dict exits;
    exits["all_written"] = kExitAllWritten;
    exits["device_failed"] = kExitDeviceFailed;
    exits["some_photos_failed"] = kExitSomePhotosFailed;
    exits["bad_command_line"] = kExitBadCommandLine;
    m.attr("_EXIT") = exits;
    m.def("_summary_line", &summaryLine, py::arg("written"), py::arg("failed"), py::arg("skipped"),
          py::arg("not_started"), py::arg("seconds"), "The run's last line, as batch mode prints it.");

    // Python's float of a default's shortest text, shown as that text.
    const roughgc::Params defaults;
    py::dict defaultValues;
    defaultValues["window"] = defaults.window;
    defaultValues["dimension"] = py::float_(std::stod(defaultText(defaults.dimension)));
    defaultValues["tolerance"] = py::float_(std::stod(defaultText(defaults.tolerance)));
    m.attr("_DEFAULTS") = defaultValues;

    py::dict ranges;
    const std::pair<const char*, NumberRange> named[] = {
        {"window", kWindowRange}, {"dimension", kDimensionRange}, {"tolerance", kToleranceRange}, {"jobs", kJobsRange}};
    for (const auto& [name, range] : named)
        ranges[name] = py::make_tuple(numberObject(range.low), numberObject(range.high), range.whole);
    m.attr("_RANGES") = ranges;

    // The run's options as batch mode offers them, for roughgc.dask's
    // command line: names, value name ("" for a flag), help, default (None:
    // none), required, batch mode's alone, and range (None: not a number).
    py::list options;
    for (const RunOption& o : runOptions()) {
        py::list names;
        std::istringstream split(o.names);
        for (std::string name; std::getline(split, name, ',');) names.append(name);
        options.append(py::make_tuple(names, o.value, o.help,
                                      o.defaultValue.empty() ? py::object(py::none()) : py::str(o.defaultValue),
                                      o.required, o.batchOnly,
                                      o.range == nullptr ? py::object(py::none())
                                                         : py::make_tuple(numberObject(o.range->low),
                                                                          numberObject(o.range->high), o.range->whole)));
    }
    m.attr("_OPTIONS") = options;

    m.def(
        "_number",
        [](const py::object& text, double low, double high, bool whole) -> py::object {
            const std::string t = bytesOf(text);
            const std::optional<double> value = numberIn(t, rangeOf(low, high, whole));
            if (!value) raiseText(PyExc_ValueError, numberRefusal(t, rangeOf(low, high, whole)));
            return whole ? py::object(py::int_(static_cast<long long>(*value))) : py::object(py::float_(*value));
        },
        py::arg("text"), py::arg("low"), py::arg("high"), py::arg("whole"),
        "The number that text writes, if it is one from low to high (whole if whole), as batch mode reads\n"
        "its options; raises ValueError saying what it must be otherwise.");
    m.def(
        "_number_refusal",
        [](const py::object& shown, double low, double high, bool whole) {
            return textOf(numberRefusal(bytesOf(shown), rangeOf(low, high, whole)));
        },
        py::arg("shown"), py::arg("low"), py::arg("high"), py::arg("whole"),
        "What a number from low to high must be, and that shown is not.");

}

// The photos of a run paired with their maps, and its list read, as batch mode does it.
void bindPlan(py::module_& m) {
    m.def(
        "_plan",
        [](const py::iterable& paths, const py::object& outDir, const py::object& report, const std::string& format,
           bool recursive, const py::object& overlayDir) {
            if (!isMapFormat(format)) raiseText(PyExc_ValueError, "format must be bmp or png, not " + format);
            std::vector<std::string> names;
            for (const py::handle path : paths) names.push_back(pathOf(py::reinterpret_borrow<py::object>(path)));
            const std::string out = pathOf(outDir);
            const std::string reportPath = report.is_none() ? std::string() : pathOf(report);
            const std::string overlays = overlayDir.is_none() ? std::string() : pathOf(overlayDir);
            if (!overlayDir.is_none() && overlays.empty())
                raiseText(PyExc_ValueError, "overlay_dir needs a name, not an empty one");
            BatchPlan plan;
            std::vector<std::string> notes;
            std::string refusal;
            {
                py::gil_scoped_release released;
                std::vector<PhotoName> photos;
                refusal = findPhotos(names, recursive, photos, notes);
                if (refusal.empty()) refusal = planNamedMaps(photos, out, plan, format, overlays);
                if (refusal.empty() && !report.is_none()) refusal = reportProblem(plan, reportPath, out, "", "report");
            }
            if (!refusal.empty()) raiseText(PyExc_ValueError, refusal);
            py::list items, noted;
            for (const BatchItem& item : plan.items)
                items.append(py::make_tuple(textOf(item.photo), textOf(item.map),
                                            item.overlay.empty() ? py::object(py::none()) : textOf(item.overlay)));
            for (const std::string& note : notes) noted.append(textOf(note));
            return py::make_tuple(items, noted);
        },
        py::arg("paths"), py::arg("out_dir"), py::arg("report") = py::none(), py::arg("format") = "bmp",
        py::arg("recursive") = false, py::arg("overlay_dir") = py::none(),
        "([(photo, map, overlay)], [note]): each photo, and each photo of the folders named (with recursive, of their\n"
        "subfolders too, the tree kept), with its map, OUT_DIR/NAME.bmp (or .png), and its overlay,\n"
        "OVERLAY_DIR/NAME.jpg (None without overlay_dir), as batch mode pairs them;\n"
        "and batch mode's line for each folder without photos. Raises ValueError where batch mode refuses its\n"
        "command line: a folder cannot be read, two photos would write the same map, a map would overwrite a\n"
        "photo, or the report would replace a photo, a map or anything but a report.");

    m.def(
        "_read_list",
        [](const py::object& path, bool null) {
            const std::string p = pathOf(path);
            std::vector<std::string> names;
            int number = 0;
            std::string why;
            {
                py::gil_scoped_release released;
                why = readList(p, null, names, number);
            }
            if (number != 0) raiseOSError(number, why, textOf(p));
            if (!why.empty()) raiseText(PyExc_ValueError, listRefusal(p, why));
            py::list list;
            for (const std::string& name : names) list.append(textOf(name));
            return list;
        },
        py::arg("path"), py::arg("null"),
        "The names that the list at path ('-': standard input) holds, as batch mode reads --files-from.");

}

// The report, written as batch mode writes it.
void bindReport(py::module_& m) {
    m.def(
        "_csv_line", [](const py::handle& record) { return textOf(csvLine(rowOf(record))); }, py::arg("record"),
        "The report's CSV line of a record, with its newline: the same text as batch mode's row for the same\n"
        "photo (os.fsencode gives its bytes, names that are not UTF-8 included).");

    py::class_<PyReportFile>(m, "_ReportFile",
                             "The CSV report, a row appended and flushed to the disk as each photo finishes.")
        .def(py::init<const py::object&, bool>(), py::arg("path"), py::arg("continuing"),
             "A new report with its header or, continuing, an earlier one of roughgc's followed by this run's\n"
             "rows (a row an earlier run cut off goes). Raises OSError if it cannot be opened.")
        .def("add", &PyReportFile::add, py::arg("record"), "Appends the record's row; raises OSError if it fails.")
        .def("close", &PyReportFile::close);
}

void bindBatchPolicy(py::module_& m) {
    bindRunTable(m);
    bindPlan(m);
    bindReport(m);
}

// What a worker of roughgc.dask does with a photo, and what its scheduler asks of one.
void bindDaskSupport(py::module_& m) {
    m.def(
        "_map_photo",
        [](const py::object& extractorOf, const py::object& photo, const py::object& map, const py::object& folder,
           const py::object& overlay, int window, float dimension, float tolerance, bool skipExisting) {
            const BatchItem item{pathOf(photo), pathOf(map), overlay.is_none() ? std::string() : pathOf(overlay)};
            const std::string in = pathOf(folder);
            if (skipExisting && mapExists(placedIn(in, item.map)))
                return recordOf(ReportRow{item.photo, item.map, kSkipped, 0, 0, {}, {}});
            const py::object extractor = extractorOf();
            return recordOf(mapPhotoOn(extractor, item, in, {window, dimension, tolerance}));
        },
        py::arg("extractor_of"), py::arg("photo"), py::arg("map"), py::arg("folder"), py::kw_only(),
        py::arg("overlay") = py::none(), py::arg("window"), py::arg("dimension"), py::arg("tolerance"),
        py::arg("skip_existing"),
        "The record of one photo read, extracted and written (names taken in folder) by the Extractor that\n"
        "extractor_of() returns, called only if the photo is not skipped. A photo's failure is the record's.");

    m.def(
        "_photo_note",
        [](const py::handle& record, float dimension, float tolerance) -> py::object {
            const std::string note = photoNote(rowOf(record), {roughgc::Params{}.window, dimension, tolerance});
            if (note.empty()) return py::none();
            return textOf(note);
        },
        py::arg("record"), py::arg("dimension"), py::arg("tolerance"),
        "What batch mode says of the photo of a record on standard error, after 'PHOTO: ': its error if it\n"
        "failed, or that its search did not reach dimension within tolerance; None if nothing.");

    m.def(
        "_failed_record",
        [](const py::object& photo, const py::object& map, const py::object& error) {
            return recordOf(ReportRow{bytesOf(photo), bytesOf(map), kFailed, 0, 0, {}, bytesOf(error)});
        },
        py::arg("photo"), py::arg("map"), py::arg("error"), "The record of a photo that failed with error.");

    m.def(
        "_photo_pixels",
        [](const py::object& path) -> py::object {
            const std::string name = bytesOf(path);
            roughgc::Footprint footprint;
            {
                py::gil_scoped_release unlocked;
                footprint = roughgc::photoFootprint(name, false);
            }
            if (!footprint.known) return py::none();
            return py::int_(static_cast<long long>(footprint.size.width) * footprint.size.height);
        },
        py::arg("path"),
        "The pixels that the header of the photo at path announces; None for a file that is not a photo of a\n"
        "format whose header tells its size, or cannot be read.");

}

}  // namespace roughgc_python

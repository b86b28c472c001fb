// What the Python module's files share: names as the bytes they spell,
// text and errors as Python has them, and the binding of each subject.
#pragma once

#include <pybind11/pybind11.h>

#include <roughgc/roughgc.hpp>
#include <string>

#include "batch/job.h"

namespace py = pybind11;

namespace roughgc_python {

// The bytes that name the file, as Python's own functions take a path: str
// (undecodable bytes kept by surrogateescape), bytes or os.PathLike; a NUL
// is refused as open() refuses it.
std::string pathOf(const py::object& path);

// os.fsencode's bytes of a str, bytes or os.PathLike.
std::string bytesOf(const py::handle& value);

// Bytes decoded as Python decodes file names.
py::str textOf(const std::string& bytes);

// Raises `type` with `text`, decoded as textOf decodes it.
[[noreturn]] void raiseText(PyObject* type, const std::string& text);

// OSError (the subclass that its number picks) for errno's `number` and
// its text, as Python's own calls raise it; with the file's name if given.
[[noreturn]] void raiseOSError(int number, const std::string& reason, const py::object& filename = py::none());

// mapPhoto by the roughgc.Extractor `extractor`, taking turns with other
// calls on it, the GIL released meanwhile.
ReportRow mapPhotoOn(const py::object& extractor, const BatchItem& item, const std::string& folder,
                     const roughgc::Params& params);

// The batch room: the run's options and numbers, its plan and its report.
void bindBatchPolicy(py::module_& m);
// What roughgc.dask's workers do with a photo, and what its scheduler asks.
void bindDaskSupport(py::module_& m);

}  // namespace roughgc_python

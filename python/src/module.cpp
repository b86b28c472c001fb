// roughgc._roughgc: the library's face for Python, on numpy arrays. Arrays
// with any strides come in (a view over their memory where its layout
// allows, a copy otherwise), arrays that own their memory go out, and the
// GIL is released while the work is done.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <roughgc/roughgc.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "batch/job.h"
#include "batch/policy.h"
#include "bindings.h"


namespace roughgc_python {

std::string shapeText(const py::array& a) {
    std::ostringstream s;
    s << "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) s << (d ? ", " : "") << a.shape(d);
    s << (a.ndim() == 1 ? ",)" : ")");
    return s.str();
}

std::string dtypeText(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

// Whatever numpy.asarray takes (memoryviews, buffers, nested lists) is an
// array here too; an array itself, subclasses included, is taken as it is.
py::array arrayArgument(const py::handle& value) {
    if (py::isinstance<py::array>(value)) return py::reinterpret_borrow<py::array>(value);
    return py::module_::import("numpy").attr("asarray")(value).cast<py::array>();
}

// A matrix over the array's memory when its rows are evenly spaced, a whole
// number of elements and at least a row's length apart, and its elements
// packed in them, as OpenCV needs; over a C-ordered copy otherwise (negative
// strides, steps between pixels, rows that overlap). `keep` holds what the matrix
// points into. OpenCV counts rows and columns in int and the library takes
// at most INT_MAX pixels: a larger array, which would be cut short in
// silence, is refused as `what` too large (in `unit`) before any copy.
cv::Mat matrixOf(const py::array& a, int depth, int channels, py::object& keep, const char* what, const char* unit) {
    const size_t height = a.ndim() == 1 ? 1 : static_cast<size_t>(a.shape(0));
    const size_t width = static_cast<size_t>(a.ndim() == 1 ? a.shape(0) : a.shape(1));
    if (height > INT_MAX || width > INT_MAX || (width != 0 && height > INT_MAX / width)) {
        char line[200];
        std::snprintf(line, sizeof line, "(!) %s too large: %zu x %zu %s; at most %d %s supported", what, width,
                      height, unit, INT_MAX, unit);
        throw py::value_error(line);
    }
    const py::ssize_t elem = static_cast<py::ssize_t>(a.itemsize());
    const py::ssize_t pixel = elem * channels;
    const bool packed = a.ndim() == 1 ? a.strides(0) == elem
                                      : a.strides(0) > 0 && a.strides(0) % elem == 0 &&
                                            a.strides(0) >= pixel * a.shape(1) && a.strides(1) == pixel &&
                                            (a.ndim() == 2 || a.strides(2) == elem);
    py::array source = a;
    // numpy's own copy, whose MemoryError, when there is no room for it,
    // reaches the caller.
    if (!packed) source = py::module_::import("numpy").attr("ascontiguousarray")(a).cast<py::array>();
    keep = source;
    const int rows = a.ndim() == 1 ? 1 : static_cast<int>(a.shape(0));
    const int cols = static_cast<int>(a.ndim() == 1 ? a.shape(0) : a.shape(1));
    const size_t step = a.ndim() == 1 ? static_cast<size_t>(cols) * elem * channels
                                      : static_cast<size_t>(source.strides(0));
    if (rows == 0 || cols == 0) return cv::Mat();
    return cv::Mat(rows, cols, CV_MAKETYPE(depth, channels), const_cast<void*>(source.data()), step);
}

// Whether `order`, "bgr" or "rgb" in any case, is "rgb".
bool isRgb(const std::string& order) {
    std::string o = order;
    std::transform(o.begin(), o.end(), o.begin(), [](unsigned char c) { return std::tolower(c); });
    if (o != "bgr" && o != "rgb") throw py::value_error("order must be \"bgr\" or \"rgb\", not \"" + order + "\"");
    return o == "rgb";
}

// An image of 8-bit pixels: H x W (grey), H x W x 1, 3 or 4, in BGR order
// unless `order` is "rgb", which is turned around here.
cv::Mat photoOf(const py::array& a, const std::string& order, py::object& keep) {
    const bool rgb = isRgb(order);
    const char* demand = "(!) A photo must be an 8-bit array of H x W (grey), H x W x 3 (colour) or H x W x 4 (with alpha)";
    if (a.dtype().kind() != 'u' || a.itemsize() != 1)
        throw py::type_error(std::string(demand) + " pixels, not " + dtypeText(a));
    const int channels = a.ndim() == 3 ? static_cast<int>(a.shape(2)) : 1;
    if (a.ndim() < 2 || a.ndim() > 3 || (channels != 1 && channels != 3 && channels != 4))
        throw py::value_error(std::string(demand) + " pixels, not of shape " + shapeText(a));
    cv::Mat image = matrixOf(a, CV_8U, channels, keep, "Image", "pixels");
    if (rgb && channels >= 3 && !image.empty()) {
        cv::Mat bgr(image.size(), image.type());
        const int swap[] = {0, 2, 1, 1, 2, 0, 3, 3};
        cv::mixChannels(&image, 1, &bgr, 1, swap, channels);
        image = bgr;
    }
    return image;
}

cv::Mat floatsOf(const py::array& a, const char* what, py::object& keep) {
    if (a.dtype().kind() != 'f' || a.itemsize() != 4)
        throw py::type_error(std::string("(!) ") + what + " must be a numpy.float32 array, not " + dtypeText(a));
    if (a.ndim() < 1 || a.ndim() > 2)
        throw py::value_error(std::string("(!) ") + what + " must have one or two dimensions, not shape " + shapeText(a));
    return matrixOf(a, CV_32F, 1, keep, what, "values");
}

// An overlay's colour: three whole numbers from 0 to 255 in the photo's
// order; red when none is given.
cv::Scalar colourOf(const py::object& color, bool rgb) {
    if (color.is_none()) return rgb ? cv::Scalar(255, 0, 0) : cv::Scalar(0, 0, 255);
    const std::string demand = "(!) color must be three whole numbers from 0 to 255";
    if (!py::isinstance<py::sequence>(color) || py::isinstance<py::str>(color) || py::isinstance<py::bytes>(color))
        throw py::type_error(demand + ", not " +
                             py::str(py::type::handle_of(color).attr("__name__")).cast<std::string>());
    const py::sequence values = color.cast<py::sequence>();
    if (values.size() != 3) throw py::value_error(demand + ", not " + py::repr(color).cast<std::string>());
    cv::Scalar colour;
    for (int c = 0; c < 3; ++c) {
        const py::object value = values[static_cast<size_t>(c)];
        // What operator.index takes: ints and numpy's integers, not floats.
        const py::object whole = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
        if (!whole) {
            PyErr_Clear();
            throw py::type_error(demand + ", not " + py::repr(color).cast<std::string>());
        }
        const long long v = whole.cast<long long>();
        if (v < 0 || v > 255) throw py::value_error(demand + ", not " + py::repr(color).cast<std::string>());
        colour[c] = static_cast<double>(v);
    }
    return colour;
}

// A numpy array that owns the matrix's pixels: the matrix's reference keeps
// them alive as long as the array is.
py::array arrayOf(const cv::Mat& m, bool flat = false) {
    auto* owner = new cv::Mat(m);
    py::capsule release(owner, [](void* p) { delete static_cast<cv::Mat*>(p); });
    const py::dtype dtype = m.depth() == CV_8U    ? py::dtype::of<uint8_t>()
                            : m.depth() == CV_32S ? py::dtype::of<int32_t>()
                                                  : py::dtype::of<float>();
    const py::ssize_t elem = static_cast<py::ssize_t>(m.elemSize1());
    if (flat) return py::array(dtype, {static_cast<py::ssize_t>(m.total())}, {elem}, owner->data, release);
    if (m.channels() == 1)
        return py::array(dtype, {m.rows, m.cols}, {static_cast<py::ssize_t>(m.step[0]), elem}, owner->data, release);
    return py::array(dtype, {m.rows, m.cols, m.channels()},
                     {static_cast<py::ssize_t>(m.step[0]), static_cast<py::ssize_t>(m.elemSize()), elem}, owner->data,
                     release);
}

// The bytes that name the file, as Python's own functions take a path: str
// (undecodable bytes kept by surrogateescape), bytes or os.PathLike. A NUL
// would end the name early, so it is refused as open() refuses it.
std::string pathOf(const py::object& path) {
    std::string bytes = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
    if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return bytes;
}

// The library's messages hold paths as the bytes they were given: decoded as
// Python decodes file names, so that a name that is not UTF-8 comes back as
// the str that names it. Null, with Python's error set, if even that fails.
py::object fileSystemText(const std::string& text) {
    return py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<py::ssize_t>(text.size())));
}

struct PyResult {
    py::array map;
    int quantile_index;
    float threshold;
    int coarse_boxes, fine_boxes;
    float dimension;
    int passes;
    bool converged;
};

PyResult resultOf(const roughgc::Result& r) {
    return {arrayOf(r.map), r.quantileIndex, r.threshold, r.coarseBoxes, r.fineBoxes, r.dimension, r.passes, r.converged};
}

// One extractor per object; calls from several threads take turns on it.
class PyExtractor {
public:
    explicit PyExtractor(int device) : extractor_(device) {}
    PyResult extract(const py::object& image, int window, float dimension, float tolerance, const std::string& order) {
        py::object keep;
        const cv::Mat photo = photoOf(arrayArgument(image), order, keep);
        roughgc::Result r;
        {
            py::gil_scoped_release released;
            const std::lock_guard lock(mutex_);
            r = extractor_.extract(photo, {window, dimension, tolerance});
        }
        return resultOf(r);
    }
    PyResult extractFile(const py::object& path, int window, float dimension, float tolerance) {
        const std::string p = pathOf(path);
        roughgc::Result r;
        {
            py::gil_scoped_release released;
            const std::lock_guard lock(mutex_);
            r = extractor_.extractFile(p, {window, dimension, tolerance});
        }
        return resultOf(r);
    }
    py::object photoSize() {
        const std::lock_guard lock(mutex_);
        const cv::Size size = extractor_.photoSize();
        if (size.empty()) return py::none();
        return py::make_tuple(size.height, size.width);
    }
    int device() const { return extractor_.device(); }
    // A photo read, extracted and written, as a worker of roughgc.dask does.
    ReportRow mapPhoto(const BatchItem& item, const std::string& folder, const roughgc::Params& params) {
        py::gil_scoped_release released;
        const std::lock_guard lock(mutex_);
        return ::mapPhoto(extractor_, item, folder, params);
    }

private:
    roughgc::Extractor extractor_;
    std::mutex mutex_;
};

ReportRow mapPhotoOn(const py::object& extractor, const BatchItem& item, const std::string& folder,
                     const roughgc::Params& params) {
    return extractor.cast<PyExtractor&>().mapPhoto(item, folder, params);
}

// os.fsencode's bytes of a str, bytes or os.PathLike.
std::string bytesOf(const py::handle& value) {
    return py::module_::import("os").attr("fsencode")(value).cast<std::string>();
}

py::str textOf(const std::string& bytes) {
    py::object text = fileSystemText(bytes);
    if (!text) throw py::error_already_set();
    return text;
}

[[noreturn]] void raiseText(PyObject* type, const std::string& text) {
    PyErr_SetObject(type, textOf(text).ptr());
    throw py::error_already_set();
}

[[noreturn]] void raiseOSError(int number, const std::string& reason, const py::object& filename) {
    if (number == 0) raiseText(PyExc_OSError, reason);
    const py::object text =
        py::reinterpret_steal<py::object>(PyUnicode_DecodeLocale(reason.c_str(), "surrogateescape"));
    if (!text) throw py::error_already_set();
    const py::object error = py::reinterpret_steal<py::object>(
        filename.is_none() ? PyObject_CallFunction(PyExc_OSError, "iO", number, text.ptr())
                           : PyObject_CallFunction(PyExc_OSError, "iOO", number, text.ptr(), filename.ptr()));
    if (!error) throw py::error_already_set();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

void bindErrors(py::module_& m) {
    static py::exception<roughgc::DeviceError> deviceError(m, "DeviceError", PyExc_RuntimeError);
    deviceError.doc() =
        "A GPU runtime call failed. Attributes: call, file, line, code, reason, out_of_memory. The object that "
        "raised it can be used again.";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const roughgc::DeviceError& e) {
            py::object error = py::handle(deviceError.ptr())(e.what());
            error.attr("call") = e.call();
            error.attr("file") = e.file();
            error.attr("line") = e.line();
            error.attr("code") = e.code();
            error.attr("reason") = e.reason();
            error.attr("out_of_memory") = e.outOfMemory();
            PyErr_SetObject(deviceError.ptr(), error.ptr());
        } catch (const roughgc::WriteError& e) {
            // OSError picks its subclass from the number: IsADirectoryError...
            // The reason is strerror's, in the locale's encoding.
            py::object error;
            if (e.errorNumber() != 0) {
                const py::object reason = py::reinterpret_steal<py::object>(
                    PyUnicode_DecodeLocale(e.reason().c_str(), "surrogateescape"));
                const py::object path = fileSystemText(e.path());
                if (!reason || !path) return;
                error = py::reinterpret_steal<py::object>(
                    PyObject_CallFunction(PyExc_OSError, "iOO", e.errorNumber(), reason.ptr(), path.ptr()));
            } else if (const py::object text = fileSystemText(e.what())) {
                error = py::reinterpret_steal<py::object>(PyObject_CallFunction(PyExc_OSError, "O", text.ptr()));
            }
            if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        } catch (const roughgc::InputError& e) {
            if (const py::object text = fileSystemText(e.what())) PyErr_SetObject(PyExc_ValueError, text.ptr());
        }
    });

}

void bindExtractor(py::module_& m) {
    // Keyword defaults: the library's, shown as their shortest text.
    static const roughgc::Params defaults;
    static const std::string dimensionText = defaultText(defaults.dimension),
                             toleranceText = defaultText(defaults.tolerance);
    py::class_<PyResult>(m, "Result", "A rough contour map and what the threshold search found.")
        .def_readonly("map", &PyResult::map,
                      "numpy.uint8 array of H/3 - window rows of W/3 - window: 0 where the photo is rough, 255 "
                      "where it is smooth. Owned by the result.")
        .def_readonly("quantile_index", &PyResult::quantile_index, "The quantile table index of the final pass.")
        .def_readonly("threshold", &PyResult::threshold, "The metric threshold at that index.")
        .def_readonly("coarse_boxes", &PyResult::coarse_boxes, "Occupied boxes of side 8 in the map.")
        .def_readonly("fine_boxes", &PyResult::fine_boxes, "Occupied boxes of side 4 in the map.")
        .def_readonly("dimension", &PyResult::dimension, "The map's box-counting dimension estimate.")
        .def_readonly("passes", &PyResult::passes, "Evaluation passes the search made, 1 to 12.")
        .def_readonly("converged", &PyResult::converged,
                      "Whether the search reached the target: the dimension within the tolerance of the target.\n"
                      "A photo without enough texture (flat colour) ends it without; its map is made all the same.")
        .def("__repr__", [](const PyResult& r) {
            // Height by width, as map.shape reads.
            return "<roughgc.Result map " + std::to_string(r.map.shape(0)) + " x " + std::to_string(r.map.shape(1)) +
                   ", dimension " + std::to_string(r.dimension) + ", " + std::to_string(r.passes) + " passes" +
                   (r.converged ? "" : ", not converged") + ">";
        });

    static const char* const uncopyable =
        "(!) An Extractor cannot be copied or pickled: make another with Extractor(device)";
    py::class_<PyExtractor>(m, "Extractor",
                            "Makes rough contour maps, keeping its buffers from one photo to the next.\n\n"
                            "One extractor per thread (or per GPU) runs in parallel; calls on one extractor from "
                            "several threads take turns. The GIL is released while a map is made.")
        .def(py::init<int>(), py::arg("device") = 0,
             "Selects the device (the cpu build has one, 0); raises DeviceError if that fails.")
        // Its buffers and events belong to one device and one object: a copy,
        // or one rebuilt from a pickle, would be an extractor that was never
        // set up.
        .def("__copy__", [](const py::object&) { throw py::type_error(uncopyable); })
        .def("__deepcopy__", [](const py::object&, const py::object&) { throw py::type_error(uncopyable); })
        .def("__reduce_ex__", [](const py::object&, const py::object&) { throw py::type_error(uncopyable); })
        .def_property_readonly("device", &PyExtractor::device)
        .def_property_readonly("photo_size", &PyExtractor::photoSize,
                               "(height, width) of the photo that the last extract_file read, also when its map was\n"
                               "refused; None when it could not be read.")
        .def("extract_file", &PyExtractor::extractFile, py::arg("path"), py::kw_only(), py::arg("window") = defaults.window,
             py::arg_v("dimension", defaults.dimension, dimensionText.c_str()),
             py::arg_v("tolerance", defaults.tolerance, toleranceText.c_str()),
             "extract(read_photo(path), ...)'s result, by the fastest route for the file: the extractor keeps\n"
             "the file's bytes and pixels from one photo to the next, and in the cpu build a JPEG that needs no\n"
             "turning goes row by row from the decoder into the first stage. Raises what read_photo and extract\n"
             "raise. The GIL is released meanwhile.")
        .def("extract", &PyExtractor::extract, py::arg("image"), py::kw_only(), py::arg("window") = defaults.window,
             py::arg_v("dimension", defaults.dimension, dimensionText.c_str()),
             py::arg_v("tolerance", defaults.tolerance, toleranceText.c_str()), py::arg("order") = "bgr",
             "The rough contour map of an image.\n\n"
             "image: numpy.uint8 array of H x W (grey), H x W x 3 or H x W x 4 (alpha ignored), any strides:\n"
             "  slices and reversed views give the map of the pixels they show; or what numpy.asarray makes\n"
             "  such an array of (a memoryview, nested lists).\n"
             "order: \"bgr\" (OpenCV's order) or \"rgb\" (imageio, PIL, scikit-image).\n"
             "window: metric window in averaged pixels, 1 to 15438; dimension and tolerance: the box-counting\n"
             "  dimension the threshold search aims for, and how close it must come.\n\n"
             "Raises TypeError for another dtype, ValueError for another shape, a size or window outside the\n"
             "limits (both sides at least 3 (window + 8)) or a dimension or tolerance that is not finite,\n"
             "DeviceError for a failed GPU call.");

    m.def(
        "rough_contours",
        [](const py::object& image, int window, float dimension, float tolerance, const std::string& order,
           int device) { return PyExtractor(device).extract(image, window, dimension, tolerance, order); },
        py::arg("image"), py::kw_only(), py::arg("window") = defaults.window,
        py::arg_v("dimension", defaults.dimension, dimensionText.c_str()),
        py::arg_v("tolerance", defaults.tolerance, toleranceText.c_str()), py::arg("order") = "bgr",
        py::arg("device") = 0,
        "Extractor(device).extract(image, ...) in one call, for an image now and then.");
}

void bindPhotoFiles(py::module_& m) {
    m.def(
        "read_photo",
        [](const py::object& path, const py::object& out) -> py::object {
            const std::string p = pathOf(path);
            if (out.is_none()) {
                cv::Mat photo;
                {
                    py::gil_scoped_release released;
                    photo = roughgc::readPhoto(p);
                }
                return arrayOf(photo);
            }
            if (!py::isinstance<py::array>(out))
                throw py::type_error("(!) out must be a numpy.uint8 array, not " +
                                     std::string(py::str(py::type::handle_of(out).attr("__name__"))));
            const py::array a = out.cast<py::array>();
            if (a.dtype().kind() != 'u' || a.itemsize() != 1)
                throw py::type_error("(!) out must be a numpy.uint8 array, not " + dtypeText(a));
            if (a.ndim() != 3 || a.shape(2) != 3 || !(a.flags() & py::array::c_style) || !a.writeable())
                throw py::value_error("(!) out must be a writable C-contiguous array of H x W x 3, not of shape " +
                                      shapeText(a));
            // No photo has a side beyond int: an out that has one gets none of
            // the pixels, decoded elsewhere, and is refused as of another shape.
            cv::Mat into;
            if (a.shape(0) <= INT_MAX && a.shape(1) <= INT_MAX)
                into = cv::Mat(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)), CV_8UC3,
                               const_cast<void*>(a.data()));
            const unsigned char* given = into.data;
            {
                py::gil_scoped_release released;
                roughgc::readPhoto(p, into);
            }
            // Another size went to memory of its own: out is left as it was.
            if (into.data != given)
                throw py::value_error("(!) out has shape " + shapeText(a) + ", the photo " +
                                      std::to_string(into.rows) + " x " + std::to_string(into.cols) + " x 3");
            return out;
        },
        py::arg("path"), py::arg("out") = py::none(),
        "The photo at path as the roughgc tool reads it: a numpy.uint8 array of H x W x 3 in BGR order, grey\n"
        "and four-channel files taken as colour, EXIF orientation applied; named pipes are read once.\n"
        "With out (a C-contiguous numpy.uint8 array of the photo's shape), the photo is decoded into it and\n"
        "out is returned; the file's bytes are kept per thread. The GIL is released while decoding.\n"
        "Raises ValueError if the file is not a readable image or out has another shape (out is then left\n"
        "as it was), TypeError for another dtype. path: str, bytes or os.PathLike, as open() takes it.");

    m.def(
        "write_map",
        [](const py::object& path, const py::object& mapArgument) {
            const std::string p = pathOf(path);
            const py::array map = arrayArgument(mapArgument);
            if (map.dtype().kind() != 'u' || map.itemsize() != 1 || map.ndim() != 2)
                throw py::type_error("(!) A map must be a two-dimensional numpy.uint8 array, not " + dtypeText(map) +
                                     " of shape " + shapeText(map));
            py::object keep;
            const cv::Mat m = matrixOf(map, CV_8U, 1, keep, "Map", "pixels");
            py::gil_scoped_release released;
            roughgc::writeMap(p, m);
        },
        py::arg("path"), py::arg("map"),
        "Writes a map (a two-dimensional numpy.uint8 array, or what numpy.asarray makes one of) to path in\n"
        "the format of its extension (\".bmp\": the roughgc tool's bytes; \".png\"; any other that OpenCV's image\n"
        "codecs write, where they are installed), whole or not at all. Raises OSError when it cannot be written,\n"
        "ValueError for an extension no encoder takes.");
}

void bindOverlay(py::module_& m) {
    m.def(
        "overlay",
        [](const py::object& photo, const PyResult& result, const py::object& color, const std::string& order) {
            // The picture is made channel by channel: the photo's order is
            // the picture's, and only the colour depends on it.
            const cv::Scalar colour = colourOf(color, isRgb(order));
            py::object keepPhoto, keepMap;
            const cv::Mat image = photoOf(arrayArgument(photo), "bgr", keepPhoto);
            roughgc::Result r;
            r.map = matrixOf(result.map, CV_8U, 1, keepMap, "Map", "pixels");
            cv::Mat picture;
            {
                py::gil_scoped_release released;
                roughgc::overlay(image, r, picture, colour);
            }
            return arrayOf(picture);
        },
        py::arg("photo"), py::arg("result"), py::arg("color") = py::none(), py::kw_only(), py::arg("order") = "bgr",
        "The result as a picture: the photo at its map's scale, the map's rough pixels painted color.\n\n"
        "Returns a new numpy.uint8 array of H/3 x W/3 x 3 for an H x W photo (the rows and columns past the\n"
        "last whole 3 x 3 block left out): each pixel the mean of its 3 x 3 block, channel by channel, rounded\n"
        "half up, except where result.map is 0: its pixel (i, j) paints pixel (i + window/2, j + window/2),\n"
        "window being H/3 - map rows (which W/3 - map columns must equal).\n"
        "photo: what extract takes (numpy.uint8, H x W grey, H x W x 3, H x W x 4 with alpha ignored, any\n"
        "  strides); result: the Result of extract for that photo.\n"
        "order: \"bgr\" or \"rgb\", the order of the photo's channels, of color's and of the picture's;\n"
        "  a grey photo gives three equal channels.\n"
        "color: three whole numbers from 0 to 255; red when None.\n\n"
        "Raises ValueError for a result that is not of a photo of this size, TypeError and ValueError for a\n"
        "photo or color that is not one. The GIL is released meanwhile.");
}

void bindStages(py::module_& m) {
    m.def(
        "histogram",
        [](const py::object& values, int bins, float lower, float upper, int device) {
            py::object keep;
            const cv::Mat v = floatsOf(arrayArgument(values), "Histogram values", keep);
            cv::Mat counts;
            int counted = 0;
            {
                py::gil_scoped_release released;
                counted = roughgc::histogram(v, counts, bins, lower, upper, device);
            }
            return py::make_tuple(arrayOf(counts, true), counted);
        },
        py::arg("values"), py::arg("bins"), py::arg("lower"), py::arg("upper"), py::kw_only(), py::arg("device") = 0,
        "Counts numpy.float32 values (one or two dimensions, any strides) into bins of width\n"
        "(upper - lower) / bins on the device. The bins start at 0, not at lower: bin k holds the values v\n"
        "with k <= v / width < k + 1, bin 0 also those with -1 < v / width < 0 and NaNs. Returns\n"
        "(counts, counted): a numpy.int32 array of the bins and the number of values counted.");

    m.def(
        "fine_contours",
        [](const py::object& photo, const py::object& roughCells, const py::object& filterP,
           const py::object& filterQ, const py::object& filterR, const py::object& marks, const std::string& order,
           int device) {
            py::object keepPhoto, keepCells, keepP, keepQ, keepR, keepMarks;
            const cv::Mat image = photoOf(arrayArgument(photo), order, keepPhoto);
            cv::Mat cells;
            const py::array cellArray = arrayArgument(roughCells);
            if (cellArray.dtype().kind() == 'u' && cellArray.itemsize() == 1 && cellArray.ndim() == 2)
                cells = matrixOf(cellArray, CV_8U, 1, keepCells, "Rough cells", "values");
            else
                cells = floatsOf(cellArray, "Rough cells", keepCells);
            const cv::Mat p = floatsOf(arrayArgument(filterP), "A filter", keepP),
                          q = floatsOf(arrayArgument(filterQ), "A filter", keepQ),
                          r = floatsOf(arrayArgument(filterR), "A filter", keepR);
            cv::Mat marked;
            if (!marks.is_none()) marked = floatsOf(arrayArgument(marks), "Marks", keepMarks);
            cv::Mat fine;
            {
                py::gil_scoped_release released;
                if (marked.empty())
                    roughgc::fineContours(image, cells, p, q, r, fine, cv::noArray(), device);
                else
                    roughgc::fineContours(image, cells, p, q, r, fine, marked, device);
            }
            return arrayOf(fine);
        },
        py::arg("photo"), py::arg("rough_cells"), py::arg("filter_p"), py::arg("filter_q"), py::arg("filter_r"),
        py::arg("marks") = py::none(), py::kw_only(), py::arg("order") = "bgr", py::arg("device") = 0,
        "The fine contour stage: the metric at full resolution at the pixels that a rough map marks.\n\n"
        "photo: H x W (x 3 or 4) numpy.uint8; rough_cells: (H/3 - 2) x (W/3 - 2), numpy.uint8 (a map made with\n"
        "window=2) or numpy.float32, a cell below 255 marking its 3 x 3 block; filter_p, filter_q, filter_r:\n"
        "k x k numpy.float32 weights; marks: optional (H - k) x (W - k) numpy.float32, positive values marking\n"
        "pixels too. Returns the (H - k) x (W - k) numpy.float32 map: at each marked pixel the metric quotient\n"
        "of u = k (R - Q) and v = k (P - Q), P, Q and R the feature image filtered with the three matrices; 0\n"
        "elsewhere.");
}

}  // namespace roughgc_python

using namespace roughgc_python;

PYBIND11_MODULE(_roughgc, m) {
    m.doc() = "Rough contour maps of photographs: the compiled part of the roughgc package.";
    m.attr("__version__") = ROUGHGC_VERSION;
    m.attr("backend") = ROUGHGC_BACKEND_NAME;
    bindErrors(m);
    bindExtractor(m);
    bindPhotoFiles(m);
    bindOverlay(m);
    bindStages(m);
    bindBatchPolicy(m);
    bindDaskSupport(m);

    // Shown as the package's own, where users import them from.
    for (const char* name : {"DeviceError", "Result", "Extractor", "rough_contours", "read_photo", "write_map",
                             "overlay", "histogram", "fine_contours"})
        m.attr(name).attr("__module__") = "roughgc";
}

// format_vertex_lines, format_texcoord_lines, format_face_lines: convert the
// array, apply the 1-D and empty rules, take a read view, then write the
// lines into a native buffer with the interpreter lock released and copy
// them into one bytes object.
#include "../module/arrays.h"
#include "../module/entry_points.h"
#include "obj_text.h"

#include <cstddef>
#include <cstdint>

namespace tsr {
namespace {

PyObject* empty_bytes() { return PyBytes_FromStringAndSize(nullptr, 0); }

// The buffer (freed by its destructor on every path) into a bytes object;
// MemoryError when the formatting ran out of memory.
PyObject* finish(bool ok, const objtext::TextBuffer& text) {
    if (!ok) return PyErr_NoMemory();
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Shared by the two float formatters: positions (3 columns) and texcoords
// (2 columns). A 1-D array is taken as rows of `cols` values.
template <class Append>
PyObject* format_float_rows(PyObject* module, PyObject* obj, Py_ssize_t cols,
                            const char* what, Append append) {
    Ref arr = as_contiguous(module, obj, DType::Float64);
    if (!arr) return nullptr;
    if (array_ndim(arr.get()) <= 1) {
        arr = reshape_rows(arr.get(), cols);
        if (!arr) return nullptr;
    }
    if (array_dim(arr.get(), 0) == 0) return empty_bytes();

    Matrix view;
    if (!view.acquire(arr.get(), DType::Float64, cols, what)) return nullptr;
    const double* data = view.data<double>();
    const auto n = static_cast<std::size_t>(view.rows());
    const auto stride = static_cast<std::size_t>(view.cols());

    objtext::TextBuffer text;
    bool ok;
    {
        NoGil nogil;
        ok = append(text, data, n, stride);
    }
    return finish(ok, text);
}

}  // namespace

PyObject* format_vertex_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::format_vertex_lines, args, nargs, kwnames, a)) return nullptr;
    return format_float_rows(module, a[0].obj, 3, "positions", objtext::append_vertex_lines);
}

PyObject* format_texcoord_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::format_texcoord_lines, args, nargs, kwnames, a)) return nullptr;
    return format_float_rows(module, a[0].obj, 2, "texcoords", objtext::append_texcoord_lines);
}

PyObject* format_face_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::format_face_lines, args, nargs, kwnames, a)) return nullptr;
    const bool with_vt = a[1].truth;

    Ref arr = as_contiguous(module, a[0].obj, DType::Int64);
    if (!arr) return nullptr;
    // A 1-D faces array is not taken as rows: it gives no lines.
    if (array_ndim(arr.get()) <= 1 || array_dim(arr.get(), 0) == 0) return empty_bytes();

    Matrix view;
    if (!view.acquire(arr.get(), DType::Int64, 3, "faces")) return nullptr;
    const std::int64_t* data = view.data<std::int64_t>();
    const auto n = static_cast<std::size_t>(view.rows());
    const auto stride = static_cast<std::size_t>(view.cols());

    objtext::TextBuffer text;
    bool ok;
    {
        NoGil nogil;
        ok = objtext::append_face_lines(text, data, n, stride, with_vt);
    }
    return finish(ok, text);
}

}  // namespace tsr

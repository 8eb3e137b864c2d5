// Placeholder bodies: this concern's entry points are not written yet.
#include "../module/entry_points.h"

namespace tsr {

PyObject* format_vertex_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::format_vertex_lines, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "format_vertex_lines");
    return nullptr;
}

PyObject* format_texcoord_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::format_texcoord_lines, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "format_texcoord_lines");
    return nullptr;
}

PyObject* format_face_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::format_face_lines, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "format_face_lines");
    return nullptr;
}

}  // namespace tsr

// Placeholder bodies: this concern's entry points are not written yet.
#include "../module/entry_points.h"

namespace tsr {

PyObject* compute_obj_extent(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::compute_obj_extent, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "compute_obj_extent");
    return nullptr;
}

PyObject* shift_obj_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::shift_obj_file, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "shift_obj_file");
    return nullptr;
}

}  // namespace tsr

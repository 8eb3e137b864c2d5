// Placeholder bodies: this concern's entry points are not written yet.
#include "../module/entry_points.h"

namespace tsr {

PyObject* extract_mesh_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::extract_mesh_arrays, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "extract_mesh_arrays");
    return nullptr;
}

PyObject* quantize_uvr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::quantize_uvr, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "quantize_uvr");
    return nullptr;
}

}  // namespace tsr

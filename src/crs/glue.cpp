// Placeholder bodies: this concern's entry points are not written yet.
#include "../module/entry_points.h"

namespace tsr {

PyObject* ecef_to_webmercator(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::ecef_to_webmercator, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "ecef_to_webmercator");
    return nullptr;
}

PyObject* ecef_to_wgs84_geo(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::ecef_to_wgs84_geo, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "ecef_to_wgs84_geo");
    return nullptr;
}

PyObject* convert_crs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::convert_crs, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "convert_crs");
    return nullptr;
}

}  // namespace tsr

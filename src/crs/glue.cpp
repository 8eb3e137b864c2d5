// Python entry points of the coordinate conversions: array preparation,
// the in-place row loop without the interpreter lock, and the CRS dispatch.
#include "../module/arrays.h"
#include "../module/entry_points.h"
#include "geodetic.h"

namespace tsr {
namespace {

PyObject* convert_positions(PyObject* module, PyObject* positions, crs::Target target) {
    // The caller's own memory when it already is C-contiguous float64.
    Ref arr = as_contiguous(module, positions, DType::Float64);
    if (!arr) return nullptr;
    // One-dimensional (scalars included) or no rows: nothing to convert.
    if (array_ndim(arr.get()) <= 1 || array_dim(arr.get(), 0) == 0) Py_RETURN_NONE;

    Matrix m;
    if (!m.acquire(arr.get(), DType::Float64, 3, "positions")) return nullptr;
    {
        NoGil unlocked;
        crs::convert_rows(m.data<double>(), m.rows(), m.cols(), target);
    }
    Py_RETURN_NONE;
}

// A global name of the module, looked up at call time the way Python code
// in the module would: its namespace, then the built-ins.
Ref module_global(PyObject* module, const char* name) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return Ref();
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* found = PyDict_GetItemWithError(dict, key.get());  // borrowed
    if (!found && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();  // borrowed
        if (builtins) found = PyDict_GetItemWithError(builtins, key.get());
    }
    if (!found) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return Ref();
    }
    return Ref::borrow(found);
}

bool equals(PyObject* str, const char* ascii) {
    return PyUnicode_CompareWithASCIIString(str, ascii) == 0;
}

}  // namespace

PyObject* ecef_to_webmercator(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::ecef_to_webmercator, args, nargs, kwnames, a)) return nullptr;
    return convert_positions(module, a[0].obj, crs::Target::WebMercator);
}

PyObject* ecef_to_wgs84_geo(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::ecef_to_wgs84_geo, args, nargs, kwnames, a)) return nullptr;
    return convert_positions(module, a[0].obj, crs::Target::Geographic);
}

PyObject* convert_crs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::convert_crs, args, nargs, kwnames, a)) return nullptr;
    PyObject* positions = a[0].obj;
    PyObject* crs = a[1].obj;

    // crs.strip().upper(); None has no strip and raises AttributeError.
    Ref stripped = Ref::steal(PyObject_CallMethod(crs, "strip", nullptr));
    if (!stripped) return nullptr;
    Ref upper = Ref::steal(PyObject_CallMethod(stripped.get(), "upper", nullptr));
    if (!upper) return nullptr;

    // Already ECEF: positions are not even looked at.
    if (equals(upper.get(), "") || equals(upper.get(), "EPSG:4978") ||
        equals(upper.get(), "ECEF")) {
        Py_RETURN_NONE;
    }
    const char* name = nullptr;
    if (equals(upper.get(), "EPSG:3857")) {
        name = "ecef_to_webmercator";
    } else if (equals(upper.get(), "EPSG:4326")) {
        name = "ecef_to_wgs84_geo";
    } else {
        PyErr_Format(PyExc_ValueError,
                     "Unsupported CRS '%S'. Supported: EPSG:3857, EPSG:4326, EPSG:4978, ''",
                     crs);
        return nullptr;
    }

    Ref fn = module_global(module, name);
    if (!fn) return nullptr;
    PyObject* call_args[] = {positions};
    Ref result = Ref::steal(PyObject_Vectorcall(fn.get(), call_args, 1, nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace tsr

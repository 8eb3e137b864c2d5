// compute_obj_extent and shift_obj_file: the file is read through the
// built-in open looked up at initialisation (`with open(path, 'rb') as f:
// data = f.read()`), scanned by the core, and for the shift written to a
// temporary beside it that replaces it atomically. The interpreter lock is
// held throughout, file input and output included.
#include "../module/entry_points.h"
#include "../module/guards.h"
#include "obj_file.h"
#include "replace_file.h"

#include <cerrno>

namespace tsr {
namespace {

// Calls `exit_fn(type, value, tb)` for the exception being raised inside a
// with block and lets that exception go on (a file object's __exit__ never
// suppresses it). An exception from __exit__ itself replaces it, chained.
void exit_with_error(PyObject* exit_fn) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Ref r = Ref::steal(PyObject_CallFunctionObjArgs(exit_fn, type, value, tb ? tb : Py_None,
                                                    nullptr));
    if (!r) {
        PyObject *type2, *value2, *tb2;
        PyErr_Fetch(&type2, &value2, &tb2);
        PyErr_NormalizeException(&type2, &value2, &tb2);
        PyException_SetContext(value2, value);  // steals value
        Py_XDECREF(type);
        Py_XDECREF(tb);
        PyErr_Restore(type2, value2, tb2);
        return;
    }
    PyErr_Restore(type, value, tb);
}

// with open(path, 'rb') as f: data = f.read()   (data must be bytes)
Ref read_file(PyObject* path) {
    Ref file = Ref::steal(PyObject_CallFunction(builtin_open(), "Os", path, "rb"));
    if (!file) return {};
    Ref exit_fn = Ref::steal(PyObject_GetAttrString(file.get(), "__exit__"));
    if (!exit_fn) return {};
    Ref f = Ref::steal(PyObject_CallMethod(file.get(), "__enter__", nullptr));
    if (!f) return {};
    Ref data = Ref::steal(PyObject_CallMethod(f.get(), "read", nullptr));
    if (data && !PyBytes_CheckExact(data.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes",
                     Py_TYPE(data.get())->tp_name);
        data = Ref();
    }
    if (!data) {
        exit_with_error(exit_fn.get());
        return {};
    }
    Ref r = Ref::steal(PyObject_CallFunctionObjArgs(exit_fn.get(), Py_None, Py_None, Py_None,
                                                    nullptr));
    if (!r) return {};
    return data;
}

// OSError (its errno subclass) naming the caller's path; MemoryError for
// a failed allocation.
PyObject* raise_errno(int err, PyObject* path) {
    if (err == ENOMEM) return PyErr_NoMemory();
    errno = err;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

}  // namespace

PyObject* compute_obj_extent(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::compute_obj_extent, args, nargs, kwnames, a)) return nullptr;
    Ref data = read_file(a[0].obj);
    if (!data) return nullptr;
    const objfile::Extent e = objfile::scan_extent(
        PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
    if (!e.found) Py_RETURN_NONE;
    return Py_BuildValue("(dddddd)", e.min[0], e.min[1], e.min[2], e.max[0], e.max[1], e.max[2]);
}

PyObject* shift_obj_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::shift_obj_file, args, nargs, kwnames, a)) return nullptr;
    PyObject* path = a[0].obj;
    Ref data = read_file(path);
    if (!data) return nullptr;

    PyObject* fs_raw = nullptr;
    if (!PyUnicode_FSConverter(path, &fs_raw)) return nullptr;
    Ref fs_path = Ref::steal(fs_raw);

    objfile::FileReplacement out;
    if (const int err = out.begin(PyBytes_AS_STRING(fs_path.get()))) return raise_errno(err, path);
    std::uint64_t count = 0;
    if (!objfile::shift_vertices(PyBytes_AS_STRING(data.get()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())),
                                 a[1].f64, a[2].f64, a[3].f64, out, &count))
        return raise_errno(out.error(), path);
    if (const int err = out.commit()) return raise_errno(err, path);
    return PyLong_FromUnsignedLongLong(count);
}

}  // namespace tsr

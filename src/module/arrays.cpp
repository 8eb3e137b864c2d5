// The array-argument helper (see arrays.h). Conversion goes through the
// module's `np` attribute so that it follows whatever NumPy the module was
// imported with; views go through the buffer protocol, so a read-only array
// is refused by NumPy itself.
#include "arrays.h"
#include "numpy_api.h"

namespace tsr {
namespace {

const char* dtype_attr(DType d) {
    switch (d) {
    case DType::Float32: return "float32";
    case DType::Float64: return "float64";
    case DType::Int64: return "int64";
    case DType::UInt32: return "uint32";
    }
    return "float64";
}

int dtype_typenum(DType d) {
    switch (d) {
    case DType::Float32: return NPY_FLOAT32;
    case DType::Float64: return NPY_FLOAT64;
    case DType::Int64: return NPY_INT64;
    case DType::UInt32: return NPY_UINT32;
    }
    return NPY_FLOAT64;
}

const char* dtype_format(DType d) {
    switch (d) {
    case DType::Float32: return "f";
    case DType::Float64: return "d";
    case DType::Int64: return "q";
    case DType::UInt32: return "I";
    }
    return "d";
}

std::size_t dtype_size(DType d) {
    return (d == DType::Float64 || d == DType::Int64) ? 8 : 4;
}

}  // namespace

Ref as_contiguous(PyObject* module, PyObject* obj, DType dtype) {
    Ref np = Ref::steal(PyObject_GetAttrString(module, "np"));
    if (!np) return Ref();
    Ref fn = Ref::steal(PyObject_GetAttrString(np.get(), "ascontiguousarray"));
    if (!fn) return Ref();
    Ref dt = Ref::steal(PyObject_GetAttrString(np.get(), dtype_attr(dtype)));
    if (!dt) return Ref();
    PyObject* call_args[] = {obj, dt.get()};
    Ref kw = Ref::steal(Py_BuildValue("(s)", "dtype"));
    if (!kw) return Ref();
    return Ref::steal(PyObject_Vectorcall(fn.get(), call_args, 1, kw.get()));
}

int array_ndim(PyObject* arr) {
    return PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arr));
}

Py_ssize_t array_dim(PyObject* arr, int axis) {
    return PyArray_DIM(reinterpret_cast<PyArrayObject*>(arr), axis);
}

Py_ssize_t array_size(PyObject* arr) {
    return PyArray_SIZE(reinterpret_cast<PyArrayObject*>(arr));
}

Ref reshape_rows(PyObject* arr, Py_ssize_t cols) {
    return Ref::steal(PyObject_CallMethod(arr, "reshape", "nn", Py_ssize_t(-1), cols));
}

bool Matrix::acquire(PyObject* arr, DType dtype, Py_ssize_t min_cols, const char* what) {
    const int flags = PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS;
    if (!view_.acquire(arr, flags)) return false;
    const Py_buffer& v = view_.view();
    if (v.ndim != 2) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", 2,
                     v.ndim);
        view_.reset();
        return false;
    }
    // as_contiguous already produced the dtype; this guards direct callers.
    const char* fmt = v.format ? v.format : "B";
    if (*fmt == '<' || *fmt == '=' || *fmt == '@') ++fmt;
    const char* want = dtype_format(dtype);
    const bool same = fmt[0] == want[0] && fmt[1] == '\0';
    const bool int64_alias = dtype == DType::Int64 && fmt[0] == 'l' && fmt[1] == '\0' &&
                             sizeof(long) == 8;
    if ((!same && !int64_alias) || static_cast<std::size_t>(v.itemsize) != dtype_size(dtype)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch (expected %s, got '%s')",
                     dtype_attr(dtype), v.format ? v.format : "B");
        view_.reset();
        return false;
    }
    rows_ = v.shape[0];
    cols_ = v.shape[1];
    if (min_cols > 0 && cols_ < min_cols && rows_ > 0) {
        PyErr_Format(PyExc_ValueError, "%s must have at least %zd columns, got %zd",
                     what ? what : "array", min_cols, cols_);
        view_.reset();
        return false;
    }
    return true;
}

Ref new_array(int ndim, const Py_ssize_t* dims, DType dtype) {
    npy_intp d[NPY_MAXDIMS];
    for (int i = 0; i < ndim; ++i) d[i] = dims[i];
    return Ref::steal(PyArray_SimpleNew(ndim, d, dtype_typenum(dtype)));
}

Ref new_zeros(int ndim, const Py_ssize_t* dims, DType dtype) {
    npy_intp d[NPY_MAXDIMS];
    for (int i = 0; i < ndim; ++i) d[i] = dims[i];
    return Ref::steal(PyArray_ZEROS(ndim, d, dtype_typenum(dtype), 0));
}

void* array_data(PyObject* arr) {
    return PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr));
}

}  // namespace tsr

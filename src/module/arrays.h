// The array-argument convention shared by the functions that take
// array-like parameters: convert with np.ascontiguousarray through the
// module attribute `np`, apply the body's 1-D and empty rules, then view
// the result as a writable two-dimensional C-contiguous buffer.
#pragma once

#include "guards.h"

#include <cstdint>

namespace tsr {

enum class DType : std::uint8_t { Float32, Float64, Int64, UInt32 };

// np.ascontiguousarray(obj, dtype=np.<dtype>), looked up through the module
// attribute `np` at call time. Null with NumPy's exception on failure.
Ref as_contiguous(PyObject* module, PyObject* obj, DType dtype);

// Dimensions of an ndarray (the result of as_contiguous).
int array_ndim(PyObject* arr);
Py_ssize_t array_dim(PyObject* arr, int axis);
Py_ssize_t array_size(PyObject* arr);

// arr.reshape(-1, cols); NumPy's ValueError propagates.
Ref reshape_rows(PyObject* arr, Py_ssize_t cols);

// A writable, two-dimensional, C-contiguous view of an array of `dtype`.
// acquire() refuses read-only arrays (NumPy's ValueError) and other ranks
// ("Buffer has wrong number of dimensions (expected 2, got %d)"). When
// `min_cols` > 0, rows narrower than that raise ValueError naming
// `what`. The view keeps the array alive until the guard is destroyed.
class Matrix {
public:
    bool acquire(PyObject* arr, DType dtype, Py_ssize_t min_cols = 0,
                 const char* what = nullptr);
    Py_ssize_t rows() const noexcept { return rows_; }
    Py_ssize_t cols() const noexcept { return cols_; }
    template <class T> T* data() const noexcept {
        return static_cast<T*>(view_.view().buf);
    }

private:
    BufferView view_;
    Py_ssize_t rows_ = 0;
    Py_ssize_t cols_ = 0;
};

// A new uninitialised C-contiguous ndarray; MemoryError on failure.
Ref new_array(int ndim, const Py_ssize_t* dims, DType dtype);
// The same, zero-filled.
Ref new_zeros(int ndim, const Py_ssize_t* dims, DType dtype);
// Data pointer of an ndarray created by new_array/new_zeros.
void* array_data(PyObject* arr);

}  // namespace tsr

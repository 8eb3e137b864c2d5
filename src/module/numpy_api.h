// Includes NumPy's C API for every translation unit of the module. The
// function table lives in module.cpp (which defines TSR_NUMPY_DEFINE_API
// before including this header); everyone else sees it as extern.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#endif
#define PY_ARRAY_UNIQUE_SYMBOL tessaroid_ARRAY_API
#ifndef TSR_NUMPY_DEFINE_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

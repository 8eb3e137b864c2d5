// One table-driven argument binder for every function and method of the
// module. An entry point declares a Signature (name, parameters in order,
// the kind of each, how many are required) and calls bind(); the body then
// works on plain C++ values. The messages are fixed texts that callers and
// tests rely on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace tsr {

enum class Kind : std::uint8_t {
    Object,  // any object, passed through (default None)
    Array,   // any object, converted by the body through np.ascontiguousarray
    Bytes,   // exactly bytes, or None
    Str,     // exactly str, or None
    Truth,   // any object, reduced by truth testing
    Int32,   // int or __int__, signed 32-bit
    Double,  // float conversion
};

struct Param {
    const char* name;
    Kind kind;
    bool optional = false;
    // Default of an optional parameter: Object/Bytes/Str take None, Truth
    // takes (default_value != 0), Int32 takes default_value.
    long default_value = 0;
};

constexpr int kMaxParams = 8;

struct Signature {
    const char* name;      // function or method name
    const Param* params;
    int count;             // N
    int required;          // R: the first R parameters are required
    const char* doc;       // docstring (without the text signature)
    const char* returns;   // return annotation text, or nullptr
    // Interned parameter names, filled once at module initialisation.
    mutable PyObject* keys[kMaxParams] = {};
};

// A bound argument. `obj` is borrowed from the caller's argument vector (or
// is Py_None for a defaulted object parameter); the scalar fields hold the
// converted value for Truth, Int32 and Double parameters.
struct Arg {
    PyObject* obj = nullptr;
    bool truth = false;
    std::int32_t i32 = 0;
    double f64 = 0.0;
};

// Binds a vectorcall (args, nargs, kwnames) to `sig` and converts each
// parameter by kind. Fills out[0 .. sig.count). Returns false with a Python
// exception set on any binding or conversion error.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, Arg* out);

// Interns the parameter names of `sig`; called once per signature while
// the module is initialised. False with an exception set on failure.
bool prepare_signature(const Signature& sig);

// "name(a, b, c=None)\n--\n\n" + doc, the form from which the interpreter
// derives __text_signature__ and __doc__. `self_prefix` adds "$self, ".
// The returned pointer stays valid for the life of the process.
const char* doc_with_signature(const Signature& sig, bool is_method);

// Converters shared with bodies that convert values themselves.
// Int32: int, bool or any object with __int__; "an integer is required"
// otherwise, OverflowError outside the 32-bit range.
bool to_int32(PyObject* obj, std::int32_t* out);

}  // namespace tsr

// Argument binding and conversion for every entry point (see binder.h).
// Binding follows one fixed order: too many positionals, then each keyword
// (type, repeat, unknown), then the first missing required parameter, then
// defaults, then conversion by kind, where the exact-type checks of str and
// bytes parameters come after the scalar conversions of the same call.
#include "binder.h"
#include "guards.h"

#include <climits>
#include <deque>
#include <string>

namespace tsr {
namespace {

void raise_count(const Signature& sig, const char* qualifier, Py_ssize_t count,
                 Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, qualifier, count, count == 1 ? "" : "s", given);
}

// Index of the parameter called `key`, or -1. Names are interned, so an
// identity match is the common case; a string comparison catches keys that
// were built at run time.
int find_keyword(const Signature& sig, PyObject* key) {
    for (int i = 0; i < sig.count; ++i) {
        if (sig.keys[i] == key) return i;
    }
    for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_Compare(sig.keys[i], key) == 0) return i;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return -1;
}

void raise_type(const Param& p, const char* expected, PyObject* obj) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 p.name, expected, Py_TYPE(obj)->tp_name);
}

}  // namespace

bool to_int32(PyObject* obj, std::int32_t* out) {
    Ref owned;
    PyObject* as_long = obj;
    if (!PyLong_Check(obj)) {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        owned = Ref::steal(nb->nb_int(obj));
        if (!owned) return false;
        if (!PyLong_Check(owned.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(owned.get())->tp_name);
            return false;
        }
        as_long = owned.get();
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(as_long, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError,
                        "Python int too large to convert to C int");
        return false;
    }
    *out = static_cast<std::int32_t>(v);
    return true;
}

bool prepare_signature(const Signature& sig) {
    for (int i = 0; i < sig.count; ++i) {
        if (sig.keys[i] != nullptr) continue;
        PyObject* key = PyUnicode_InternFromString(sig.params[i].name);
        if (key == nullptr) return false;
        sig.keys[i] = key;  // kept for the life of the process
    }
    return true;
}

const char* doc_with_signature(const Signature& sig, bool is_method) {
    // Process-lifetime storage for the built strings; deque keeps addresses.
    static std::deque<std::string> storage;
    std::string s = sig.name;
    s += '(';
    if (is_method) s += "$self";
    for (int i = 0; i < sig.count; ++i) {
        const Param& p = sig.params[i];
        if (i > 0 || is_method) s += ", ";
        s += p.name;
        if (!p.optional) continue;
        s += '=';
        switch (p.kind) {
        case Kind::Truth: s += p.default_value ? "True" : "False"; break;
        case Kind::Int32:
        case Kind::Double: s += std::to_string(p.default_value); break;
        default: s += "None"; break;
        }
    }
    s += ")\n--\n\n";
    s += sig.doc;
    storage.push_back(std::move(s));
    return storage.back().c_str();
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, Arg* out) {
    const Py_ssize_t n = sig.count;
    const Py_ssize_t r = sig.required;
    if (nargs > n) {
        raise_count(sig, r == n ? "exactly" : "at most", n, nargs);
        return false;
    }
    PyObject* given[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                             sig.name);
                return false;
            }
            const int idx = find_keyword(sig, key);
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got an unexpected keyword argument '%U'",
                             sig.name, key);
                return false;
            }
            if (given[idx] != nullptr) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument '%U'",
                             sig.name, key);
                return false;
            }
            given[idx] = args[nargs + k];
        }
    }

    for (Py_ssize_t i = 0; i < r; ++i) {
        if (given[i] == nullptr) {
            raise_count(sig, r == n ? "exactly" : "at least", r, i);
            return false;
        }
    }

    // Scalar conversions first, in parameter order.
    for (int i = 0; i < sig.count; ++i) {
        const Param& p = sig.params[i];
        Arg& a = out[i];
        a.obj = given[i];
        switch (p.kind) {
        case Kind::Truth:
            if (a.obj == nullptr) {
                a.truth = p.default_value != 0;
            } else {
                const int t = PyObject_IsTrue(a.obj);
                if (t < 0) return false;
                a.truth = t != 0;
            }
            break;
        case Kind::Int32:
            if (a.obj == nullptr) {
                a.i32 = static_cast<std::int32_t>(p.default_value);
            } else if (!to_int32(a.obj, &a.i32)) {
                return false;
            }
            break;
        case Kind::Double:
            if (a.obj == nullptr) {
                a.f64 = static_cast<double>(p.default_value);
            } else if (PyFloat_CheckExact(a.obj)) {
                a.f64 = PyFloat_AS_DOUBLE(a.obj);
            } else {
                a.f64 = PyFloat_AsDouble(a.obj);
                if (a.f64 == -1.0 && PyErr_Occurred()) return false;
            }
            break;
        default:
            if (a.obj == nullptr) a.obj = Py_None;
            break;
        }
    }
    // Then the exact-type checks.
    for (int i = 0; i < sig.count; ++i) {
        const Param& p = sig.params[i];
        PyObject* obj = out[i].obj;
        if (p.kind == Kind::Bytes && obj != Py_None && !PyBytes_CheckExact(obj)) {
            raise_type(p, "bytes", obj);
            return false;
        }
        if (p.kind == Kind::Str && obj != Py_None && !PyUnicode_CheckExact(obj)) {
            raise_type(p, "str", obj);
            return false;
        }
    }
    return true;
}

}  // namespace tsr

// Initialisation of tessaroid._obj_writer (multi-phase): the creation step
// enforces one interpreter per process and hands back the already
// initialised module on re-import; the execution step imports NumPy (its
// Python module and its C API), binds `np`, looks up the built-in `open`
// once, and creates the function objects and the DecodedTexture class.
#define TSR_NUMPY_DEFINE_API
#include "numpy_api.h"

#include "entry_points.h"
#include "guards.h"

#include <cstdint>

namespace tsr {
namespace {

constexpr const char* kFullName = "tessaroid._obj_writer";

// Process-wide: the interpreter that first loaded the module, and the
// module once it has been initialised successfully.
bool g_have_interp = false;
std::int64_t g_interp_id = -1;
PyObject* g_module = nullptr;  // strong reference while initialised
PyObject* g_open = nullptr;    // the built-in open, looked up at init

PyMethodDef g_defs[16] = {};

bool set_from_spec(PyObject* module, PyObject* spec, const char* from, const char* to,
                   bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyObject_SetAttrString(module, to, value.get()) == 0;
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (!g_have_interp) {
        g_have_interp = true;
        g_interp_id = current;
    } else if (g_interp_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded "
                        "into one interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!set_from_spec(module.get(), spec, "loader", "__loader__", false) ||
        !set_from_spec(module.get(), spec, "origin", "__file__", false) ||
        !set_from_spec(module.get(), spec, "parent", "__package__", false) ||
        !set_from_spec(module.get(), spec, "submodule_search_locations", "__path__",
                       true)) {
        return nullptr;
    }
    return module.release();
}

// NumPy's Python-level types must be the ones this build expects.
bool check_numpy_types(PyObject* numpy) {
    static const char* const names[] = {"dtype", "ndarray", "ufunc", "generic",
                                        "number", "integer", "signedinteger",
                                        "unsignedinteger", "inexact", "floating",
                                        "complexfloating", "flexible", "character"};
    for (const char* n : names) {
        Ref t = Ref::steal(PyObject_GetAttrString(numpy, n));
        if (!t) return false;
        if (!PyType_Check(t.get())) {
            PyErr_Format(PyExc_ValueError,
                         "numpy.%s is not a type object: binary incompatibility", n);
            return false;
        }
        if (reinterpret_cast<PyTypeObject*>(t.get())->tp_basicsize <
            static_cast<Py_ssize_t>(sizeof(PyObject))) {
            PyErr_Format(PyExc_ValueError,
                         "numpy.%s size changed, may indicate binary incompatibility", n);
            return false;
        }
    }
    return true;
}

bool import_numpy_c_api() {
    if (_import_array() < 0) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        if (value != nullptr) {
            PyObject *t2, *v2, *tb2;
            PyErr_Fetch(&t2, &v2, &tb2);
            PyErr_NormalizeException(&t2, &v2, &tb2);
            PyException_SetCause(v2, value);  // steals value
            Py_INCREF(value);
            PyException_SetContext(v2, value);  // steals value
            PyErr_Restore(t2, v2, tb2);
        }
        return false;
    }
    return true;
}

bool check_version() {
    PyObject* info = PySys_GetObject("version_info");  // borrowed
    if (info == nullptr) return true;
    long major = PyLong_AsLong(PyTuple_GetItem(info, 0));
    long minor = PyLong_AsLong(PyTuple_GetItem(info, 1));
    if (PyErr_Occurred()) return false;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s "
                            "runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kFullName,
                            "does not match", static_cast<int>(major),
                            static_cast<int>(minor)) == 0;
}

bool add_functions(PyObject* module) {
    Ref modname = Ref::steal(PyUnicode_FromString(kFullName));
    if (!modname) return false;
    for (int i = 0; i < kEntryPointCount; ++i) {
        const EntryPoint& e = kEntryPoints[i];
        if (!prepare_signature(*e.signature)) return false;
        PyMethodDef& def = g_defs[i];
        if (def.ml_name == nullptr) {
            def.ml_name = e.signature->name;
            def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(e.function));
            def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
            def.ml_doc = doc_with_signature(*e.signature, false);
        }
        Ref fn = Ref::steal(PyCFunction_NewEx(&def, module, modname.get()));
        if (!fn) return false;
        if (PyModule_AddObjectRef(module, def.ml_name, fn.get()) < 0) return false;
    }
    for (const Signature* s : {&sig::texture_decode, &sig::texture_crop_and_save,
                               &sig::texture_flip_and_save}) {
        if (!prepare_signature(*s)) return false;
    }
    Ref type = Ref::steal(make_decoded_texture_type(module));
    if (!type) return false;
    return PyModule_AddObjectRef(module, "DecodedTexture", type.get()) == 0;
}

int exec_steps(PyObject* module) {
    if (!check_version()) return -1;

    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref full = Ref::steal(PyUnicode_FromString(kFullName));
    if (!full) return -1;
    const int present = PyDict_Contains(modules, full.get());
    if (present < 0) return -1;
    if (present == 0 && PyDict_SetItem(modules, full.get(), module) < 0) return -1;

    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || !check_numpy_types(numpy.get())) return -1;
    if (PyModule_AddObjectRef(module, "np", numpy.get()) < 0) return -1;
    if (!import_numpy_c_api()) return -1;

    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    Ref open = Ref::steal(PyObject_GetAttrString(builtins.get(), "open"));
    if (!open) return -1;

    if (!add_functions(module)) return -1;
    Py_XSETREF(g_open, open.release());
    return 0;
}

int exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_obj_writer' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    if (exec_steps(module) == 0) return 0;
    // Forget the module so that a later import starts again.
    Py_CLEAR(g_module);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init tessaroid._obj_writer");
    return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef g_moduledef = {
    PyModuleDef_HEAD_INIT,
    "_obj_writer",
    "High-performance OBJ formatting and mesh extraction without the interpreter lock.\n"
    "\n"
    "Stage 1: OBJ string formatting via snprintf with GIL released.\n"
    "Stage 2: Mesh array extraction with pre-allocated numpy + nogil type casting.\n",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* builtin_open() { return g_open; }

}  // namespace tsr

extern "C" PyMODINIT_FUNC PyInit__obj_writer(void) {
    return PyModuleDef_Init(&tsr::g_moduledef);
}

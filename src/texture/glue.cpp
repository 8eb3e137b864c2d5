// Placeholder DecodedTexture: the class is registered, its methods are not
// written yet.
#include "../module/entry_points.h"

#include <structmember.h>

namespace tsr {
namespace {

struct TextureObject {
    PyObject_HEAD
    void* buffer;
};

PyObject* not_written(const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(s, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, s.name);
    return nullptr;
}

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return not_written(sig::texture_decode, args, nargs, kw);
}
PyObject* crop_and_save(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return not_written(sig::texture_crop_and_save, args, nargs, kw);
}
PyObject* flip_and_save(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return not_written(sig::texture_flip_and_save, args, nargs, kw);
}

PyMethodDef g_methods[4] = {};

PyType_Slot g_slots[] = {
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "tessaroid._obj_writer.DecodedTexture",
    sizeof(TextureObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    g_slots,
};

}  // namespace

PyObject* make_decoded_texture_type(PyObject* module) {
    if (g_methods[0].ml_name == nullptr) {
        const Signature* sigs[] = {&sig::texture_decode, &sig::texture_crop_and_save,
                                   &sig::texture_flip_and_save};
        FastFunction fns[] = {decode, crop_and_save, flip_and_save};
        for (int i = 0; i < 3; ++i) {
            g_methods[i].ml_name = sigs[i]->name;
            g_methods[i].ml_meth =
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fns[i]));
            g_methods[i].ml_flags = METH_FASTCALL | METH_KEYWORDS;
            g_methods[i].ml_doc = doc_with_signature(*sigs[i], true);
        }
    }
    return PyType_FromModuleAndSpec(module, &g_spec, nullptr);
}

}  // namespace tsr

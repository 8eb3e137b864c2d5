// DecodedTexture: the Python class around a TextureBuffer. Instances have no
// __dict__, no weak references and hold no Python references (so the type
// is not GC-tracked); the type can be subclassed. The constructor takes and
// ignores any arguments. Pickling and copying are refused.
#include "../module/entry_points.h"
#include "../module/guards.h"
#include "texture_buffer.h"

#include <cstring>
#include <new>

namespace tsr {
namespace {

using texture::TextureBuffer;

struct TextureObject {
    PyObject_HEAD
    TextureBuffer* buffer;  // owned; never null for a constructed instance
};

TextureBuffer& buffer_of(PyObject* self) {
    return *reinterpret_cast<TextureObject*>(self)->buffer;
}

PyObject* texture_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* obj = reinterpret_cast<TextureObject*>(self.get());
    obj->buffer = new (std::nothrow) TextureBuffer();
    if (obj->buffer == nullptr) return PyErr_NoMemory();
    return self.release();
}

void texture_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<TextureObject*>(self)->buffer;
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

// The UTF-8 name of `path` (a str or None, as the binder lets through), or
// null with the exception set: AttributeError for None, as str.encode on
// None reports it; the codec's error for unencodable text; ValueError for
// an embedded NUL, which would otherwise cut the name short.
const char* path_name(PyObject* path) {
    if (path == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'",
                     "encode");
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(path, &size);
    if (name == nullptr) return nullptr;
    if (std::strlen(name) != static_cast<std::size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    return name;
}

PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::texture_decode, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0].obj;
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        return nullptr;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
    const auto len = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
    return PyBool_FromLong(buffer_of(self).decode(bytes, len));
}

PyObject* crop_and_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::texture_crop_and_save, args, nargs, kwnames, a)) return nullptr;
    const char* name = path_name(a[4].obj);
    if (name == nullptr) return nullptr;
    return PyBool_FromLong(
        buffer_of(self).crop_and_save(a[0].i32, a[1].i32, a[2].i32, a[3].i32, name,
                                      a[5].truth, a[6].i32));
}

PyObject* flip_and_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::texture_flip_and_save, args, nargs, kwnames, a)) return nullptr;
    const char* name = path_name(a[0].obj);
    if (name == nullptr) return nullptr;
    return PyBool_FromLong(buffer_of(self).flip_and_save(name, a[1].truth, a[2].i32));
}

constexpr const char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";

PyObject* refuse_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

PyObject* get_width(PyObject* self, void*) { return PyLong_FromLong(buffer_of(self).width()); }
PyObject* get_height(PyObject* self, void*) {
    return PyLong_FromLong(buffer_of(self).height());
}
PyObject* get_channels(PyObject* self, void*) {
    return PyLong_FromLong(buffer_of(self).channels());
}

PyMethodDef g_methods[7] = {};

PyGetSetDef g_getset[] = {
    {"width", get_width, nullptr, nullptr, nullptr},
    {"height", get_height, nullptr, nullptr, nullptr},
    {"channels", get_channels, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Image decoder backed by stb_image: decode once, crop and save many times.")},
    {Py_tp_new, reinterpret_cast<void*>(texture_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(texture_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "tessaroid._obj_writer.DecodedTexture",
    sizeof(TextureObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    g_slots,
};

void fill_methods() {
    const Signature* sigs[] = {&sig::texture_decode, &sig::texture_crop_and_save,
                               &sig::texture_flip_and_save};
    FastFunction fns[] = {decode, crop_and_save, flip_and_save};
    for (int i = 0; i < 3; ++i) {
        g_methods[i].ml_name = sigs[i]->name;
        g_methods[i].ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fns[i]));
        g_methods[i].ml_flags = METH_FASTCALL | METH_KEYWORDS;
        g_methods[i].ml_doc = doc_with_signature(*sigs[i], true);
    }
    g_methods[3] = {"__reduce__", refuse_reduce, METH_NOARGS, nullptr};
    g_methods[4] = {"__reduce_ex__", refuse_reduce, METH_O, nullptr};
    g_methods[5] = {"__setstate__", refuse_reduce, METH_O, nullptr};
}

}  // namespace

PyObject* make_decoded_texture_type(PyObject* module) {
    if (g_methods[0].ml_name == nullptr) fill_methods();
    return PyType_FromModuleAndSpec(module, &g_spec, nullptr);
}

}  // namespace tsr

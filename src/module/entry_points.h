// The entry points of tessaroid._obj_writer: their signatures (names,
// parameters, docstrings, defined in entry_points.cpp) and the functions
// that implement them, one glue file per concern under src/<concern>/.
// module.cpp builds the module's function table from the kEntryPoints list.
#pragma once

#include "binder.h"

namespace tsr {

using FastFunction = PyObject* (*)(PyObject* self, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames);

namespace sig {
extern const Signature format_vertex_lines;
extern const Signature format_texcoord_lines;
extern const Signature format_face_lines;
extern const Signature extract_mesh_arrays;
extern const Signature quantize_uvr;
extern const Signature ecef_to_webmercator;
extern const Signature ecef_to_wgs84_geo;
extern const Signature convert_crs;
extern const Signature compute_obj_extent;
extern const Signature shift_obj_file;
extern const Signature texture_decode;
extern const Signature texture_crop_and_save;
extern const Signature texture_flip_and_save;
}  // namespace sig

// src/obj_text/glue.cpp
PyObject* format_vertex_lines(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_texcoord_lines(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_face_lines(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// src/gltf/glue.cpp
PyObject* extract_mesh_arrays(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* quantize_uvr(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// src/crs/glue.cpp
PyObject* ecef_to_webmercator(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* ecef_to_wgs84_geo(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* convert_crs(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// src/obj_file/glue.cpp
PyObject* compute_obj_extent(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* shift_obj_file(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// src/texture/glue.cpp: creates the DecodedTexture type for `module`
// (a new reference, or null with an exception set).
PyObject* make_decoded_texture_type(PyObject* module);

struct EntryPoint {
    const Signature* signature;
    FastFunction function;
};
extern const EntryPoint kEntryPoints[];
extern const int kEntryPointCount;

// Module-wide objects looked up once at initialisation (borrowed; they live
// as long as the module, which is never unloaded).
PyObject* builtin_open();

}  // namespace tsr

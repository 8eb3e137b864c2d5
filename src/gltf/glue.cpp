// extract_mesh_arrays and quantize_uvr: the Python side. The glTF JSON is
// walked with the interpreter lock held (every lookup goes through the
// objects' own get(), so a malformed document raises whatever its objects
// raise); every byte range is validated against bin_chunk before anything
// is copied; the result arrays are allocated once at their final size and
// filled by the loops of mesh.h with the lock released.
#include "../module/arrays.h"
#include "../module/entry_points.h"
#include "../module/numpy_api.h"
#include "mesh.h"

#include <cstring>
#include <new>
#include <vector>

namespace tsr {
namespace {

namespace g = tsr::gltf;

// Interned key strings, made once (the module lives in one interpreter).
struct Keys {
    PyObject* get;
    PyObject* accessors;
    PyObject* bufferViews;
    PyObject* bufferView;
    PyObject* byteOffset;
    PyObject* count;
    PyObject* componentType;
    PyObject* byteStride;
    PyObject* normalized;
    PyObject* meshes;
    PyObject* primitives;
    PyObject* attributes;
    PyObject* indices;
    PyObject* mode;
    PyObject* position;
    PyObject* texcoord[3];
};

const Keys* keys() {
    static Keys k{};
    static bool ready = false;
    if (ready) return &k;
    struct Item { PyObject** slot; const char* text; };
    const Item items[] = {
        {&k.get, "get"}, {&k.accessors, "accessors"}, {&k.bufferViews, "bufferViews"},
        {&k.bufferView, "bufferView"}, {&k.byteOffset, "byteOffset"}, {&k.count, "count"},
        {&k.componentType, "componentType"}, {&k.byteStride, "byteStride"},
        {&k.normalized, "normalized"}, {&k.meshes, "meshes"}, {&k.primitives, "primitives"},
        {&k.attributes, "attributes"}, {&k.indices, "indices"}, {&k.mode, "mode"},
        {&k.position, "POSITION"}, {&k.texcoord[0], "TEXCOORD_0"},
        {&k.texcoord[1], "TEXCOORD_1"}, {&k.texcoord[2], "TEXCOORD_2"},
    };
    for (const Item& it : items) {
        if (*it.slot == nullptr) {
            *it.slot = PyUnicode_InternFromString(it.text);
            if (*it.slot == nullptr) return nullptr;
        }
    }
    ready = true;
    return &k;
}

// obj.get(key, dflt) through the object's own method.
Ref get(const Keys& k, PyObject* obj, PyObject* key, PyObject* dflt) {
    PyObject* call[] = {obj, key, dflt};
    return Ref::steal(PyObject_VectorcallMethod(
        k.get, call, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// int(obj) as a Python int.
Ref to_int(PyObject* obj) { return Ref::steal(PyNumber_Long(obj)); }

// A Python int as int64; OverflowError beyond.
bool as_i64(PyObject* py_int, std::int64_t* out) {
    const long long v = PyLong_AsLongLong(py_int);
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// int(obj.get(key, dflt)) as int64.
bool get_int(const Keys& k, PyObject* obj, PyObject* key, long dflt, std::int64_t* out) {
    Ref d = Ref::steal(PyLong_FromLong(dflt));
    if (!d) return false;
    Ref v = get(k, obj, key, d.get());
    if (!v) return false;
    Ref i = to_int(v.get());
    return i && as_i64(i.get(), out);
}

bool narrow(std::int64_t v, const char* what, std::int32_t* out) {
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError,
                     "%s %lld does not fit in a signed 32-bit integer", what,
                     static_cast<long long>(v));
        return false;
    }
    *out = static_cast<std::int32_t>(v);
    return true;
}

// What one accessor resolves to. Values are kept wide here and narrowed to
// 32 bits where they are used.
struct AccessorInfo {
    std::int64_t offset = 0;
    std::int64_t count = 0;
    std::int64_t component_type = g::kFloat;
    std::int64_t byte_stride = 0;
    bool normalized = false;
};

bool is_integer_type(std::int64_t code) {
    return code == g::kByte || code == g::kUnsignedByte || code == g::kShort ||
           code == g::kUnsignedShort || code == g::kUnsignedInt;
}

// Resolves the attribute or indices value `ref` (anything int() takes) to
// the accessor it names and that accessor's buffer view. `attribute`
// accessors also read "normalized" when their type is an integer one.
bool resolve(const Keys& k, PyObject* gltf, PyObject* ref, bool attribute, AccessorInfo* out) {
    Ref ref_int = to_int(ref);
    if (!ref_int) return false;
    std::int64_t wide = 0;
    std::int32_t index = 0;
    if (!as_i64(ref_int.get(), &wide) || !narrow(wide, "accessor index", &index)) return false;

    Ref empty1 = Ref::steal(PyList_New(0));
    if (!empty1) return false;
    Ref accessors = get(k, gltf, k.accessors, empty1.get());
    if (!accessors) return false;
    Ref empty2 = Ref::steal(PyList_New(0));
    if (!empty2) return false;
    Ref views = get(k, gltf, k.bufferViews, empty2.get());
    if (!views) return false;

    Ref acc;
    if (PyList_Check(accessors.get()) || PyTuple_Check(accessors.get())) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(accessors.get());
        if (index < 0 || index >= n) {
            PyErr_Format(PyExc_IndexError, "accessor index %d out of range (%zd accessors)",
                         index, n);
            return false;
        }
        acc = Ref::borrow(PySequence_Fast_GET_ITEM(accessors.get(), index));
    } else {
        Ref key = Ref::steal(PyLong_FromLong(index));
        if (!key) return false;
        acc = Ref::steal(PyObject_GetItem(accessors.get(), key.get()));
        if (!acc) return false;
    }

    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    Ref view_ref = get(k, acc.get(), k.bufferView, zero.get());
    if (!view_ref) return false;
    Ref view_index = to_int(view_ref.get());
    if (!view_index) return false;
    Ref view = Ref::steal(PyObject_GetItem(views.get(), view_index.get()));
    if (!view) return false;

    std::int64_t view_off = 0, acc_off = 0;
    if (!get_int(k, view.get(), k.byteOffset, 0, &view_off)) return false;
    if (!get_int(k, acc.get(), k.byteOffset, 0, &acc_off)) return false;
    if (__builtin_add_overflow(view_off, acc_off, &out->offset)) {
        PyErr_SetString(PyExc_OverflowError, "byteOffset sum does not fit in 64 bits");
        return false;
    }
    if (!get_int(k, acc.get(), k.count, 0, &out->count)) return false;
    if (!get_int(k, acc.get(), k.componentType, g::kFloat, &out->component_type)) return false;
    if (!get_int(k, view.get(), k.byteStride, 0, &out->byte_stride)) return false;
    out->normalized = false;
    if (attribute && is_integer_type(out->component_type)) {
        Ref v = get(k, acc.get(), k.normalized, Py_False);
        if (!v) return false;
        const int t = PyObject_IsTrue(v.get());
        if (t < 0) return false;
        out->normalized = t != 0;
    }
    return true;
}

// One accepted primitive, as gathered by the first pass.
struct Entry {
    AccessorInfo pos;
    std::int32_t vcount = 0;
    bool has_tc = false;
    AccessorInfo tc;
    bool has_uvr = false;
    AccessorInfo uvr_min, uvr_max;
    bool indexed = false;
    AccessorInfo idx;
    g::Topology topology = g::Topology::Triangles;
    std::int32_t fcount = 0;
    std::int32_t voffset = 0;
    std::int32_t foffset = 0;
};

// An entry validated against bin_chunk: ready for the copy loops.
struct Plan {
    g::Stream pos, tc, uvr_a, uvr_b;
    bool has_tc = false, has_uvr = false;
    const std::uint8_t* idx = nullptr;  // null: list is 0 .. vcount-1
    std::int32_t idx_size = 0;
    std::int32_t vcount = 0, fcount = 0, voffset = 0, foffset = 0;
    g::Topology topology = g::Topology::Triangles;
    std::int64_t fid_src = -1;  // first feature id to copy, -1: none
};

bool check_end(const char* what, std::int64_t begin, std::int64_t end, bool ok,
               Py_ssize_t chunk_len) {
    if (ok && begin >= 0 && end <= chunk_len) return true;
    if (ok) {
        PyErr_Format(PyExc_ValueError,
                     "%s: bytes [%lld, %lld) lie outside bin_chunk of %zd bytes", what,
                     static_cast<long long>(begin), static_cast<long long>(end), chunk_len);
    } else {
        PyErr_Format(PyExc_ValueError,
                     "%s: byte range starting at %lld lies outside bin_chunk of %zd bytes",
                     what, static_cast<long long>(begin), chunk_len);
    }
    return false;
}

// Narrows an attribute accessor to a Stream of `ncomp` components and checks
// that `count` elements lie in the chunk.
bool attribute_stream(const char* what, const AccessorInfo& info, int ncomp,
                      std::int64_t count, Py_ssize_t chunk_len, g::Stream* out) {
    std::int32_t offset = 0, type = 0, stride = 0;
    if (!narrow(info.offset, "accessor offset", &offset) ||
        !narrow(info.component_type, "componentType", &type) ||
        !narrow(info.byte_stride, "byteStride", &stride))
        return false;
    const g::Component* comp = g::find_component(type);
    if (comp == nullptr) {
        PyErr_Format(PyExc_ValueError, "%s: componentType %d is not a glTF component type",
                     what, type);
        return false;
    }
    out->offset = offset;
    out->ncomp = ncomp;
    out->comp = comp;
    out->stride = g::effective_stride(stride, ncomp, *comp);
    out->normalized = info.normalized;
    std::int64_t end = 0;
    const bool ok = g::stream_end(*out, count, &end);
    return check_end(what, offset, end, ok, chunk_len);
}

bool short_accessor(const char* what, const AccessorInfo& info, std::int32_t vcount) {
    if (info.count >= vcount) return false;
    PyErr_Format(PyExc_ValueError, "%s: accessor has %lld elements, POSITION has %d", what,
                 static_cast<long long>(info.count), vcount);
    return true;
}

bool plan_entry(const Entry& e, const std::uint8_t* chunk, Py_ssize_t chunk_len, Plan* p) {
    p->vcount = e.vcount;
    p->fcount = e.fcount;
    p->voffset = e.voffset;
    p->foffset = e.foffset;
    p->topology = e.topology;
    if (!attribute_stream("POSITION", e.pos, 3, e.vcount, chunk_len, &p->pos)) return false;
    p->has_tc = e.has_tc;
    if (e.has_tc) {
        if (short_accessor("TEXCOORD_0", e.tc, e.vcount)) return false;
        if (!attribute_stream("TEXCOORD_0", e.tc, 2, e.vcount, chunk_len, &p->tc)) return false;
    }
    p->has_uvr = e.has_uvr;
    if (e.has_uvr) {
        if (short_accessor("TEXCOORD_1", e.uvr_min, e.vcount)) return false;
        if (short_accessor("TEXCOORD_2", e.uvr_max, e.vcount)) return false;
        if (!attribute_stream("TEXCOORD_1", e.uvr_min, 2, e.vcount, chunk_len, &p->uvr_a) ||
            !attribute_stream("TEXCOORD_2", e.uvr_max, 2, e.vcount, chunk_len, &p->uvr_b))
            return false;
    }
    if (e.indexed) {
        std::int32_t offset = 0, type = 0;
        if (!narrow(e.idx.offset, "accessor offset", &offset) ||
            !narrow(e.idx.component_type, "componentType", &type))
            return false;
        if (type != g::kUnsignedByte && type != g::kUnsignedShort && type != g::kUnsignedInt) {
            PyErr_Format(PyExc_ValueError,
                         "indices: componentType %d is not an index type (5121, 5123, 5125)",
                         type);
            return false;
        }
        p->idx_size = g::find_component(type)->size;
        const std::int64_t n = g::indices_read(e.topology, e.fcount);
        // n < 2**32 and size <= 4: the product and sum fit in 64 bits.
        const std::int64_t end = offset + n * p->idx_size;
        if (!check_end("indices", offset, end, true, chunk_len)) return false;
        p->idx = chunk + offset;
    }
    return true;
}

// The mode of a primitive: absent or null is a triangle list.
bool primitive_topology(const Keys& k, PyObject* prim, g::Topology* out) {
    Ref mode = get(k, prim, k.mode, Py_None);
    if (!mode) return false;
    if (mode.get() == Py_None) {
        *out = g::Topology::Triangles;
        return true;
    }
    Ref m = to_int(mode.get());
    std::int64_t v = 0;
    if (!m || !as_i64(m.get(), &v)) return false;
    if (!g::topology_for_mode(v, out)) {
        PyErr_Format(PyExc_ValueError, "primitive mode %lld is not a glTF primitive mode",
                     static_cast<long long>(v));
        return false;
    }
    return true;
}

// True when `key` is in attrs; -1 with an exception.
int has_key(PyObject* attrs, PyObject* key) { return PySequence_Contains(attrs, key); }

// The first pass over one primitive. *accepted tells whether it became an entry.
bool gather_primitive(const Keys& k, PyObject* gltf, PyObject* prim, Entry* e, bool* accepted) {
    *accepted = false;
    Ref attrs = get(k, prim, k.attributes, Py_None);
    if (!attrs) return false;
    const int truth = PyObject_IsTrue(attrs.get());
    if (truth < 0) return false;
    if (!truth) return true;  // missing, null or empty: no POSITION

    int has = has_key(attrs.get(), k.position);
    if (has <= 0) return has == 0;
    Ref pos_ref = Ref::steal(PyObject_GetItem(attrs.get(), k.position));
    if (!pos_ref || !resolve(k, gltf, pos_ref.get(), true, &e->pos)) return false;
    if (!narrow(e->pos.count, "POSITION count", &e->vcount)) return false;
    if (e->vcount <= 0) return true;

    has = has_key(attrs.get(), k.texcoord[0]);
    if (has < 0) return false;
    if (has) {
        Ref r = Ref::steal(PyObject_GetItem(attrs.get(), k.texcoord[0]));
        if (!r || !resolve(k, gltf, r.get(), true, &e->tc)) return false;
        e->has_tc = true;
    }

    has = has_key(attrs.get(), k.texcoord[1]);
    if (has < 0) return false;
    if (has) {
        has = has_key(attrs.get(), k.texcoord[2]);
        if (has < 0) return false;
    }
    if (has) {
        Ref r1 = Ref::steal(PyObject_GetItem(attrs.get(), k.texcoord[1]));
        if (!r1 || !resolve(k, gltf, r1.get(), true, &e->uvr_min)) return false;
        Ref r2 = Ref::steal(PyObject_GetItem(attrs.get(), k.texcoord[2]));
        if (!r2 || !resolve(k, gltf, r2.get(), true, &e->uvr_max)) return false;
        e->has_uvr = true;
    }

    Ref idx_ref = get(k, prim, k.indices, Py_None);
    if (!idx_ref) return false;
    if (!primitive_topology(k, prim, &e->topology)) return false;
    std::int64_t list_len = e->vcount;
    if (idx_ref.get() != Py_None) {
        if (!resolve(k, gltf, idx_ref.get(), false, &e->idx)) return false;
        if (e->idx.count < 0) {
            PyErr_Format(PyExc_ValueError, "indices: accessor count %lld is negative",
                         static_cast<long long>(e->idx.count));
            return false;
        }
        e->indexed = true;
        list_len = e->idx.count;
    }
    if (!narrow(g::face_count(e->topology, list_len), "triangle count", &e->fcount))
        return false;
    *accepted = true;
    return true;
}

bool add_total(std::int32_t* total, std::int32_t n, const char* what) {
    if (__builtin_add_overflow(*total, n, total)) {
        PyErr_Format(PyExc_OverflowError, "the mesh has more than 2147483647 %s", what);
        return false;
    }
    return true;
}

// The first pass: every accepted primitive, in document order.
bool gather(const Keys& k, PyObject* gltf, std::vector<Entry>* entries,
            std::int32_t* total_vertices, std::int32_t* total_faces) {
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty) return false;
    Ref meshes = get(k, gltf, k.meshes, empty.get());
    if (!meshes) return false;
    Ref mesh_iter = Ref::steal(PyObject_GetIter(meshes.get()));
    if (!mesh_iter) return false;
    while (Ref mesh = Ref::steal(PyIter_Next(mesh_iter.get()))) {
        Ref no_prims = Ref::steal(PyList_New(0));
        if (!no_prims) return false;
        Ref prims = get(k, mesh.get(), k.primitives, no_prims.get());
        if (!prims) return false;
        Ref prim_iter = Ref::steal(PyObject_GetIter(prims.get()));
        if (!prim_iter) return false;
        while (Ref prim = Ref::steal(PyIter_Next(prim_iter.get()))) {
            Entry e;
            bool accepted = false;
            if (!gather_primitive(k, gltf, prim.get(), &e, &accepted)) return false;
            if (!accepted) continue;
            e.voffset = *total_vertices;
            e.foffset = *total_faces;
            if (!add_total(total_vertices, e.vcount, "vertices") ||
                !add_total(total_faces, e.fcount, "triangles"))
                return false;
            entries->push_back(e);
        }
        if (PyErr_Occurred()) return false;
    }
    return !PyErr_Occurred();
}

// Feature ids: np.asarray(feature_ids, dtype=np.int64), and which ids each
// entry takes: all ids numbered over the tile when there are enough, else
// ids 0 .. vcount-1 again for every primitive, else none.
struct FeatureIds {
    Ref arr;
    bool direct = false;  // one-dimensional: copied by the loops
    const std::uint8_t* data = nullptr;
    Py_ssize_t stride = 0;
};

bool prepare_feature_ids(PyObject* module, PyObject* feature_ids, std::vector<Plan>* plans,
                         FeatureIds* f) {
    Ref np = Ref::steal(PyObject_GetAttrString(module, "np"));
    if (!np) return false;
    Ref asarray = Ref::steal(PyObject_GetAttrString(np.get(), "asarray"));
    if (!asarray) return false;
    Ref dt = Ref::steal(PyObject_GetAttrString(np.get(), "int64"));
    if (!dt) return false;
    Ref kw = Ref::steal(Py_BuildValue("(s)", "dtype"));
    if (!kw) return false;
    PyObject* call[] = {feature_ids, dt.get()};
    f->arr = Ref::steal(PyObject_Vectorcall(asarray.get(), call, 1, kw.get()));
    if (!f->arr) return false;
    if (!PyArray_Check(f->arr.get())) {
        PyErr_SetString(PyExc_TypeError, "numpy.asarray did not return an array");
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(f->arr.get());
    if (PyArray_NDIM(a) == 0) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return false;
    }
    const Py_ssize_t n = PyArray_DIM(a, 0);
    for (Plan& p : *plans) {
        const std::int64_t end = std::int64_t(p.voffset) + p.vcount;
        if (n >= end) p.fid_src = p.voffset;
        else if (n >= p.vcount) p.fid_src = 0;
    }
    f->direct = PyArray_NDIM(a) == 1;
    f->data = static_cast<const std::uint8_t*>(PyArray_DATA(a));
    f->stride = PyArray_STRIDE(a, 0);
    return true;
}

// fid_out[voffset : voffset + vcount] = fid_arr[src : src + vcount] through
// NumPy, for feature id arrays of more than one dimension (NumPy decides
// whether the shapes broadcast).
bool assign_ids_numpy(PyObject* fid_out, PyObject* fid_arr, const Plan& p) {
    const std::int64_t v0 = p.voffset;
    Ref dst_lo = Ref::steal(PyLong_FromLongLong(v0));
    Ref dst_hi = Ref::steal(PyLong_FromLongLong(v0 + p.vcount));
    Ref src_lo = Ref::steal(PyLong_FromLongLong(p.fid_src));
    Ref src_hi = Ref::steal(PyLong_FromLongLong(p.fid_src + p.vcount));
    if (!dst_lo || !dst_hi || !src_lo || !src_hi) return false;
    Ref dst = Ref::steal(PySlice_New(dst_lo.get(), dst_hi.get(), nullptr));
    Ref src = Ref::steal(PySlice_New(src_lo.get(), src_hi.get(), nullptr));
    if (!dst || !src) return false;
    Ref part = Ref::steal(PyObject_GetItem(fid_arr, src.get()));
    if (!part) return false;
    return PyObject_SetItem(fid_out, dst.get(), part.get()) == 0;
}

struct Outputs {
    double* positions = nullptr;
    std::int64_t* faces = nullptr;
    double* tex_coord = nullptr;
    float* uvr = nullptr;
    std::int64_t* fid = nullptr;
};

// The second pass over raw memory (lock released). Returns the index of the
// first entry holding an index value >= its vertex count, or -1; *bad is
// that value.
std::ptrdiff_t copy_all(const std::uint8_t* chunk, const std::vector<Plan>& plans,
                        const Outputs& o, const FeatureIds* fid, std::int64_t* bad) {
    std::ptrdiff_t failed = -1;
    for (std::size_t n = 0; n < plans.size(); ++n) {
        const Plan& p = plans[n];
        const std::int64_t v0 = p.voffset;
        g::read_rows(chunk, p.pos, p.vcount, o.positions + 3 * v0, 3);
        if (o.tex_coord != nullptr && p.has_tc) {
            g::read_rows(chunk, p.tc, p.vcount, o.tex_coord + 2 * v0, 2);
        }
        if (o.uvr != nullptr && p.has_uvr) {
            g::read_rows(chunk, p.uvr_a, p.vcount, o.uvr + 4 * v0, 4);
            g::read_rows(chunk, p.uvr_b, p.vcount, o.uvr + 4 * v0 + 2, 4);
        }
        const std::int64_t top = g::write_faces(p.idx, p.idx_size, p.topology, p.fcount, v0,
                                                o.faces + 3 * std::int64_t(p.foffset));
        if (top >= p.vcount && failed < 0) {
            failed = static_cast<std::ptrdiff_t>(n);
            *bad = top;
        }
        if (fid != nullptr && fid->direct && p.fid_src >= 0) {
            std::int64_t* dst = o.fid + v0;
            const std::uint8_t* src = fid->data + p.fid_src * fid->stride;
            for (std::int64_t i = 0; i < p.vcount; ++i) {
                std::memcpy(dst + i, src + i * fid->stride, sizeof(std::int64_t));
            }
        }
    }
    return failed;
}

}  // namespace

namespace {

PyObject* extract(PyObject* module, PyObject* gltf, PyObject* bin_chunk, PyObject* feature_ids) {
    const Keys* k = keys();
    if (k == nullptr) return nullptr;

    std::vector<Entry> entries;
    std::int32_t total_vertices = 0, total_faces = 0;
    if (!gather(*k, gltf, &entries, &total_vertices, &total_faces)) return nullptr;
    if (entries.empty() || total_vertices <= 0) Py_RETURN_NONE;
    if (bin_chunk == Py_None) {
        PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        return nullptr;
    }

    const auto* chunk = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bin_chunk));
    const Py_ssize_t chunk_len = PyBytes_GET_SIZE(bin_chunk);
    std::vector<Plan> plans(entries.size());
    bool has_tc = false, has_uvr = false, all_tc = true, all_uvr = true;
    for (std::size_t n = 0; n < entries.size(); ++n) {
        if (!plan_entry(entries[n], chunk, chunk_len, &plans[n])) return nullptr;
        has_tc |= plans[n].has_tc;
        all_tc &= plans[n].has_tc;
        has_uvr |= plans[n].has_uvr;
        all_uvr &= plans[n].has_uvr;
    }

    // Arrays at their final size. Rows that no entry writes must read as
    // zero, so the partially written ones come zero-filled.
    const Py_ssize_t vdims[2] = {total_vertices, 3};
    const Py_ssize_t fdims[2] = {total_faces, 3};
    const Py_ssize_t tdims[2] = {total_vertices, 2};
    const Py_ssize_t udims[2] = {total_vertices, 4};
    Ref positions = new_array(2, vdims, DType::Float64);
    if (!positions) return nullptr;
    Ref faces = new_array(2, fdims, DType::Int64);
    if (!faces) return nullptr;
    Ref tex_coord, uvr, fid_out;
    if (has_tc) {
        tex_coord = all_tc ? new_array(2, tdims, DType::Float64)
                           : new_zeros(2, tdims, DType::Float64);
        if (!tex_coord) return nullptr;
    }
    if (has_uvr) {
        uvr = all_uvr ? new_array(2, udims, DType::Float32) : new_zeros(2, udims, DType::Float32);
        if (!uvr) return nullptr;
    }
    FeatureIds fid;
    if (feature_ids != Py_None) {
        fid_out = new_zeros(1, vdims, DType::Int64);
        if (!fid_out) return nullptr;
        if (!prepare_feature_ids(module, feature_ids, &plans, &fid)) return nullptr;
        if (!fid.direct) {
            for (const Plan& p : plans) {
                if (p.fid_src >= 0 && !assign_ids_numpy(fid_out.get(), fid.arr.get(), p))
                    return nullptr;
            }
        }
    }

    Outputs out;
    out.positions = static_cast<double*>(array_data(positions.get()));
    out.faces = static_cast<std::int64_t*>(array_data(faces.get()));
    if (tex_coord) out.tex_coord = static_cast<double*>(array_data(tex_coord.get()));
    if (uvr) out.uvr = static_cast<float*>(array_data(uvr.get()));
    if (fid_out) out.fid = static_cast<std::int64_t*>(array_data(fid_out.get()));
    std::int64_t bad = 0;
    std::ptrdiff_t failed = -1;
    {
        NoGil unlocked;
        failed = copy_all(chunk, plans, out, fid_out ? &fid : nullptr, &bad);
    }
    if (failed >= 0) {
        PyErr_Format(PyExc_ValueError,
                     "indices: value %lld out of range for a primitive of %d vertices",
                     static_cast<long long>(bad), plans[failed].vcount);
        return nullptr;
    }

    PyObject* none = Py_None;
    return PyTuple_Pack(5, positions.get(), faces.get(), tex_coord ? tex_coord.get() : none,
                        uvr ? uvr.get() : none, fid_out ? fid_out.get() : none);
}

}  // namespace

PyObject* extract_mesh_arrays(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::extract_mesh_arrays, args, nargs, kwnames, a)) return nullptr;
    try {
        return extract(module, a[0].obj, a[1].obj, a[2].obj);
    } catch (const std::bad_alloc&) {  // the per-primitive lists
        return PyErr_NoMemory();
    }
}

PyObject* quantize_uvr(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::quantize_uvr, args, nargs, kwnames, a)) return nullptr;
    Ref arr = as_contiguous(module, a[0].obj, DType::Float64);
    if (!arr) return nullptr;
    if (array_ndim(arr.get()) == 1 || array_dim(arr.get(), 0) == 0) return arr.release();
    Matrix m;
    if (!m.acquire(arr.get(), DType::Float64)) return nullptr;
    double* data = m.data<double>();
    const std::int64_t rows = m.rows(), cols = m.cols();
    {
        NoGil unlocked;
        g::quantize_grid(data, rows, cols, cols);
    }
    return arr.release();
}

}  // namespace tsr

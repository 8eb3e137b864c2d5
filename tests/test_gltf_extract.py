"""extract_mesh_arrays on hand-built documents: one rule (or one way to break it) per test."""

from __future__ import annotations

import numpy as np
import pytest

F32, U8, I8, I16, U16, U32 = 5126, 5121, 5120, 5122, 5123, 5125


class Doc:
    """Builds a glTF JSON document and its binary chunk, one buffer view per added array."""

    def __init__(self, pad: int = 0):
        self.bin = bytearray(b"\0" * pad)
        self.views: list[dict] = []
        self.accessors: list[dict] = []
        self.prims: list[dict] = []

    def view(self, data: bytes, stride: int | None = None, align: int = 4) -> int:
        while len(self.bin) % align:
            self.bin += b"\0"
        view = {"buffer": 0, "byteOffset": len(self.bin), "byteLength": len(data)}
        if stride is not None:
            view["byteStride"] = stride
        self.views.append(view)
        self.bin += data
        return len(self.views) - 1

    def accessor(self, view: int, count: int, ctype: int = F32, **extra) -> int:
        self.accessors.append({"bufferView": view, "count": count, "componentType": ctype, **extra})
        return len(self.accessors) - 1

    def add(self, values, dtype, count: int | None = None, ctype: int = F32, stride=None, **extra) -> int:
        arr = np.asarray(values, dtype=dtype)
        view = self.view(arr.tobytes(), stride)
        return self.accessor(view, len(arr) if count is None else count, ctype, **extra)

    def prim(self, position: int, indices: int | None = None, **attrs) -> dict:
        prim = {"attributes": {"POSITION": position, **attrs}}
        if indices is not None:
            prim["indices"] = indices
        self.prims.append(prim)
        return prim

    def gltf(self) -> dict:
        return {"meshes": [{"primitives": self.prims}], "accessors": self.accessors,
                "bufferViews": self.views}

    def run(self, ow, feature_ids=None):
        return ow.extract_mesh_arrays(self.gltf(), bytes(self.bin), feature_ids)


def positions(n: int, start: float = 0.0) -> np.ndarray:
    return (np.arange(n * 3, dtype=np.float32) + start).reshape(n, 3)


def two_primitives(index_dtype=None, ctype=None, index_values=(0, 1, 2, 2, 1, 3)):
    """A non-indexed primitive of 4 vertices, then one of 4 vertices with the given indices."""
    d = Doc()
    d.prim(d.add(positions(4), "<f4"))
    p2 = d.add(positions(4, 100), "<f4")
    idx = None if index_dtype is None else d.add(index_values, index_dtype, ctype=ctype)
    d.prim(p2, idx)
    return d


# ---- results that are None, and the bin_chunk argument ----------------------------------------

@pytest.mark.parametrize("gltf", [
    {},
    {"meshes": []},
    {"meshes": [{}]},
    {"meshes": [{"primitives": [{}]}]},
    {"meshes": [{"primitives": [{"attributes": None}]}]},
    {"meshes": [{"primitives": [{"attributes": {"NORMAL": 0}}]}]},
    {"meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}], "accessors": [{"count": 0}],
     "bufferViews": [{}]},
], ids=["empty", "no-meshes", "no-primitives", "no-attributes", "null-attributes", "no-position",
        "count-0"])
@pytest.mark.parametrize("bin_chunk", [None, b""])
def test_document_without_geometry_gives_none(ow, gltf, bin_chunk):
    assert ow.extract_mesh_arrays(gltf, bin_chunk) is None


def test_bin_chunk_none_with_geometry_raises(ow):
    d = Doc()
    d.prim(d.add(positions(3), "<f4"))
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
        ow.extract_mesh_arrays(d.gltf(), None)


def test_bin_chunk_must_be_exact_bytes(ow):
    with pytest.raises(TypeError, match=r"Argument 'bin_chunk' has incorrect type \(expected bytes, got bytearray\)"):
        ow.extract_mesh_arrays({}, bytearray(b"x"))


# ---- concatenation, offsets, triangles --------------------------------------------------------

def test_non_indexed_primitives_of_4_and_3_vertices(ow):
    d = Doc()
    d.prim(d.add(positions(4), "<f4"))
    d.prim(d.add(positions(3, 100), "<f4"))
    pos, faces, tex, uvr, fid = d.run(ow)
    assert pos.dtype == np.float64 and pos.shape == (7, 3) and pos.flags.c_contiguous
    np.testing.assert_array_equal(pos[:4], positions(4))
    np.testing.assert_array_equal(pos[4:], positions(3, 100))
    assert faces.dtype == np.int64 and faces.tolist() == [[0, 1, 2], [4, 5, 6]]
    assert tex is None and uvr is None and fid is None


@pytest.mark.parametrize("dtype,ctype", [("u1", U8), ("<u2", U16), ("<u4", U32)])
@pytest.mark.parametrize("values", [(0, 1, 2, 2, 1, 3), (0, 1, 2, 2, 1, 3, 3)], ids=["6", "7-leftover"])
def test_indexed_primitive_rebased_on_voffset(ow, dtype, ctype, values):
    _, faces, *_ = two_primitives(dtype, ctype, values).run(ow)
    assert faces.tolist() == [[0, 1, 2], [4, 5, 6], [6, 5, 7]]


def test_unsigned_byte_indices_read_one_byte_each(ow):
    # Six u8 indices at the very end of the chunk: reading four bytes an index would run past it.
    d = Doc()
    p = d.add(positions(4), "<f4")
    idx = d.add([3, 2, 1, 0, 1, 2], "u1", ctype=U8)
    d.prim(p, idx)
    assert len(d.bin) == 48 + 6
    _, faces, *_ = d.run(ow)
    assert faces.tolist() == [[3, 2, 1], [0, 1, 2]]


@pytest.mark.parametrize("mode,indexed,expected", [
    (5, False, [[0, 1, 2], [1, 3, 2], [2, 3, 4]]),
    (6, False, [[1, 2, 0], [2, 3, 0], [3, 4, 0]]),
    (5, True, [[4, 3, 2], [3, 1, 2], [2, 1, 0]]),
    (6, True, [[3, 2, 4], [2, 1, 4], [1, 0, 4]]),
    (4, False, [[0, 1, 2]]),
    (None, False, [[0, 1, 2]]),
])
def test_strips_and_fans_are_triangulated(ow, mode, indexed, expected):
    d = Doc()
    p = d.add(positions(5), "<f4")
    idx = d.add([4, 3, 2, 1, 0], "<u2", ctype=U16) if indexed else None
    prim = d.prim(p, idx)
    if mode is not None:
        prim["mode"] = mode
    _, faces, *_ = d.run(ow)
    assert faces.tolist() == expected


@pytest.mark.parametrize("mode", [0, 1, 2, 3])
@pytest.mark.parametrize("indexed", [False, True])
def test_points_and_lines_give_vertices_without_faces(ow, mode, indexed):
    d = two_primitives("<u2", U16)
    d.prims[0]["mode"] = mode
    if indexed:
        d.prims[0]["indices"] = d.add([0, 1, 2, 3], "<u2", ctype=U16)
    pos, faces, *_ = d.run(ow)
    assert pos.shape == (8, 3)
    assert faces.tolist() == [[4, 5, 6], [6, 5, 7]]


@pytest.mark.parametrize("mode", [5, 6])
@pytest.mark.parametrize("n,faces", [(1, 0), (2, 0), (3, 1)])
def test_short_strips_and_fans(ow, mode, n, faces):
    d = Doc()
    d.prim(d.add(positions(n), "<f4"))["mode"] = mode
    assert d.run(ow)[1].shape == (faces, 3)


def test_unknown_mode_is_refused(ow):
    d = Doc()
    d.prim(d.add(positions(3), "<f4"))["mode"] = 7
    with pytest.raises(ValueError, match="mode 7"):
        d.run(ow)


def test_index_past_primitive_vertices_is_refused(ow):
    # Index 4 in a 4-vertex second primitive would point into the next primitive or past the end.
    d = two_primitives("<u2", U16, (0, 1, 4))
    with pytest.raises(ValueError, match=r"indices: value 4 out of range for a primitive of 4 vertices"):
        d.run(ow)


# ---- strides and component types --------------------------------------------------------------

@pytest.mark.parametrize("stride,starts", [
    (0, [0, 12, 24]), (12, [0, 12, 24]), (14, [0, 12, 28]), (16, [0, 16, 32]),
])
def test_float_position_strides(ow, stride, starts):
    raw = np.arange(16, dtype="<f4")
    d = Doc()
    view = d.view(raw.tobytes(), stride or None)
    d.prim(d.accessor(view, 3))
    pos = d.run(ow)[0]
    expected = [raw[s // 4: s // 4 + 3] for s in starts]
    np.testing.assert_array_equal(pos, expected)


def test_unaligned_float_data(ow):
    d = Doc(pad=1)
    data = positions(3).tobytes()
    d.bin += data
    d.views.append({"byteOffset": 1})
    d.prim(d.accessor(0, 3))
    np.testing.assert_array_equal(d.run(ow)[0], positions(3))


@pytest.mark.parametrize("dtype,ctype,stored,by_value,normalized", [
    ("u1", U8, [0, 128, 255], [0, 128, 255], [0.0, 128 / 255, 1.0]),
    ("i1", I8, [-128, -127, 127], [-128, -127, 127], [-1.0, -1.0, 1.0]),
    ("<u2", U16, [0, 1, 65535], [0, 1, 65535], [0.0, 1 / 65535, 1.0]),
    ("<i2", I16, [-32768, 5, 32767], [-32768, 5, 32767], [-1.0, 5 / 32767, 1.0]),
    ("<u4", U32, [0, 7, 4294967295], [0, 7, 4294967295], [0, 7, 4294967295]),
])
@pytest.mark.parametrize("norm", [False, True])
def test_integer_attributes_widened_by_value_or_normalised(ow, dtype, ctype, stored, by_value, normalized, norm):
    # Three vertices whose x, y, z are all `stored[i]`; texcoords (stored[i], stored[i]).
    d = Doc()
    pos = np.repeat(np.asarray(stored, dtype=dtype)[:, None], 3, axis=1)
    tc = np.repeat(np.asarray(stored, dtype=dtype)[:, None], 2, axis=1)
    extra = {"normalized": True} if norm else {}
    p = d.add(pos, dtype, ctype=ctype, **extra)
    t = d.add(tc, dtype, ctype=ctype, **extra)
    d.prim(p, TEXCOORD_0=t, TEXCOORD_1=t, TEXCOORD_2=t)
    got_pos, _, got_tc, got_uvr, _ = d.run(ow)
    want = np.asarray(normalized if norm else by_value, dtype=np.float64)
    np.testing.assert_array_equal(got_pos, np.repeat(want[:, None], 3, axis=1))
    np.testing.assert_array_equal(got_tc, np.repeat(want[:, None], 2, axis=1))
    np.testing.assert_array_equal(got_uvr, np.repeat(want[:, None], 4, axis=1).astype(np.float32))


def test_integer_attribute_uses_its_stride(ow):
    # u16 positions interleaved with 2 bytes of padding: stride 8.
    raw = np.array([[1, 2, 3, 0xFFFF], [4, 5, 6, 0xFFFF]], dtype="<u2")
    d = Doc()
    d.prim(d.accessor(d.view(raw.tobytes(), 8), 2, U16))
    np.testing.assert_array_equal(d.run(ow)[0], [[1, 2, 3], [4, 5, 6]])


class Exploding:
    def __bool__(self):
        raise RuntimeError("normalized was read")


def test_normalized_key_read_for_integer_attributes_only(ow):
    d = Doc()
    d.prim(d.add(positions(3), "<f4", normalized=Exploding()))
    d.run(ow)  # float: not read
    d.accessors[0]["componentType"] = U8
    with pytest.raises(RuntimeError, match="normalized was read"):
        d.run(ow)


@pytest.mark.parametrize("where,ctype", [("POSITION", 5130), ("TEXCOORD_0", 5124), ("indices", F32),
                                         ("indices", I16)])
def test_unknown_component_types_are_refused(ow, where, ctype):
    d = Doc()
    p = d.add(positions(3), "<f4")
    t = d.add(np.zeros((3, 2)), "<f4")
    i = d.add([0, 1, 2], "<u4", ctype=U32)
    d.prim(p, i, TEXCOORD_0=t)
    target = {"POSITION": p, "TEXCOORD_0": t, "indices": i}[where]
    d.accessors[target]["componentType"] = ctype
    with pytest.raises(ValueError, match=f"{where}: componentType {ctype}"):
        d.run(ow)


# ---- texture coordinates and UVR --------------------------------------------------------------

def test_texcoords_as_stored_and_zero_where_missing(ow):
    d = Doc()
    d.prim(d.add(positions(3), "<f4"))
    d.prim(d.add(positions(2), "<f4"), TEXCOORD_0=d.add([[0.25, 0.75], [0.5, 1.5]], "<f4"))
    tex = d.run(ow)[2]
    assert tex.dtype == np.float64 and tex.shape == (5, 2)
    assert tex.tolist() == [[0, 0], [0, 0], [0, 0], [0.25, 0.75], [0.5, 1.5]]


def test_uvr_copied_bit_for_bit(ow):
    bits = np.array([[0x7FA00001, 0x00000001], [0xFF800000, 0x80000000]], dtype="<u4")  # sNaN, denormal, -inf, -0
    d = Doc()
    a = d.add(bits, "<u4")
    b = d.add(bits[::-1].copy(), "<u4")
    d.prim(d.add(positions(2), "<f4"), TEXCOORD_1=a, TEXCOORD_2=b)
    uvr = d.run(ow)[3]
    assert uvr.dtype == np.float32 and uvr.shape == (2, 4)
    np.testing.assert_array_equal(uvr.view("<u4"), np.concatenate([bits, bits[::-1]], axis=1))


def test_texcoord2_stepped_with_own_stride(ow):
    # TEXCOORD_1 tightly packed (stride 8), TEXCOORD_2 interleaved with padding (stride 16).
    d = Doc()
    a = d.add([[1, 2], [3, 4]], "<f4")
    b = d.accessor(d.view(np.array([[5, 6, -1, -1], [7, 8, -1, -1]], "<f4").tobytes(), 16), 2)
    d.prim(d.add(positions(2), "<f4"), TEXCOORD_1=a, TEXCOORD_2=b)
    assert d.run(ow)[3].tolist() == [[1, 2, 5, 6], [3, 4, 7, 8]]


@pytest.mark.parametrize("present", [("TEXCOORD_1",), ("TEXCOORD_2",)])
def test_uvr_needs_both_texcoords(ow, present):
    d = Doc()
    t = d.add(np.zeros((3, 2)), "<f4")
    d.prim(d.add(positions(3), "<f4"), **{k: t for k in present})
    assert d.run(ow)[3] is None


def test_uvr_zero_for_primitive_without_pair(ow):
    d = Doc()
    t = d.add([[1, 2]], "<f4")
    d.prim(d.add(positions(1), "<f4"), TEXCOORD_1=t, TEXCOORD_2=t)
    d.prim(d.add(positions(2), "<f4"))
    assert d.run(ow)[3].tolist() == [[1, 2, 1, 2], [0, 0, 0, 0], [0, 0, 0, 0]]


@pytest.mark.parametrize("attr", ["TEXCOORD_0", "TEXCOORD_1", "TEXCOORD_2"])
def test_short_attribute_accessor_is_refused(ow, attr):
    d = Doc()
    full = d.add(np.zeros((4, 2)), "<f4")
    attrs = {"TEXCOORD_0": full, "TEXCOORD_1": full, "TEXCOORD_2": full}
    attrs[attr] = d.add(np.zeros((4, 2)), "<f4", count=3)
    d.prim(d.add(positions(4), "<f4"), **attrs)
    with pytest.raises(ValueError, match=f"{attr}: accessor has 3 elements, POSITION has 4"):
        d.run(ow)


# ---- every read stays inside bin_chunk --------------------------------------------------------

@pytest.mark.parametrize("attr", ["POSITION", "TEXCOORD_0", "TEXCOORD_1", "TEXCOORD_2", "indices"])
@pytest.mark.parametrize("how", ["past-end", "negative"])
def test_ranges_outside_bin_chunk_are_refused(ow, attr, how):
    d = Doc()
    p = d.add(positions(3), "<f4")
    t0, t1, t2 = (d.add(np.zeros((3, 2)), "<f4") for _ in range(3))
    i = d.add([0, 1, 2], "<u2", ctype=U16)
    d.prim(p, i, TEXCOORD_0=t0, TEXCOORD_1=t1, TEXCOORD_2=t2)
    target = {"POSITION": p, "TEXCOORD_0": t0, "TEXCOORD_1": t1, "TEXCOORD_2": t2, "indices": i}[attr]
    view = d.views[d.accessors[target]["bufferView"]]
    view["byteOffset"] = len(d.bin) - 2 if how == "past-end" else -4
    start = view["byteOffset"]
    with pytest.raises(ValueError, match=rf"^{attr}: bytes \[{start}, \d+\) lie outside bin_chunk of {len(d.bin)} bytes$"):
        d.run(ow)


def test_stride_running_past_the_end_is_refused(ow):
    d = Doc()
    d.prim(d.accessor(d.view(positions(3).tobytes(), 16), 3))
    with pytest.raises(ValueError, match=r"POSITION: bytes \[0, 44\) lie outside bin_chunk of 36 bytes"):
        d.run(ow)


def test_huge_stride_is_refused_not_wrapped(ow):
    d = Doc()
    d.prim(d.accessor(d.view(positions(3).tobytes(), 2**31 - 1), 2**31 - 1))
    with pytest.raises(ValueError, match="POSITION: bytes"):
        d.run(ow)


# ---- feature ids ------------------------------------------------------------------------------

@pytest.mark.parametrize("ids,expected", [
    (list(range(10, 17)), list(range(10, 17))),                   # numbered over the tile
    ([5, 6, 7, 8], [5, 6, 7, 8, 5, 6, 7]),                        # again for every primitive
    ([5, 6, 7], [0, 0, 0, 0, 5, 6, 7]),                           # too few for the first
    ([], [0] * 7),
    (np.arange(20, dtype=np.int32)[::2], [0, 2, 4, 6, 8, 10, 12]),  # converted by NumPy
    (np.arange(20, dtype=np.int64)[::2], [0, 2, 4, 6, 8, 10, 12]),  # used as is, strided
    (np.arange(7, dtype=np.int64)[::-1], [6, 5, 4, 3, 2, 1, 0]),    # negative stride
], ids=["tile", "per-primitive", "short", "empty", "int32", "strided", "reversed"])
def test_feature_ids(ow, ids, expected):
    d = Doc()
    d.prim(d.add(positions(4), "<f4"))
    d.prim(d.add(positions(3), "<f4"))
    fid = d.run(ow, ids)[4]
    assert fid.dtype == np.int64 and fid.shape == (7,)
    assert fid.tolist() == expected


def test_feature_ids_scalar_and_bad_values(ow):
    d = Doc()
    d.prim(d.add(positions(3), "<f4"))
    with pytest.raises(IndexError):
        d.run(ow, 5)
    with pytest.raises(ValueError):
        d.run(ow, ["a", "b", "c"])
    for ids in (np.zeros((3, 2)), [[1], [2], [3]]):  # NumPy cannot put 2-D ids into 3 rows
        with pytest.raises(ValueError):
            d.run(ow, ids)


# ---- accessor resolution and malformed documents ----------------------------------------------

def resolvable(**changes):
    gltf = {"meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
            "accessors": [{"bufferView": 0, "count": 3}],
            "bufferViews": [{"byteOffset": 0}, {"byteOffset": 12}]}
    for path, value in changes.items():
        obj = gltf
        *head, last = path.split("__")
        for key in head:
            obj = obj[int(key)] if key.isdigit() else obj[key]
        last = int(last) if last.isdigit() else last
        if value is KeyError:
            obj.pop(last, None)
        else:
            obj[last] = value
    return gltf


CHUNK = positions(4).tobytes()


@pytest.mark.parametrize("changes,first_row", [
    ({"accessors__0__bufferView": KeyError}, [0, 1, 2]),
    ({"accessors__0__bufferView": -1}, [3, 4, 5]),
    ({"accessors__0__bufferView": "1"}, [3, 4, 5]),
    ({"accessors__0__byteOffset": 4.9}, [1, 2, 3]),
    ({"accessors__0__count": 3.9}, [0, 1, 2]),
    ({"meshes__0__primitives__0__attributes__POSITION": "0"}, [0, 1, 2]),
    ({"accessors__0__componentType": KeyError}, [0, 1, 2]),
], ids=["no-bufferView", "negative-view", "string-view", "float-offset", "float-count",
        "string-index", "default-type"])
def test_accessor_values_go_through_int(ow, changes, first_row):
    pos = ow.extract_mesh_arrays(resolvable(**changes), CHUNK)[0]
    assert pos[0].tolist() == first_row


def test_accessor_table_may_be_a_mapping(ow):
    gltf = resolvable()
    gltf["accessors"] = {0: gltf["accessors"][0]}
    assert ow.extract_mesh_arrays(gltf, CHUNK)[0].shape == (3, 3)
    gltf["meshes"][0]["primitives"][0]["attributes"]["POSITION"] = 1
    with pytest.raises(KeyError):
        ow.extract_mesh_arrays(gltf, CHUNK)


@pytest.mark.parametrize("changes,error", [
    ({"accessors__0": 7}, AttributeError),
    ({"accessors__0__bufferView": 5}, IndexError),
    ({"bufferViews__0__byteStride": None}, TypeError),
    ({"accessors__0__count": None}, TypeError),
    ({"meshes": None}, TypeError),
    ({"meshes__0__primitives": None}, TypeError),
    ({"meshes__0__primitives__0__attributes__POSITION": "abc"}, ValueError),
    ({"meshes__0__primitives__0__attributes__POSITION": 1}, IndexError),
    ({"meshes__0__primitives__0__attributes__POSITION": -1}, IndexError),
    ({"meshes__0__primitives__0__attributes__POSITION": 2**31}, OverflowError),
    ({"accessors__0__count": 2**31}, OverflowError),
    ({"meshes__0": 3}, AttributeError),
], ids=["accessor-number", "view-past-end", "null-stride", "null-count", "null-meshes",
        "null-primitives", "bad-index-text", "index-past-end", "negative-index", "index-overflow",
        "count-overflow", "mesh-number"])
def test_malformed_documents_raise(ow, changes, error):
    with pytest.raises(error):
        ow.extract_mesh_arrays(resolvable(**changes), CHUNK)


def test_accessor_index_checked_even_without_accessors(ow):
    gltf = resolvable()
    del gltf["accessors"]
    with pytest.raises(IndexError, match="accessor index 0 out of range"):
        ow.extract_mesh_arrays(gltf, CHUNK)


def test_totals_beyond_int32_raise_overflow(ow):
    gltf = resolvable(accessors__0__count=2**31 - 1)
    gltf["meshes"][0]["primitives"].append({"attributes": {"POSITION": 0}})
    with pytest.raises(OverflowError, match="vertices"):
        ow.extract_mesh_arrays(gltf, None)


def test_large_offsets_narrowed_after_bin_check(ow):
    gltf = resolvable(accessors__0__byteOffset=2**31)
    with pytest.raises(TypeError, match="expected bytes"):
        ow.extract_mesh_arrays(gltf, None)
    with pytest.raises(OverflowError):
        ow.extract_mesh_arrays(gltf, CHUNK)


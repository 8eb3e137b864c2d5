"""extract_mesh_arrays on hand-built documents (random ones are in test_gltf_properties.py)."""

from __future__ import annotations

import numpy as np
import pytest

F32, U8, I8, I16, U16, U32 = 5126, 5121, 5120, 5122, 5123, 5125


class Doc:
    """A glTF JSON document and its binary chunk, one buffer view per added accessor."""

    def __init__(self):
        self.bin, self.views, self.accessors, self.prims = bytearray(), [], [], []

    def add(self, values, dtype="<f4", ctype=F32, **extra) -> int:
        data = np.asarray(values, dtype=dtype).tobytes()
        self.bin += b"\0" * (-len(self.bin) % 4)
        self.views.append({"buffer": 0, "byteOffset": len(self.bin), "byteLength": len(data)})
        self.bin += data
        self.accessors.append({"bufferView": len(self.views) - 1, "componentType": ctype,
                               "count": len(values), **extra})
        return len(self.accessors) - 1

    def prim(self, position: int, indices: int | None = None, **attrs) -> dict:
        self.prims.append({"attributes": {"POSITION": position, **attrs}}
                          | ({} if indices is None else {"indices": indices}))
        return self.prims[-1]

    def run(self, ow, feature_ids=None):
        gltf = {"meshes": [{"primitives": self.prims}], "accessors": self.accessors,
                "bufferViews": self.views}
        return ow.extract_mesh_arrays(gltf, bytes(self.bin), feature_ids)


def positions(n: int, start: float = 0.0) -> np.ndarray:
    return (np.arange(n * 3, dtype=np.float32) + start).reshape(n, 3)


def resolvable(**changes):
    """One primitive of 3 vertices over CHUNK, changed at paths like accessors__0__count."""
    gltf = {"meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
            "accessors": [{"bufferView": 0, "count": 3}],
            "bufferViews": [{"byteOffset": 0}, {"byteOffset": 12}]}
    for path, value in changes.items():
        *head, last = [int(k) if k.isdigit() else k for k in path.split("__")]
        obj = gltf
        for key in head:
            obj = obj[key]
        if value is KeyError:  # removed
            obj.pop(last, None)
        else:
            obj[last] = value
    return gltf


CHUNK = positions(4).tobytes()


# ---- results that are None, and the bin_chunk argument ----------------------------------------

@pytest.mark.parametrize("gltf", [
    {}, {"meshes": []}, {"meshes": [{}]}, {"meshes": [{"primitives": [{}]}]},
    {"meshes": [{"primitives": [{"attributes": None}]}]},
    {"meshes": [{"primitives": [{"attributes": {"NORMAL": 0}}]}]},
    {"meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}], "accessors": [{"count": 0}],
     "bufferViews": [{}]},
], ids=["empty", "no-meshes", "no-primitives", "no-attributes", "null-attributes", "no-position",
        "count-0"])
@pytest.mark.parametrize("bin_chunk", [None, b""])
def test_document_without_geometry_gives_none(ow, gltf, bin_chunk):
    assert ow.extract_mesh_arrays(gltf, bin_chunk) is None


@pytest.mark.parametrize("offset", [0, 2**31])  # a large offset is narrowed only after this check
def test_bin_chunk_none_with_geometry_raises(ow, offset):
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
        ow.extract_mesh_arrays(resolvable(accessors__0__byteOffset=offset), None)


# ---- triangles --------------------------------------------------------------------------------

# A second primitive of 4 vertices follows, so that the first one's vertex count is seen to be
# added to its indices whatever its mode gave.
@pytest.mark.parametrize("mode,n,indexed,expected", [
    (5, 5, False, [[0, 1, 2], [1, 3, 2], [2, 3, 4]]),
    (6, 5, False, [[1, 2, 0], [2, 3, 0], [3, 4, 0]]),
    (5, 5, True, [[4, 3, 2], [3, 1, 2], [2, 1, 0]]),
    (6, 5, True, [[3, 2, 4], [2, 1, 4], [1, 0, 4]]),
    (4, 5, False, [[0, 1, 2]]), (None, 5, False, [[0, 1, 2]]),
    (5, 2, False, []), (6, 1, False, []), (6, 3, False, [[1, 2, 0]]),
    (0, 5, False, []), (1, 5, True, []), (2, 5, False, []), (3, 5, True, []),
])
def test_modes_give_these_triangles(ow, mode, n, indexed, expected):
    d = Doc()
    prim = d.prim(d.add(positions(n)), d.add(range(n - 1, -1, -1), "<u2", U16) if indexed else None)
    if mode is not None:
        prim["mode"] = mode
    d.prim(d.add(positions(4)), d.add([0, 1, 2, 2, 1, 3, 3], "u1", U8))
    pos, faces, *_ = d.run(ow)
    assert pos.shape == (n + 4, 3)
    assert faces.tolist() == expected + [[n, n + 1, n + 2], [n + 2, n + 1, n + 3]]


# ---- component types and UVR ------------------------------------------------------------------

@pytest.mark.parametrize("dtype,ctype,stored,normalized", [
    ("u1", U8, [0, 128, 255], [0.0, 128 / 255, 1.0]),
    ("i1", I8, [-128, -127, 127], [-1.0, -1.0, 1.0]),
    ("<u2", U16, [0, 1, 65535], [0.0, 1 / 65535, 1.0]),
    ("<i2", I16, [-32768, 5, 32767], [-1.0, 5 / 32767, 1.0]),
    ("<u4", U32, [0, 7, 4294967295], [0, 7, 4294967295]),
    ("<f4", F32, [-2.5, 0.5, 3.0], [-2.5, 0.5, 3.0]),  # "normalized" is read for integers only
])
@pytest.mark.parametrize("norm", [False, True])
def test_attributes_widened_by_value_or_normalised(ow, dtype, ctype, stored, normalized, norm):
    # Three vertices whose x, y, z and texcoords are all `stored[i]`.
    d, col = Doc(), np.asarray(stored, dtype=dtype)[:, None]
    extra = {"normalized": True} if norm else {}
    t = d.add(np.repeat(col, 2, axis=1), dtype, ctype, **extra)
    d.prim(d.add(np.repeat(col, 3, axis=1), dtype, ctype, **extra), TEXCOORD_0=t, TEXCOORD_1=t, TEXCOORD_2=t)
    got = d.run(ow)
    want = np.asarray(normalized if norm else stored, dtype=np.float64)[:, None]
    for arr, cols, wdtype in ((got[0], 3, np.float64), (got[2], 2, np.float64), (got[3], 4, np.float32)):
        np.testing.assert_array_equal(arr, np.repeat(want, cols, axis=1).astype(wdtype))


def test_uvr_copied_bit_for_bit(ow):
    bits = np.array([[0x7FA00001, 0x00000001], [0xFF800000, 0x80000000]], dtype="<u4")  # sNaN, denormal, -inf, -0
    d = Doc()
    d.prim(d.add(positions(2)), TEXCOORD_1=d.add(bits, "<u4"), TEXCOORD_2=d.add(bits[::-1], "<u4"))
    uvr = d.run(ow)[3]
    assert uvr.dtype == np.float32
    np.testing.assert_array_equal(uvr.view("<u4"), np.concatenate([bits, bits[::-1]], axis=1))


# ---- refused documents; every read stays inside bin_chunk -------------------------------------

ATTRS = ["POSITION", "TEXCOORD_0", "TEXCOORD_1", "TEXCOORD_2", "indices"]


def full_doc(index_values=(0, 1, 2)):
    """A primitive of 4 vertices with every attribute and u16 indices, then a plain one of 4."""
    d = Doc()
    acc = {"POSITION": d.add(positions(4))} | {k: d.add(np.zeros((4, 2))) for k in ATTRS[1:4]}
    acc["indices"] = d.add(index_values, "<u2", U16)
    d.prim(acc["POSITION"], acc["indices"], **{k: acc[k] for k in ATTRS[1:4]})
    d.prim(d.add(positions(4, 100)))
    return d, acc


@pytest.mark.parametrize("indices,where,key,value,message", [
    ((0, 1, 2), "mode", "mode", 7, "mode 7"),
    # Index 4 of the first primitive would point into the next one.
    ((0, 1, 4), None, None, None, "indices: value 4 out of range for a primitive of 4 vertices"),
    ((0, 1, 2), "POSITION", "componentType", 5130, "POSITION: componentType 5130"),
    ((0, 1, 2), "TEXCOORD_0", "componentType", 5124, "TEXCOORD_0: componentType 5124"),
    ((0, 1, 2), "indices", "componentType", F32, f"indices: componentType {F32}"),
    ((0, 1, 2), "indices", "componentType", I16, f"indices: componentType {I16}"),
    *[((0, 1, 2), a, "count", 3, f"{a}: accessor has 3 elements, POSITION has 4") for a in ATTRS[1:4]],
])
def test_refused_documents(ow, indices, where, key, value, message):
    d, acc = full_doc(indices)
    if where == "mode":
        d.prims[0]["mode"] = value
    elif where is not None:
        d.accessors[acc[where]][key] = value
    with pytest.raises(ValueError, match=message):
        d.run(ow)


@pytest.mark.parametrize("attr", ATTRS)
@pytest.mark.parametrize("how", ["past-end", "negative"])
def test_ranges_outside_bin_chunk_are_refused(ow, attr, how):
    d, acc = full_doc()
    view = d.views[d.accessors[acc[attr]]["bufferView"]]
    view["byteOffset"] = start = len(d.bin) - 2 if how == "past-end" else -4
    with pytest.raises(ValueError, match=rf"^{attr}: bytes \[{start}, \d+\) lie outside bin_chunk of {len(d.bin)} bytes$"):
        d.run(ow)


def test_stride_running_past_the_end_is_refused_not_wrapped(ow):
    n = 2**31 - 1
    end = (n - 1) * n // 4 * 4 + 12  # the last element starts at floor((n - 1) * n / 4) * 4
    with pytest.raises(ValueError, match=rf"^POSITION: bytes \[0, {end}\) lie outside bin_chunk of 48 bytes$"):
        ow.extract_mesh_arrays(resolvable(bufferViews__0__byteStride=n, accessors__0__count=n), CHUNK)


# ---- feature ids ------------------------------------------------------------------------------

@pytest.mark.parametrize("ids,expected", [
    (list(range(10, 17)), list(range(10, 17))),                   # numbered over the tile
    ([5, 6, 7, 8], [5, 6, 7, 8, 5, 6, 7]),                        # again for every primitive
    ([5, 6, 7], [0, 0, 0, 0, 5, 6, 7]),                           # too few for the first
    (np.arange(20, dtype=np.int32)[::2], [0, 2, 4, 6, 8, 10, 12]),  # converted by NumPy
    (np.arange(20, dtype=np.int64)[::2], [0, 2, 4, 6, 8, 10, 12]),  # used as is, strided
    (np.arange(7, dtype=np.int64)[::-1], [6, 5, 4, 3, 2, 1, 0]),    # negative stride
], ids=["tile", "per-primitive", "short", "int32", "strided", "reversed"])
def test_feature_ids(ow, ids, expected):
    d = Doc()
    d.prim(d.add(positions(4)))
    d.prim(d.add(positions(3)))
    fid = d.run(ow, ids)[4]
    assert fid.dtype == np.int64 and fid.tolist() == expected


@pytest.mark.parametrize("ids,error", [
    (5, IndexError), (["a", "b", "c"], ValueError),
    (np.zeros((3, 2)), ValueError), ([[1], [2], [3]], ValueError),  # 2-D ids do not fit 3 rows
])
def test_feature_ids_scalar_and_bad_values(ow, ids, error):
    with pytest.raises(error):
        ow.extract_mesh_arrays(resolvable(), CHUNK, ids)


# ---- accessor resolution and malformed documents ----------------------------------------------

MAPPING = {0: {"bufferView": 0, "count": 3}}  # an accessor table that is a dict, not a list


@pytest.mark.parametrize("changes,first_row", [
    ({"accessors__0__bufferView": KeyError}, [0, 1, 2]),
    ({"accessors__0__bufferView": -1}, [3, 4, 5]), ({"accessors__0__bufferView": "1"}, [3, 4, 5]),
    ({"accessors__0__byteOffset": 4.9}, [1, 2, 3]), ({"accessors__0__count": 3.9}, [0, 1, 2]),
    ({"meshes__0__primitives__0__attributes__POSITION": "0"}, [0, 1, 2]),
    ({"accessors__0__componentType": KeyError}, [0, 1, 2]),
    ({"accessors": MAPPING}, [0, 1, 2]),
], ids=["no-bufferView", "negative-view", "string-view", "float-offset", "float-count",
        "string-index", "default-type", "mapping-table"])
def test_accessor_values_go_through_int(ow, changes, first_row):
    pos = ow.extract_mesh_arrays(resolvable(**changes), CHUNK)[0]
    assert pos.shape == (3, 3) and pos[0].tolist() == first_row


@pytest.mark.parametrize("changes,error", [
    ({"accessors__0": 7}, AttributeError), ({"accessors__0__bufferView": 5}, IndexError),
    ({"bufferViews__0__byteStride": None}, TypeError), ({"accessors__0__count": None}, TypeError),
    ({"meshes": None}, TypeError), ({"meshes__0__primitives": None}, TypeError),
    ({"meshes__0__primitives__0__attributes__POSITION": "abc"}, ValueError),
    ({"meshes__0__primitives__0__attributes__POSITION": 1}, IndexError),
    ({"meshes__0__primitives__0__attributes__POSITION": -1}, IndexError),
    ({"meshes__0__primitives__0__attributes__POSITION": 2**31}, OverflowError),
    ({"accessors__0__count": 2**31}, OverflowError), ({"accessors__0__byteOffset": 2**31}, OverflowError),
    ({"meshes__0": 3}, AttributeError),
    ({"accessors": KeyError}, IndexError),  # the index is checked even without a table
    ({"accessors": MAPPING, "meshes__0__primitives__0__attributes__POSITION": 1}, KeyError),
], ids=["accessor-number", "view-past-end", "null-stride", "null-count", "null-meshes",
        "null-primitives", "bad-index-text", "index-past-end", "negative-index", "index-overflow",
        "count-overflow", "offset-overflow", "mesh-number", "no-accessors", "mapping-missing-key"])
def test_malformed_documents_raise(ow, changes, error):
    with pytest.raises(error):
        ow.extract_mesh_arrays(resolvable(**changes), CHUNK)


def test_totals_beyond_int32_raise_overflow(ow):
    gltf = resolvable(accessors__0__count=2**31 - 1)
    gltf["meshes"][0]["primitives"].append({"attributes": {"POSITION": 0}})
    with pytest.raises(OverflowError, match="vertices"):
        ow.extract_mesh_arrays(gltf, None)

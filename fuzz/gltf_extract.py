"""Fuzz harness: extract_mesh_arrays on generated glTF documents.

A structure-aware generator builds the JSON (meshes, primitives, attribute
sets, accessors, buffer views) with random counts, offsets, strides,
component types, normalisation flags, primitive modes and index accessors,
plus a binary chunk of random bytes and length (so ranges run past its end),
occasional malformed pieces (null, wrong types, out-of-range indices) and
feature id lists of every length rule.

The model below is a short, slow reading of the contract: every byte read
lies inside bin_chunk, integer attributes are widened (or normalised) by
value with their own stride, strips and fans are triangulated, index values
must be below the primitive's vertex count, rows that no primitive writes
are zero. When the model succeeds the module must return equal arrays (bit
for bit); when the model fails the module must raise one of the documented
exception types, never return.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _common import Provider, main, not_implemented, signal  # noqa: E402

from tessaroid import _obj_writer as ow  # noqa: E402

DOCUMENTED = (ValueError, IndexError, OverflowError, TypeError, KeyError, AttributeError)
INT32 = (-2**31, 2**31 - 1)

# componentType -> (NumPy dtype, size, normalisation divisor or None)
COMPONENTS = {
    5120: ("<i1", 1, 127.0),
    5121: ("<u1", 1, 255.0),
    5122: ("<i2", 2, 32767.0),
    5123: ("<u2", 2, 65535.0),
    5125: ("<u4", 4, None),
    5126: ("<f4", 4, None),
}
INDEX_TYPES = {5121: "<u1", 5123: "<u2", 5125: "<u4"}


class Invalid(Exception):
    """The document breaks the contract: the module must raise."""


def narrow(v: int) -> int:
    if not INT32[0] <= v <= INT32[1]:
        raise Invalid(f"{v} outside 32 bits")
    return v


_wide = [False]
INT64 = (-2**63, 2**63 - 1)


def resolve(gltf, ref, attribute: bool):
    """(offset, count, component_type, byte_stride, normalized)"""
    index = narrow(int(ref))
    accessors = gltf.get("accessors", [])
    views = gltf.get("bufferViews", [])
    if isinstance(accessors, (list, tuple)):
        if not 0 <= index < len(accessors):
            raise Invalid("accessor index out of range")
        acc = accessors[index]
    else:
        acc = accessors[index]
    view = views[int(acc.get("bufferView", 0))]
    offset = int(view.get("byteOffset", 0)) + int(acc.get("byteOffset", 0))
    count = int(acc.get("count", 0))
    ctype = int(acc.get("componentType", 5126))
    stride = int(view.get("byteStride", 0))
    # A value beyond 64 bits in an accessor that turns out unused (a POSITION
    # count of 0 skips the primitive) may be refused as soon as it is read.
    if any(not INT64[0] <= v <= INT64[1] for v in (offset, count, ctype, stride)):
        _wide[0] = True
    normalized = False
    if attribute and ctype in (5120, 5121, 5122, 5123, 5125):
        normalized = bool(acc.get("normalized", False))
    return offset, count, ctype, stride, normalized


def face_count(mode: int, n: int) -> int:
    if mode == 4:
        return n // 3
    if mode in (5, 6):
        return max(n - 2, 0)
    return 0


def read_attribute(chunk: bytes, info, ncomp: int, vcount: int, out_dtype):
    offset, count, ctype, stride, normalized = info
    if count < vcount:
        raise Invalid("attribute shorter than POSITION")
    offset, ctype, stride = narrow(offset), narrow(ctype), narrow(stride)
    if ctype not in COMPONENTS:
        raise Invalid("unknown componentType")
    dtype, size, divisor = COMPONENTS[ctype]
    if stride <= 0:
        stride = ncomp * size
    last = offset + ((vcount - 1) * stride) // size * size
    if offset < 0 or last + ncomp * size > len(chunk):
        raise Invalid("attribute outside bin_chunk")
    starts = [offset + (i * stride) // size * size for i in range(vcount)]
    raw = np.stack([np.frombuffer(chunk, dtype=dtype, count=ncomp, offset=s) for s in starts])
    if ctype == 5126:
        return raw.astype(out_dtype)
    values = raw.astype(np.float64)
    if normalized and divisor is not None:
        values = np.maximum(values / divisor, -1.0)
    return values.astype(out_dtype)


def triangles(chunk: bytes, idx, mode: int, fcount: int, vcount: int):
    """The primitive's triangles as (fcount, 3) rows of its own vertices."""
    used = {4: 3 * fcount, 5: fcount + 2, 6: fcount + 2}.get(mode, 0) if fcount else 0
    if idx is None:
        v = np.arange(used, dtype=np.int64)
    else:
        offset, ctype = narrow(idx[0]), narrow(idx[2])
        if ctype not in INDEX_TYPES:
            raise Invalid("unknown index type")
        size = np.dtype(INDEX_TYPES[ctype]).itemsize
        if offset < 0 or offset + used * size > len(chunk):
            raise Invalid("indices outside bin_chunk")
        v = np.frombuffer(chunk, dtype=INDEX_TYPES[ctype], count=used, offset=offset).astype(np.int64)
    if used and v.max() >= vcount:
        raise Invalid("index value out of range")
    if mode == 4:
        return v.reshape(-1, 3)
    if mode == 5:
        return np.array([(v[i], v[i + 1 + i % 2], v[i + 2 - i % 2]) for i in range(fcount)],
                        dtype=np.int64).reshape(-1, 3)
    if mode == 6:
        return np.array([(v[i + 1], v[i + 2], v[0]) for i in range(fcount)], dtype=np.int64).reshape(-1, 3)
    return np.zeros((0, 3), dtype=np.int64)


def model(gltf, chunk, feature_ids):
    """The expected 5-tuple or None; raises Invalid (or the error that the
    malformed JSON itself raises) when the module must raise."""
    entries = []
    total_v = total_f = 0
    for mesh in gltf.get("meshes", []):
        for prim in mesh.get("primitives", []):
            attrs = prim.get("attributes") or {}
            if "POSITION" not in attrs:
                continue
            pos = resolve(gltf, attrs["POSITION"], True)
            vcount = narrow(pos[1])
            if vcount <= 0:
                continue
            tc = resolve(gltf, attrs["TEXCOORD_0"], True) if "TEXCOORD_0" in attrs else None
            uvr = None
            if "TEXCOORD_1" in attrs and "TEXCOORD_2" in attrs:
                uvr = (resolve(gltf, attrs["TEXCOORD_1"], True), resolve(gltf, attrs["TEXCOORD_2"], True))
            idx_ref = prim.get("indices")
            mode = prim.get("mode")
            mode = 4 if mode is None else int(mode)
            if not 0 <= mode <= 6:
                raise Invalid("unknown mode")
            idx = None
            n = vcount
            if idx_ref is not None:
                idx = resolve(gltf, idx_ref, False)
                if idx[1] < 0:
                    raise Invalid("negative index count")
                n = idx[1]
            fcount = narrow(face_count(mode, n))
            entries.append((pos, vcount, tc, uvr, idx, mode, fcount, total_v, total_f))
            total_v, total_f = narrow(total_v + vcount), narrow(total_f + fcount)
    if not entries:
        return None
    if chunk is None:
        raise Invalid("bin_chunk is None")

    # Every range is checked (and read) before the result arrays exist.
    data = []
    for pos, vcount, tc, uvr, idx, mode, fcount, v0, f0 in entries:
        data.append((
            read_attribute(chunk, pos, 3, vcount, np.float64),
            None if tc is None else read_attribute(chunk, tc, 2, vcount, np.float64),
            None if uvr is None else (read_attribute(chunk, uvr[0], 2, vcount, np.float32),
                                      read_attribute(chunk, uvr[1], 2, vcount, np.float32)),
            triangles(chunk, idx, mode, fcount, vcount),
        ))
    positions = np.zeros((total_v, 3))
    faces = np.zeros((total_f, 3), dtype=np.int64)
    has_tc = any(e[2] is not None for e in entries)
    has_uvr = any(e[3] is not None for e in entries)
    tex = np.zeros((total_v, 2)) if has_tc else None
    uvr_out = np.zeros((total_v, 4), dtype=np.float32) if has_uvr else None
    for (pos, vcount, tc, uvr, idx, mode, fcount, v0, f0), (p_, t_, u_, tri) in zip(entries, data):
        positions[v0:v0 + vcount] = p_
        if t_ is not None:
            tex[v0:v0 + vcount] = t_
        if u_ is not None:
            uvr_out[v0:v0 + vcount, 0:2] = u_[0]
            uvr_out[v0:v0 + vcount, 2:4] = u_[1]
        faces[f0:f0 + fcount] = tri + v0

    fid = None
    if feature_ids is not None:
        arr = np.asarray(feature_ids, dtype=np.int64)
        n = arr.shape[0]
        fid = np.zeros(total_v, dtype=np.int64)
        for pos, vcount, tc, uvr, idx, mode, fcount, v0, f0 in entries:
            if n >= v0 + vcount:
                fid[v0:v0 + vcount] = arr[v0:v0 + vcount]
            elif n >= vcount:
                fid[v0:v0 + vcount] = arr[0:vcount]
    return positions, faces, tex, uvr_out, fid


# ---------------------------------------------------------------- generator

# Common values, and rare ones that break a rule (each drawn 1 time in 30).
OFFSETS = ([0, 0, 0, 0, 4, 8, 12, 16, 2, 24, 48], [3, -4, 2**31, 2**40])
STRIDES = ([None, None, None, 0, 8, 12, 16, 20, 4, 6, 14], [3, 2, -4, 2**31])
COUNTS = ([1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 12, 16], [0, -1, 2**31, 2**31 - 1])
CTYPES = ([None, 5126, 5126, 5126, 5120, 5121, 5122, 5123, 5125], [5124, 5130, 0])
MODES = ([None, None, None, 4, 4, 5, 6, 0, 1, 2, 3, "4"], [7, -1])
ODD_VALUES = [None, "x", [], {}, 1.5, True, "2", 2**70]


def value(p: Provider, choices, extra=()):
    common, rare = choices
    if p.chance(30):
        return p.pick(rare)
    return p.pick(list(common) + list(extra))


def gen_ref(p: Provider, n: int):
    if p.chance(40):
        return p.pick([n, -1, 2**31, "0", 0.9, None, "x"])
    return p.int_in(0, max(n - 1, 0))


def maybe(p: Provider, d: dict, key: str, choices, extra=()):
    v = value(p, choices, extra)
    if v is not None:
        d[key] = v
    if p.chance(80):
        d[key] = p.pick(ODD_VALUES)


SIZES = {5120: 1, 5121: 1, 5122: 2, 5123: 2, 5125: 4, 5126: 4}


def gen_accessor(p: Provider, views: list, cursor: list, ncomp: int, count: int, ctypes) -> dict:
    """A new accessor laid out after the previous ones (cursor[0] is the
    next free byte), in its own buffer view or an existing one."""
    ctype = value(p, ctypes)
    size = SIZES.get(ctype if ctype is not None else 5126, 4)
    stride = value(p, STRIDES)
    if p.boolean() or not views:
        view: dict = {"byteOffset": cursor[0]}
        if stride is not None:
            view["byteStride"] = stride
        if p.chance(30):
            view["byteOffset"] = value(p, OFFSETS)
        views.append(view)
        acc: dict = {"bufferView": len(views) - 1}
    else:
        acc = {"bufferView": p.int_in(0, len(views) - 1),
               "byteOffset": cursor[0] - int(views[-1].get("byteOffset", 0)) if p.boolean() else value(p, OFFSETS)}
    step = stride if isinstance(stride, int) and stride > 0 else ncomp * size
    cursor[0] += min(max(count, 0), 64) * min(max(step, 0), 64) + p.pick([0, 0, 2, 4])
    acc["count"] = count
    if ctype is not None:
        acc["componentType"] = ctype
    if p.chance(4):
        acc["normalized"] = p.pick([True, False, 1])
    if p.chance(60):
        acc[p.pick(["bufferView", "byteOffset", "count", "componentType"])] = p.pick(ODD_VALUES)
    return acc


INDEX_CTYPES = ([5121, 5123, 5123, 5125, 5125], [5126, 5122, 5124, 0])


def gen_document(p: Provider):
    views: list = []
    accessors: list = []
    cursor = [0]

    def new(ncomp, count, ctypes):
        if accessors and p.chance(10):  # share an accessor
            return p.int_in(0, len(accessors) - 1)
        accessors.append(gen_accessor(p, views, cursor, ncomp, count, ctypes))
        return len(accessors) - 1

    meshes = []
    for _ in range(p.int_in(0, 2) if p.chance(10) else p.int_in(1, 2)):
        prims = []
        for _ in range(p.int_in(1, 3)):
            vcount = value(p, COUNTS)
            attrs: dict = {}
            if not p.chance(8):
                attrs["POSITION"] = new(3, vcount, CTYPES)
            for name in ("TEXCOORD_0", "TEXCOORD_1", "TEXCOORD_2"):
                if p.boolean():
                    count = vcount if not p.chance(8) else value(p, COUNTS)
                    attrs[name] = new(2, count, CTYPES)
            if p.chance(30):
                attrs[p.pick(list(attrs) or ["POSITION"])] = p.pick([len(accessors), -1, 2**31, "0", 0.9, None, "x"])
            prim: dict = {"attributes": attrs if not p.chance(60) else p.pick([None, {}, [], "POSITION"])}
            mode = value(p, MODES)
            if mode is not None:
                prim["mode"] = mode
            if p.boolean():
                n = p.pick([3, 6, 9, 12, 4, 5, 7, 0, 1, 2]) if not p.chance(30) else value(p, COUNTS)
                prim["indices"] = new(1, n, INDEX_CTYPES) if not p.chance(20) else None
                acc = accessors[prim["indices"]] if isinstance(prim["indices"], int) else None
                if isinstance(acc, dict) and isinstance(vcount, int) and vcount > 0:
                    # index values mostly below the vertex count
                    acc["_max"] = vcount
            prims.append(prim)
        meshes.append({"primitives": prims} if not p.chance(80) else p.pick([{}, {"primitives": None}, 3]))

    # The binary chunk: random bytes, with small index values where indices lie.
    end = cursor[0] + p.pick([0, 0, 0, 4, 16, -4, -12])
    chunk = bytearray(p.take(max(end, 0)).ljust(max(end, 0), b"\x01"))
    for acc in accessors:
        top = acc.pop("_max", None)
        if top is None or p.chance(10):
            continue
        try:
            view = views[int(acc.get("bufferView", 0))]
            off = int(view.get("byteOffset", 0)) + int(acc.get("byteOffset", 0))
            size = SIZES[int(acc.get("componentType", 5126))]
            count = int(acc["count"])
        except Exception:
            continue
        for k in range(max(0, min(count, 64))):
            at = off + k * size
            if 0 <= at and at + size <= len(chunk):
                chunk[at:at + size] = (k * 7 % top % (1 << (8 * size))).to_bytes(size, "little")
    if accessors and p.chance(80):
        accessors[p.int_in(0, len(accessors) - 1)] = p.pick([5, None, "acc"])

    gltf = {"meshes": meshes, "accessors": accessors, "bufferViews": views}
    if p.chance(80):
        gltf[p.pick(["meshes", "accessors", "bufferViews"])] = p.pick([None, [], {}, ()])
    r = p.int_in(0, 5)
    if r == 0:
        fid = None
    elif r == 1:
        fid = p.pick([5, [[1, 2], [3, 4]], "x"])
    else:
        fid = list(range(100, 100 + p.int_in(0, 40)))
    return gltf, (None if p.chance(60) else bytes(chunk)), fid


def same_array(a, b) -> bool:
    if a is None or b is None:
        return a is None and b is None
    return (isinstance(b, np.ndarray) and a.dtype == b.dtype and a.shape == b.shape
            and b.flags.c_contiguous and a.tobytes() == b.tobytes())


def generate(data: bytes):
    return gen_document(Provider(data))


def one_input(data: bytes) -> None:
    check_case(generate(data))


def check_case(case) -> None:
    gltf, chunk, fid = case
    _wide[0] = False
    try:
        expected = model(gltf, chunk, fid)
    except Exception as e:
        expected = e
    try:
        got = ow.extract_mesh_arrays(gltf, chunk, fid)
    except NotImplementedError:
        return
    except Exception as e:
        got = e
    signal(("extract", type(expected).__name__, type(got).__name__))
    if isinstance(expected, Exception):
        if not isinstance(got, BaseException):
            raise AssertionError(f"expected an error ({type(expected).__name__}: {expected}), got a result")
        if not isinstance(got, DOCUMENTED):
            raise AssertionError(f"undocumented exception {type(got).__name__}: {got}") from got
        return
    if isinstance(got, OverflowError) and _wide[0]:
        return
    if isinstance(got, BaseException):
        raise AssertionError(f"model gave a result, module raised {type(got).__name__}: {got}") from got
    if expected is None:
        assert got is None, f"expected None, got {type(got).__name__}"
        return
    assert isinstance(got, tuple) and len(got) == 5, f"result {type(got).__name__}"
    for name, want, have in zip(("positions", "indices", "tex_coord", "uvr", "feature_ids"), expected, got):
        if not same_array(want, have):
            detail = ""
            if want is not None and isinstance(have, np.ndarray) and want.shape == have.shape:
                w, h = want.astype(np.float64), have.astype(np.float64)
                diff = np.argwhere((w != h) & ~(np.isnan(w) & np.isnan(h)))
                if len(diff):
                    at = tuple(int(d) for d in diff[0])
                    detail = f"; first difference at {at}: expected {want[at]!r}, got {have[at]!r}"
            raise AssertionError(f"{name} differs: expected {None if want is None else (want.dtype, want.shape)}, "
                                 f"got {None if have is None else (getattr(have, 'dtype', None), getattr(have, 'shape', None))}{detail}")


def seeds():
    return [bytes([k] * 64) for k in range(1, 16)] + [bytes(range(256)) * 2]


def available() -> bool:
    return not not_implemented(lambda: ow.extract_mesh_arrays({}, b""))


if __name__ == "__main__":
    main(globals())

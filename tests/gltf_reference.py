"""A short NumPy model of mesh extraction (no code shared with the module), for the property and
real-file tests: element i of an attribute starts at offset + floor(i * stride / size) * size."""

from __future__ import annotations

import numpy as np

# componentType -> (stored dtype, divisor when "normalized")
COMPONENTS = {5120: (np.dtype("i1"), 127.0), 5121: (np.dtype("u1"), 255.0),
              5122: (np.dtype("<i2"), 32767.0), 5123: (np.dtype("<u2"), 65535.0),
              5125: (np.dtype("<u4"), None), 5126: (np.dtype("<f4"), None)}


def read(gltf, bin_chunk, index, ncomp, count, widen=True, out_dtype=np.float64):
    """count elements of accessor `index`, widened by value or normalised (or raw if not widen)."""
    acc = gltf["accessors"][index]
    view = gltf["bufferViews"][acc.get("bufferView", 0)]
    dtype, divisor = COMPONENTS[acc.get("componentType", 5126)]
    size = dtype.itemsize
    stride = view.get("byteStride", 0) or ncomp * size
    starts = view.get("byteOffset", 0) + acc.get("byteOffset", 0) + np.arange(count) * stride // size * size
    raw = np.frombuffer(bin_chunk, dtype=np.uint8)[starts[:, None] + np.arange(ncomp * size)]
    values = np.ascontiguousarray(raw).view(dtype).reshape(count, ncomp)
    if not widen:
        return values
    if divisor is not None and acc.get("normalized", False):
        return np.maximum(values / divisor, -1.0).astype(out_dtype)
    return values.astype(out_dtype)


def faces_of(mode, s):
    """Triangles of a primitive from its index list (or vertex numbers): list, strip, fan."""
    n, i = len(s), np.arange(max(len(s) - 2, 0))
    if mode == 4:
        return s[: n // 3 * 3].reshape(-1, 3)
    if mode == 5:
        return np.stack([s[i], s[i + 1 + i % 2], s[i + 2 - i % 2]], axis=1).reshape(-1, 3)
    if mode == 6:
        return np.stack([s[i + 1], s[i + 2], np.full(len(i), s[0] if n else 0)], axis=1).reshape(-1, 3)
    return np.zeros((0, 3), dtype=np.int64)


def extract(gltf, bin_chunk, feature_ids=None):
    """The same 5-tuple as extract_mesh_arrays (absent rows zero), or None."""
    parts = []
    for mesh in gltf.get("meshes", []):
        for prim in mesh.get("primitives", []):
            attrs = prim.get("attributes") or {}
            v = gltf["accessors"][attrs["POSITION"]].get("count", 0) if "POSITION" in attrs else 0
            if v <= 0:
                continue
            p = {"v": v, "pos": read(gltf, bin_chunk, attrs["POSITION"], 3, v)}
            if "TEXCOORD_0" in attrs:
                p["tc"] = read(gltf, bin_chunk, attrs["TEXCOORD_0"], 2, v)
            if "TEXCOORD_1" in attrs and "TEXCOORD_2" in attrs:
                p["uvr"] = np.concatenate([read(gltf, bin_chunk, attrs[k], 2, v, out_dtype=np.float32)
                                           for k in ("TEXCOORD_1", "TEXCOORD_2")], axis=1)
            if prim.get("indices") is not None:
                icount = gltf["accessors"][prim["indices"]]["count"]
                entries = read(gltf, bin_chunk, prim["indices"], 1, icount, widen=False)[:, 0]
            else:
                entries = np.arange(v)
            p["faces"] = faces_of(prim.get("mode", 4), entries.astype(np.int64))
            parts.append(p)
    if not parts:
        return None
    starts = np.cumsum([0] + [p["v"] for p in parts])
    faces = np.concatenate([p["faces"] + s for p, s in zip(parts, starts)])

    def joined(key, cols, dtype=np.float64):
        if any(key in p for p in parts):
            return np.concatenate([p.get(key, np.zeros((p["v"], cols), dtype)) for p in parts])
        return None

    fid = None
    if feature_ids is not None:
        ids, fid = np.asarray(feature_ids, dtype=np.int64), np.zeros(starts[-1], dtype=np.int64)
        for p, s in zip(parts, starts):  # numbered over the tile, else again for every primitive
            if len(ids) >= s + p["v"]:
                fid[s:s + p["v"]] = ids[s:s + p["v"]]
            elif len(ids) >= p["v"]:
                fid[s:s + p["v"]] = ids[: p["v"]]
    return joined("pos", 3), faces, joined("tc", 2), joined("uvr", 4, np.float32), fid


def assert_same(got, want):
    """Equal results: same None-ness, dtypes, shapes, C order; float32 (UVR) bit for bit."""
    assert (got is None) == (want is None)
    for g, w in zip(got or (), want or (), strict=True):
        assert (g is None) == (w is None)
        if g is not None:
            assert g.dtype == w.dtype and g.shape == w.shape and g.flags.c_contiguous
            if g.dtype == np.float32:
                np.testing.assert_array_equal(g.view(np.uint32), w.view(np.uint32))
            else:
                np.testing.assert_array_equal(g, w)

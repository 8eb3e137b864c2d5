"""A short NumPy model of mesh extraction, used by the property and real-file tests.

It decodes accessors byte by byte with NumPy fancy indexing (no shared code with the module) and
follows the same rules: primitives with a POSITION accessor of count > 0 are concatenated in
document order; element i of an attribute starts at offset + floor(i * stride / size) * size;
integer attributes are widened by value or, when "normalized", divided as glTF defines; modes 4
(or absent), 5 and 6 give triangles, 0 to 3 none; UVR is TEXCOORD_1 and TEXCOORD_2 side by side;
rows a primitive does not provide are zero.
"""

from __future__ import annotations

import numpy as np

COMPONENTS = {
    5120: (np.dtype("i1"), 127.0),
    5121: (np.dtype("u1"), 255.0),
    5122: (np.dtype("<i2"), 32767.0),
    5123: (np.dtype("<u2"), 65535.0),
    5125: (np.dtype("<u4"), None),
    5126: (np.dtype("<f4"), None),
}


def accessor_layout(gltf, index):
    acc = gltf["accessors"][index]
    view = gltf["bufferViews"][acc.get("bufferView", 0)]
    offset = view.get("byteOffset", 0) + acc.get("byteOffset", 0)
    return acc, offset, view.get("byteStride", 0)


def read_raw(gltf, bin_chunk, index, ncomp, count):
    """count elements of ncomp components of accessor `index`, in their stored dtype."""
    acc, offset, stride = accessor_layout(gltf, index)
    dtype, _ = COMPONENTS[acc.get("componentType", 5126)]
    size = dtype.itemsize
    stride = stride if stride > 0 else ncomp * size
    starts = offset + (np.arange(count, dtype=np.int64) * stride) // size * size
    byte_index = starts[:, None] + np.arange(ncomp * size)[None, :]
    raw = np.frombuffer(bin_chunk, dtype=np.uint8)[byte_index]
    return np.ascontiguousarray(raw).view(dtype).reshape(count, ncomp)


def read_attribute(gltf, bin_chunk, index, ncomp, count, out_dtype=np.float64):
    """An attribute widened by value, or normalised as glTF defines; float32 stays bit-exact."""
    acc = gltf["accessors"][index]
    values = read_raw(gltf, bin_chunk, index, ncomp, count)
    _, divisor = COMPONENTS[acc.get("componentType", 5126)]
    if divisor is not None and acc.get("normalized", False):
        return np.maximum(values / divisor, -1.0).astype(out_dtype)
    return values.astype(out_dtype)


def faces_of(mode, entries):
    """Triangles of a primitive from its index list (or vertex numbers)."""
    s = np.asarray(entries, dtype=np.int64)
    n = len(s)
    if mode == 4:
        return s[: n // 3 * 3].reshape(-1, 3)
    if mode in (5, 6) and n >= 3:
        i = np.arange(n - 2)
        if mode == 5:
            return np.stack([s[i], s[i + 1 + i % 2], s[i + 2 - i % 2]], axis=1)
        return np.stack([s[i + 1], s[i + 2], np.full(n - 2, s[0])], axis=1)
    return np.zeros((0, 3), dtype=np.int64)


def extract(gltf, bin_chunk, feature_ids=None):
    """The model: the same 5-tuple as extract_mesh_arrays, or None."""
    parts = []
    for mesh in gltf.get("meshes", []):
        for prim in mesh.get("primitives", []):
            attrs = prim.get("attributes") or {}
            if "POSITION" not in attrs:
                continue
            vcount = gltf["accessors"][attrs["POSITION"]].get("count", 0)
            if vcount <= 0:
                continue
            part = {"v": vcount, "pos": read_attribute(gltf, bin_chunk, attrs["POSITION"], 3, vcount)}
            if "TEXCOORD_0" in attrs:
                part["tc"] = read_attribute(gltf, bin_chunk, attrs["TEXCOORD_0"], 2, vcount)
            if "TEXCOORD_1" in attrs and "TEXCOORD_2" in attrs:
                a = read_attribute(gltf, bin_chunk, attrs["TEXCOORD_1"], 2, vcount, np.float32)
                b = read_attribute(gltf, bin_chunk, attrs["TEXCOORD_2"], 2, vcount, np.float32)
                part["uvr"] = np.concatenate([a, b], axis=1)
            mode = prim.get("mode", 4)
            if prim.get("indices") is not None:
                icount = gltf["accessors"][prim["indices"]]["count"]
                entries = read_raw(gltf, bin_chunk, prim["indices"], 1, icount)[:, 0].astype(np.int64)
            else:
                entries = np.arange(vcount)
            part["faces"] = faces_of(mode, entries)
            parts.append(part)
    if not parts:
        return None
    total = sum(p["v"] for p in parts)
    positions = np.concatenate([p["pos"] for p in parts])
    faces, voffset = [], 0
    for p in parts:
        faces.append(p["faces"] + voffset)
        voffset += p["v"]
    faces = np.concatenate(faces).reshape(-1, 3)
    tex = uvr = fid = None
    if any("tc" in p for p in parts):
        tex = np.concatenate([p.get("tc", np.zeros((p["v"], 2))) for p in parts])
    if any("uvr" in p for p in parts):
        uvr = np.concatenate([p.get("uvr", np.zeros((p["v"], 4), np.float32)) for p in parts])
    if feature_ids is not None:
        ids = np.asarray(feature_ids, dtype=np.int64)
        fid, voffset = np.zeros(total, dtype=np.int64), 0
        for p in parts:
            end = voffset + p["v"]
            if len(ids) >= end:
                fid[voffset:end] = ids[voffset:end]
            elif len(ids) >= p["v"]:
                fid[voffset:end] = ids[: p["v"]]
            voffset = end
    assert positions.shape == (total, 3)
    return positions, faces, tex, uvr, fid

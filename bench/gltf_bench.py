"""Speed of extract_mesh_arrays and quantize_uvr against NumPy baselines measured in the same run.

Extraction: a 1M-vertex document (float32 POSITION and TEXCOORD_0, uint32 indices, four primitives)
is extracted three ways:
  - extract_mesh_arrays;
  - the NumPy-only extraction a user would write (frombuffer, reshape, astype, + offset, concatenate);
  - the floor: a bare NumPy copy-with-widening of the same bytes (frombuffer + astype, nothing else).
Goals: extraction <= 1.5x the floor, and faster than the NumPy-only path.

Quantisation: quantize_uvr on 4M float64 values against np.floor(np.clip(x, 0, 1) * 32 + 0.5) / 32.
Goal: at least 3x faster.

Run: PYTHONPATH=. python3 bench/gltf_bench.py
"""

from __future__ import annotations

import time

import numpy as np

from tessaroid import _obj_writer as ow

VERTICES = 1_000_000
PRIMITIVES = 4
TRIANGLES_PER_VERTEX = 2
REPEATS = 7


def build_document(seed: int = 1):
    rng = np.random.default_rng(seed)
    per = VERTICES // PRIMITIVES
    tris = per * TRIANGLES_PER_VERTEX
    chunks, views, accessors, prims = [], [], [], []
    offset = 0

    def add(arr: np.ndarray, component_type: int, count: int) -> int:
        nonlocal offset
        data = arr.tobytes()
        views.append({"buffer": 0, "byteOffset": offset, "byteLength": len(data)})
        accessors.append({"bufferView": len(views) - 1, "componentType": component_type, "count": count})
        chunks.append(data)
        offset += len(data)
        return len(accessors) - 1

    for _ in range(PRIMITIVES):
        pos = rng.standard_normal((per, 3)).astype("<f4")
        uv = rng.random((per, 2)).astype("<f4")
        idx = rng.integers(0, per, size=tris * 3).astype("<u4")
        prims.append({
            "attributes": {"POSITION": add(pos, 5126, per), "TEXCOORD_0": add(uv, 5126, per)},
            "indices": add(idx, 5125, tris * 3),
        })
    gltf = {"meshes": [{"primitives": prims}], "accessors": accessors, "bufferViews": views}
    return gltf, b"".join(chunks)


def numpy_user(gltf, bin_chunk):
    """What a user writes with NumPy alone (float32 attributes, uint32 indices)."""
    acc, views = gltf["accessors"], gltf["bufferViews"]

    def read(i, dtype, cols):
        a = acc[i]
        off = views[a["bufferView"]].get("byteOffset", 0) + a.get("byteOffset", 0)
        return np.frombuffer(bin_chunk, dtype=dtype, count=a["count"] * cols, offset=off)

    pos, uv, faces = [], [], []
    voffset = 0
    for prim in gltf["meshes"][0]["primitives"]:
        attrs = prim["attributes"]
        n = acc[attrs["POSITION"]]["count"]
        pos.append(read(attrs["POSITION"], np.float32, 3).reshape(n, 3).astype(np.float64))
        uv.append(read(attrs["TEXCOORD_0"], np.float32, 2).reshape(n, 2).astype(np.float64))
        ia = acc[prim["indices"]]
        f = np.frombuffer(bin_chunk, dtype=np.uint32, count=ia["count"],
                          offset=views[ia["bufferView"]]["byteOffset"]).astype(np.int64)
        faces.append(f.reshape(-1, 3) + voffset)
        voffset += n
    return np.concatenate(pos), np.concatenate(faces), np.concatenate(uv)


def numpy_floor(spans):
    """Bare copy-with-widening of the same bytes: frombuffer + astype per attribute."""
    out = []
    for buf, dtype, count, offset, target in spans:
        out.append(np.frombuffer(buf, dtype=dtype, count=count, offset=offset).astype(target))
    return out


def floor_spans(gltf, bin_chunk):
    acc, views = gltf["accessors"], gltf["bufferViews"]
    spans = []
    for prim in gltf["meshes"][0]["primitives"]:
        for key, cols in (("POSITION", 3), ("TEXCOORD_0", 2)):
            a = acc[prim["attributes"][key]]
            spans.append((bin_chunk, np.float32, a["count"] * cols, views[a["bufferView"]]["byteOffset"], np.float64))
        a = acc[prim["indices"]]
        spans.append((bin_chunk, np.uint32, a["count"], views[a["bufferView"]]["byteOffset"], np.int64))
    return spans


def best(fn, *args, repeats=REPEATS) -> float:
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn(*args)
        times.append(time.perf_counter() - t0)
        del result
    return min(times)


def main() -> None:
    gltf, bin_chunk = build_document()
    spans = floor_spans(gltf, bin_chunk)

    # Same answer before timing anything.
    ours = ow.extract_mesh_arrays(gltf, bin_chunk)
    ref = numpy_user(gltf, bin_chunk)
    assert np.array_equal(ours[0], ref[0]) and np.array_equal(ours[1], ref[1])
    assert np.array_equal(ours[2], ref[2])
    del ours, ref

    t_ext = best(ow.extract_mesh_arrays, gltf, bin_chunk)
    t_user = best(numpy_user, gltf, bin_chunk)
    t_floor = best(numpy_floor, spans)
    print(f"extraction, {VERTICES} vertices, {VERTICES * TRIANGLES_PER_VERTEX} triangles, {PRIMITIVES} primitives")
    print(f"  extract_mesh_arrays   {t_ext * 1e3:8.2f} ms")
    print(f"  NumPy-only extraction {t_user * 1e3:8.2f} ms")
    print(f"  floor (bare widening) {t_floor * 1e3:8.2f} ms")
    print(f"  ratio extraction/floor      {t_ext / t_floor:5.2f}  (goal <= 1.50)")
    print(f"  ratio NumPy-only/extraction {t_user / t_ext:5.2f}  (goal > 1.00)")

    rng = np.random.default_rng(2)
    values = rng.uniform(-0.25, 1.25, size=(1_000_000, 4))
    expected = np.floor(np.clip(values, 0, 1) * 32 + 0.5) / 32
    got = ow.quantize_uvr(values.copy())
    assert np.array_equal(got, expected)

    def ours_q(x):
        return ow.quantize_uvr(x)

    def numpy_q(x):
        return np.floor(np.clip(x, 0, 1) * 32 + 0.5) / 32

    # quantize_uvr works in place on a float64 array, so each run gets a fresh copy; the copy
    # is timed separately and subtracted.
    def timed_inplace(repeats=REPEATS):
        times = []
        for _ in range(repeats):
            x = values.copy()
            t0 = time.perf_counter()
            ow.quantize_uvr(x)
            times.append(time.perf_counter() - t0)
        return min(times)

    t_q = timed_inplace()
    t_np = best(numpy_q, values)
    t_q32 = best(ours_q, values.astype(np.float32))
    print("quantize_uvr, 4M values")
    print(f"  quantize_uvr (float64, in place)   {t_q * 1e3:8.2f} ms")
    print(f"  quantize_uvr (float32 input, copy) {t_q32 * 1e3:8.2f} ms")
    print(f"  NumPy floor/clip expression        {t_np * 1e3:8.2f} ms")
    print(f"  ratio NumPy/quantize_uvr float64   {t_np / t_q:5.2f}  (goal >= 3.00)")
    print(f"  ratio NumPy/quantize_uvr float32   {t_np / t_q32:5.2f}")


if __name__ == "__main__":
    main()

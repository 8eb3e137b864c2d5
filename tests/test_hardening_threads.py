"""Threads: every function from 8 threads at once, each thread on its own
inputs, gives exactly what one thread gives; a DecodedTexture shared by
several threads stays consistent.

The functions release the interpreter lock around their loops, so the
threads really overlap there. Each run lasts SECONDS (TESSAROID_LONG_TESTS=1
for longer).
"""

import io
import os
import threading
import time
from pathlib import Path

import numpy as np

from tessaroid import _obj_writer as ow

THREADS = 8
SECONDS = 10.0 if os.environ.get("TESSAROID_LONG_TESTS") == "1" else 1.5


def same(a, b) -> bool:
    if isinstance(a, tuple) and isinstance(b, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    return type(a) is type(b) and a == b


def in_place(fn, arr):
    out = arr.copy()
    fn(out)
    return out


def gltf_for(seed: int):
    rng = np.random.default_rng(seed)
    n = 2000 + seed
    pos = rng.normal(size=(n, 3)).astype("<f4").tobytes()
    tc = rng.random((n, 2)).astype("<f4").tobytes()
    idx = rng.integers(0, n, 3 * n).astype("<u4").tobytes()
    doc = {
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "TEXCOORD_0": 1, "TEXCOORD_1": 1,
                                                   "TEXCOORD_2": 1}, "indices": 2}]}],
        "accessors": [{"bufferView": 0, "count": n}, {"bufferView": 1, "count": n},
                      {"bufferView": 2, "count": 3 * n, "componentType": 5125}],
        "bufferViews": [{"byteOffset": 0}, {"byteOffset": len(pos)}, {"byteOffset": len(pos) + len(tc)}],
    }
    return doc, pos + tc + idx


def work_items(seed: int, folder: Path):
    """(name, call) pairs for one thread; each call returns a comparable value."""
    rng = np.random.default_rng(seed)
    positions = rng.normal(scale=1e6, size=(20000, 3))
    texcoords = rng.random((20000, 2))
    faces = rng.integers(-5, 1 << 40, (20000, 3))
    uvr = rng.random((20000, 4)).astype(np.float32)
    ecef = np.column_stack([rng.uniform(-7e6, 7e6, 20000) for _ in range(3)])
    doc, chunk = gltf_for(seed)
    obj = folder / f"t{seed}.obj"
    content = b"".join(b"v %d.25 %d 1e-3 0.5\nvt 0 1\n" % (i * seed, -i) for i in range(3000))

    def shift():
        obj.write_bytes(content)
        count = ow.shift_obj_file(str(obj), 1.5, -2.0, 0.25)
        return count, obj.read_bytes()

    def extent():
        obj.write_bytes(content)
        return ow.compute_obj_extent(str(obj))

    return [
        ("format_vertex_lines", lambda: ow.format_vertex_lines(positions)),
        ("format_texcoord_lines", lambda: ow.format_texcoord_lines(texcoords)),
        ("format_face_lines", lambda: ow.format_face_lines(faces, True)),
        ("extract_mesh_arrays", lambda: ow.extract_mesh_arrays(doc, chunk, list(range(2000 + seed)))),
        ("quantize_uvr", lambda: ow.quantize_uvr(uvr)),
        ("ecef_to_webmercator", lambda: in_place(ow.ecef_to_webmercator, ecef)),
        ("ecef_to_wgs84_geo", lambda: in_place(ow.ecef_to_wgs84_geo, ecef)),
        ("convert_crs", lambda: in_place(lambda a: ow.convert_crs(a, "EPSG:3857"), ecef)),
        ("compute_obj_extent", extent),
        ("shift_obj_file", shift),
    ]


def run_threads(target, n=THREADS):
    errors = []
    barrier = threading.Barrier(n)

    def body(i):
        try:
            barrier.wait()
            target(i)
        except BaseException as e:  # reported by the main thread
            errors.append((i, e))

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        i, e = errors[0]
        raise AssertionError(f"thread {i}: {type(e).__name__}: {e}") from e


def test_all_functions_from_eight_threads_match_one_thread(tmp_path):
    items = {seed: work_items(seed, tmp_path) for seed in range(THREADS)}
    # One thread first: the expected results.
    expected = {seed: {name: call() for name, call in items[seed]} for seed in items}
    counts = [0] * THREADS

    def worker(i):
        deadline = time.monotonic() + SECONDS
        while time.monotonic() < deadline:
            for name, call in items[i]:
                assert same(call(), expected[i][name]), f"{name} differs from the single-thread result"
                counts[i] += 1

    run_threads(worker)
    assert all(counts), counts


def png(seed: int, w: int, h: int, mode: str) -> bytes:
    from PIL import Image

    rng = np.random.default_rng(seed)
    buf = io.BytesIO()
    Image.fromarray(rng.integers(0, 256, (h, w, len(mode)), dtype=np.uint8), mode).save(buf, "PNG")
    return buf.getvalue()


def test_shared_texture_stays_consistent(tmp_path):
    """Several threads crop one shared instance while another keeps
    decoding one of two images into it: every crop is exactly the crop of
    one of the two images, and each size read back is one of the two."""
    a, b = png(1, 64, 48, "RGBA"), png(2, 48, 64, "RGB")
    shared = ow.DecodedTexture()
    rects = [(0, 0, 32, 32), (8, 4, 40, 44), (-3, -3, 100, 100), (16, 16, 17, 17)]
    want = {}
    for label, image in (("a", a), ("b", b)):
        t = ow.DecodedTexture()
        assert t.decode(image)
        for k, r in enumerate(rects):
            path = tmp_path / f"ref-{label}-{k}.png"
            assert t.crop_and_save(*r, str(path))
            want.setdefault(k, set()).add(path.read_bytes())
    stop = time.monotonic() + SECONDS

    def worker(i):
        if i == 0:
            flip = False
            while time.monotonic() < stop:
                assert shared.decode(b if flip else a)
                flip = not flip
            return
        n = 0
        while time.monotonic() < stop:
            k = n % len(rects)
            path = tmp_path / f"w{i}-{k}.png"
            assert shared.crop_and_save(*rects[k], str(path))
            assert path.read_bytes() in want[k], f"crop {rects[k]} matches neither image"
            # Three separate reads: another thread may decode in between.
            assert shared.width in (64, 48) and shared.height in (48, 64) and shared.channels in (4, 3)
            n += 1

    assert shared.decode(a)
    run_threads(worker, 4)

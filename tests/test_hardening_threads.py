"""Threads: every function from 8 threads at once (each on its own inputs, overlapping where the lock
is released) gives what one thread gives; a DecodedTexture shared by threads stays consistent."""

import io
import os
import pickle
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from tessaroid import _obj_writer as ow

THREADS = 8
SECONDS = 10.0 if os.environ.get("TESSAROID_LONG_TESTS") == "1" else 1.5


def same(a, b) -> bool:
    return pickle.dumps(a) == pickle.dumps(b)  # types, dtypes, shapes and every bit (nan, -0.0) alike


def in_place(fn, arr):
    out = arr.copy()
    fn(out)
    return out


def work_items(seed: int, folder):
    """(name, call) pairs for one thread; each call returns a comparable value."""
    rng = np.random.default_rng(seed)
    n = 2000 + seed
    positions, texcoords = rng.normal(scale=1e6, size=(20000, 3)), rng.random((20000, 2))
    faces, uvr = rng.integers(-5, 1 << 40, (20000, 3)), rng.random((20000, 4)).astype(np.float32)
    ecef = rng.uniform(-7e6, 7e6, (20000, 3))
    parts = [rng.normal(size=(n, 3)).astype("<f4"), rng.random((n, 2)).astype("<f4"),
             rng.integers(0, n, 3 * n).astype("<u4")]
    chunk = b"".join(p.tobytes() for p in parts)
    doc = {"meshes": [{"primitives": [{"attributes": {"POSITION": 0, "TEXCOORD_0": 1, "TEXCOORD_1": 1,
                                                      "TEXCOORD_2": 1}, "indices": 2}]}],
           "accessors": [{"bufferView": 0, "count": n}, {"bufferView": 1, "count": n},
                         {"bufferView": 2, "count": 3 * n, "componentType": 5125}],
           "bufferViews": [{"byteOffset": 0}, {"byteOffset": parts[0].nbytes},
                           {"byteOffset": parts[0].nbytes + parts[1].nbytes}]}
    obj = folder / f"t{seed}.obj"
    content = b"".join(b"v %d.25 %d 1e-3 0.5\nvt 0 1\n" % (i * seed, -i) for i in range(3000))

    def shift():
        obj.write_bytes(content)
        return ow.shift_obj_file(str(obj), 1.5, -2.0, 0.25), obj.read_bytes()

    def extent():
        obj.write_bytes(content)
        return ow.compute_obj_extent(str(obj))

    return [
        ("format_vertex_lines", lambda: ow.format_vertex_lines(positions)),
        ("format_texcoord_lines", lambda: ow.format_texcoord_lines(texcoords)),
        ("format_face_lines", lambda: ow.format_face_lines(faces, True)),
        ("extract_mesh_arrays", lambda: ow.extract_mesh_arrays(doc, chunk, list(range(n)))),
        ("quantize_uvr", lambda: ow.quantize_uvr(uvr)),
        ("ecef_to_webmercator", lambda: in_place(ow.ecef_to_webmercator, ecef)),
        ("ecef_to_wgs84_geo", lambda: in_place(ow.ecef_to_wgs84_geo, ecef)),
        ("convert_crs", lambda: in_place(lambda a: ow.convert_crs(a, "EPSG:3857"), ecef)),
        ("compute_obj_extent", extent),
        ("shift_obj_file", shift),
    ]


def run_threads(target, n=THREADS):
    """Runs target(i) for i < n on n threads started together; re-raises the first failure."""
    barrier = threading.Barrier(n)
    with ThreadPoolExecutor(n) as pool:
        for future in [pool.submit(lambda i: (barrier.wait(), target(i)), i) for i in range(n)]:
            future.result()


def test_all_functions_from_eight_threads_match_one_thread(tmp_path):
    items = {seed: work_items(seed, tmp_path) for seed in range(THREADS)}
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


def test_shared_texture_stays_consistent(tmp_path):
    """Threads crop one shared instance while another keeps decoding one of two images into it:
    every crop is exactly the crop of one of the two images, and each size read is one of the two."""
    from PIL import Image

    images = []
    for seed, (w, h, mode) in enumerate([(64, 48, "RGBA"), (48, 64, "RGB")]):
        buf = io.BytesIO()
        pixels = np.random.default_rng(seed).integers(0, 256, (h, w, len(mode)), dtype=np.uint8)
        Image.fromarray(pixels, mode).save(buf, "PNG")
        images.append(buf.getvalue())
    rects = [(0, 0, 32, 32), (8, 4, 40, 44), (-3, -3, 100, 100), (16, 16, 17, 17)]
    want = {k: set() for k in range(len(rects))}
    for j, image in enumerate(images):
        t = ow.DecodedTexture()
        assert t.decode(image)
        for k, r in enumerate(rects):
            assert t.crop_and_save(*r, str(tmp_path / f"ref{j}-{k}.png"))
            want[k].add((tmp_path / f"ref{j}-{k}.png").read_bytes())
    shared = ow.DecodedTexture()
    assert shared.decode(images[0])
    stop = time.monotonic() + SECONDS

    def worker(i):
        n = 0
        while time.monotonic() < stop:
            if i == 0:
                assert shared.decode(images[n % 2])
            else:
                k = n % len(rects)
                path = tmp_path / f"w{i}-{k}.png"
                assert shared.crop_and_save(*rects[k], str(path))
                assert path.read_bytes() in want[k], f"crop {rects[k]} matches neither image"
                # Three separate reads: another thread may decode in between.
                assert shared.width in (64, 48) and shared.height in (48, 64) and shared.channels in (4, 3)
            n += 1

    run_threads(worker, 4)

"""Leaks and references: every entry point, on its success and error paths,
called many times in a row.

Two measurements per case, after a warm-up:
- the resident memory of the process (/proc/self/statm) must settle: a lost
  native buffer (the inputs are sized so that each call allocates several
  kilobytes) shows up as growth far beyond the bound;
- the reference counts of the arguments must be unchanged, and the memory
  that tracemalloc sees (Python objects, NumPy data) must not grow: a
  missing decref shows up there.

The default run makes CALLS calls per case (a few seconds in all);
TESSAROID_LONG_TESTS=1 makes 100000. Under tools/sanitize-test
(TESSAROID_SANITIZED=1) the resident-memory check is skipped: ASan's
quarantine holds freed memory on purpose, and LeakSanitizer checks native
leaks there instead.
"""

import gc
import io
import os
import sys
import tempfile
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

from tessaroid import _obj_writer as ow

LONG = os.environ.get("TESSAROID_LONG_TESTS") == "1"
SANITIZED = os.environ.get("TESSAROID_SANITIZED") == "1"
CALLS = 100_000 if LONG else (300 if SANITIZED else 5_000)
RSS_BOUND = 8 << 20  # bytes of growth tolerated after the warm-up
TRACED_BOUND = 256 << 10


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def png_bytes(w=40, h=30, mode="RGBA") -> bytes:
    from PIL import Image

    buf = io.BytesIO()
    rng = np.random.default_rng(1)
    arr = rng.integers(0, 256, (h, w, len(mode)), dtype=np.uint8)
    Image.fromarray(arr, mode).save(buf, "PNG")
    return buf.getvalue()


def gltf_document():
    """Two primitives: float positions with TEXCOORD_0/1/2 and uint16
    indices, then a non-indexed one; 64 + 6 vertices."""
    rng = np.random.default_rng(2)
    pos = rng.normal(size=(64, 3)).astype("<f4").tobytes()
    tc = rng.random((64, 2)).astype("<f4").tobytes()
    idx = rng.integers(0, 64, 96).astype("<u2").tobytes()
    pos2 = rng.normal(size=(6, 3)).astype("<f4").tobytes()
    chunk = pos + tc + idx + pos2
    views = [{"byteOffset": 0}, {"byteOffset": len(pos)}, {"byteOffset": len(pos) + len(tc)},
             {"byteOffset": len(pos) + len(tc) + len(idx)}]
    accessors = [
        {"bufferView": 0, "count": 64, "componentType": 5126},
        {"bufferView": 1, "count": 64, "componentType": 5126},
        {"bufferView": 2, "count": 96, "componentType": 5123},
        {"bufferView": 3, "count": 6, "componentType": 5126},
    ]
    prims = [
        {"attributes": {"POSITION": 0, "TEXCOORD_0": 1, "TEXCOORD_1": 1, "TEXCOORD_2": 1}, "indices": 2},
        {"attributes": {"POSITION": 3}},
    ]
    return {"meshes": [{"primitives": prims}], "accessors": accessors, "bufferViews": views}, chunk


@pytest.fixture(scope="module")
def folder():
    # In memory where possible: the file-touching cases run hundreds of times.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="tsr-leaks-", dir=shm) as d:
        yield Path(d)


def cases(folder: Path):
    """name -> (call, arguments to watch, expected exception or None)."""
    rng = np.random.default_rng(3)
    positions = rng.normal(scale=1e6, size=(400, 3))
    texcoords = rng.random((400, 2))
    faces = rng.integers(0, 400, (400, 3))
    readonly = positions.copy()
    readonly.flags.writeable = False
    cube = np.zeros((4, 3, 2))
    uvr32 = rng.random((400, 4)).astype(np.float32)
    uvr64 = rng.random((400, 4))
    ecef = np.array([[6378137.0, 0.0, 0.0], [0.0, 6378137.0, 100.0], [4e6, 3e6, 4e6]] * 100)
    gltf, chunk = gltf_document()
    fids = list(range(70))
    bad_gltf = {"meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
                "accessors": [{"count": 1000}], "bufferViews": [{}]}
    obj = folder / "leak.obj"
    obj.write_bytes(b"v 1 2 3\nv -1 5 0.5\nvt 0 0\nf 1 2 3\n" * 50)
    faceless = folder / "faceless.obj"
    faceless.write_bytes(b"# nothing\nvt 0 0\n" * 50)
    missing = str(folder / "missing.obj")
    image = png_bytes()
    tex = ow.DecodedTexture()
    crop_path = str(folder / "crop.png")
    jpg_path = str(folder / "crop.jpg")

    def decoded():
        t = ow.DecodedTexture()
        t.decode(image)
        return t

    return {
        "format_vertex_lines": (lambda: ow.format_vertex_lines(positions), [positions], None),
        "format_vertex_lines_list": (lambda: ow.format_vertex_lines([[1.0, 2.0, 3.0]] * 50), [], None),
        "format_vertex_lines_readonly": (lambda: ow.format_vertex_lines(readonly), [readonly], ValueError),
        "format_vertex_lines_3d": (lambda: ow.format_vertex_lines(cube), [cube], ValueError),
        "format_vertex_lines_narrow": (lambda: ow.format_vertex_lines(texcoords), [texcoords], ValueError),
        "format_vertex_lines_bad_kw": (lambda: ow.format_vertex_lines(pos=positions), [positions], TypeError),
        "format_texcoord_lines": (lambda: ow.format_texcoord_lines(texcoords), [texcoords], None),
        "format_texcoord_lines_reshape": (lambda: ow.format_texcoord_lines(np.zeros(5)), [], ValueError),
        "format_face_lines": (lambda: ow.format_face_lines(faces, False), [faces], None),
        "format_face_lines_vt": (lambda: ow.format_face_lines(faces, True), [faces], None),
        "format_face_lines_3d": (lambda: ow.format_face_lines(cube, True), [cube], ValueError),
        "extract_mesh_arrays": (lambda: ow.extract_mesh_arrays(gltf, chunk, fids), [gltf, chunk, fids], None),
        "extract_mesh_arrays_none": (lambda: ow.extract_mesh_arrays({"meshes": []}, None), [], None),
        "extract_mesh_arrays_no_chunk": (lambda: ow.extract_mesh_arrays(gltf, None), [gltf], TypeError),
        "extract_mesh_arrays_out_of_range": (lambda: ow.extract_mesh_arrays(bad_gltf, chunk), [bad_gltf, chunk],
                                             ValueError),
        "extract_mesh_arrays_malformed": (lambda: ow.extract_mesh_arrays({"meshes": [3]}, chunk), [chunk],
                                          AttributeError),
        "extract_mesh_arrays_bad_chunk": (lambda: ow.extract_mesh_arrays(gltf, bytearray(chunk)), [gltf],
                                          TypeError),
        "quantize_uvr_copy": (lambda: ow.quantize_uvr(uvr32), [uvr32], None),
        "quantize_uvr_in_place": (lambda: ow.quantize_uvr(uvr64), [uvr64], None),
        "quantize_uvr_readonly": (lambda: ow.quantize_uvr(readonly), [readonly], ValueError),
        "ecef_to_webmercator": (lambda: ow.ecef_to_webmercator(ecef.copy()), [ecef], None),
        "ecef_to_wgs84_geo": (lambda: ow.ecef_to_wgs84_geo(ecef.copy()), [ecef], None),
        "ecef_to_wgs84_geo_readonly": (lambda: ow.ecef_to_wgs84_geo(readonly), [readonly], ValueError),
        "convert_crs": (lambda: ow.convert_crs(ecef.copy(), "EPSG:4326"), [ecef], None),
        "convert_crs_noop": (lambda: ow.convert_crs(ecef, " ecef "), [ecef], None),
        "convert_crs_unsupported": (lambda: ow.convert_crs(ecef, "EPSG:32633"), [ecef], ValueError),
        "convert_crs_none": (lambda: ow.convert_crs(ecef, None), [ecef], AttributeError),
        "compute_obj_extent": (lambda: ow.compute_obj_extent(str(obj)), [], None),
        "compute_obj_extent_none": (lambda: ow.compute_obj_extent(str(faceless)), [], None),
        "compute_obj_extent_missing": (lambda: ow.compute_obj_extent(missing), [missing], FileNotFoundError),
        "shift_obj_file": (lambda: ow.shift_obj_file(str(obj), 0.0, 0.0, 0.0), [], None),
        "shift_obj_file_missing": (lambda: ow.shift_obj_file(missing, 1, 2, 3), [missing], FileNotFoundError),
        "texture_new_decode": (lambda: decoded(), [image], None),
        "texture_decode_garbage": (lambda: tex.decode(b"not an image" * 20), [tex], None),
        "texture_crop_png": (lambda: decoded().crop_and_save(2, 3, 30, 25, crop_path), [crop_path], None),
        "texture_crop_jpeg": (lambda: decoded().crop_and_save(0, 0, 40, 30, jpg_path, False, 80), [jpg_path], None),
        "texture_crop_empty": (lambda: decoded().crop_and_save(5, 0, 5, 10, crop_path), [crop_path], None),
        "texture_flip_missing_dir": (lambda: decoded().flip_and_save(str(folder / "no" / "x.png")), [], None),
        "texture_path_none": (lambda: decoded().flip_and_save(None), [], AttributeError),
    }


def all_names():
    # The names only (the inputs are built per test in a real folder).
    with tempfile.TemporaryDirectory() as d:
        return sorted(cases(Path(d)))


# File-touching cases cost more per call: fewer calls, still far above any
# bound a per-call leak would stay under.
SLOW = {"shift_obj_file": 10, "compute_obj_extent": 5, "compute_obj_extent_none": 5, "texture_crop_png": 10,
        "texture_crop_jpeg": 10, "texture_new_decode": 5, "texture_crop_empty": 5,
        "texture_flip_missing_dir": 5, "texture_path_none": 5}


@pytest.mark.parametrize("name", all_names())
def test_calls_leak_nothing(name, folder):
    call, watched, error = cases(folder)[name]

    def once():
        try:
            call()
        except Exception as e:
            if error is None or not isinstance(e, error):
                raise
        else:
            assert error is None, f"{name}: expected {error.__name__}"

    once()
    n = max(CALLS // SLOW.get(name, 1), 50)
    for _ in range(max(n // 10, 20)):  # warm-up: caches, allocator arenas
        once()
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in watched]
    rss0 = rss()
    tracemalloc.start()
    traced0 = tracemalloc.get_traced_memory()[0]
    for _ in range(n // 2):
        once()
    gc.collect()
    traced1 = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    for _ in range(n - n // 2):
        once()
    gc.collect()
    grown = rss() - rss0

    assert [sys.getrefcount(obj) for obj in watched] == refs, f"{name}: reference counts of the arguments changed"
    assert traced1 - traced0 < TRACED_BOUND, f"{name}: {traced1 - traced0} bytes of Python objects kept over {n // 2} calls"
    if not SANITIZED:
        assert grown < RSS_BOUND, f"{name}: resident memory grew by {grown} bytes over {n} calls"

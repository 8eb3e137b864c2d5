"""Leaks: each entry point's success and error paths called CALLS times (100000 with TESSAROID_LONG_TESTS=1)
keep the arguments' reference counts, tracemalloc's memory and (except under the sanitizers, whose
quarantine holds freed memory; LeakSanitizer checks there) the resident memory from growing."""

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


def png_bytes() -> bytes:
    from PIL import Image

    buf = io.BytesIO()
    Image.fromarray(np.random.default_rng(1).integers(0, 256, (30, 40, 4), dtype=np.uint8)).save(buf, "PNG")
    return buf.getvalue()


def gltf_document():
    """An indexed primitive (uint16 indices, TEXCOORD_0/1/2) and a non-indexed one."""
    rng = np.random.default_rng(2)
    parts = [rng.normal(size=(64, 3)).astype("<f4"), rng.random((64, 2)).astype("<f4"),
             rng.integers(0, 64, 96).astype("<u2"), rng.normal(size=(6, 3)).astype("<f4")]
    offsets = np.cumsum([0] + [p.nbytes for p in parts])
    prims = [{"attributes": {"POSITION": 0, "TEXCOORD_0": 1, "TEXCOORD_1": 1, "TEXCOORD_2": 1}, "indices": 2},
             {"attributes": {"POSITION": 3}}]
    return {"meshes": [{"primitives": prims}], "bufferViews": [{"byteOffset": int(o)} for o in offsets[:-1]],
            "accessors": [{"bufferView": i, "count": len(p), "componentType": 5123 if p.dtype.itemsize == 2 else 5126}
                          for i, p in enumerate(parts)]}, b"".join(p.tobytes() for p in parts)


@pytest.fixture(scope="module")
def folder():
    # In memory where possible: the file-touching cases run hundreds of times.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="tsr-leaks-", dir=shm) as d:
        (Path(d) / "leak.obj").write_bytes(b"v 1 2 3\nv -1 5 0.5\nvt 0 0\nf 1 2 3\n" * 50)
        yield Path(d)


def cases(folder: Path):
    """name -> (call, arguments whose reference counts are watched, expected exception or None)."""
    rng = np.random.default_rng(3)
    positions, texcoords = rng.normal(scale=1e6, size=(400, 3)), rng.random((400, 2))
    faces, cube = rng.integers(0, 400, (400, 3)), np.zeros((4, 3, 2))
    uvr32, uvr64 = rng.random((400, 4)).astype(np.float32), rng.random((400, 4))
    ecef = np.array([[6378137.0, 0.0, 0.0], [0.0, 6378137.0, 100.0], [4e6, 3e6, 4e6]] * 100)
    readonly = ecef.copy()
    readonly.flags.writeable = False
    gltf, chunk = gltf_document()
    fids = list(range(70))
    bad_gltf = {"meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}], "accessors": [{"count": 1000}],
                "bufferViews": [{}]}
    obj, missing = str(folder / "leak.obj"), str(folder / "missing.obj")
    image, tex = png_bytes(), ow.DecodedTexture()
    png, jpg = str(folder / "crop.png"), str(folder / "crop.jpg")

    def decoded():
        t = ow.DecodedTexture()
        t.decode(image)
        return t

    return {
        "format_vertex_lines": (lambda: ow.format_vertex_lines(positions), [positions], None),
        "format_vertex_lines_list": (lambda: ow.format_vertex_lines([[1.0, 2.0, 3.0]] * 50), [], None),
        "format_vertex_lines_narrow": (lambda: ow.format_vertex_lines(texcoords), [texcoords], ValueError),
        "format_vertex_lines_bad_kw": (lambda: ow.format_vertex_lines(pos=positions), [positions], TypeError),
        "format_texcoord_lines": (lambda: ow.format_texcoord_lines(texcoords), [texcoords], None),
        "format_texcoord_lines_reshape": (lambda: ow.format_texcoord_lines(np.zeros(5)), [], ValueError),
        "format_face_lines": (lambda: ow.format_face_lines(faces, True), [faces], None),
        "format_face_lines_3d": (lambda: ow.format_face_lines(cube, True), [cube], ValueError),
        "extract_mesh_arrays": (lambda: ow.extract_mesh_arrays(gltf, chunk, fids), [gltf, chunk, fids], None),
        "extract_mesh_arrays_none": (lambda: ow.extract_mesh_arrays({"meshes": []}, None), [], None),
        "extract_mesh_arrays_no_chunk": (lambda: ow.extract_mesh_arrays(gltf, None), [gltf], TypeError),
        "extract_mesh_arrays_range": (lambda: ow.extract_mesh_arrays(bad_gltf, chunk), [bad_gltf, chunk], ValueError),
        "extract_mesh_arrays_malformed": (lambda: ow.extract_mesh_arrays({"meshes": [3]}, chunk), [chunk],
                                          AttributeError),
        "quantize_uvr_copy": (lambda: ow.quantize_uvr(uvr32), [uvr32], None),
        "quantize_uvr_in_place": (lambda: ow.quantize_uvr(uvr64), [uvr64], None),
        "ecef_to_webmercator": (lambda: ow.ecef_to_webmercator(ecef.copy()), [ecef], None),
        "ecef_to_wgs84_geo_readonly": (lambda: ow.ecef_to_wgs84_geo(readonly), [readonly], ValueError),
        "convert_crs": (lambda: ow.convert_crs(ecef.copy(), "EPSG:4326"), [ecef], None),
        "convert_crs_noop": (lambda: ow.convert_crs(ecef, " ecef "), [ecef], None),
        "convert_crs_unsupported": (lambda: ow.convert_crs(ecef, "EPSG:32633"), [ecef], ValueError),
        "convert_crs_none": (lambda: ow.convert_crs(ecef, None), [ecef], AttributeError),
        "file_compute_obj_extent": (lambda: ow.compute_obj_extent(obj), [], None),
        "file_compute_obj_extent_missing": (lambda: ow.compute_obj_extent(missing), [missing], FileNotFoundError),
        "file_shift_obj_file": (lambda: ow.shift_obj_file(obj, 0.0, 0.0, 0.0), [], None),
        "file_shift_obj_file_missing": (lambda: ow.shift_obj_file(missing, 1, 2, 3), [missing], FileNotFoundError),
        "file_texture_decode": (lambda: decoded(), [image], None),
        "file_texture_decode_garbage": (lambda: tex.decode(b"not an image" * 20), [tex], None),
        "file_texture_crop_png": (lambda: decoded().crop_and_save(2, 3, 30, 25, png), [png], None),
        "file_texture_crop_jpeg": (lambda: decoded().crop_and_save(0, 0, 40, 30, jpg, False, 80), [jpg], None),
        "file_texture_crop_empty": (lambda: decoded().crop_and_save(5, 0, 5, 10, png), [png], None),
        "file_texture_flip_missing_dir": (lambda: decoded().flip_and_save(str(folder / "no" / "x.png")), [], None),
        "file_texture_path_none": (lambda: decoded().flip_and_save(None), [], AttributeError),
    }


@pytest.mark.parametrize("name", sorted(cases(Path("/nonexistent"))))
def test_calls_leak_nothing(name, folder):
    call, watched, error = cases(folder)[name]

    def once():
        if error is None:
            return call()
        with pytest.raises(error):
            call()

    # Decoding and file cases cost more per call: fewer calls, still far above any per-call leak's bound.
    n = max(CALLS // (10 if name.startswith("file_") else 1), 50)
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
    assert traced1 - traced0 < TRACED_BOUND, f"{name}: {traced1 - traced0} bytes of Python objects kept"
    if not SANITIZED:
        assert grown < RSS_BOUND, f"{name}: resident memory grew by {grown} bytes over {n} calls"

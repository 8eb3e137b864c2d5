"""Texture modes: images kept as stored (v flipped in the vt lines instead), other
formats written as PNG unflipped, and re-encoding in worker processes giving the
bytes of the in-thread path."""

from __future__ import annotations

import filecmp
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from convert_helpers import pack_glb, read_mtl, read_obj, split_glb

import tessaroid
from tessaroid.demo import build_glb, geodetic_to_ecef, make_demo_tileset
from tessaroid.textures import stored_image_fault

PIL = pytest.importorskip("PIL")
from PIL import Image, features  # noqa: E402

GRID = 5


def _stored_image(glb: bytes, index: int = 0) -> bytes:
    doc, binary = split_glb(glb)
    view = doc["bufferViews"][doc["images"][index]["bufferView"]]
    start = view.get("byteOffset", 0)
    return binary[start:start + view["byteLength"]]


def _encoded(rgb: np.ndarray, fmt: str) -> bytes:
    buf = io.BytesIO()
    Image.fromarray(rgb).save(buf, format=fmt)
    return buf.getvalue()


def _pixels(path: Path) -> np.ndarray:
    with Image.open(path) as im:
        return np.asarray(im.convert("RGB"))


@pytest.mark.parametrize("merge", [False, True])
def test_source_images_byte_for_byte_and_vt_flipped(tmp_path, merge):
    tiles = make_demo_tileset(tmp_path / "src", levels=2, grid=GRID, texture_size=16)
    s = tessaroid.convert(tmp_path / "src", tmp_path / "out", merge=merge)
    assert s.ok and s.textures == 5
    mtl = read_mtl(tmp_path / "out" / ("merged.mtl" if merge else "L1_tile_0.mtl"))
    for t in tiles:
        name = t.uri.rsplit(".", 1)[0].replace("/", "_")
        key = next(k for k in mtl if not merge or k.startswith(name + "_"))
        tex = tmp_path / "out" / mtl[key]["map_Kd"]
        if merge or name == "L1_tile_0":
            assert tex.suffix == ".png"
            assert tex.read_bytes() == _stored_image((tmp_path / "src" / t.uri).read_bytes())
        if not merge:
            obj = read_obj(tmp_path / "out" / f"{name}.obj")
            np.testing.assert_allclose(obj.vt, np.column_stack([t.texcoords[:, 0], 1 - t.texcoords[:, 1]]),
                                       atol=1e-6)
    if merge:
        by_name = {t.uri.rsplit(".", 1)[0].replace("/", "_"): t for t in tiles}
        text = (tmp_path / "out" / "merged.obj").read_text()
        stored = np.concatenate([by_name[ln[2:]].texcoords for ln in text.splitlines() if ln.startswith("o ")])
        obj = read_obj(tmp_path / "out" / "merged.obj")
        np.testing.assert_allclose(obj.vt, np.column_stack([stored[:, 0], 1 - stored[:, 1]]), atol=1e-6)
        assert all((tmp_path / "out" / m["map_Kd"]).is_file() for m in mtl.values())


def _tile(image: bytes, mime: str, transform: dict | None = None) -> tuple[bytes, np.ndarray]:
    ecef = geodetic_to_ecef(np.array([8.0, 8.0001, 8.0]), np.array([47.0, 47.0, 47.0001]), np.zeros(3))
    tc = np.array([[0.1, 0.2], [0.9, 0.3], [0.4, 0.8]])
    doc, binary = split_glb(build_glb(ecef.astype(np.float32), [[0, 1, 2]], texcoords=tc, image=image, mime=mime))
    if transform:
        doc["materials"][0]["pbrMetallicRoughness"]["baseColorTexture"]["extensions"] = {
            "KHR_texture_transform": transform}
        doc["extensionsUsed"] = ["KHR_texture_transform"]
    return pack_glb(doc, binary), tc


RGB = np.random.default_rng(7).integers(0, 255, size=(6, 8, 3), dtype=np.uint8)


@pytest.mark.parametrize("fmt,mime,ext", [
    ("PNG", "image/png", ".png"), ("JPEG", "image/jpeg", ".jpg"),
    ("JPEG", "image/png", ".jpg"),   # named after the bytes, not the MIME type
    ("GIF", "image/gif", ".png"), ("BMP", "image/bmp", ".png"), ("WEBP", "image/webp", ".png"),
])
def test_each_image_format_in_source_mode(tmp_path, fmt, mime, ext):
    if fmt == "WEBP" and not features.check("webp"):
        pytest.skip("Pillow without WebP")
    data = _encoded(RGB, fmt) if fmt != "GIF" else _encoded(RGB // 64 * 64, fmt)  # GIF: few colours, lossless
    glb, tc = _tile(data, mime)
    (tmp_path / "t.glb").write_bytes(glb)
    s = tessaroid.convert(tmp_path / "t.glb", tmp_path / "out")
    assert s.ok, s.failures
    tex = tmp_path / "out" / read_mtl(tmp_path / "out" / "t.mtl")["mat0"]["map_Kd"]
    assert tex.suffix == ext and sorted(p.suffix for p in (tmp_path / "out").iterdir() if p.name[0] != ".") == sorted(
        [".json", ".mtl", ".obj", ext])
    if ext != ".png" or fmt == "PNG":
        assert tex.read_bytes() == data
    else:
        with Image.open(io.BytesIO(data)) as src:
            assert Image.open(tex).format == "PNG"
            np.testing.assert_array_equal(_pixels(tex), np.asarray(src.convert("RGB")))  # not flipped
    np.testing.assert_allclose(read_obj(tmp_path / "out" / "t.obj").vt, np.column_stack([tc[:, 0], 1 - tc[:, 1]]),
                               atol=1e-6)


def test_texture_transform_then_flip(tmp_path):
    transform = {"offset": [0.25, 0.5], "scale": [0.5, 0.25]}
    glb, tc = _tile(_encoded(RGB, "PNG"), "image/png", transform)
    (tmp_path / "t.glb").write_bytes(glb)
    kept = read_obj(tessaroid.convert(tmp_path / "t.glb", tmp_path / "a").obj_files[0]).vt
    coded = tessaroid.convert(tmp_path / "t.glb", tmp_path / "b", texture_format="png")
    moved = tc * transform["scale"] + transform["offset"]
    np.testing.assert_allclose(read_obj(coded.obj_files[0]).vt, moved, atol=1e-6)
    np.testing.assert_allclose(kept, np.column_stack([moved[:, 0], 1 - moved[:, 1]]), atol=1e-6)
    np.testing.assert_array_equal(_pixels(tmp_path / "b" / "t_img0.png"), RGB[::-1])


def test_reencoding_in_worker_processes_gives_the_in_thread_bytes(tmp_path, monkeypatch):
    from tessaroid import textures

    submitted = []

    class Pool(textures.ProcessPoolExecutor):
        def submit(self, fn, *args, **kwargs):
            submitted.append(fn)
            return super().submit(fn, *args, **kwargs)

    textures._state.shutdown()  # the pool an earlier run kept: this test's pool records its jobs
    monkeypatch.setattr(textures, "ProcessPoolExecutor", Pool)
    monkeypatch.setattr(textures.os, "cpu_count", lambda: 2)
    make_demo_tileset(tmp_path / "src", levels=2, grid=GRID, texture_size=64)
    for fmt in ("png", "jpg"):
        one = tessaroid.convert(tmp_path / "src", tmp_path / f"{fmt}1", texture_format=fmt, workers=1)
        two = tessaroid.convert(tmp_path / "src", tmp_path / f"{fmt}2", texture_format=fmt, workers=2)
        assert one.ok and two.ok and one.textures == two.textures == 5
        names = sorted(p.name for p in (tmp_path / f"{fmt}1").iterdir() if p.name[0] != ".")  # not the manifest
        assert sum(n.endswith(".jpg" if fmt == "jpg" else ".png") for n in names) == 5
        assert filecmp.cmpfiles(tmp_path / f"{fmt}1", tmp_path / f"{fmt}2", names, shallow=False)[1:] == ([], [])
    assert submitted.count(textures.encode_image) == 10  # the images of the 2-worker runs, in the pool


def test_cli_takes_jpg_and_source(tmp_path):
    make_demo_tileset(tmp_path / "src", levels=1, grid=GRID, texture_size=16)
    root = str(Path(tessaroid.__file__).resolve().parents[1])
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([root, os.environ.get("PYTHONPATH", "")])}
    for fmt, ext in (("jpg", ".jpg"), ("source", ".png")):
        out = tmp_path / fmt
        proc = subprocess.run([sys.executable, "-m", "tessaroid", "convert", str(tmp_path / "src"), "-o", str(out),
                               "-q", "--texture-format", fmt], capture_output=True, text=True, timeout=120, env=env)
        assert proc.returncode == 0, proc.stderr
        assert [p.suffix for p in out.glob("*_img0.*")] == [ext]
        assert json.loads((out / "frame.json").read_text())["crs"] == "EPSG:4978"


PNG = _encoded(RGB, "PNG")
JPEG = _encoded(RGB, "JPEG")


@pytest.mark.parametrize("data,kind,fault", [
    (PNG, "png", None), (JPEG, "jpg", None),
    (PNG[:-12], "png", "cut short"),                               # IEND missing
    (PNG[:40] + bytes([PNG[40] ^ 1]) + PNG[41:], "png", "CRC"),    # one bit flipped in a chunk
    (JPEG[:len(JPEG) // 2], "jpg", "cut short"),
    (JPEG[:200], "jpg", "cut short"),                               # before the scan
])
def test_stored_images_checked_without_decoding(data, kind, fault):
    got = stored_image_fault(data, kind)
    assert (got is None) if fault is None else (fault in got)

"""The converter on the real tiles and models of the shared sample data."""

from __future__ import annotations

import io
import json
import struct
from pathlib import Path

import numpy as np
import pytest

from convert_helpers import Y_TO_Z, read_obj, split_glb

import tessaroid

CITY = ("tiles", "3d-tiles-samples", "TilesetWithRequestVolume", "city")


def _glb_of_b3dm(path: Path) -> tuple[bytes, dict]:
    """The GLB and feature table of a b3dm with the current 28-byte header."""
    data = path.read_bytes()
    ft_json, ft_bin, bt_json, bt_bin = struct.unpack_from("<4I", data, 12)
    ft = json.loads(data[28:28 + ft_json]) if ft_json else {}
    return data[28 + ft_json + ft_bin + bt_json + bt_bin:], ft


def _instances(source, file_type: str | None = None):
    """(vertices, faces) of every mesh instance by trimesh, node transforms applied, in the z-up frame."""
    import trimesh

    scene = trimesh.load(source, file_type=file_type, force="scene", process=False)
    for m, geom in (scene.graph[name] for name in scene.graph.nodes_geometry):
        g = scene.geometry[geom]
        yield trimesh.transform_points(g.vertices, m) @ Y_TO_Z, np.asarray(getattr(g, "faces", np.zeros((0, 3))))


def _sorted_rows(a: np.ndarray) -> np.ndarray:
    """Rows in a fixed order, robust to the last written digit (keys rounded to 0.1 mm)."""
    return a[np.lexsort(np.round(a, 4).T[::-1])]


def test_city_tiles_with_rtc_center(shared_data, tmp_path):
    city = shared_data.joinpath(*CITY)
    s = tessaroid.convert(city / "tileset.json", tmp_path)
    assert s.ok and s.converted == 4
    for name in ("ll", "lr", "ul", "ur"):
        glb, ft = _glb_of_b3dm(city / f"{name}.b3dm")
        ecef = np.concatenate([v for v, _ in _instances(io.BytesIO(glb), "glb")]) + ft["RTC_CENTER"]
        obj = read_obj(tmp_path / f"{name}.obj")
        assert len(obj.v) == 240 and len(obj.faces) == 120
        assert obj.faces.min() >= 1 and obj.faces.max() <= 240
        np.testing.assert_allclose(_sorted_rows(obj.v), _sorted_rows(ecef), atol=1e-3)
    # content.glb holds lr.b3dm's building with the ECEF offset in a node translation.
    glb = shared_data / "tiles/3d-tiles-tools/upgradeTileset/golden/tilesetWithB3dmWithGltf1/content.glb"
    assert tessaroid.convert(glb, tmp_path).ok
    np.testing.assert_allclose(_sorted_rows(read_obj(tmp_path / "content.obj").v),
                               _sorted_rows(read_obj(tmp_path / "lr.obj").v), atol=1e-3)


def test_batched_variants_land_on_the_same_spot(shared_data, tmp_path):
    """Legacy b3dm headers, absolute ECEF, box transform: all about the same building block."""
    batched = shared_data / "tiles" / "3d-tiles-tools" / "Batched"
    s = tessaroid.convert(sorted(batched.glob("*/tileset.json")), tmp_path, crs="EPSG:4326")
    assert s.ok and s.converted == 6
    for f in s.obj_files:
        np.testing.assert_allclose(read_obj(f).v.mean(axis=0)[:2], [-75.6120, 40.0425], atol=2e-4, err_msg=f)
    assert len(read_obj(tmp_path / "batchedColors.obj").groups) == 10  # one usemtl per primitive material


@pytest.mark.parametrize("model", ["BoxTextured.glb", "Duck.glb"])
def test_real_png_textures_written_flipped(shared_data, tmp_path, model):
    from PIL import Image

    assert tessaroid.convert(shared_data / "khronos" / model, tmp_path, texture_format="png").textures == 1
    doc, binary = split_glb((shared_data / "khronos" / model).read_bytes())
    view = doc["bufferViews"][doc["images"][0]["bufferView"]]
    start = view.get("byteOffset", 0)
    with Image.open(io.BytesIO(binary[start:start + view["byteLength"]])) as src, \
            Image.open(next(tmp_path.glob("*.png"))) as out:
        np.testing.assert_array_equal(np.asarray(out.convert("RGB")), np.asarray(src.convert("RGB"))[::-1])


def test_quantized_duck_matches_float_duck(shared_data, tmp_path):
    k = shared_data / "khronos"
    assert tessaroid.convert([k / "Duck.glb", k / "Duck" / "glTF-Quantized" / "Duck.gltf"], tmp_path).ok
    a, b = (read_obj(tmp_path / n) for n in ("Duck.obj", "Duck_2.obj"))
    assert len(a.v) == len(b.v) and len(a.faces) == len(b.faces)
    for red in (np.min, np.max):
        np.testing.assert_allclose(red(a.v, 0), red(b.v, 0), atol=2e-3)
        np.testing.assert_allclose(red(a.vt, 0), red(b.vt, 0), atol=2e-3)


@pytest.mark.parametrize("model", [
    "khronos/OrientationTest.glb",                                     # u8 and u16 indices, 13 meshes
    "asset-generator/Mesh_PrimitiveMode/Mesh_PrimitiveMode_04.gltf",   # strip over the vertices
    "asset-generator/Mesh_PrimitiveMode/Mesh_PrimitiveMode_11.gltf",   # strip, u32 indices
])
def test_vertices_and_triangles_match_trimesh(shared_data, tmp_path, model):
    obj = read_obj(tessaroid.convert(shared_data / model, tmp_path).obj_files[0])
    parts = list(_instances(str(shared_data / model)))
    exp_v = np.concatenate([v for v, _ in parts])
    exp_tris = np.concatenate([v[f] for v, f in parts if len(f)])
    assert len(obj.v) == len(exp_v) and len(obj.faces) == len(exp_tris)
    np.testing.assert_allclose(_sorted_rows(obj.v), _sorted_rows(exp_v), atol=2e-6)
    # Triangles as vertex triples, corners sorted (trimesh may start a triangle elsewhere).
    got_tris, key = obj.v[obj.faces - 1], lambda t: _sorted_rows(np.sort(t, axis=1).reshape(len(t), -1))
    np.testing.assert_allclose(key(got_tris), key(exp_tris), atol=2e-6)


def test_sparse_positions_are_applied(shared_data, tmp_path):
    s = tessaroid.convert(shared_data / "khronos/SimpleSparseAccessor/glTF/SimpleSparseAccessor.gltf", tmp_path)
    obj = read_obj(s.obj_files[0])
    assert (len(obj.v), len(obj.faces)) == (14, 12)
    # The accessor's bounds hold the substituted values (y up to 4; 1 without them).
    np.testing.assert_array_equal([obj.v.min(0), obj.v.max(0)], [[0, 0, 0], [6, 0, 4]])


def test_whole_corpus_converts_or_explains(shared_data, tmp_path):
    """Every glTF/GLB/b3dm file of the corpus converts, or fails with a stated reason."""
    files = sorted(p for p in shared_data.rglob("*") if p.suffix in (".glb", ".gltf", ".b3dm"))
    s = tessaroid.convert(files, tmp_path, workers=2)
    assert s.tiles == len(files)
    for src, reason in s.failures:
        assert reason and not reason.startswith(("TypeError", "ValueError", "IndexError", "KeyError")), (src, reason)
    # Points and lines only (the asset generator modes 0-3) give tiles without triangles;
    # MosquitoInAmber refers to images that were not copied into the corpus. The
    # meshopt-compressed triangles convert (with the meshopt extra installed).
    failed = {Path(src).name: reason for src, reason in s.failures}
    assert "cannot read" in failed.pop("MosquitoInAmber.gltf")
    assert not failed and s.converted + s.empty == len(files) - 1 and s.empty == 8

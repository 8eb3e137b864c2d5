"""End-to-end tests of the converter on generated tile sets and hand-built tiles."""

from __future__ import annotations

import functools
import json
import math
import os
import random
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import test_seed
from convert_helpers import Y_TO_Z, assert_positions, pack_glb, read_mtl, read_obj, split_glb

import tessaroid
from tessaroid.manifest import MANIFEST_NAME
from tessaroid.demo import build_glb, geodetic_to_ecef, make_demo_tileset, png_bytes, wrap_b3dm

GRID = 5
TEX = 16


def _run(*args, cwd=None):
    """Python in a subprocess that imports the same tessaroid package as this test."""
    root = str(Path(tessaroid.__file__).resolve().parents[1])
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([root, os.environ.get("PYTHONPATH", "")])}
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=300, env=env)


def _by_obj_name(tiles):
    """Demo tiles by the name of their OBJ file ("L1/tile_0.glb" -> "L1_tile_0")."""
    return {t.uri.rsplit(".", 1)[0].replace("/", "_"): t for t in tiles}


@pytest.fixture(scope="module")
def demo(tmp_path_factory, ow):
    """A 3-level quadtree (1 + 4 + 16 tiles) with known ECEF vertices and textures."""
    root = tmp_path_factory.mktemp("demo")
    return root, _by_obj_name(make_demo_tileset(root, levels=3, grid=GRID, texture_size=TEX))


@pytest.mark.parametrize("crs,content,placement,fmt", [
    ("EPSG:4978", "glb", "transform", "png"), ("EPSG:3857", "glb", "transform", "png"),
    ("EPSG:4326", "glb", "transform", "jpeg"), ("EPSG:4326", "glb", "rtc", "png"),
    ("EPSG:4326", "b3dm", "rtc", "png"), ("EPSG:4326", "b3dm", "transform", "png")])
def test_positions_texcoords_and_flipped_textures(tmp_path, crs, content, placement, fmt):
    from PIL import Image

    tiles = _by_obj_name(make_demo_tileset(tmp_path / "src", levels=2, grid=GRID, texture_size=TEX,
                                           content=content, placement=placement))
    out = tmp_path / "out"
    s = tessaroid.convert(tmp_path / "src" / "tileset.json", out, crs=crs, workers=2, texture_format=fmt,
                          jpeg_quality=95)
    assert s.ok and (s.tiles, s.converted, s.textures, len(s.obj_files)) == (5, 5, 5, 5)
    assert s.vertices == 5 * GRID * GRID and s.faces == 5 * 2 * (GRID - 1) ** 2
    for f in s.obj_files:
        obj, tile = read_obj(f), tiles[Path(f).stem]
        assert len(obj.vt) == len(obj.v) and len(obj.faces) == tile.faces and obj.all_vt
        assert obj.faces.min() >= 1 and obj.faces.max() <= len(obj.v)
        assert_positions(obj.v, tile.ecef, crs)
        np.testing.assert_allclose(obj.vt, tile.texcoords, atol=1e-6)
        mtl = read_mtl(out / obj.mtllib)
        assert obj.groups == list(mtl)
        tex = out / mtl[obj.groups[0]]["map_Kd"]
        with Image.open(tex) as im:
            assert (im.format, tex.suffix) == {"png": ("PNG", ".png"), "jpeg": ("JPEG", ".jpg")}[fmt]
            got = np.asarray(im.convert("RGB")).astype(int)
        assert np.abs(got - tile.texture[::-1]).mean() <= (0 if fmt == "png" else 8)
    assert not list(out.glob("*.tmp"))


def test_lod_and_bbox_selection(demo, tmp_path):
    root, tiles = demo
    ts = json.loads((root / "tileset.json").read_text())
    path = root / "tileset_edited.json"

    def names(**kw):
        path.write_text(json.dumps(ts))
        s = tessaroid.convert(path, tmp_path / f"o{len(list(tmp_path.iterdir()))}", **kw)
        assert s.ok
        return sorted(Path(f).stem for f in s.obj_files)

    assert (len(names()), len(names(leaves=True)), len(names(max_depth=1))) == (21, 16, 5)
    assert names(max_depth=0) == ["tile_root"]
    assert names(max_depth=1, leaves=True) == ["L1_tile_0", "L1_tile_1", "L1_tile_2", "L1_tile_3"]
    # Children of an ADD tile add to its content: it belongs to the finest level too.
    ts["root"]["children"][3]["refine"] = "ADD"
    leaves = names(leaves=True)
    assert len(leaves) == 17 and "L1_tile_3" in leaves
    ts["root"]["children"][3]["refine"] = "REPLACE"
    # A tiny box at the centre of L2 tile 3_0 (north-east quadrant, its south-west child).
    w, s, e, n = (math.degrees(v) for v in tiles["L2_tile_3_0"].region[:4])
    box = ((w + e) / 2 - 1e-4, (s + n) / 2 - 1e-4, (w + e) / 2 + 1e-4, (s + n) / 2 + 1e-4)
    assert names(bbox=box) == ["L1_tile_3", "L2_tile_3_0", "tile_root"]
    assert names(bbox=box, leaves=True) == ["L2_tile_3_0"]


@pytest.mark.parametrize("volume", [
    {"box": [0, 0, 0, 0, -5e4, 0, 0, 0, 5e4, -100, 0, 0]},  # 50 km along east (-y) and north (+z), 100 m up (-x)
    {"sphere": [0, 0, 0, 5e4]}])
def test_box_and_sphere_extents_in_the_tile_frame_across_the_antimeridian(volume):
    from tessaroid.volumes import volume_extent

    frame = np.eye(4)
    frame[:3, 3] = geodetic_to_ecef(180.0, 0.0, 0.0)  # the tile frame's origin: lon 180 on the equator
    np.testing.assert_allclose(volume_extent(volume, frame), [179.55, -0.45, -179.55, 0.45], atol=0.01)


@pytest.mark.parametrize("extent,bbox,meets", [
    ((179.0, -1.0, -179.0, 1.0), (179.5, -0.5, 179.9, 0.5), True),    # tile across the antimeridian
    ((179.0, -1.0, -179.0, 1.0), (-179.5, -0.5, -179.2, 0.5), True),
    ((179.0, -1.0, -179.0, 1.0), (0.0, -0.5, 10.0, 0.5), False),
    ((10.0, -1.0, 20.0, 1.0), (170.0, -0.5, 15.0, 0.5), True),        # box across the antimeridian
    ((10.0, -1.0, 20.0, 1.0), (170.0, -0.5, 5.0, 0.5), False),
    ((10.0, -1.0, 20.0, 1.0), (12.0, 1.5, 13.0, 2.0), False),         # north of it
])
def test_bbox_meets_across_the_antimeridian(extent, bbox, meets):
    from tessaroid.volumes import extent_meets

    assert extent_meets(extent, bbox) is meets


def test_merge_and_recenter_against_per_tile_output(demo, tmp_path):
    root, _ = demo
    per_tile = tessaroid.convert(root, tmp_path / "a", max_depth=1)
    plain = {Path(f).name: read_obj(f).v for f in per_tile.obj_files}
    merged = tessaroid.convert(root, tmp_path / "b", max_depth=1, merge="all")
    assert [Path(f).name for f in merged.obj_files] == ["all.obj"]
    obj = read_obj(merged.obj_files[0])
    assert len(obj.v) == len(obj.vt) == per_tile.vertices == merged.vertices == 5 * GRID * GRID
    assert len(obj.faces) == per_tile.faces == merged.faces
    assert obj.faces.min() == 1 and obj.faces.max() == len(obj.v)
    mtl = read_mtl(tmp_path / "b" / "all.mtl")
    assert len(mtl) == 5 and obj.groups == list(mtl)
    assert all((tmp_path / "b" / m["map_Kd"]).is_file() for m in mtl.values())
    np.testing.assert_array_equal(np.sort(obj.v, axis=0), np.sort(np.concatenate(list(plain.values())), axis=0))
    # Recentering: the extent's centre at the origin, the offset file restores the plain output.
    with pytest.raises(ValueError, match="metric CRS"):
        tessaroid.convert(root, tmp_path / "deg", crs="EPSG:4326", recenter=True)
    s = tessaroid.convert(root, tmp_path / "rc", max_depth=1, recenter=True)
    off = np.array(json.loads(Path(s.offset_file).read_text())["offset"])
    objs = {Path(f).name: read_obj(f).v for f in s.obj_files}
    allv = np.concatenate(list(objs.values()))
    np.testing.assert_allclose((allv.min(0) + allv.max(0)) / 2, 0, atol=1e-3)
    for name, v in plain.items():
        np.testing.assert_allclose(objs[name] + off, v, rtol=0, atol=2e-6)
    assert not list((tmp_path / "rc").glob("*.tmp"))


def test_corrupt_tiles_among_good_ones(demo, tmp_path):
    src, out = tmp_path / "src", tmp_path / "out"
    shutil.copytree(demo[0], src)
    good = (src / "L1" / "tile_1.glb").read_bytes()
    damage = {"L1/tile_1.glb": (good[: len(good) // 2], "truncated"),
              "L1/tile_2.glb": (b"not a tile at all", "unknown magic"),
              "L2/tile_0_0.glb": (None, "No such file"),
              "L2/tile_0_1.glb": (wrap_b3dm(good)[:300], "truncated")}  # a truncated b3dm
    for f, (data, _) in damage.items():
        (src / f).unlink() if data is None else (src / f).write_bytes(data)
    out.mkdir()
    (out / "L1_tile_1.obj").write_text("previous run\n")
    s = tessaroid.convert(src, out, max_depth=2)
    assert (s.tiles, s.converted, s.failed) == (21, 17, 4)
    reasons = dict(s.failures)
    assert all(why in reasons[str(src / f)] for f, (_, why) in damage.items()), reasons
    assert (out / "L1_tile_1.obj").read_text() == "previous run\n"  # not clobbered
    assert not list(out.glob("*.tmp"))
    # Command line: the same run reports each failure with its file and exits 1.
    proc = _run("-m", "tessaroid", "convert", str(src), "-o", str(tmp_path / "cli"))
    assert proc.returncode == 1
    assert "tile_2.glb: not a glTF" in proc.stderr and "17 converted, 4 failed" in proc.stdout


@pytest.mark.parametrize("where,change,needle", [
    (("bufferViews", 3), {"byteLength": 20}, "not a whole PNG (cut short)"),  # the PNG cut after 20 bytes
    (("bufferViews", 3), {"byteLength": 20, "png": True}, "could not be decoded"),  # the same, re-encoded
    (("accessors", 0), {"count": 2}, "invalid mesh data: indices: value 2 out of range"),
    (("accessors", 0), {"count": 4}, "runs past the end of its bufferView"),
    ((), {"extensionsRequired": ["KHR_draco_mesh_compression"]}, "DracoPy"),
    ((), {"extensionsRequired": ["EXT_meshopt_compression"]}, "install 'tessaroid[meshopt]'"),
    ((), {"extensionsRequired": ["EXT_frobnicate"]}, "EXT_frobnicate"),
], ids=["bad-texture", "bad-texture-png", "index-beyond-vertices", "accessor-past-view", "draco-missing", "unreadable-extension",
        "unknown-extension"])
def test_bad_tile_fails_with_its_reason_and_no_files(tmp_path, monkeypatch, where, change, needle):
    monkeypatch.setitem(sys.modules, "DracoPy", None)  # as on a machine without DracoPy
    monkeypatch.setitem(sys.modules, "meshoptimizer", None)  # nor the meshopt decoder
    pos = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], dtype=np.float32) + np.float32(6378137.0)
    doc, binary = split_glb(build_glb(pos, [[0, 1, 2]], texcoords=np.zeros((3, 2)),
                                      image=png_bytes(np.zeros((4, 4, 3), dtype=np.uint8))))
    change = dict(change)
    fmt = "png" if change.pop("png", False) else "source"
    functools.reduce(lambda d, k: d[k], where, doc).update(change)
    (tmp_path / "t.glb").write_bytes(pack_glb(doc, binary))
    s = tessaroid.convert(tmp_path / "t.glb", tmp_path / "out", texture_format=fmt)
    assert s.failed == 1 and needle in s.failures[0][1], s.failures
    assert sorted(p.name for p in (tmp_path / "out").iterdir() if p.name != MANIFEST_NAME) == ["frame.json"]


def test_mesh_instanced_by_several_nodes(tmp_path):
    """Each node instance gets its own vertices, placed by its TRS / matrix chain (trimesh as reference)."""
    import trimesh

    pos = np.random.default_rng(test_seed("instanced")).normal(size=(6, 3)).astype(np.float32)
    nodes = [{"children": [1, 2], "translation": [10.0, 0, 0], "scale": [2, 2, 2]},
             {"mesh": 0, "rotation": [0, *[math.sin(0.35) / math.sqrt(2)] * 2, math.cos(0.35)],
              "translation": [0, 5, 0]},
             {"mesh": 0, "matrix": [1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 3, 4, 5, 1]}]
    (tmp_path / "inst.glb").write_bytes(build_glb(pos, [[0, 1, 2], [3, 4, 5]], nodes=nodes))
    obj = read_obj(tessaroid.convert(tmp_path / "inst.glb", tmp_path / "out").obj_files[0])
    assert len(obj.v) == 12 and len(obj.faces) == 4
    scene = trimesh.load(tmp_path / "inst.glb", force="scene")
    expected = [trimesh.transform_points(scene.geometry[g].vertices, m)
                for m, g in (scene.graph[name] for name in scene.graph.nodes_geometry)]
    np.testing.assert_allclose(np.sort(obj.v, axis=0), np.sort(np.concatenate(expected) @ Y_TO_Z, axis=0),
                               atol=2e-6)


def test_native_reads_strips_fans_byte_indices_and_quantized_data(tmp_path, monkeypatch):
    """Normalised u16 positions (stride 8), u8 texture coordinates (stride 4) and u8
    indices in strip, fan and list primitives reach the OBJ without NumPy decoding."""
    from tessaroid import planning as _mesh

    monkeypatch.setattr(_mesh._Chunk, "read", None)  # any NumPy decoding fails the tile
    q = np.array([[0, 0, 0], [65535, 0, 0], [0, 65535, 0], [65535, 65535, 0], [0, 0, 65535]], dtype="<u2")
    uv = np.array([[0, 0], [255, 0], [0, 255], [255, 255], [51, 102]], dtype="u1")
    binary = (np.pad(q, ((0, 0), (0, 1))).tobytes() + np.pad(uv, ((0, 0), (0, 2))).tobytes()
              + bytes([0, 1, 2, 3, 4]))
    doc = {"asset": {"version": "2.0"}, "extensionsRequired": ["KHR_mesh_quantization"],
           "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": 40, "byteStride": 8},
                           {"buffer": 0, "byteOffset": 40, "byteLength": 20, "byteStride": 4},
                           {"buffer": 0, "byteOffset": 60, "byteLength": 5}],
           "accessors": [{"bufferView": 0, "componentType": 5123, "normalized": True, "count": 5, "type": "VEC3"},
                         {"bufferView": 1, "componentType": 5121, "normalized": True, "count": 5, "type": "VEC2"},
                         {"bufferView": 2, "componentType": 5121, "count": 5, "type": "SCALAR"}],
           "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "TEXCOORD_0": 1}, "indices": 2, "mode": m}
                                      for m in (5, 6, 4, 1)]}],
           "nodes": [{"mesh": 0, "scale": [2, 3, 4], "translation": [10, 20, 30]}], "scenes": [{"nodes": [0]}]}
    (tmp_path / "q.glb").write_bytes(pack_glb(doc, binary))
    s = tessaroid.convert(tmp_path / "q.glb", tmp_path / "out", workers=1)
    assert s.ok and any("lines primitive left out" in n for n in s.notes)
    obj = read_obj(s.obj_files[0])
    np.testing.assert_allclose(obj.v, np.tile((q / 65535 * [2, 3, 4] + [10, 20, 30]) @ Y_TO_Z, (3, 1)), atol=1e-6)
    np.testing.assert_allclose(obj.vt, np.tile(uv / 255, (3, 1)), atol=1e-6)
    strip, fan = [[1, 2, 3], [2, 4, 3], [3, 4, 5]], [[7, 8, 6], [8, 9, 6], [9, 10, 6]]
    assert obj.faces.tolist() == strip + fan + [[11, 12, 13]]


def test_draco_primitive_is_decoded(tmp_path):
    DracoPy = pytest.importorskip("DracoPy")

    rng = np.random.default_rng(test_seed("draco"))
    pts, faces, tc = rng.random((30, 3)).astype(np.float32), rng.integers(0, 30, size=(20, 3)), rng.random((30, 2))
    blob = DracoPy.encode(pts, faces, tex_coord=tc, quantization_bits=16, preserve_order=True)
    ids = {a["attribute_type"]: a["unique_id"] for a in DracoPy.decode(blob).attributes}
    draco = {"bufferView": 0, "attributes": {"POSITION": ids[0], "TEXCOORD_0": ids[3]}}
    doc = {"asset": {"version": "2.0"}, "extensionsRequired": ["KHR_draco_mesh_compression"],
           "bufferViews": [{"buffer": 0, "byteLength": len(blob)}],
           "accessors": [{"componentType": 5126, "count": 30, "type": "VEC3"},
                         {"componentType": 5126, "count": 30, "type": "VEC2"},
                         {"componentType": 5125, "count": 60, "type": "SCALAR"}],
           "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "TEXCOORD_0": 1}, "indices": 2,
                                       "extensions": {"KHR_draco_mesh_compression": draco}}]}]}
    (tmp_path / "d.glb").write_bytes(pack_glb(doc, blob))
    s = tessaroid.convert(tmp_path / "d.glb", tmp_path / "out")
    assert s.ok, s.failures
    obj = read_obj(s.obj_files[0])
    np.testing.assert_allclose(obj.v, pts.astype(np.float64) @ Y_TO_Z, atol=1e-4)
    np.testing.assert_allclose(obj.vt, tc, atol=1e-4)
    np.testing.assert_array_equal(obj.faces, faces + 1)


def test_external_child_tileset_accumulates_transforms(demo, tmp_path):
    """Move the children of L1 tile 3 into an external tile set referenced as content."""
    src = tmp_path / "src"
    shutil.copytree(demo[0], src)
    ts = json.loads((src / "tileset.json").read_text())
    q3 = ts["root"]["children"][3]
    tile = {"boundingVolume": q3["boundingVolume"], "geometricError": 100.0}
    kids = [dict(c, content={"uri": "../" + c["content"]["uri"]}) for c in q3.pop("children")]
    (src / "ext").mkdir()
    (src / "ext" / "tileset.json").write_text(json.dumps({"asset": {"version": "1.0"}, "geometricError": 100,
                                                           "root": dict(tile, children=kids)}))
    q3["children"] = [dict(tile, content={"uri": "ext/tileset.json"})]
    (src / "tileset.json").write_text(json.dumps(ts))
    s = tessaroid.convert(src, tmp_path / "out", crs="EPSG:4326")
    assert s.ok and s.converted == 21
    for f in s.obj_files:
        assert_positions(read_obj(f).v, demo[1][Path(f).stem].ecef, "EPSG:4326")
    # The external root sits one level below its referencing tile (depth 2), so the
    # moved tiles are at depth 4 now.
    assert len(tessaroid.convert(src, tmp_path / "d3", max_depth=3).obj_files) == 17
    assert len(tessaroid.convert(src, tmp_path / "d4", max_depth=4).obj_files) == 21


def test_composite_tile_converts_its_inner_tiles(tmp_path):
    """A cmpt holding two b3dm tiles (RTC_CENTER each) and a point cloud: the two
    meshes land in one OBJ with a material and texture each; the points are noted."""
    inner, truth = [], []
    for k, lon in enumerate((8.0, 8.001)):
        ecef = geodetic_to_ecef(np.array([lon, lon + 1e-4, lon]), np.array([47.0, 47.0, 47.0001]), np.zeros(3))
        centre = np.round(ecef.mean(axis=0))
        local = ((ecef - centre) @ Y_TO_Z.T).astype(np.float32)
        truth.append(centre + local.astype(np.float64) @ Y_TO_Z)
        glb = build_glb(local, [[0, 1, 2]], texcoords=np.zeros((3, 2)),
                        image=png_bytes(np.full((4, 4, 3), 40 * (k + 1), dtype=np.uint8)))
        inner.append(wrap_b3dm(glb, rtc_center=centre))
    body = b"".join(inner) + struct.pack("<4sIIIIII", b"pnts", 1, 28, 0, 0, 0, 0)
    (tmp_path / "c.cmpt").write_bytes(struct.pack("<4sIII", b"cmpt", 1, 16 + len(body), 3) + body)
    s = tessaroid.convert(tmp_path / "c.cmpt", tmp_path / "out")
    assert s.ok and s.converted == 1 and s.textures == 2
    assert any("point cloud (pnts) content left out" in n for n in s.notes)
    obj = read_obj(s.obj_files[0])
    np.testing.assert_allclose(obj.v, np.concatenate(truth), atol=1e-6)
    assert obj.faces.tolist() == [[1, 2, 3], [4, 5, 6]]
    mtl = read_mtl(tmp_path / "out" / obj.mtllib)
    assert obj.groups == list(mtl) == ["a0_mat0", "a1_mat0"]
    assert sorted(m["map_Kd"] for m in mtl.values()) == ["c_a0_img0.png", "c_a1_img0.png"]


def test_huge_coordinates_never_give_a_truncated_obj(tmp_path):
    """Lines too long for a formatter's buffer must not give a short OBJ: all lines are there or the tile fails."""
    (tmp_path / "big.glb").write_bytes(build_glb(np.full((4, 3), 3.0e38, dtype=np.float32), [[0, 1, 2], [1, 2, 3]]))
    s = tessaroid.convert(tmp_path / "big.glb", tmp_path / "out")
    if s.ok:
        assert len(read_obj(s.obj_files[0]).v) == 4
    else:
        assert "lines expected" in s.failures[0][1]
        assert [p for p in (tmp_path / "out").iterdir() if p.name != MANIFEST_NAME] == []


def test_randomly_damaged_tiles_fail_cleanly(tmp_path):
    """Damaged tiles give failures with a reason (or valid output), never an escaped exception or a crash."""
    rng = random.Random(test_seed("damaged-tiles"))
    glb = build_glb(np.linspace(0, 1, 120, dtype=np.float32).reshape(40, 3), np.arange(39).reshape(13, 3),
                    texcoords=np.zeros((40, 2)), image=png_bytes(np.zeros((4, 4, 3), dtype=np.uint8)))
    digits = [i for i in range(20, 20 + int.from_bytes(glb[12:16], "little")) if chr(glb[i]).isdigit()]
    files = [tmp_path / f"d{k}.glb" for k in range(60)]
    for k, f in enumerate(files):
        # Odd files: digits of JSON numbers changed (same length); even files: any bytes after the GLB header.
        data = bytearray(glb)
        for i in rng.sample(digits, 3) if k % 2 else [rng.randrange(12, len(data)) for _ in range(4)]:
            data[i] = ord(rng.choice("0123456789")) if k % 2 else rng.randrange(256)
        f.write_bytes(bytes(data))
    s = tessaroid.convert(files, tmp_path / "out", workers=2)
    assert s.tiles == 60 and s.converted + s.failed + s.empty == 60 and all(r for _, r in s.failures)
    for f in s.obj_files:
        obj = read_obj(f)
        assert obj.faces.size == 0 or (obj.faces.min() >= 1 and obj.faces.max() <= len(obj.v))


def test_cli_help_without_native_module():
    proc = _run("-c", "import sys; sys.modules['tessaroid._obj_writer'] = None; "
                      "from tessaroid.cli import main; main(['convert', '--help'])")
    assert proc.returncode == 0 and "--max-depth" in proc.stdout


def test_demo_command(tmp_path):
    proc = _run("-m", "tessaroid.demo", cwd=tmp_path)
    assert proc.returncode == 0 and "OBJ files written to" in proc.stdout, proc.stderr
    assert len(list((tmp_path / "demo-out" / "obj").glob("*.obj"))) == 21

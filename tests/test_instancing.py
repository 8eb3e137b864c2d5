"""Instances (i3dm, EXT_mesh_gpu_instancing), meshopt-compressed meshes and WebP textures.

Expected positions are computed here from the files themselves (struct + NumPy for the
feature tables and instance accessors, trimesh for the models, pyproj for the
east-north-up frames), not with the converter's own code.
"""

from __future__ import annotations

import base64
import io
import json
import os
import struct
import sys
from pathlib import Path

import numpy as np
import pytest

from convert_helpers import Y_TO_Z, pack_glb, read_mtl, read_obj, split_glb

import tessaroid
from tessaroid.demo import build_glb

TOOLS = ("tiles", "3d-tiles-tools")
INSTANCED = ("InstancedOrientation", "InstancedScaleNonUniform", "InstancedRTC", "InstancedQuantized",
             "InstancedWithBatchTable")


def _model_vertices(glb: bytes) -> np.ndarray:
    """The model's vertices by trimesh, node transforms applied, turned z-up."""
    import trimesh

    scene = trimesh.load(io.BytesIO(glb), file_type="glb", force="scene", process=False)
    return np.concatenate([trimesh.transform_points(scene.geometry[g].vertices, m)
                           for m, g in (scene.graph[n] for n in scene.graph.nodes_geometry)]) @ Y_TO_Z


def _split_i3dm(data: bytes):
    """(feature table JSON, feature table binary, GLB) of an embedded-glTF i3dm."""
    _, _, _, ftj, ftb, btj, btb, fmt = struct.unpack_from("<4s7I", data, 0)
    assert fmt == 1
    ft = json.loads(data[32:32 + ftj])
    return ft, data[32 + ftj:32 + ftj + ftb], data[32 + ftj + ftb + btj + btb:]


def _make_i3dm(ft: dict, ft_bin: bytes, gltf: bytes, fmt: int = 1, bt: dict | None = None) -> bytes:
    def pad(b: bytes, fill: bytes) -> bytes:
        return b + fill * ((-len(b)) % 8)

    ftj = pad(json.dumps(ft).encode(), b" ")
    ftb = pad(ft_bin, b"\0")
    btj = pad(json.dumps(bt).encode(), b" ") if bt else b""
    body = ftj + ftb + btj + gltf
    return struct.pack("<4s7I", b"i3dm", 1, 32 + len(body), len(ftj), len(ftb), len(btj), 0, fmt) + body


def _enu(ecef: np.ndarray) -> np.ndarray:
    """(K, 3, 3) east, north, up columns from pyproj's geodetic longitude and latitude."""
    import pyproj

    lon, lat, _ = pyproj.Transformer.from_crs("EPSG:4978", "EPSG:4979", always_xy=True).transform(*ecef.T)
    lo, la = np.radians(lon), np.radians(lat)
    east = np.stack([-np.sin(lo), np.cos(lo), 0 * lo], 1)
    north = np.stack([-np.sin(la) * np.cos(lo), -np.sin(la) * np.sin(lo), np.cos(la)], 1)
    up = np.stack([np.cos(la) * np.cos(lo), np.cos(la) * np.sin(lo), np.sin(la)], 1)
    return np.stack([east, north, up], 2)


def _expected_i3dm(data: bytes) -> np.ndarray:
    """Every instance's copy of the model, from the feature table as 3D Tiles defines it."""
    ft, fb, glb = _split_i3dm(data)
    n = ft["INSTANCES_LENGTH"]

    def prop(name, dtype, width):
        return np.frombuffer(fb, dtype=dtype, count=n * width, offset=ft[name]["byteOffset"]).reshape(n, width)

    if "POSITION" in ft:
        pos = prop("POSITION", "<f4", 3).astype(float)
    else:
        pos = (prop("POSITION_QUANTIZED", "<u2", 3) / 65535.0 * ft["QUANTIZED_VOLUME_SCALE"]
               + ft["QUANTIZED_VOLUME_OFFSET"])
    pos = pos + ft.get("RTC_CENTER", [0, 0, 0])
    if "NORMAL_UP" in ft:
        up, right = prop("NORMAL_UP", "<f4", 3).astype(float), prop("NORMAL_RIGHT", "<f4", 3).astype(float)
        up /= np.linalg.norm(up, axis=1)[:, None]
        right /= np.linalg.norm(right, axis=1)[:, None]
        rot = np.stack([right, up, np.cross(right, up)], 2)
    elif ft.get("EAST_NORTH_UP"):
        rot = _enu(pos)
    else:
        rot = np.broadcast_to(np.eye(3), (n, 3, 3))
    scale = np.ones((n, 3))
    if "SCALE" in ft:
        scale *= prop("SCALE", "<f4", 1)
    if "SCALE_NON_UNIFORM" in ft:
        scale *= prop("SCALE_NON_UNIFORM", "<f4", 3)
    model = _model_vertices(glb)
    return np.concatenate([(model * scale[k]) @ rot[k].T + pos[k] for k in range(n)]), len(model)


@pytest.mark.parametrize("name", INSTANCED)
def test_i3dm_samples_place_every_instance(shared_data, tmp_path, name):
    folder = shared_data.joinpath(*TOOLS, "Instanced", name)
    s = tessaroid.convert(folder, tmp_path)
    assert s.ok and s.converted == 1, s.failures
    data = next(folder.glob("*.i3dm")).read_bytes()
    expected, per_instance = _expected_i3dm(data)
    obj = read_obj(s.obj_files[0])
    # One copy after the other, each in the model's vertex order (one primitive).
    assert len(obj.v) == len(expected) == 25 * per_instance
    np.testing.assert_allclose(obj.v, expected, atol=2e-4)
    assert obj.faces.max() == len(obj.v) and len(obj.faces) % 25 == 0


def test_tree_billboards_tileset(shared_data, tmp_path):
    folder = shared_data / "tiles/3d-tiles-samples/TilesetWithTreeBillboards"
    s = tessaroid.convert(folder, tmp_path)
    assert s.ok and s.converted == 2, s.failures
    expected, per_instance = _expected_i3dm((folder / "tree.i3dm").read_bytes())
    obj = read_obj(tmp_path / "tree.obj")
    assert len(obj.v) == 25 * per_instance
    np.testing.assert_allclose(obj.v, expected, atol=2e-4)
    assert len(read_obj(tmp_path / "tree_billboard.obj").v) == 25 * 4


def _oct_encode(v: np.ndarray) -> np.ndarray:
    """Oct-encoded 16-bit pairs of unit vectors."""
    p = v[:, :2] / np.abs(v).sum(1)[:, None]
    neg = v[:, 2] < 0
    sign = np.where(p >= 0, 1.0, -1.0)
    p[neg] = ((1 - np.abs(p[:, ::-1])) * sign)[neg]
    return np.round((p * 0.5 + 0.5) * 65535).astype("<u2")


def test_oct_encoded_normals_external_gltf_and_cmpt(shared_data, tmp_path):
    """The orientation sample rewritten with _OCT32P normals, with its glTF as an external
    file (gltfFormat 0), and inside a cmpt beside the original: all place alike."""
    src = shared_data.joinpath(*TOOLS, "Instanced", "InstancedOrientation", "instancedOrientation.i3dm")
    data = src.read_bytes()
    ft, fb, glb = _split_i3dm(data)
    n = ft["INSTANCES_LENGTH"]
    vec = {k: np.frombuffer(fb, "<f4", n * 3, ft[k]["byteOffset"]).reshape(n, 3).astype(float)
           for k in ("NORMAL_UP", "NORMAL_RIGHT")}
    pos = np.frombuffer(fb, "<f4", n * 3, 0).tobytes()
    up, right = (_oct_encode(vec[k] / np.linalg.norm(vec[k], axis=1)[:, None]).tobytes()
                 for k in ("NORMAL_UP", "NORMAL_RIGHT"))
    ft2 = {"INSTANCES_LENGTH": n, "POSITION": {"byteOffset": 0},
           "NORMAL_UP_OCT32P": {"byteOffset": len(pos)}, "NORMAL_RIGHT_OCT32P": {"byteOffset": len(pos) + len(up)}}
    (tmp_path / "model.glb").write_bytes(glb)
    (tmp_path / "oct.i3dm").write_bytes(_make_i3dm(ft2, pos + up + right, b"model.glb   ", fmt=0))
    inner = [data, (tmp_path / "oct.i3dm").read_bytes()]
    # Inner tiles padded to 8 bytes, their byteLength with the padding; the external
    # glTF resolves against the cmpt's own location.
    parts = [t.ljust(len(t) + (-len(t)) % 8, b"\0") for t in inner]
    body = b"".join(p[:8] + struct.pack("<I", len(p)) + p[12:] for p in parts)
    (tmp_path / "both.cmpt").write_bytes(struct.pack("<4sIII", b"cmpt", 1, 16 + len(body), 2) + body)
    s = tessaroid.convert([src, tmp_path / "oct.i3dm", tmp_path / "both.cmpt"], tmp_path / "out")
    assert s.ok and s.converted == 3, s.failures
    plain, octv, both = (read_obj(f).v for f in s.obj_files)
    # 16-bit oct encoding keeps directions to about 1e-4 rad: millimetres on this model.
    np.testing.assert_allclose(octv, plain, atol=5e-3)
    np.testing.assert_allclose(both, np.concatenate([plain, octv]), atol=1e-6)


def _gpu_expected(path: Path) -> np.ndarray:
    import trimesh.transformations as tt

    doc = json.loads(path.read_text())
    bufs = [base64.b64decode(b["uri"].split(",", 1)[1]) if b["uri"].startswith("data:")
            else (path.parent / b["uri"]).read_bytes() for b in doc["buffers"]]

    def acc(i, width):
        a = doc["accessors"][i]
        v = doc["bufferViews"][a["bufferView"]]
        return np.frombuffer(bufs[v["buffer"]], "<f4", a["count"] * width,
                             v.get("byteOffset", 0) + a.get("byteOffset", 0)).reshape(-1, width).astype(float)

    attrs = doc["nodes"][0]["extensions"]["EXT_mesh_gpu_instancing"]["attributes"]
    box = acc(doc["meshes"][0]["primitives"][0]["attributes"]["POSITION"], 3)
    out = []
    for t, q, s in zip(acc(attrs["TRANSLATION"], 3), acc(attrs["ROTATION"], 4), acc(attrs["SCALE"], 3)):
        m = tt.translation_matrix(t) @ tt.quaternion_matrix([q[3], *q[:3]]) @ np.diag([*s, 1])
        out.append(box @ m[:3, :3].T + m[:3, 3])
    return np.concatenate(out) @ Y_TO_Z


def test_gpu_instances_metadata_writes_ten_boxes(shared_data, tmp_path):
    path = shared_data / "tiles/3d-tiles-samples/GpuInstancesMetadata/GpuInstancesMetadata.gltf"
    s = tessaroid.convert(path.parent, tmp_path)
    assert s.ok, s.failures
    obj = read_obj(s.obj_files[0])
    expected = _gpu_expected(path)
    assert len(obj.v) == len(expected) == 240 and len(obj.faces) == 120
    np.testing.assert_allclose(obj.v, expected, atol=2e-6)


def _gpu_glb(rotation: np.ndarray, component_type: int = 5126, normalized: bool = False) -> bytes:
    """A triangle drawn by a node (translated by 100 along x) with two GPU instances."""
    doc, binary = split_glb(build_glb(np.eye(3, dtype=np.float32), [[0, 1, 2]],
                                      nodes=[{"mesh": 0, "translation": [100.0, 0, 0]}]))
    dtype = {5126: "<f4", 5122: "<i2", 5120: "i1"}[component_type]
    trans = np.array([[0, 0, 0], [0, 10, 0]], "<f4").tobytes()
    rot = np.asarray(rotation, dtype).tobytes()
    views = doc["bufferViews"]
    start = len(binary) + (-len(binary)) % 4
    binary = binary.ljust(start, b"\0") + trans + rot
    views += [{"buffer": 0, "byteOffset": start, "byteLength": len(trans)},
              {"buffer": 0, "byteOffset": start + len(trans), "byteLength": len(rot)}]
    doc["accessors"] += [{"bufferView": len(views) - 2, "componentType": 5126, "count": 2, "type": "VEC3"},
                         {"bufferView": len(views) - 1, "componentType": component_type, "count": 2,
                          "type": "VEC4", "normalized": normalized}]
    n = len(doc["accessors"])
    doc["nodes"][0]["extensions"] = {"EXT_mesh_gpu_instancing": {"attributes": {"TRANSLATION": n - 2,
                                                                                "ROTATION": n - 1}}}
    doc["extensionsUsed"] = ["EXT_mesh_gpu_instancing"]
    return pack_glb(doc, binary)


@pytest.mark.parametrize("ctype,scale", [(5126, 1.0), (5122, 32767), (5120, 127)], ids=["float", "short", "byte"])
def test_gpu_instancing_rotations_are_normalised(tmp_path, ctype, scale):
    """A quarter turn about z stored slightly off unit length (or as normalised integers):
    node_global * T * R, unit quaternion."""
    h = np.sqrt(0.5) * 1.02
    rot = np.round(np.array([[0, 0, 0, 1], [0, 0, h, h]]) * scale) if ctype != 5126 else [[0, 0, 0, 1.02],
                                                                                       [0, 0, h, h]]
    (tmp_path / "g.glb").write_bytes(_gpu_glb(rot, ctype, normalized=ctype != 5126))
    obj = read_obj(tessaroid.convert(tmp_path / "g.glb", tmp_path / "out").obj_files[0])
    tri = np.eye(3)
    turned = tri @ np.array([[0, -1, 0], [1, 0, 0], [0, 0, 1]]).T + [100, 10, 0]
    np.testing.assert_allclose(obj.v, np.concatenate([tri + [100, 0, 0], turned]) @ Y_TO_Z, atol=1e-4)


def _meshopt_triangle(shared_data, tmp_path, cut: int = 0) -> Path:
    src = shared_data.joinpath(*TOOLS, "Triangle")
    doc = json.loads((src / "TriangleMeshopt.gltf").read_text())
    data = (src / "TriangleMeshopt.bin").read_bytes()
    (tmp_path / "TriangleMeshopt.bin").write_bytes(data)
    if cut:
        doc["bufferViews"][1]["extensions"]["EXT_meshopt_compression"]["byteLength"] -= cut
    (tmp_path / "cut.gltf").write_text(json.dumps(doc))
    return tmp_path / "cut.gltf"


def test_meshopt_triangles_equal_the_plain_one(shared_data, tmp_path):
    pytest.importorskip("meshoptimizer")
    src = shared_data.joinpath(*TOOLS, "Triangle")
    s = tessaroid.convert(sorted(src.glob("*.gltf")), tmp_path)
    assert s.ok and s.converted == 3, s.failures
    plain, *packed = (read_obj(f) for f in s.obj_files)
    for obj in packed:
        np.testing.assert_allclose(obj.v, plain.v, atol=1e-6)
        np.testing.assert_array_equal(obj.faces, plain.faces)


def test_meshopt_modes_and_exponential_filter(tmp_path):
    """Positions through ATTRIBUTES + EXPONENTIAL (encoded here by hand), indices
    through INDICES: the decoded mesh is the one encoded."""
    mo = pytest.importorskip("meshoptimizer")
    pos = np.array([[0, 0, 0], [1.5, 0, 0], [0, 2.25, 0], [1.5, 2.25, -0.75]])
    idx = np.array([0, 1, 2, 2, 1, 3], np.uint32)
    exp = -8  # value = mantissa * 2**exp, with the exponent in the top byte
    words = (np.round(pos * 2.0 ** -exp).astype(np.int64) & 0xFFFFFF) | ((exp & 0xFF) << 24)
    vbytes = mo.encode_vertex_buffer(words.astype("<u4").view("V12").ravel(), 4, 12)
    ibytes = mo.encode_index_sequence(idx, 6, 4)
    blob = ibytes + b"\0" * ((-len(ibytes)) % 4) + vbytes
    ext = "EXT_meshopt_compression"
    doc = {"asset": {"version": "2.0"}, "extensionsUsed": [ext], "extensionsRequired": [ext],
           "buffers": [{"uri": "data:application/octet-stream;base64," + base64.b64encode(blob).decode(),
                        "byteLength": len(blob)}, {"byteLength": 72, "extensions": {ext: {"fallback": True}}}],
           "bufferViews": [
               {"buffer": 1, "byteLength": 24, "extensions": {ext: {
                   "buffer": 0, "byteLength": len(ibytes), "byteStride": 4, "count": 6, "mode": "INDICES"}}},
               {"buffer": 1, "byteOffset": 24, "byteLength": 48, "byteStride": 12, "extensions": {ext: {
                   "buffer": 0, "byteOffset": len(blob) - len(vbytes), "byteLength": len(vbytes),
                   "byteStride": 12, "count": 4, "mode": "ATTRIBUTES", "filter": "EXPONENTIAL"}}}],
           "accessors": [{"bufferView": 0, "componentType": 5125, "count": 6, "type": "SCALAR"},
                         {"bufferView": 1, "componentType": 5126, "count": 4, "type": "VEC3"}],
           "meshes": [{"primitives": [{"attributes": {"POSITION": 1}, "indices": 0}]}]}
    (tmp_path / "q.gltf").write_text(json.dumps(doc))
    obj = read_obj(tessaroid.convert(tmp_path / "q.gltf", tmp_path / "out").obj_files[0])
    np.testing.assert_allclose(obj.v, pos @ Y_TO_Z, atol=1e-6)
    np.testing.assert_array_equal(obj.faces - 1, idx.reshape(2, 3))


def test_bad_input_fails_that_tile_only(shared_data, tmp_path):
    """Short feature tables, zero-length orientations, missing external glTF, a cut
    meshopt stream: each fails its own tile with a clear reason; the good one converts."""
    pytest.importorskip("meshoptimizer")
    good = shared_data.joinpath(*TOOLS, "Instanced", "InstancedOrientation", "instancedOrientation.i3dm")
    ft, fb, glb = _split_i3dm(good.read_bytes())
    bad = {
        "short.i3dm": (_make_i3dm(dict(ft, INSTANCES_LENGTH=40), fb, glb), "holds 25 of the 40 instances"),
        "zero_up.i3dm": (_make_i3dm(ft, b"\0" * 300 + b"\0" * 12 + fb[312:], glb),
                         "instance 0's NORMAL_UP has zero length"),
        "external.i3dm": (_make_i3dm(ft, fb, b"missing.glb", fmt=0), "external glTF 'missing.glb' cannot be read"),
        "zero_quat.glb": (_gpu_glb([[0, 0, 0, 1], [0, 0, 0, 0]]), "instance 1 has a rotation quaternion of zero"),
    }
    for name, (data, _) in bad.items():
        (tmp_path / name).write_bytes(data)
    cut = _meshopt_triangle(shared_data, tmp_path, cut=20)
    s = tessaroid.convert([good, *(tmp_path / n for n in bad), cut], tmp_path / "out")
    assert (s.converted, s.failed) == (1, 5)
    reasons = {Path(src).name: why for src, why in s.failures}
    for name, (_, needle) in bad.items():
        assert needle in reasons[name], reasons[name]
    assert "EXT_meshopt_compression data could not be decoded (cut short" in reasons["cut.gltf"]


def test_meshopt_without_decoder_names_the_extra(shared_data, tmp_path, monkeypatch):
    import subprocess

    path = shared_data.joinpath(*TOOLS, "Triangle", "TriangleMeshopt.gltf")
    monkeypatch.setitem(sys.modules, "meshoptimizer", None)
    s = tessaroid.convert(path, tmp_path)
    assert s.failures == [(str(path), "meshes use EXT_meshopt_compression; install 'tessaroid[meshopt]' "
                                      "to convert them")]
    del s
    code = ("import sys; sys.modules['meshoptimizer'] = None; from tessaroid.cli import main; "
            f"sys.exit(main(['convert', {str(path)!r}, '-o', {str(tmp_path / 'cli')!r}, '-q']))")
    root = str(Path(tessaroid.__file__).resolve().parents[1])
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": root})
    assert proc.returncode == 1
    assert proc.stderr.strip() == (f"tessaroid: {path}: meshes use EXT_meshopt_compression; "
                                   "install 'tessaroid[meshopt]' to convert them")


def _textured(image: bytes, mime: str, ext: str | None) -> bytes:
    doc, binary = split_glb(build_glb(np.eye(3, dtype=np.float32), [[0, 1, 2]],
                                      texcoords=np.array([[0, 0], [1, 0], [0, 1]]), image=image, mime=mime))
    if ext:
        tex = doc["textures"][0]
        tex["extensions"] = {ext: {"source": tex.pop("source")}}
        doc["extensionsUsed"] = doc["extensionsRequired"] = [ext]
    return pack_glb(doc, binary)


@pytest.mark.parametrize("fmt", ["source", "png"])
@pytest.mark.parametrize("ext", ["EXT_texture_webp", None], ids=["extension", "plain-image"])
def test_webp_texture_converts(tmp_path, ext, fmt):
    from PIL import Image

    rgb = np.random.default_rng(3).integers(0, 256, (8, 12, 3), dtype=np.uint8)
    buf = io.BytesIO()
    Image.fromarray(rgb).save(buf, format="WEBP", lossless=True)
    (tmp_path / "w.glb").write_bytes(_textured(buf.getvalue(), "image/webp", ext))
    s = tessaroid.convert(tmp_path / "w.glb", tmp_path / "out", texture_format=fmt)
    assert s.ok and s.textures == 1, s.failures
    tex = read_mtl(tmp_path / "out/w.mtl")["mat0"]["map_Kd"]
    written = np.asarray(Image.open(tmp_path / "out" / tex).convert("RGB"))
    # OBJ's texture origin is bottom-left: the image is flipped, or else the v coordinates.
    np.testing.assert_array_equal(written, rgb[::-1] if fmt == "png" else rgb)


def test_basisu_refused_unless_textures_are_left_out(tmp_path):
    ktx2 = b"\xabKTX 20\xbb\r\n\x1a\n" + b"\0" * 64
    (tmp_path / "k.glb").write_bytes(_textured(ktx2, "image/ktx2", "KHR_texture_basisu"))
    s = tessaroid.convert(tmp_path / "k.glb", tmp_path / "out")
    assert s.failed == 1 and "KHR_texture_basisu" in s.failures[0][1] and "--no-textures" in s.failures[0][1]
    s = tessaroid.convert(tmp_path / "k.glb", tmp_path / "out2", textures=False)
    assert s.ok and s.textures == 0
    obj = read_obj(tmp_path / "out2/k.obj")
    assert len(obj.vt) == 3 and obj.all_vt
    assert "map_Kd" not in read_mtl(tmp_path / "out2/k.mtl")["mat0"]
    assert sorted(p.name for p in (tmp_path / "out2").iterdir() if p.name[0] != ".") == ["frame.json", "k.mtl", "k.obj"]

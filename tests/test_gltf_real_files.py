"""Real glTF, GLB and b3dm files: extract_mesh_arrays against an independent reading.

The module gets the JSON and BIN chunks taken apart here with struct; the model of
tests/gltf_reference.py gets pygltflib's parse of the same file. No node transforms on either side.
"""

from __future__ import annotations

import base64
import json
import struct
import warnings
from pathlib import Path

import numpy as np
import pygltflib
import pytest

from gltf_reference import assert_same, extract


def sample_files() -> list[str]:
    from conftest import SHARED_DATA

    if not SHARED_DATA.is_dir():
        return []
    found = [p for ext in ("*.glb", "*.b3dm", "*.gltf") for p in SHARED_DATA.rglob(ext)]
    # gzip-compressed tiles are the converter's to unpack, not the extractor's.
    return sorted(str(p.relative_to(SHARED_DATA)) for p in found if p.read_bytes()[:2] != b"\x1f\x8b")


def glb_of_b3dm(data: bytes) -> bytes:
    """The GLB inside a b3dm: current 28-byte header, or the legacy 24- and 20-byte ones."""
    ft_json, ft_bin, bt_json, bt_bin = struct.unpack_from("<4I", data, 12)
    candidates = [28 + ft_json + ft_bin + bt_json + bt_bin,  # current
                  24 + ft_json + ft_bin,                     # [btJSON, btBin, batchLength]
                  20 + ft_bin]                               # [batchLength, btByteLength]
    for start in candidates:
        if data[start:start + 4] == b"glTF":
            return data[start:]
    raise AssertionError("no GLB found in b3dm")


def split_glb(glb: bytes) -> tuple[dict, bytes]:
    magic, version, length = struct.unpack_from("<4sII", glb, 0)
    assert magic == b"glTF" and version == 2
    chunks, pos = {}, 12
    while pos < length:
        size, kind = struct.unpack_from("<II", glb, pos)
        chunks[kind] = glb[pos + 8: pos + 8 + size]
        pos += 8 + size
    return json.loads(chunks[0x4E4F534A]), bytes(chunks.get(0x004E4942, b""))


def caller_input(path: Path) -> tuple[dict, bytes | None]:
    data = path.read_bytes()
    if path.suffix == ".b3dm":
        return split_glb(glb_of_b3dm(data))
    if path.suffix == ".glb":
        return split_glb(data)
    gltf = json.loads(data)
    buffers = gltf.get("buffers", [])
    if len(buffers) != 1:
        pytest.skip("not a single-buffer glTF")
    uri = buffers[0]["uri"]
    if uri.startswith("data:"):
        return gltf, base64.b64decode(uri.split(",", 1)[1])
    return gltf, (path.parent / uri).read_bytes()


def reference_document(path: Path) -> tuple[dict, bytes]:
    """pygltflib's parse of the file (its JSON and its binary blob) for the model."""
    if path.suffix == ".b3dm":
        g = pygltflib.GLTF2.load_from_bytes(glb_of_b3dm(path.read_bytes()))
    else:
        g = pygltflib.GLTF2().load(str(path))
    if path.suffix == ".gltf":
        with warnings.catch_warnings():  # it warns that the .bin file is now unused
            warnings.simplefilter("ignore")
            g.convert_buffers(pygltflib.BufferFormat.BINARYBLOB)
    return json.loads(g.to_json()), bytes(g.binary_blob())


@pytest.mark.parametrize("name", sample_files())  # skipped when there are no samples
def test_real_file_matches_independent_reading(ow, shared_data, name):
    path = shared_data / name
    got = ow.extract_mesh_arrays(*caller_input(path))
    want = extract(*reference_document(path))
    assert want is not None and want[4] is None
    assert_same(got, want)
    assert got[1].size == 0 or (got[1].min() >= 0 and got[1].max() < len(got[0]))


@pytest.mark.parametrize("name", ["Duck.glb", "BoxInterleaved.glb", "BoxTextured.glb"])
def test_single_primitive_glb_agrees_with_trimesh(ow, shared_data, name):
    """A second, unrelated reader for single-primitive files (trimesh stores v flipped)."""
    trimesh = pytest.importorskip("trimesh")
    path = shared_data / "khronos" / name
    if not path.exists():
        pytest.skip("file absent")
    (geometry,) = trimesh.load(str(path), process=False, force="scene").geometry.values()
    positions, faces, tex, _, _ = ow.extract_mesh_arrays(*caller_input(path))
    np.testing.assert_array_equal(positions, geometry.vertices)
    np.testing.assert_array_equal(faces, geometry.faces)
    uv = getattr(geometry.visual, "uv", None)
    assert (tex is None) == (uv is None)
    if uv is not None:
        np.testing.assert_allclose(tex, np.column_stack([uv[:, 0], 1.0 - uv[:, 1]]), atol=1e-7)

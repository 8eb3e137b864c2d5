"""Helpers shared by the converter tests: a small OBJ/MTL reader, a pyproj reference, GLB packing."""

from __future__ import annotations

import json
import struct
from pathlib import Path
from types import SimpleNamespace

import numpy as np

# The glTF y-up frame to the z-up tile frame: (x, y, z) -> (x, -z, y), for row vectors.
Y_TO_Z = np.array([[1, 0, 0], [0, 0, 1], [0, -1, 0]], dtype=np.float64)


def read_obj(path: str | Path) -> SimpleNamespace:
    """v, vt, faces ((F, 3), 1-based), all_vt (every face has v/vt corners), mtllib, groups (usemtl names)."""
    rows: dict[str, list] = {"v": [], "vt": [], "f": []}
    obj = SimpleNamespace(mtllib=None, groups=[], all_vt=True)
    for line in Path(path).read_text(encoding="ascii").splitlines():
        key, *rest = line.split() or ["#"]
        if key in ("v", "vt"):
            rows[key].append([float(x) for x in rest[:3 if key == "v" else 2]])
        elif key == "f":
            corners = [c.split("/") for c in rest]
            assert len(corners) == 3 and all(c[1:] in ([], [c[0]]) for c in corners), line
            rows["f"].append([int(c[0]) for c in corners])
            obj.all_vt &= len(corners[0]) > 1
        elif key == "usemtl":
            obj.groups.append(rest[0])
        elif key == "mtllib":
            obj.mtllib = rest[0]
    obj.v, obj.vt = (np.array(rows[k], dtype=np.float64).reshape(-1, n) for k, n in (("v", 3), ("vt", 2)))
    obj.faces = np.array(rows["f"], dtype=np.int64).reshape(-1, 3)
    return obj


def read_mtl(path: str | Path) -> dict[str, dict[str, str]]:
    out: dict[str, dict[str, str]] = {}
    cur = None
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        key, _, value = line.strip().partition(" ")
        if key == "newmtl":
            cur = out.setdefault(value, {})
        elif cur is not None and key and not key.startswith("#"):
            cur[key] = value
    return out


def assert_positions(got: np.ndarray, ecef: np.ndarray, crs: str) -> None:
    """Against pyproj: within 1 mm (metric columns) or 1e-8 degrees (geographic columns)."""
    import pyproj

    def to(target):
        return np.stack(pyproj.Transformer.from_crs("EPSG:4978", target, always_xy=True).transform(*ecef.T), 1)

    exp = ecef if crs == "EPSG:4978" else to("EPSG:4979")
    if crs == "EPSG:3857":  # 2-D in PROJ; the written height is the ellipsoidal one
        exp = np.column_stack([to(crs)[:, :2], exp[:, 2]])
    assert got.shape == exp.shape
    deg = 2 if crs == "EPSG:4326" else 0
    np.testing.assert_allclose(got[:, :deg], exp[:, :deg], rtol=0, atol=1e-8)
    np.testing.assert_allclose(got[:, deg:], exp[:, deg:], rtol=0, atol=1e-3)


def split_glb(data: bytes) -> tuple[dict, bytes]:
    """The JSON document and binary chunk of a GLB (both chunks present)."""
    jlen = struct.unpack_from("<I", data, 12)[0]
    return json.loads(data[20:20 + jlen]), bytes(data[28 + jlen:])


def pack_glb(doc: dict, binary: bytes) -> bytes:
    binary += b"\0" * ((-len(binary)) % 4)
    doc["buffers"] = [{"byteLength": len(binary)}]
    js = json.dumps(doc).encode()
    js += b" " * ((-len(js)) % 4)
    return (struct.pack("<4sIIII", b"glTF", 2, 28 + len(js) + len(binary), len(js), 0x4E4F534A) + js
            + struct.pack("<II", len(binary), 0x004E4942) + binary)

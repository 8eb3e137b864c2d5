"""Helpers shared by the converter tests: a small OBJ reader, pyproj references, GLB packing."""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

# The glTF y-up frame to the z-up tile frame: (x, y, z) -> (x, -z, y), for row vectors.
Y_TO_Z = np.array([[1, 0, 0], [0, 0, 1], [0, -1, 0]], dtype=np.float64)


@dataclass
class Obj:
    v: np.ndarray
    vt: np.ndarray
    faces: np.ndarray  # (F, 3) 1-based vertex indices
    face_vt: list[bool]
    mtllib: str | None = None
    groups: list[tuple[str, int]] = field(default_factory=list)  # (material, faces in group)


def read_obj(path: str | Path) -> Obj:
    obj = Obj(v=[], vt=[], faces=[], face_vt=[])
    for line in Path(path).read_text(encoding="ascii").splitlines():
        key, *rest = line.split() or ["#"]
        if key in ("v", "vt"):
            getattr(obj, key).append([float(x) for x in rest[:3 if key == "v" else 2]])
        elif key == "f":
            corners = [c.split("/") for c in rest]
            assert len(corners) == 3 and all(c[1:] in ([], [c[0]]) for c in corners), line
            obj.faces.append([int(c[0]) for c in corners])
            obj.face_vt.append(len(corners[0]) > 1)
            if obj.groups:
                obj.groups[-1] = (obj.groups[-1][0], obj.groups[-1][1] + 1)
        elif key == "usemtl":
            obj.groups.append((rest[0], 0))
        elif key == "mtllib":
            obj.mtllib = rest[0]
    obj.v = np.array(obj.v, dtype=np.float64).reshape(-1, 3)
    obj.vt = np.array(obj.vt, dtype=np.float64).reshape(-1, 2)
    obj.faces = np.array(obj.faces, dtype=np.int64).reshape(-1, 3)
    return obj


def read_mtl(path: str | Path) -> dict[str, dict[str, str]]:
    out: dict[str, dict[str, str]] = {}
    cur = None
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        parts = line.split(maxsplit=1)
        if not parts or parts[0].startswith("#"):
            continue
        if parts[0] == "newmtl":
            cur = out.setdefault(parts[1], {})
        elif cur is not None and len(parts) == 2:
            cur[parts[0]] = parts[1]
    return out


def assert_positions(got: np.ndarray, ecef: np.ndarray, crs: str) -> None:
    """Against pyproj: within 1 mm (metric columns) or 1e-8 degrees (geographic columns)."""
    import pyproj

    def to(target):
        return np.stack(pyproj.Transformer.from_crs("EPSG:4978", target, always_xy=True).transform(*ecef.T), 1)

    exp = ecef if crs == "EPSG:4978" else to("EPSG:4979")
    if crs not in ("EPSG:4978", "EPSG:4326"):
        # Web Mercator is 2-D in PROJ; the written height is the ellipsoidal one.
        exp = np.column_stack([to(crs)[:, :2], exp[:, 2]])
    assert got.shape == exp.shape
    if crs == "EPSG:4326":
        np.testing.assert_allclose(got[:, :2], exp[:, :2], rtol=0, atol=1e-8)
        got, exp = got[:, 2], exp[:, 2]
    np.testing.assert_allclose(got, exp, rtol=0, atol=1e-3)


def no_temp_files(folder: str | Path) -> bool:
    return not [p for p in Path(folder).iterdir() if p.name.endswith(".tmp")]


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

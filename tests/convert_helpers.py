"""Helpers shared by the converter tests: a small OBJ reader and pyproj references."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

import numpy as np


@dataclass
class Obj:
    v: np.ndarray
    vt: np.ndarray
    faces: np.ndarray  # (F, 3) 1-based vertex indices
    face_vt: list[bool]
    mtllib: str | None = None
    groups: list[tuple[str, int]] = field(default_factory=list)  # (material, faces in group)


def read_obj(path: str | Path) -> Obj:
    v, vt, faces, fvt, groups = [], [], [], [], []
    mtllib = None
    for line in Path(path).read_text(encoding="ascii").splitlines():
        parts = line.split()
        if not parts or parts[0].startswith("#"):
            continue
        if parts[0] == "v":
            v.append([float(x) for x in parts[1:4]])
        elif parts[0] == "vt":
            vt.append([float(x) for x in parts[1:3]])
        elif parts[0] == "f":
            corners = [c.split("/") for c in parts[1:]]
            assert len(corners) == 3, line
            faces.append([int(c[0]) for c in corners])
            fvt.append(len(corners[0]) > 1)
            if len(corners[0]) > 1:
                assert all(c[0] == c[1] for c in corners), line
            if groups:
                groups[-1] = (groups[-1][0], groups[-1][1] + 1)
        elif parts[0] == "usemtl":
            groups.append((parts[1], 0))
        elif parts[0] == "mtllib":
            mtllib = parts[1]
    return Obj(v=np.array(v, dtype=np.float64).reshape(-1, 3), vt=np.array(vt, dtype=np.float64).reshape(-1, 2),
               faces=np.array(faces, dtype=np.int64).reshape(-1, 3), face_vt=fvt, mtllib=mtllib, groups=groups)


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


def reference_positions(ecef: np.ndarray, crs: str) -> np.ndarray:
    """The expected OBJ coordinates of ECEF points, computed with pyproj."""
    import pyproj

    if crs == "EPSG:4978":
        return ecef.copy()
    if crs == "EPSG:4326":
        t = pyproj.Transformer.from_crs("EPSG:4978", "EPSG:4979", always_xy=True)
    else:
        t = pyproj.Transformer.from_crs("EPSG:4978", crs, always_xy=True)
    x, y, z = t.transform(ecef[:, 0], ecef[:, 1], ecef[:, 2])
    out = np.stack([x, y, z], axis=1)
    if crs == "EPSG:3857":
        # Web Mercator is 2-D in PROJ; the written height is the ellipsoidal one.
        t3 = pyproj.Transformer.from_crs("EPSG:4978", "EPSG:4979", always_xy=True)
        out[:, 2] = t3.transform(ecef[:, 0], ecef[:, 1], ecef[:, 2])[2]
    return out


def assert_positions(got: np.ndarray, ecef: np.ndarray, crs: str) -> None:
    """Within 1 mm (metric columns) or 1e-8 degrees (geographic columns)."""
    exp = reference_positions(ecef, crs)
    assert got.shape == exp.shape
    if crs == "EPSG:4326":
        np.testing.assert_allclose(got[:, :2], exp[:, :2], rtol=0, atol=1e-8)
        np.testing.assert_allclose(got[:, 2], exp[:, 2], rtol=0, atol=1e-3)
    else:
        np.testing.assert_allclose(got, exp, rtol=0, atol=1e-3)


def no_temp_files(folder: str | Path) -> bool:
    return not [p for p in Path(folder).iterdir() if p.name.endswith(".tmp")]

"""Instances: one model written many times, each copy moved by its own matrix.

Two sources of instances meet here:
- EXT_mesh_gpu_instancing on a glTF node: TRANSLATION, ROTATION and SCALE accessors
  give one transform per instance, applied after the node's global transform
  (node_global * T * R * S). `gpu_instance_matrices` builds them; planning then
  lists one node instance per GPU instance.
- i3dm tiles: the decoder gives the instances' positions, orientations and scales in
  the tile frame (`decoding.i3dm.Instances`); `i3dm_matrices` turns them into
  ECEF matrices once the tile transform is known, and `replicate` writes the
  extracted model once per matrix with batched NumPy arithmetic.
"""

from __future__ import annotations

from dataclasses import replace

import numpy as np

from .errors import ConversionError
from .volumes import A_WGS84, B_WGS84

GPU_INSTANCING = "EXT_mesh_gpu_instancing"
# glTF's normalised integer rotations: the divisor of each component type.
_NORM_DIVISORS = {"i": {1: 127.0, 2: 32767.0}, "u": {1: 255.0, 2: 65535.0}}


def quaternion_matrices(q: np.ndarray, what: str) -> np.ndarray:
    """(K, 3, 3) rotations of (K, 4) quaternions (x, y, z, w), normalised first: stored
    quaternions are unit only to a few decimals. A zero or non-finite one is refused."""
    q = np.asarray(q, dtype=np.float64)
    n = np.linalg.norm(q, axis=1)
    bad = ~(np.isfinite(n) & (n > 1e-12))
    if bad.any():
        raise ConversionError(f"{what}: instance {int(np.argmax(bad))} has a rotation quaternion of zero length "
                              "or with non-finite values")
    x, y, z, w = (q / n[:, None]).T
    out = np.empty((len(q), 3, 3))
    out[:, 0, 0] = 1 - 2 * (y * y + z * z)
    out[:, 0, 1] = 2 * (x * y - z * w)
    out[:, 0, 2] = 2 * (x * z + y * w)
    out[:, 1, 0] = 2 * (x * y + z * w)
    out[:, 1, 1] = 1 - 2 * (x * x + z * z)
    out[:, 1, 2] = 2 * (y * z - x * w)
    out[:, 2, 0] = 2 * (x * z - y * w)
    out[:, 2, 1] = 2 * (y * z + x * w)
    out[:, 2, 2] = 1 - 2 * (x * x + y * y)
    return out


def trs_matrices(t: np.ndarray | None, r: np.ndarray | None, s: np.ndarray | None, count: int) -> np.ndarray:
    """(count, 4, 4) matrices T * R * S from per-instance (K, 3) translations, (K, 3, 3)
    rotations and (K, 3) scales; a missing part is the identity."""
    out = np.zeros((count, 4, 4))
    rot = np.broadcast_to(np.eye(3), (count, 3, 3)) if r is None else r
    out[:, :3, :3] = rot if s is None else rot * s[:, None, :]
    if t is not None:
        out[:, :3, 3] = t
    out[:, 3, 3] = 1.0
    return out


def gpu_instance_matrices(ext: dict, read, what: str) -> np.ndarray:
    """(K, 4, 4) instance transforms of a node's EXT_mesh_gpu_instancing. `read(accessor,
    what)` decodes an accessor to a (count, width) array (normalised integers already
    scaled by the accessor's `normalized` flag)."""
    attrs = ext.get("attributes") if isinstance(ext, dict) else None
    if not isinstance(attrs, dict):
        raise ConversionError(f"{what}: {GPU_INSTANCING} has no attributes")
    parts: dict[str, np.ndarray] = {}
    for name, width in (("TRANSLATION", 3), ("ROTATION", 4), ("SCALE", 3)):
        if attrs.get(name) is None:
            continue
        arr = read(attrs[name], f"{what} {GPU_INSTANCING} {name}")
        if arr.ndim != 2 or arr.shape[1] != width:
            raise ConversionError(f"{what}: {GPU_INSTANCING} {name} must have {width} components per instance")
        if arr.dtype.kind in "iu":
            # Integer rotations are normalised even where the flag was left out.
            div = _NORM_DIVISORS[arr.dtype.kind].get(arr.dtype.itemsize)
            if name != "ROTATION" or div is None:
                raise ConversionError(f"{what}: {GPU_INSTANCING} {name} must be float"
                                      + (" or a normalised byte or short" if name == "ROTATION" else ""))
            arr = np.maximum(arr.astype(np.float64) / div, -1.0)
        parts[name] = np.asarray(arr, dtype=np.float64)
    if not parts:
        raise ConversionError(f"{what}: {GPU_INSTANCING} has none of TRANSLATION, ROTATION and SCALE")
    counts = {len(a) for a in parts.values()}
    if len(counts) != 1:
        raise ConversionError(f"{what}: {GPU_INSTANCING} attributes have different counts "
                              f"({', '.join(f'{k} {len(v)}' for k, v in parts.items())})")
    count = counts.pop()
    if not all(np.all(np.isfinite(a)) for a in parts.values()):
        raise ConversionError(f"{what}: {GPU_INSTANCING} holds values that are not finite")
    rot = parts.get("ROTATION")
    return trs_matrices(parts.get("TRANSLATION"), None if rot is None else quaternion_matrices(rot, what),
                        parts.get("SCALE"), count)


def enu_rotations(points: np.ndarray) -> np.ndarray:
    """(K, 3, 3) rotations with columns east, north, up at ECEF points (up is the
    WGS84 geodetic surface normal). At the poles east is taken as +y."""
    p = np.asarray(points, dtype=np.float64)
    up = p / np.array([A_WGS84 ** 2, A_WGS84 ** 2, B_WGS84 ** 2])
    n = np.linalg.norm(up, axis=1)
    if not np.all(n > 0):
        raise ConversionError("an i3dm instance at the centre of the Earth has no east-north-up frame")
    up /= n[:, None]
    east = np.stack([-up[:, 1], up[:, 0], np.zeros(len(up))], axis=1)
    en = np.linalg.norm(east, axis=1)
    pole = en < 1e-12
    east[pole] = (0.0, 1.0, 0.0)
    en[pole] = 1.0
    east /= en[:, None]
    north = np.cross(up, east)
    return np.stack([east, north, up], axis=2)


def i3dm_matrices(inst, tile: np.ndarray) -> np.ndarray:
    """(K, 4, 4) ECEF matrices of i3dm instances: tile * T * R * S, where R is the
    instance's own orientation in the tile frame; with EAST_NORTH_UP the rotation is
    the east-north-up frame at the instance's ECEF position, already in ECEF."""
    tile = np.asarray(tile, dtype=np.float64).reshape(4, 4)
    k = len(inst.positions)
    ecef = inst.positions @ tile[:3, :3].T + tile[:3, 3]
    out = np.zeros((k, 4, 4))
    if inst.enu:
        out[:, :3, :3] = enu_rotations(ecef) * inst.scales[:, None, :]
    else:
        local = np.broadcast_to(np.eye(3), (k, 3, 3)) if inst.rotations is None else inst.rotations
        out[:, :3, :3] = np.einsum("ij,kjl->kil", tile[:3, :3], local * inst.scales[:, None, :])
    out[:, :3, 3] = ecef
    out[:, 3, 3] = 1.0
    return out


def replicate(pos: np.ndarray, faces: np.ndarray, tc: np.ndarray | None, plan, matrices: np.ndarray):
    """The model (pos (V, 3), faces (F, 3), tc (V, 2)) written once per matrix:
    vertices copy by copy, faces grouped by primitive (every copy of a primitive's
    faces together, so a material stays one face group). Returns (pos, faces, tc,
    plan) with the plan's primitive slots rewritten for the new face order."""
    k, v = len(matrices), len(pos)
    rot = np.ascontiguousarray(matrices[:, :3, :3])
    out = np.empty((k, v, 3), dtype=np.float64)
    # (K, 3, 3) x (V, 3) -> (K, V, 3) in one batched product, then the translations.
    np.matmul(pos[None, :, :], rot.transpose(0, 2, 1), out=out)
    out += matrices[:, None, :3, 3]
    offsets = (np.arange(k, dtype=faces.dtype) * v)[:, None, None]
    blocks, prims, f0 = [], [], 0
    for p in plan.prims:
        part = faces[p.f0:p.f0 + p.fcount]
        blocks.append((part[None, :, :] + offsets).reshape(-1, 3))
        prims.append(replace(p, f0=f0, fcount=k * p.fcount))
        f0 += k * p.fcount
    new_faces = np.concatenate(blocks) if blocks else np.zeros((0, 3), dtype=faces.dtype)
    new_tc = None if tc is None else np.tile(tc, (k, 1))
    new_plan = replace(plan, prims=prims, total_vertices=k * v, total_faces=f0)
    return out.reshape(k * v, 3), new_faces, new_tc, new_plan

"""Placement and output frame: from a planned glTF asset to positions in the output CRS.

The native extractor gives every instance's vertices in its node frame; here each
instance is moved to ECEF (node transform, glTF's y-up to z-up turn, RTC centre,
tile transform), and the positions are converted into the output CRS. Texture
coordinates get the material's KHR_texture_transform.

The model of an i3dm tile (its asset carries `extras["instances"]`) is placed in its
own z-up frame first (node transform, y-up to z-up), then written once per instance,
moved by the instance's matrix and the tile transform (see `instancing`).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import frames
from .errors import ConversionError
from .instancing import i3dm_matrices, replicate
from .planning import Y_UP_TO_Z_UP, Plan, plan_tile
from .records import Options, TileTask


def draco_available() -> bool:
    try:
        import DracoPy  # noqa: F401, N813
    except ImportError:
        return False
    return True


def to_frame(ow, pos: np.ndarray, opts: Options) -> None:
    """ECEF positions into the output CRS, in place: the native conversions for
    EPSG:4978/3857/4326, ENU and pyproj CRSs in `frames`."""
    frames.to_frame(ow, pos, opts)


def rtc_of(asset) -> np.ndarray | None:
    if asset.rtc_center is not None:
        return asset.rtc_center
    ext = (asset.doc.get("extensions") or {}).get("CESIUM_RTC")
    if isinstance(ext, dict) and ext.get("center") is not None:
        c = np.asarray(ext["center"], dtype=np.float64)
        if c.shape != (3,) or not np.all(np.isfinite(c)):
            raise ConversionError("CESIUM_RTC center is not three finite numbers")
        return c
    return None


def place_instances(pos: np.ndarray, plan: Plan, pre: np.ndarray) -> None:
    """Move every instance's vertices from its node frame to ECEF, in place."""
    eye = np.eye(3)
    for v0, v1, node_m in plan.instances:
        m = pre @ node_m
        r, t = m[:3, :3], m[:3, 3]
        seg = pos[v0:v1]
        if not np.array_equal(r, eye):
            # einsum is several times faster than matmul for an (N, 3) x (3, 3) product.
            seg[:] = np.einsum("ij,nj->ni", r, seg, optimize=False)
        if t.any():
            seg += t


def texcoords(tc: np.ndarray | None, plan: Plan) -> np.ndarray | None:
    if tc is None:
        return None
    for p in plan.prims:
        m = plan.materials[p.material].uv_matrix
        if p.has_texcoord and m is not None:
            rows = tc[p.v0:p.v0 + p.vcount]
            rows[:] = rows @ m[:2, :2].T + m[:2, 2]
    return tc


def flip_v(tc: np.ndarray | None, plan: Plan) -> None:
    """v -> 1 - v for the primitives whose material has a texture, in place: images
    kept as stored have glTF's top-left texture origin, OBJ's is bottom-left."""
    if tc is None:
        return
    for p in plan.prims:
        if p.has_texcoord and plan.materials[p.material].image is not None:
            rows = tc[p.v0:p.v0 + p.vcount, 1]
            np.subtract(1.0, rows, out=rows)


@dataclass
class PlacedMesh:
    """One glTF asset of a tile, extracted, placed and in the output CRS."""

    asset: object
    plan: Plan
    pos: np.ndarray
    faces: np.ndarray
    tc: np.ndarray | None


def place_asset(ow, asset, task: TileTask, opts: Options, notes: list[str]) -> PlacedMesh | None:
    """Extract, validate, place in ECEF and convert one glTF asset of a tile."""
    plan = plan_tile(asset, draco_available(), getattr(opts, "textures", True))
    notes += plan.skipped
    if plan.total_vertices == 0:
        return None
    try:
        arrays = ow.extract_mesh_arrays(plan.subdoc, plan.bin_chunk)
    except (ValueError, IndexError, OverflowError) as exc:
        # Reads outside the data, index values beyond their primitive's vertices,
        # unknown component types or modes, counts too large.
        raise ConversionError(f"invalid mesh data: {exc}") from None
    if arrays is None:
        return None
    pos, faces, tc = arrays[0], arrays[1], arrays[2]
    if pos.shape != (plan.total_vertices, 3) or faces.shape != (plan.total_faces, 3):
        raise ConversionError(
            f"mesh extraction gave {pos.shape[0]} vertices / {faces.shape[0]} faces, "
            f"expected {plan.total_vertices} / {plan.total_faces}")
    tile = np.asarray(task.matrix, dtype=np.float64).reshape(4, 4)
    instances = asset.extras.get("instances") if isinstance(asset.extras, dict) else None
    pre = np.eye(4) if instances is not None else tile
    rtc = rtc_of(asset)
    if rtc is not None:
        t = np.eye(4)
        t[:3, 3] = rtc
        pre = pre @ t
    if task.y_up:
        pre = pre @ Y_UP_TO_Z_UP
    place_instances(pos, plan, pre)
    tc = texcoords(tc, plan)
    if instances is not None:
        pos, faces, tc, plan = replicate(pos, faces, tc, plan, i3dm_matrices(instances, tile))
    to_frame(ow, pos, opts)
    if not np.all(np.isfinite(pos)):
        raise ConversionError("some positions are not finite after placing and converting them")
    if opts.keep_images:
        flip_v(tc, plan)
    return PlacedMesh(asset=asset, plan=plan, pos=pos, faces=faces, tc=tc)

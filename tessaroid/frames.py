"""Output frames: which coordinates the OBJ vertices are written in.

Positions reach this stage in ECEF (EPSG:4978) and leave it in one of:

- the native frames, converted by the C++ module: EPSG:4978 / ECEF (unchanged),
  EPSG:3857 (Web Mercator, ellipsoidal height as z) and EPSG:4326 (lon, lat in
  degrees, ellipsoidal height);
- ENU: local east-north-up metres about an origin on WGS 84, a rotation of ECEF minus
  the origin's ECEF position, in double precision;
- any other CRS pyproj knows, converted from EPSG:4978 in 3D: a 2D target is promoted
  with `CRS.to_3d()`, so its third column is the ellipsoidal height in metres (also for
  a CRS in feet); x/easting first.

`frame_info` checks a CRS and names it (before any tile is read), `to_frame` converts
positions in place, `write_frame_file` writes frame.json, which places the output
back on the Earth. The default ENU origin is found by `default_origin` from the
selected tiles' bounding volumes.
"""

from __future__ import annotations

import json
import math
import os
import threading
import uuid
from dataclasses import dataclass
from functools import lru_cache
from pathlib import Path
from typing import Sequence

import numpy as np

from .volumes import ecef_to_lonlat, geodetic_radians_to_ecef, geodetic_to_ecef

ENU = "ENU"
# Spellings the native dispatcher takes (it folds case and trims white space).
NATIVE = {"": "EPSG:4978", "ecef": "EPSG:4978", "epsg:4978": "EPSG:4978", "epsg:3857": "EPSG:3857",
          "epsg:4326": "EPSG:4326"}
NATIVE_INFO = {
    "EPSG:4978": ("WGS 84 (geocentric)", False, ("metre", "metre", "metre"), ("X", "Y", "Z")),
    "EPSG:3857": ("WGS 84 / Pseudo-Mercator", False, ("metre", "metre", "metre"),
                  ("easting", "northing", "ellipsoidal height")),
    "EPSG:4326": ("WGS 84", True, ("degree", "degree", "metre"),
                  ("longitude", "latitude", "ellipsoidal height")),
}
# A tile's positions whose centre lies nearer the Earth's centre than this are not
# placed on the Earth (a model in its own frame): no ENU origin can be taken from them.
NEAR_SURFACE = 6.0e6


def _key(crs: str) -> str:
    return str(crs).strip().casefold()


def is_native(crs: str) -> bool:
    return _key(crs) in NATIVE


def is_enu(crs: str) -> bool:
    return _key(crs) == "enu"


@dataclass(frozen=True)
class FrameInfo:
    crs: str  # as given
    kind: str  # "native", "enu" or "pyproj"
    name: str
    geographic: bool
    units: tuple[str, str, str]
    axes: tuple[str, str, str]
    height_added: bool = False  # a 2D CRS: the third column is the ellipsoidal height in metres


def _one_line(text: str) -> str:
    return " ".join(str(text).split())


@lru_cache(maxsize=64)
def _pyproj_crs(crs: str):
    """The 3D CRS pyproj converts into for a CRS string; ValueError when unknown."""
    try:
        from pyproj import CRS
        from pyproj.exceptions import CRSError
    except ImportError:  # pragma: no cover - a core dependency
        raise ImportError("CRSs other than EPSG:4978/3857/4326 and ENU need pyproj: pip install pyproj") from None
    try:
        c = CRS.from_user_input(crs)
    except CRSError as exc:
        raise ValueError(f"unknown CRS {crs!r}: {_one_line(exc)}") from None
    try:
        c3 = c if c.is_geocentric or len(c.axis_info) >= 3 else c.to_3d()
    except CRSError as exc:
        raise ValueError(f"CRS {crs!r} cannot be an output frame: {_one_line(exc)}") from None
    if len(c3.axis_info) != 3 or not (c3.is_geographic or c3.is_projected or c3.is_geocentric):
        raise ValueError(f"CRS {crs!r} cannot be an output frame: it is not a geographic, projected or "
                         "geocentric CRS with three axes")
    try:
        from pyproj import Transformer
        from pyproj.exceptions import ProjError

        Transformer.from_crs("EPSG:4978", c3, always_xy=True)
    except ProjError as exc:
        raise ValueError(f"CRS {crs!r} cannot be reached from EPSG:4978: {_one_line(exc)}") from None
    return c, c3


@lru_cache(maxsize=64)
def frame_info(crs: str) -> FrameInfo:
    """Check an output CRS and describe it; ValueError (one line) when pyproj does not know it."""
    crs = str(crs)
    if is_native(crs):
        code = NATIVE[_key(crs)]
        name, geo, units, axes = NATIVE_INFO[code]
        return FrameInfo(crs, "native", name, geo, units, axes, height_added=code != "EPSG:4978")
    if is_enu(crs):
        return FrameInfo(crs, "enu", "WGS 84 local east-north-up", False, ("metre",) * 3,
                         ("east", "north", "up"))
    if not crs.strip():
        raise ValueError("empty CRS")
    c, c3 = _pyproj_crs(crs)
    axes = c3.axis_info
    return FrameInfo(crs, "pyproj", c.name, bool(c3.is_geographic),
                     tuple(a.unit_name for a in axes), tuple(a.name for a in axes),  # type: ignore[arg-type]
                     height_added=c3 is not c)


def is_geographic(crs: str) -> bool:
    """Whether x and y are degrees (written with nine decimals). An unknown CRS counts
    as not geographic here; `frame_info` is where it is refused."""
    try:
        return frame_info(crs).geographic
    except (ValueError, ImportError):
        return False


# ---------------------------------------------------------------- ENU

def parse_origin(text: str) -> tuple[float, float, float]:
    """LON,LAT[,HEIGHT] (degrees, metres) from one token; ValueError with the reason."""
    parts = [p.strip() for p in str(text).split(",")]
    if len(parts) not in (2, 3):
        raise ValueError(f"origin {text!r}: expected LON,LAT[,HEIGHT] (degrees, metres)")
    try:
        vals = [float(p) for p in parts]
    except ValueError:
        raise ValueError(f"origin {text!r}: expected LON,LAT[,HEIGHT] as numbers (degrees, metres)") from None
    return check_origin(vals)


def check_origin(origin: Sequence[float] | str) -> tuple[float, float, float]:
    if isinstance(origin, str):
        return parse_origin(origin)
    try:
        vals = [float(v) for v in origin]
    except (TypeError, ValueError):
        raise ValueError("origin must be (lon, lat[, height]) numbers") from None
    if len(vals) == 2:
        vals.append(0.0)
    if len(vals) != 3 or not all(math.isfinite(v) for v in vals):
        raise ValueError("origin must be (lon, lat[, height]): two or three finite numbers")
    lon, lat, h = vals
    if not -180.0 <= lon <= 180.0:
        raise ValueError(f"origin longitude {lon:g} is outside -180..180 degrees")
    if not -90.0 <= lat <= 90.0:
        raise ValueError(f"origin latitude {lat:g} is outside -90..90 degrees")
    return lon, lat, h


def enu_rotation(lon: float, lat: float) -> np.ndarray:
    """Rows: the east, north and up unit vectors in ECEF at (lon, lat) degrees."""
    lam, phi = math.radians(lon), math.radians(lat)
    sl, cl, sp, cp = math.sin(lam), math.cos(lam), math.sin(phi), math.cos(phi)
    return np.array([[-sl, cl, 0.0], [-sp * cl, -sp * sl, cp], [cp * cl, cp * sl, sp]])


def ecef_to_enu(pos: np.ndarray, origin: Sequence[float]) -> None:
    """ECEF positions (N, 3) into ENU metres about origin (lon, lat, h), in place."""
    o = geodetic_to_ecef(*origin)
    r = enu_rotation(origin[0], origin[1])
    pos -= o
    # einsum is several times faster than matmul for an (N, 3) x (3, 3) product.
    pos[:] = np.einsum("ij,nj->ni", r, pos, optimize=False)


# ---------------------------------------------------------------- pyproj targets

_local = threading.local()


def transformer(crs: str):
    """The Transformer EPSG:4978 -> crs (3D, x first) of this thread: pyproj's
    Transformers are not thread-safe, so each thread keeps its own, once per CRS.
    The operation is the one PROJ picks with the grids at hand (no network)."""
    cache = getattr(_local, "transformers", None)
    if cache is None:
        cache = _local.transformers = {}
    t = cache.get(crs)
    if t is None:
        from pyproj import Transformer
        from pyproj.network import is_network_enabled, set_network_enabled

        if is_network_enabled():
            set_network_enabled(False)  # never fetch grids while converting
        _, c3 = _pyproj_crs(crs)
        t = cache[crs] = Transformer.from_crs("EPSG:4978", c3, always_xy=True)
    return t


def pyproj_to_frame(pos: np.ndarray, crs: str) -> None:
    x, y, z = (np.ascontiguousarray(pos[:, k]) for k in range(3))
    transformer(crs).transform(x, y, z, inplace=True, errcheck=False)
    pos[:, 0], pos[:, 1], pos[:, 2] = x, y, z


def to_frame(ow, pos: np.ndarray, opts) -> None:
    """ECEF positions into the output frame of `opts`, in place."""
    crs = opts.crs
    if is_native(crs):
        ow.convert_crs(pos, crs)
    elif is_enu(crs):
        if opts.origin is None:
            raise ValueError("ENU output needs an origin")
        ecef_to_enu(pos, opts.origin)
    else:
        pyproj_to_frame(pos, crs)


# ---------------------------------------------------------------- the default ENU origin

def ecef_extent(bv: dict | None, matrix: Sequence[float] | np.ndarray) -> tuple[float, ...] | None:
    """(xmin, ymin, zmin, xmax, ymax, zmax) in ECEF of a bounding volume placed by a
    tile matrix (16 floats, row-major); None without a usable volume."""
    if not isinstance(bv, dict):
        return None
    m = np.asarray(matrix, dtype=np.float64).reshape(4, 4)
    try:
        if "region" in bv:
            w, s, e, n, h0, h1 = (float(v) for v in bv["region"][:6])
            if e < w:
                e += 2 * math.pi
            lam, phi, h = np.meshgrid(np.linspace(w, e, 5), np.linspace(s, n, 5), [h0, h1], indexing="ij")
            pts = geodetic_radians_to_ecef(lam, phi, h).reshape(-1, 3)
        elif "box" in bv:
            b = np.asarray(bv["box"], dtype=np.float64)
            c, axes = b[:3], b[3:12].reshape(3, 3)
            k = np.array([-1.0, 1.0])
            g = np.stack(np.meshgrid(k, k, k, indexing="ij"), axis=-1).reshape(-1, 3)
            pts = (c + g @ axes) @ m[:3, :3].T + m[:3, 3]
        elif "sphere" in bv:
            sph = np.asarray(bv["sphere"], dtype=np.float64)
            centre = m[:3, :3] @ sph[:3] + m[:3, 3]
            radius = float(sph[3]) * float(np.max(np.linalg.norm(m[:3, :3], axis=0)))
            pts = np.stack([centre - radius, centre + radius])
        else:
            return None
    except (TypeError, ValueError, IndexError):
        return None
    if not np.all(np.isfinite(pts)):
        return None
    return tuple(pts.min(axis=0).tolist() + pts.max(axis=0).tolist())


def origin_below(centre: np.ndarray) -> tuple[float, float, float]:
    """The ellipsoid point (height 0) below an ECEF point."""
    lon, lat = ecef_to_lonlat(np.asarray(centre, dtype=np.float64).reshape(1, 3))
    return float(lon[0]), float(lat[0]), 0.0


def _first_tile_centre(tasks) -> np.ndarray | None:
    """The centre of the extent of the first tile (in order) that gives positions, in ECEF."""
    from . import decoding
    from ._native import native
    from .errors import ConversionError
    from .pipeline import _location
    from .placement import place_asset
    from .records import Options

    ecef = Options(crs="EPSG:4978")
    for task in tasks:
        try:
            loc = _location(task)
            notes: list[str] = []
            meshes = [m for m in (place_asset(native(), a, task, ecef, notes)
                                  for a in decoding.decode(loc.read(), loc, notes)) if m is not None]
        except (ConversionError, ValueError, OSError):
            continue  # this tile fails again, with its reason, during the run
        meshes = [m for m in meshes if len(m.pos)]
        if meshes:
            lo = np.min([m.pos.min(axis=0) for m in meshes], axis=0)
            hi = np.max([m.pos.max(axis=0) for m in meshes], axis=0)
            return (lo + hi) / 2.0
    return None


def default_origin(tasks: list) -> tuple[float, float, float] | None:
    """The ENU origin of a run: the ellipsoid point below the centre of the selected
    tiles' bounding volumes; for inputs without any volume (bare tiles), below the
    centre of the first tile's positions. None when there is no tile at all;
    ValueError when the positions are not placed on the Earth."""
    boxes = [t.extent for t in tasks if getattr(t, "extent", None) is not None]
    if boxes:
        b = np.asarray(boxes, dtype=np.float64)
        return origin_below((b[:, :3].min(axis=0) + b[:, 3:].max(axis=0)) / 2.0)
    if not tasks:
        return None
    centre = _first_tile_centre(tasks)
    if centre is None:
        return None
    if float(np.linalg.norm(centre)) < NEAR_SURFACE:
        raise ValueError("ENU needs an origin: the tiles carry no bounding volume and the first tile's "
                         "positions are not on the Earth's surface; pass --origin=LON,LAT[,HEIGHT]")
    return origin_below(centre)


# ---------------------------------------------------------------- frame.json

def frame_document(opts, offset_file: str | None = None) -> dict:
    info = frame_info(opts.crs)
    doc: dict = {"crs": opts.crs, "crs_name": info.name, "axes": list(info.axes), "axis_units": list(info.units)}
    if info.height_added:
        doc["third_axis"] = "ellipsoidal height (WGS 84), metres"
    if info.kind == "enu":
        if opts.origin is not None:
            lon, lat, h = opts.origin
            o = geodetic_to_ecef(lon, lat, h)
            doc["origin"] = {"lon": lon, "lat": lat, "height": h}
            doc["origin_ecef"] = [float(v) for v in o]
            doc["rotation"] = enu_rotation(lon, lat).tolist()
            doc["to_ecef"] = "ecef = origin_ecef + transpose(rotation) @ (x, y, z)"
        else:
            doc["origin"] = None
    if offset_file:
        doc["offset_file"] = offset_file
    return doc


def write_frame_file(out_dir: Path, opts, offset_file: str | None = None) -> str:
    """frame.json in the output folder, written under a temporary name and renamed."""
    path = Path(out_dir) / "frame.json"
    tmp = path.with_name(f".frame.json.{uuid.uuid4().hex[:12]}.tmp")
    try:
        tmp.write_text(json.dumps(frame_document(opts, offset_file), indent=2) + "\n", encoding="utf-8")
        os.replace(tmp, path)
    finally:
        if tmp.exists():
            tmp.unlink()
    return str(path)

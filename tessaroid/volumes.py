"""Bounding volumes on the Earth: the longitude/latitude extent of a region, box or
sphere placed by a tile's matrix, and whether an extent meets a selection box.

Extents are (west, south, east, north) in degrees; west > east means the extent
crosses the antimeridian.
"""

from __future__ import annotations

import math

import numpy as np

A_WGS84 = 6378137.0
E2_WGS84 = 6.69437999014e-3


B_WGS84 = A_WGS84 * math.sqrt(1 - E2_WGS84)


def geodetic_to_ecef(lon_deg, lat_deg, h) -> np.ndarray:
    """ECEF positions of WGS 84 longitudes, latitudes (degrees) and ellipsoidal heights
    (metres): scalars give a (3,) array, arrays (..., 3)."""
    return geodetic_radians_to_ecef(np.radians(lon_deg), np.radians(lat_deg), h)


def geodetic_radians_to_ecef(lon, lat, h) -> np.ndarray:
    """`geodetic_to_ecef` with longitude and latitude in radians."""
    s = np.sin(lat)
    n = A_WGS84 / np.sqrt(1 - E2_WGS84 * s * s)
    return np.stack([(n + h) * np.cos(lat) * np.cos(lon),
                     (n + h) * np.cos(lat) * np.sin(lon),
                     (n * (1 - E2_WGS84) + h) * s], axis=-1)
EP2_WGS84 = E2_WGS84 / (1 - E2_WGS84)
# The 27 points (corners, edge and face centres, centre) of a unit box, as offsets
# along its three half-axes.
_BOX_POINTS = np.array([(i, j, k) for i in (-1.0, 0.0, 1.0) for j in (-1.0, 0.0, 1.0) for k in (-1.0, 0.0, 1.0)])


def ecef_to_lonlat(xyz: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Geodetic longitude and latitude in degrees of ECEF points (N, 3).

    Bowring's parametric start followed by one fixed-point step: within 1e-9 degrees
    for points from the Earth's centre region out to orbit heights, which is far
    finer than a selection box needs."""
    x, y, z = xyz[:, 0], xyz[:, 1], xyz[:, 2]
    p = np.hypot(x, y)
    beta = np.arctan2(z * A_WGS84, p * B_WGS84)
    sb, cb = np.sin(beta), np.cos(beta)
    lat = np.arctan2(z + EP2_WGS84 * B_WGS84 * sb ** 3, p - E2_WGS84 * A_WGS84 * cb ** 3)
    s = np.sin(lat)
    n = A_WGS84 / np.sqrt(1 - E2_WGS84 * s * s)
    lat = np.arctan2(z + E2_WGS84 * n * s, p)
    return np.degrees(np.arctan2(y, x)), np.degrees(lat)


def lon_arc(lons: np.ndarray) -> tuple[float, float]:
    """Smallest arc (west, east) in degrees covering all longitudes; west > east wraps."""
    s = np.sort(np.mod(lons + 180.0, 360.0) - 180.0)
    if len(s) == 1:
        return float(s[0]), float(s[0])
    gaps = np.diff(np.concatenate([s, [s[0] + 360.0]]))
    k = int(np.argmax(gaps))
    if k == len(s) - 1:
        return float(s[0]), float(s[-1])
    return float(s[k + 1]), float(s[k])


def volume_extent(bv: dict | None, matrix: np.ndarray) -> tuple[float, float, float, float] | None:
    """(west, south, east, north) degrees of a bounding volume; west > east means the
    extent crosses the antimeridian. None when there is no usable volume."""
    if not isinstance(bv, dict):
        return None
    try:
        if "region" in bv:
            w, s, e, n = (math.degrees(float(v)) for v in bv["region"][:4])
            return w, s, e, n
        if "box" in bv:
            b = np.asarray(bv["box"], dtype=np.float64)
            c, axes = b[:3], b[3:12].reshape(3, 3)
            pts = c + _BOX_POINTS @ axes
        elif "sphere" in bv:
            sp = np.asarray(bv["sphere"], dtype=np.float64)
            centre = matrix[:3, :3] @ sp[:3] + matrix[:3, 3]
            radius = float(sp[3]) * float(np.max(np.linalg.norm(matrix[:3, :3], axis=0)))
            dist = float(np.linalg.norm(centre))
            lon, lat = ecef_to_lonlat(centre[None, :])
            if dist <= radius:
                return -180.0, -90.0, 180.0, 90.0
            ang = math.degrees(math.asin(radius / dist))
            south, north = float(lat[0]) - ang, float(lat[0]) + ang
            if south <= -90 or north >= 90:
                return -180.0, max(south, -90.0), 180.0, min(north, 90.0)
            dlon = ang / max(math.cos(math.radians(max(abs(south), abs(north)))), 1e-12)
            if dlon >= 180:
                return -180.0, south, 180.0, north
            w = (float(lon[0]) - dlon + 180) % 360 - 180
            e = (float(lon[0]) + dlon + 180) % 360 - 180
            return w, south, e, north
        else:
            return None
    except (TypeError, ValueError, IndexError):
        return None
    world = pts @ matrix[:3, :3].T + matrix[:3, 3]
    lon, lat = ecef_to_lonlat(world)
    w, e = lon_arc(lon)
    return w, float(lat.min()), e, float(lat.max())


def _lon_pieces(w: float, e: float) -> list[tuple[float, float]]:
    if w <= e:
        return [(w, e)]
    return [(w, 180.0), (-180.0, e)]


def extent_meets(ext: tuple[float, float, float, float] | None, bbox: tuple[float, float, float, float]) -> bool:
    if ext is None:
        return True
    w, s, e, n = ext
    bw, bs, be, bn = bbox
    if n < bs or s > bn:
        return False
    return any(a0 <= b1 and b0 <= a1 for a0, a1 in _lon_pieces(w, e) for b0, b1 in _lon_pieces(bw, be))

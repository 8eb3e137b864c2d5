"""Walking a local 3D Tiles tile set: transforms, external tile sets, selection, naming."""

from __future__ import annotations

import json
import math
import re
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

A_WGS84 = 6378137.0
E2_WGS84 = 6.69437999014e-3


@dataclass
class TileNode:
    id: str
    depth: int
    matrix: np.ndarray  # tile frame -> ECEF (accumulated `transform`s)
    bounding_volume: dict | None
    y_up: bool  # glTF content of this tile set is y-up (the default)
    refine: str = "REPLACE"  # inherited from the parent when the tile does not say
    contents: list[tuple[Path, dict | None]] = field(default_factory=list)
    children: list["TileNode"] = field(default_factory=list)


@dataclass
class WalkError:
    source: str
    reason: str


@dataclass
class Selected:
    path: Path
    matrix: np.ndarray
    y_up: bool
    depth: int
    tile_id: str


def _tile_matrix(tile: dict, where: str) -> np.ndarray:
    t = tile.get("transform")
    if t is None:
        return np.eye(4)
    m = np.asarray(t, dtype=np.float64)
    if m.shape != (16,) or not np.all(np.isfinite(m)):
        raise ValueError(f"{where}: transform is not 16 finite numbers")
    return m.reshape(4, 4).T.copy()


def _content_uri(content: dict) -> str | None:
    uri = content.get("uri", content.get("url"))
    return None if uri is None else str(uri)


def _is_tileset_uri(uri: str) -> bool:
    return urllib.parse.urlparse(uri).path.lower().endswith(".json")


def load_tileset(path: Path, max_depth: int | None = None) -> tuple[TileNode | None, list[WalkError]]:
    """Read a tileset.json and every external tile set it references (down to
    max_depth), accumulating transforms. Problems become WalkErrors, not exceptions,
    so the rest of the tree still converts."""
    errors: list[WalkError] = []

    def read_json(p: Path) -> dict | None:
        try:
            doc = json.loads(p.read_text(encoding="utf-8-sig"))
        except OSError as exc:
            errors.append(WalkError(str(p), f"cannot read tile set ({exc.strerror or exc})"))
            return None
        except (UnicodeDecodeError, json.JSONDecodeError) as exc:
            errors.append(WalkError(str(p), f"tile set is not valid JSON ({exc})"))
            return None
        if not isinstance(doc, dict) or not isinstance(doc.get("root"), dict):
            errors.append(WalkError(str(p), "tile set has no root tile"))
            return None
        return doc

    def up_axis(doc: dict) -> bool:
        asset = doc.get("asset") or {}
        return str(asset.get("gltfUpAxis", "Y")).upper() != "Z"

    def build(tile: dict, parent: np.ndarray, depth: int, base: Path, y_up: bool, tid: str,
              chain: tuple[Path, ...], src: Path, refine: str = "REPLACE") -> TileNode | None:
        try:
            world = parent @ _tile_matrix(tile, f"tile {tid}")
        except (TypeError, ValueError) as exc:
            errors.append(WalkError(str(src), str(exc)))
            return None
        refine = str(tile.get("refine") or refine).upper()
        node = TileNode(id=tid, depth=depth, matrix=world, bounding_volume=tile.get("boundingVolume"),
                        y_up=y_up, refine=refine)
        if tile.get("implicitTiling") is not None:
            errors.append(WalkError(str(src), f"tile {tid}: implicit tiling is not supported"))
        contents = []
        if isinstance(tile.get("content"), dict):
            contents.append(tile["content"])
        contents += [c for c in (tile.get("contents") or []) if isinstance(c, dict)]
        for ci, content in enumerate(contents):
            uri = _content_uri(content)
            if uri is None:
                continue
            scheme = urllib.parse.urlparse(uri).scheme
            if scheme and len(scheme) > 1 and scheme != "file":
                errors.append(WalkError(uri, f"tile {tid}: only local content can be read, not {scheme}: URIs"))
                continue
            cpath = (base / urllib.parse.unquote(urllib.parse.urlparse(uri).path)).resolve()
            if _is_tileset_uri(uri):
                if max_depth is not None and depth + 1 > max_depth:
                    continue
                if cpath in chain:
                    errors.append(WalkError(str(cpath), "external tile set references itself (cycle)"))
                    continue
                sub = read_json(cpath)
                if sub is None:
                    continue
                child = build(sub["root"], world, depth + 1, cpath.parent, up_axis(sub),
                              f"{tid}/{cpath.name}", chain + (cpath,), cpath, refine)
                if child is not None:
                    node.children.append(child)
            else:
                node.contents.append((cpath, content.get("boundingVolume")))
        if max_depth is None or depth + 1 <= max_depth:
            for k, ch in enumerate(tile.get("children") or []):
                if isinstance(ch, dict):
                    child = build(ch, world, depth + 1, base, y_up, f"{tid}/{k}", chain, src, refine)
                    if child is not None:
                        node.children.append(child)
        return node

    path = path.resolve()
    doc = read_json(path)
    if doc is None:
        return None, errors
    root = build(doc["root"], np.eye(4), 0, path.parent, up_axis(doc), "root", (path,), path)
    return root, errors


# ---------------------------------------------------------------- geodesy for --bbox

def ecef_to_lonlat(xyz: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Geodetic longitude and latitude in degrees of ECEF points (N, 3)."""
    x, y, z = xyz[:, 0], xyz[:, 1], xyz[:, 2]
    p = np.hypot(x, y)
    lat = np.arctan2(z, p * (1 - E2_WGS84))
    for _ in range(5):
        s = np.sin(lat)
        n = A_WGS84 / np.sqrt(1 - E2_WGS84 * s * s)
        lat = np.arctan2(z + E2_WGS84 * n * s, p)
    return np.degrees(np.arctan2(y, x)), np.degrees(lat)


def _lon_arc(lons: np.ndarray) -> tuple[float, float]:
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
            k = np.array([-1.0, 0.0, 1.0])
            g = np.stack(np.meshgrid(k, k, k, indexing="ij"), axis=-1).reshape(-1, 3)
            pts = c + g @ axes
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
    w, e = _lon_arc(lon)
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


# ---------------------------------------------------------------- selection

def select_tiles(root: TileNode, leaves: bool = False, max_depth: int | None = None,
                 bbox: tuple[float, float, float, float] | None = None) -> list[Selected]:
    """Content of the tiles chosen, in depth-first document order.

    leaves: the finest level of detail: tiles without any content-bearing descendant
    (within max_depth), plus the content of tiles refined by ADD, which their
    children add to rather than replace. bbox: only content whose bounding volume (the content's
    own, else the tile's) meets the longitude/latitude box."""
    out: list[Selected] = []

    def has_content_below(node: TileNode) -> bool:
        for ch in node.children:
            if max_depth is not None and ch.depth > max_depth:
                continue
            if ch.contents or has_content_below(ch):
                return True
        return False

    def visit(node: TileNode) -> None:
        if max_depth is not None and node.depth > max_depth:
            return
        if node.contents and (not leaves or node.refine == "ADD" or not has_content_below(node)):
            for path, cbv in node.contents:
                if bbox is not None:
                    ext = volume_extent(cbv, node.matrix) if cbv else None
                    if ext is None:
                        ext = volume_extent(node.bounding_volume, node.matrix)
                    if not extent_meets(ext, bbox):
                        continue
                out.append(Selected(path=path, matrix=node.matrix, y_up=node.y_up, depth=node.depth,
                                    tile_id=node.id))
        for ch in node.children:
            visit(ch)

    visit(root)
    return out


_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")


def output_names(paths: list[Path], root_dirs: list[Path | None]) -> list[str]:
    """A distinct, file-system-safe base name per content: its path relative to its
    tile set's folder (root_dirs[i], or just the file name when None) with the
    extension dropped and separators turned into '_'."""
    names, seen = [], set()
    for p, root_dir in zip(paths, root_dirs):
        try:
            rel = p.resolve().relative_to(root_dir) if root_dir is not None else Path(p.name)
        except ValueError:
            rel = Path(p.name)
        stem = "_".join(rel.with_suffix("").parts)
        base = _UNSAFE.sub("_", stem).strip("._") or "tile"
        name, k = base, 2
        while name.lower() in seen:
            name = f"{base}_{k}"
            k += 1
        seen.add(name.lower())
        names.append(name)
    return names

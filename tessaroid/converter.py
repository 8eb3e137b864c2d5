"""Convert 3D-tile glTF content into Wavefront OBJ files, MTL files and texture images.

`convert` is the public entry point. It checks the options, opens every input through
the source layer, walks the tile sets lazily with the selection applied on the way
down, and hands each chosen content to a runner as a small task; the stages each
task goes through live in their own modules:

    sources -> tileset/implicit + selection -> decoding -> planning -> placement
    -> assembly -> writing, run by `running` (threads or Dask), one task by `pipeline`.
"""

from __future__ import annotations

import dataclasses
import os
import time
from pathlib import Path
from typing import Iterator, Sequence

import numpy as np

from . import frames
from ._native import native
from .errors import ConversionError
from .records import Options, Summary, TileResult, TileTask
from .job import run_job
from .selection import Namer, Selection, make_selection, walk
from .sources import FetchConfig, open_location, parse_header
from .tiles import WalkError
from .textures import reencode_pool
from .tileset import read_tileset

__all__ = ["convert", "Summary", "TileResult", "ConversionError", "SUPPORTED_CRS"]

SUPPORTED_CRS = ("EPSG:4978", "ECEF", "EPSG:3857", "EPSG:4326")
IDENTITY = tuple(np.eye(4).ravel().tolist())
PACKAGE_SUFFIXES = (".3tz", ".3dtiles")


def _looks_like_gltf(head: bytes) -> bool:
    return b'"root"' not in head and (b'"meshes"' in head or b'"accessors"' in head)


def _input_location(inp, fetch=None):
    text = os.fspath(inp)
    p = Path(text)
    if "://" not in text and p.is_dir() and (p / "tileset.json").is_file():
        text = str(p / "tileset.json")
    return open_location(text, fetch)


def _is_tileset(loc) -> tuple[bool, bytes | None]:
    """Whether the input is a tile set, and its bytes when they had to be read to
    tell (handed on, so that a remote tile set is not fetched twice)."""
    if loc.suffix in PACKAGE_SUFFIXES:
        return True, None
    if loc.suffix != ".json":
        return False, None
    if loc.scheme == "file":
        # On disk the first bytes tell, and the tile set is read once, by its reader:
        # a large tile set is then not held as bytes beside its parsed document.
        try:
            with open(loc.path, "rb") as fh:
                head = fh.read(4096)
        except OSError:
            return True, None  # reported as a tile set that cannot be read
        return head[:2] == b"\x1f\x8b" or not _looks_like_gltf(head), None
    try:
        data = loc.read()
    except ConversionError:
        return True, None  # reported as a tile set that cannot be read
    return not _looks_like_gltf(bytes(data[:4096])), data


def _headers(headers) -> tuple[tuple[str, str], ...]:
    if isinstance(headers, dict):
        return tuple((str(k), str(v)) for k, v in headers.items())
    return tuple(parse_header(h) if isinstance(h, str) else tuple(h) for h in headers)


def gather(inputs: Sequence, selection: Selection, errors: list[WalkError],
           fetch: FetchConfig | None = None, extents: bool = False) -> Iterator[TileTask]:
    """The tasks of all inputs, in order, lazily: tile sets are walked as the tasks
    are taken. `extents`: give each task its bounding volume's ECEF extent."""
    namer = Namer()
    index = 0
    for inp in inputs:
        loc = _input_location(inp, fetch)
        tileset, data = _is_tileset(loc)
        if tileset:
            root = read_tileset(loc, errors, data=data)
            del data  # the parsed tiles hold what the walk needs; the raw file can go
            if root is None:
                continue
            for s in walk([root], selection):
                cl = s.content.location
                # An implicit tile is named after its content's file alone; its
                # template (content_{level}__{x}_{y}) already makes the name unique.
                parts = cl.name_parts(loc) if not s.implicit else cl.name_parts(cl)[-1:]
                yield TileTask(index=index, source=cl.display, name=namer.name(parts), matrix=s.matrix,
                               y_up=s.y_up, location=cl,
                               extent=frames.ecef_extent(s.volume, s.matrix) if extents else None)
                index += 1
        else:
            yield TileTask(index=index, source=loc.display, name=namer.name(loc.name_parts(loc)),
                           matrix=IDENTITY, y_up=True, location=loc)
            index += 1


def convert(
    inputs: str | os.PathLike | Sequence[str | os.PathLike],
    output_dir: str | os.PathLike,
    *,
    crs: str = "EPSG:4978",
    origin: tuple[float, float] | tuple[float, float, float] | str | None = None,
    texture_format: str = "source",
    jpeg_quality: int = 90,
    leaves: bool = False,
    max_depth: int | None = None,
    bbox: tuple[float, float, float, float] | None = None,
    max_error: float | None = None,
    merge: bool | str = False,
    recenter: bool = False,
    workers: int | None = None,
    dask=None,
    progress: bool = False,
    headers: Sequence[str] | dict = (),
    textures: bool = True,
    downloads: int = 16,
    cache: str | os.PathLike | None = None,
    resume: bool = False,
) -> Summary:
    """Convert tiles into OBJ + MTL + texture files in `output_dir`.

    inputs: one path or a list of paths: .glb, .gltf (external .bin/images or data:
        URIs), .b3dm and .cmpt (composite of b3dm/glb) files, or local tileset.json
        files (a folder holding a tileset.json counts as that tile set).
    crs: "EPSG:4978" (ECEF, the default), "EPSG:3857" (Web Mercator), "EPSG:4326"
        (longitude and latitude in degrees, written with nine decimals, and height),
        "ENU" (local east-north-up metres about `origin`), or any other CRS pyproj
        knows ("EPSG:32618", a PROJ string, WKT), converted from EPSG:4978 in 3D (a 2D
        CRS gets the ellipsoidal height in metres as its third column). Every run
        writes frame.json, which names the frame (and the ENU origin).
    origin: the ENU origin (lon, lat[, height]) in degrees and metres on WGS 84, or
        "LON,LAT[,HEIGHT]"; by default the ellipsoid point below the centre of the
        selected tiles' bounding volumes (without any volume: below the centre of the
        first tile's positions).
    texture_format: "source" (default: PNG and JPEG images written as stored, other
        images as PNG, with v flipped in the vt lines), or "png" / "jpeg" ("jpg"):
        re-encoded with the image flipped; jpeg_quality 1..100.
    leaves: only the finest level of detail of each tile set (tiles with content and
        no content-bearing descendant); max_depth: only tiles down to this depth
        (the root is depth 0); bbox: (west, south, east, north) in degrees, only tiles
        whose bounding volume meets it; max_error: in each branch the coarsest tiles
        whose geometricError is at most this many metres (leaves are taken whatever
        their error). These apply to tile sets, not to bare files, and are decided on
        the way down: a branch outside the selection is never read.
    merge: write all selected tiles into one OBJ (named "merged", or the given name)
        with one material group per tile material, instead of one OBJ per tile.
    recenter: move all written OBJ files by the centre of their common extent and
        write that offset into offset.json (add it back to restore the coordinates).
    workers: thread-pool size (default: the CPU count). dask: a Dask scheduler address
        or a distributed.Client; tiles then run on that cluster, which must share the
        output folder.
    progress: show a progress bar on stderr (only when stderr is a terminal): tiles
        done of those selected so far, tiles per second, bytes downloaded, retries.
    headers: HTTP headers sent with every request of a remote input, as a dict or as
        "Name: value" strings (for instance an Authorization header).
    textures: False writes geometry and texture coordinates but no image files (no
        map_Kd; no image is read or decoded), e.g. for tiles whose textures are
        KTX2 / Basis Universal.
    downloads: contents fetched at once from remote sources, beside the `workers`
        converting (default 16). cache: a folder keeping downloaded bytes for later
        runs.
    resume: convert only the tiles that an earlier run into the same output folder
        with the same inputs and options did not finish (a manifest in the folder,
        written by every run, records them); other options or inputs raise
        ValueError.

    Returns a Summary; a tile that fails is listed in Summary.failures with its reason
    and the others are still converted.
    """
    t0 = time.perf_counter()
    crs = "EPSG:4978" if crs is None else str(crs)
    frames.frame_info(crs)  # an unknown CRS fails here, before any tile is read
    if origin is not None:
        if not frames.is_enu(crs):
            raise ValueError("an origin only applies to crs ENU")
        origin = frames.check_origin(origin)
    texture_format = str(texture_format).lower()
    if texture_format == "jpg":
        texture_format = "jpeg"
    if texture_format not in ("source", "png", "jpeg"):
        raise ValueError(f"unsupported texture format {texture_format!r}; choose source, png or jpeg")
    if not 1 <= int(jpeg_quality) <= 100:
        raise ValueError("jpeg_quality must lie in 1..100")
    selection = make_selection(leaves, max_depth, bbox, max_error)
    opts = Options(crs=crs, texture_format=texture_format, jpeg_quality=int(jpeg_quality), merge=bool(merge),
                   textures=bool(textures), origin=origin)  # type: ignore[arg-type]
    if recenter and opts.geographic:
        raise ValueError("--recenter needs a metric CRS: the shift rewrites vertices with six decimals, "
                         "about 0.1 m in degrees; use EPSG:4978, EPSG:3857, ENU or a projected CRS")
    merge_name = merge if isinstance(merge, str) and merge else "merged"
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    out_dir = Path(output_dir)
    native()  # fail early and clearly when the module is missing

    if int(downloads) < 1:
        raise ValueError("downloads must be 1 or more")
    fetch = FetchConfig(headers=_headers(headers), cache_dir=None if cache is None else os.fspath(cache),
                        downloads=int(downloads))
    inputs = list(inputs)
    # What makes two runs' outputs the same; header values (credentials) stay out.
    fingerprint = {
        "inputs": [_input_location(i, fetch).display for i in inputs],
        "crs": opts.crs, "texture_format": opts.texture_format, "jpeg_quality": opts.jpeg_quality,
        "merge": merge_name if opts.merge else False, "recenter": bool(recenter),
        "origin": list(opts.origin) if opts.origin is not None else None, "textures": opts.textures,
        "selection": {"leaves": selection.leaves, "max_depth": selection.max_depth,
                      "bbox": list(selection.bbox) if selection.bbox is not None else None,
                      "max_error": selection.max_error},
    }
    walk_errors: list[WalkError] = []
    tasks: Iterator[TileTask] | list[TileTask]
    if frames.is_enu(crs) and opts.origin is None:
        # The default origin is the same for every tile of the run, so the selection
        # is gathered before the conversion starts (in this case only).
        tasks = list(gather(inputs, selection, walk_errors, fetch, extents=True))
        opts = dataclasses.replace(opts, origin=frames.default_origin(tasks))
    else:
        tasks = gather(inputs, selection, walk_errors, fetch)
    out_dir.mkdir(parents=True, exist_ok=True)
    frame_file = frames.write_frame_file(out_dir, opts)
    n = workers or os.cpu_count() or 1
    with reencode_pool(n if not opts.keep_images else 1):
        summary = run_job(tasks, walk_errors, out_dir, opts, fingerprint=fingerprint, resume=bool(resume),
                          merge_name=merge_name, recenter=bool(recenter), workers=n,
                          downloads=int(downloads), dask=dask, progress=progress)
    summary.frame_file, summary.origin = frame_file, opts.origin
    if summary.offset_file:
        frames.write_frame_file(out_dir, opts, Path(summary.offset_file).name)
    summary.seconds = time.perf_counter() - t0
    return summary

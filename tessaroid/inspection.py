"""`tessaroid inspect`: what a conversion would take, without fetching any content.

The tile set is walked exactly as a conversion walks it under the same selection, so
tile set JSONs and subtrees are read only as far as the selection reaches. Per depth
it counts the tiles and contents met, the geometric error range and the lon/lat
extent of the tiles' bounding volumes; it counts content kinds by extension, and how
many contents the selection keeps.
"""

from __future__ import annotations

import json
import math
import time
from collections import Counter
from dataclasses import dataclass, field

import numpy as np

from .selection import Selection, Walk, make_selection
from .tiles import Tile, WalkError
from .volumes import lon_arc, volume_extent


@dataclass
class DepthStats:
    tiles: int = 0
    contents: int = 0
    error_min: float = math.inf
    error_max: float = -math.inf
    south: float = math.inf
    north: float = -math.inf
    lons: list[float] = field(default_factory=list)  # arc ends of the tiles' extents

    def add(self, tile: Tile) -> None:
        self.tiles += 1
        self.contents += len(tile.contents)
        if tile.geometric_error is not None:
            self.error_min = min(self.error_min, tile.geometric_error)
            self.error_max = max(self.error_max, tile.geometric_error)
        ext = volume_extent(tile.bounding_volume, tile.matrix) if tile.bounding_volume else None
        if ext is not None:
            w, s, e, n = ext
            self.south, self.north = min(self.south, s), max(self.north, n)
            if w > e:  # across the antimeridian: keep a point inside the arc too
                self.lons += [w, 180.0, e]
            else:
                self.lons += [w, (w + e) / 2, e]
            if len(self.lons) > 3000:  # fold: the covering arc of the points so far
                a, b = lon_arc(np.asarray(self.lons))
                mid = (a + b) / 2 if a <= b else ((a + b + 360) / 2 + 180) % 360 - 180
                self.lons = [a, mid, b]

    def extent(self) -> list[float] | None:
        if not self.lons:
            return None
        w, e = lon_arc(np.asarray(self.lons))
        return [w, self.south, e, self.north]


@dataclass
class Inspection:
    input: str
    depths: dict[int, DepthStats] = field(default_factory=dict)
    kinds: Counter = field(default_factory=Counter)
    selected: int = 0
    errors: list[WalkError] = field(default_factory=list)
    seconds: float = 0.0

    def as_dict(self) -> dict:
        def num(v):
            return None if not math.isfinite(v) else v

        return {
            "input": self.input,
            "tiles": sum(d.tiles for d in self.depths.values()),
            "contents": sum(d.contents for d in self.depths.values()),
            "selected_contents": self.selected,
            "depths": [{"depth": k, "tiles": d.tiles, "contents": d.contents,
                        "geometric_error": [num(d.error_min), num(d.error_max)], "extent": d.extent()}
                       for k, d in sorted(self.depths.items())],
            "content_kinds": dict(sorted(self.kinds.items())),
            "errors": [{"source": e.source, "reason": e.reason} for e in self.errors],
            "seconds": round(self.seconds, 3),
        }

    def text(self) -> str:
        d = self.as_dict()
        lines = [f"{d['input']}: {d['tiles']} tiles, {d['contents']} contents met; "
                 f"the selection keeps {d['selected_contents']} contents"]
        lines.append(f"{'depth':>5} {'tiles':>8} {'contents':>8}  {'geometric error':<23} extent (W,S,E,N degrees)")
        for row in d["depths"]:
            lo, hi = row["geometric_error"]
            err = "-" if lo is None else f"{lo:g} .. {hi:g}"
            ext = "-" if row["extent"] is None else ", ".join(f"{v:.6f}" for v in row["extent"])
            lines.append(f"{row['depth']:>5} {row['tiles']:>8} {row['contents']:>8}  {err:<23} {ext}")
        kinds = ", ".join(f"{k or '(none)'} {n}" for k, n in d["content_kinds"].items()) or "none"
        lines.append(f"content kinds: {kinds}")
        for e in d["errors"]:
            lines.append(f"error: {e['source']}: {e['reason']}")
        return "\n".join(lines)


def inspect_tileset(root: Tile | None, selection: Selection, input_name: str,
                    errors: list[WalkError]) -> Inspection:
    """Walk `root` under `selection` and gather the statistics; `errors` is the list
    the tile set readers append to (it is shared with the walk)."""
    t0 = time.perf_counter()
    out = Inspection(input=input_name, errors=errors)

    def seen(tile: Tile) -> None:
        out.depths.setdefault(tile.depth, DepthStats()).add(tile)
        for c in tile.contents:
            out.kinds[c.location.suffix] += 1

    if root is not None:
        for _ in Walk(selection, on_visit=seen).visit(root):
            out.selected += 1
    out.seconds = time.perf_counter() - t0
    return out


def inspect(input, *, leaves: bool = False, max_depth: int | None = None, bbox=None,
            max_error: float | None = None, fetch=None) -> Inspection:
    """Describe the tile set `input` (path, URL or package) under a selection."""
    from .converter import _input_location
    from .tileset import read_tileset

    selection = make_selection(leaves, max_depth, bbox, max_error)
    loc = _input_location(input, fetch)
    errors: list[WalkError] = []
    return inspect_tileset(read_tileset(loc, errors), selection, loc.display, errors)


def to_json(ins: Inspection) -> str:
    return json.dumps(ins.as_dict(), indent=2)

"""Which tiles a conversion takes, decided tile by tile on the way down.

The traversal is depth-first in document order and lazy: a tile's depth and
bounding volume are tested before its children (external tile sets, implicit
subtrees) are read, so a branch outside the selection is never fetched.

- default: the content of every tile visited;
- `leaves`: the finest level of detail: tiles without content-bearing descendants
  (within the selection), plus the content of ADD-refined tiles, which their
  children add to rather than replace;
- `max_error` M: in each branch the coarsest tiles whose geometricError is at most M;
  a tile above M is refined into its children (its content kept when it refines by
  ADD), and a tile without children is taken whatever its error;
- `max_depth` N: nothing below depth N (the root is 0);
- `bbox` (west, south, east, north) degrees: only tiles and contents whose bounding
  volume meets it.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Iterable, Iterator

import numpy as np

from .tiles import Content, Tile, WalkError
from .volumes import extent_meets, volume_extent


@dataclass(frozen=True)
class Selection:
    leaves: bool = False
    max_depth: int | None = None
    bbox: tuple[float, float, float, float] | None = None
    max_error: float | None = None


@dataclass(frozen=True)
class Selected:
    """One content chosen for conversion, with what placing it needs."""

    content: Content
    matrix: tuple  # 16 floats, row-major: tile frame -> ECEF
    y_up: bool
    depth: int
    tile_id: str
    implicit: bool = False


def make_selection(leaves: bool = False, max_depth: int | None = None, bbox=None,
                   max_error: float | None = None) -> Selection:
    """A checked Selection; ValueError says what is wrong."""
    if max_depth is not None and max_depth < 0:
        raise ValueError("max_depth must be 0 or more")
    if max_error is not None:
        max_error = float(max_error)
        if not max_error >= 0:
            raise ValueError("max_error must be 0 or more (metres)")
        if leaves:
            raise ValueError("leaves and max_error choose different levels of detail; pass one of them")
    if bbox is not None:
        bbox = tuple(float(v) for v in bbox)
        if len(bbox) != 4 or not (-90 <= bbox[1] <= bbox[3] <= 90) or not all(-180 <= v <= 180 for v in bbox[::2]):
            raise ValueError("bbox must be WEST,SOUTH,EAST,NORTH in degrees with SOUTH <= NORTH")
    return Selection(leaves=bool(leaves), max_depth=max_depth, bbox=bbox, max_error=max_error)


def _meets(bv: dict | None, matrix: np.ndarray, bbox) -> bool:
    return bbox is None or extent_meets(volume_extent(bv, matrix) if bv else None, bbox)


class Walk:
    """A lazy traversal of one tile tree under a selection."""

    def __init__(self, selection: Selection, on_visit=None):
        self.sel = selection
        self.on_visit = on_visit  # called with every tile the walk enters

    def _in_depth(self, tile: Tile) -> bool:
        return self.sel.max_depth is None or tile.depth <= self.sel.max_depth

    def _enter(self, tile: Tile) -> bool:
        """Depth and volume tests, the volume tested before the tile's own data is
        read when it is already known (implicit tiles), and again after."""
        if not self._in_depth(tile):
            return False
        known = tile.bounding_volume is not None
        if known and not _meets(tile.bounding_volume, tile.matrix, self.sel.bbox):
            return False
        tile.load()
        return known or _meets(tile.bounding_volume, tile.matrix, self.sel.bbox)

    def _children(self, tile: Tile) -> list[Tile]:
        return [c for c in tile.children() if self._in_depth(c)]

    def _has_content_below(self, tile: Tile) -> bool:
        for ch in self._children(tile):
            if self._enter(ch) and (ch.contents or self._has_content_below(ch)):
                return True
        return False

    def _take(self, tile: Tile) -> Iterator[Selected]:
        matrix = tuple(np.asarray(tile.matrix, dtype=np.float64).ravel().tolist())
        for c in tile.contents:
            if self.sel.bbox is not None:
                bv = c.bounding_volume or tile.bounding_volume
                if not _meets(bv, tile.matrix, self.sel.bbox):
                    continue
            yield Selected(content=c, matrix=matrix, y_up=tile.y_up, depth=tile.depth, tile_id=tile.id,
                           implicit=tile.implicit)

    def visit(self, tile: Tile) -> Iterator[Selected]:
        if not self._enter(tile):
            return
        if self.on_visit is not None:
            self.on_visit(tile)
        try:
            yield from self._visit_entered(tile)
        finally:
            tile._children = None  # the subtree is done: let its records go

    def _visit_entered(self, tile: Tile) -> Iterator[Selected]:
        sel = self.sel
        kids = self._children(tile)
        if sel.max_error is not None:
            err = tile.geometric_error
            if err is not None and err <= sel.max_error:
                yield from self._take(tile)
                # Only an external tile set's root continues a branch that is fine enough.
                kids = [k for k in kids if k.geometric_error is None and not k.implicit and k.loader is not None]
            elif kids and tile.refine != "ADD":
                pass
            else:
                yield from self._take(tile)
        elif not sel.leaves or tile.refine == "ADD" or not self._has_content_below(tile):
            yield from self._take(tile)
        for ch in kids:
            yield from self.visit(ch)


def walk(roots: Iterable[Tile], selection: Selection) -> Iterator[Selected]:
    w = Walk(selection)
    for root in roots:
        yield from w.visit(root)


_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")


class Namer:
    """A distinct, file-system-safe base name per content, in the order asked: its path
    relative to its tile set's folder with the extension dropped and separators turned
    into '_' (an implicit tile's: its file name alone)."""

    def __init__(self) -> None:
        self.seen: set[str] = set()

    def name(self, parts: tuple[str, ...]) -> str:
        parts = tuple(parts) or ("tile",)
        last = parts[-1]
        dot = last.rfind(".")
        if dot > 0:
            last = last[:dot]
        stem = "_".join(parts[:-1] + (last,))
        base = _UNSAFE.sub("_", stem).strip("._") or "tile"
        name, k = base, 2
        while name.lower() in self.seen:
            name = f"{base}_{k}"
            k += 1
        self.seen.add(name.lower())
        return name


__all__ = ["Selection", "Selected", "walk", "Namer", "WalkError"]

"""The records the traversal hands on: a tile of a tile set and the contents it carries.

Explicit tile sets (tileset.json trees) and implicit ones (3D Tiles 1.1 subtrees)
both produce `Tile`s. A tile knows its depth, its geometric error, its bounding
volume in its own frame with the matrix that takes that frame to ECEF, and how to
produce its children *when asked*: nothing below a tile is fetched until the
traversal decides to go further, so a selection that leaves a branch out never
reads the external tile sets or subtrees inside it.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np


@dataclass(frozen=True)
class Content:
    """One content of a tile: where its bytes are and its own bounding volume, if any."""

    location: Any  # a sources.Location
    bounding_volume: dict | None = None


@dataclass
class Tile:
    id: str
    depth: int
    matrix: np.ndarray  # 4x4, tile frame -> ECEF (the accumulated `transform`s)
    bounding_volume: dict | None
    geometric_error: float | None
    refine: str = "REPLACE"  # "ADD" or "REPLACE", inherited from the parent when the tile does not say
    y_up: bool = True  # the tile set's glTF content is y-up (the default)
    contents: list[Content] = field(default_factory=list)
    # Children, computed on the first call and kept; a problem reading them is
    # reported through the traversal's error list, not raised.
    expand: Callable[[], list["Tile"]] | None = None
    # True when the tile certainly has no children (a leaf); False when it has or may have.
    leaf: bool = False
    implicit: bool = False  # a tile of an implicit tile set (named after its content's file alone)
    # For a tile whose own data has not been read yet (the root of an implicit
    # subtree, whose content availability lives in that subtree): fills in
    # `contents`, `leaf` and `expand`. The traversal calls `load()` only for a tile
    # it has decided to visit, after testing depth and bounding volume.
    loader: Callable[["Tile"], None] | None = None
    _children: list["Tile"] | None = field(default=None, repr=False)

    def load(self) -> None:
        if self.loader is not None:
            loader, self.loader = self.loader, None
            loader(self)

    def children(self) -> list["Tile"]:
        self.load()
        if self._children is None:
            self._children = self.expand() if self.expand is not None else []
        return self._children


@dataclass(frozen=True)
class WalkError:
    """A part of a tile set that could not be read: `source` names the file or URL."""

    source: str
    reason: str

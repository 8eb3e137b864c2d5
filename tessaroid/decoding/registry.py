"""Content readers keyed by the first bytes of the content.

A reader takes (data, base location, notes, nesting depth, what) and returns the
glTF assets the content holds; `what` names the content in messages of nested
readers ("inner tile 2"). The format modules register themselves in
`tessaroid.decoding`.
"""

from __future__ import annotations

from typing import Callable

READERS: dict[bytes, Callable] = {}
# Kinds recognised by their magic that hold no triangle meshes this converter reads.
UNSUPPORTED: dict[bytes, str] = {
    b"pnts": "point cloud (pnts)",
    b"vctr": "vector (vctr)",
    b"geom": "geometry (geom)",
}


def register(magic: bytes, reader: Callable) -> None:
    READERS[magic] = reader

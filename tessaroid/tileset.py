"""Explicit 3D Tiles tile sets (tileset.json trees), read lazily.

`read_tileset` returns the root `Tile` of a tile set. Each tile's children are built
from the JSON only when the traversal asks for them, and an external tile set (a
content whose URI names a .json tile set or a .3tz/.3dtiles package) becomes a child
whose JSON is fetched only when the traversal visits that child. Transforms
accumulate down the tree; `refine` is inherited; an external tile set's root counts
one level deeper than the tile that references it.

Problems become `WalkError`s in the caller's list, not exceptions, so the rest of
the tree still converts.
"""

from __future__ import annotations

import json
import urllib.parse

import numpy as np

from .errors import ConversionError
from .tiles import Content, Tile, WalkError

# An external tile set that includes itself through others does not always repeat
# its own address exactly (session parameters change); nesting this deep ends it.
MAX_NESTING = 64
TILESET_SUFFIXES = (".json", ".3tz", ".3dtiles")


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


def is_tileset_uri(uri: str) -> bool:
    return urllib.parse.urlparse(uri).path.lower().endswith(TILESET_SUFFIXES)


def reason_of(exc: Exception, location) -> str:
    """The message of a source error without the location it starts with (the
    caller reports the location separately)."""
    if getattr(exc, "reason", None):
        return str(exc.reason)
    text = str(exc)
    prefix = f"{location.display}: "
    return text[len(prefix):] if text.startswith(prefix) else text


def read_tileset_json(location, errors: list[WalkError], data: bytes | None = None) -> dict | None:
    try:
        raw = location.read() if data is None else data
    except ConversionError as exc:
        errors.append(WalkError(location.display, f"cannot read tile set ({reason_of(exc, location)})"))
        return None
    try:
        text = bytes(raw).decode("utf-8-sig")
        del raw, data  # only the text from here: a large tile set is not held twice
        doc = json.loads(text)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        errors.append(WalkError(location.display, f"tile set is not valid JSON ({exc})"))
        return None
    if not isinstance(doc, dict) or not isinstance(doc.get("root"), dict):
        errors.append(WalkError(location.display, "tile set has no root tile"))
        return None
    return doc


def _y_up(doc: dict) -> bool:
    asset = doc.get("asset") or {}
    return str(asset.get("gltfUpAxis", "Y")).upper() != "Z" if isinstance(asset, dict) else True


def read_tileset(location, errors: list[WalkError], *, depth: int = 0, matrix: np.ndarray | None = None,
                 refine: str = "REPLACE", tile_id: str = "root", chain: tuple[str, ...] = (),
                 data: bytes | None = None) -> Tile | None:
    """The root tile of the tile set at `location` (its bytes `data` when already
    read), or None when it cannot be read."""
    doc = read_tileset_json(location, errors, data)
    if doc is None:
        return None
    return _build(doc["root"], matrix if matrix is not None else np.eye(4), depth, location, _y_up(doc),
                  tile_id, chain + (location.key,), refine, errors)


def _external_root(location, parent: Tile, tid: str, chain: tuple[str, ...], errors: list[WalkError]) -> Tile:
    """A child standing for an external tile set's root; its JSON is read when the
    traversal visits it."""
    placeholder = Tile(id=tid, depth=parent.depth + 1, matrix=parent.matrix, bounding_volume=None,
                       geometric_error=None, refine=parent.refine, y_up=parent.y_up)

    def load(tile: Tile) -> None:
        if location.key in chain:
            errors.append(WalkError(location.display, "external tile set references itself (cycle); "
                                    "the tile set's structure never ends"))
            tile.leaf = True
            return
        if len(chain) >= MAX_NESTING:
            errors.append(WalkError(location.display, f"external tile sets nested more than {MAX_NESTING} "
                                    "deep; the tile set's structure never ends"))
            tile.leaf = True
            return
        root = read_tileset(location, errors, depth=tile.depth, matrix=parent.matrix, refine=parent.refine,
                            tile_id=tid, chain=chain)
        if root is None:
            tile.leaf = True
            return
        root.load()
        for name in ("bounding_volume", "geometric_error", "refine", "y_up", "matrix", "contents", "expand",
                     "leaf", "implicit"):
            setattr(tile, name, getattr(root, name))

    placeholder.loader = load
    return placeholder


def _build(tile: dict, parent_matrix: np.ndarray, depth: int, base, y_up: bool, tid: str,
           chain: tuple[str, ...], refine: str, errors: list[WalkError]) -> Tile | None:
    try:
        world = parent_matrix @ _tile_matrix(tile, f"tile {tid}")
    except (TypeError, ValueError) as exc:
        errors.append(WalkError(base.display, str(exc)))
        return None
    refine = str(tile.get("refine") or refine).upper()
    try:
        gerr = float(tile["geometricError"]) if tile.get("geometricError") is not None else None
    except (TypeError, ValueError):
        gerr = None
    if tile.get("implicitTiling") is not None:
        from .implicit import implicit_root

        try:
            return implicit_root(tile, tile_id=tid, depth=depth, matrix=world, refine=refine, y_up=y_up,
                                 base=base, errors=errors)
        except ConversionError as exc:
            errors.append(WalkError(base.display, str(exc)))
            return None
    node = Tile(id=tid, depth=depth, matrix=world, bounding_volume=tile.get("boundingVolume"),
                geometric_error=gerr, refine=refine, y_up=y_up)
    externals: list[tuple[object, str]] = []
    contents = []
    if isinstance(tile.get("content"), dict):
        contents.append(tile["content"])
    contents += [c for c in (tile.get("contents") or []) if isinstance(c, dict)]
    for content in contents:
        uri = _content_uri(content)
        if uri is None:
            continue
        try:
            loc = base.join(uri)
        except ConversionError as exc:
            errors.append(WalkError(uri, f"tile {tid}: {exc}"))
            continue
        if is_tileset_uri(uri):
            externals.append((loc, f"{tid}/{uri.rsplit('/', 1)[-1].split('?')[0]}"))
        else:
            node.contents.append(Content(location=loc, bounding_volume=content.get("boundingVolume")))
    kids = [ch for ch in (tile.get("children") or []) if isinstance(ch, dict)]

    # The children's JSON is handed over once: the child tiles hold what they need,
    # and a walk through a large tile set then does not keep the whole parsed
    # document until its end (Tile.children() keeps the built list).
    unbuilt = [(externals, kids)]

    def expand() -> list[Tile]:
        if not unbuilt:
            raise RuntimeError(f"tile {tid}: children already built once")
        ext, kid_dicts = unbuilt.pop()
        out = [_external_root(loc, node, etid, chain, errors) for loc, etid in ext]
        for k, ch in enumerate(kid_dicts):
            child = _build(ch, world, depth + 1, base, y_up, f"{tid}/{k}", chain, refine, errors)
            if child is not None:
                out.append(child)
        return out

    node.expand = expand
    node.leaf = not externals and not kids
    return node

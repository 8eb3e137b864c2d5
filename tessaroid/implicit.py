"""Implicit tiling (3D Tiles 1.1): a quadtree or octree of tiles described by subtree files.

A tile with `implicitTiling` stands for a whole tree: its bounding volume is split
evenly per level, its geometric error halves per level, and which tiles exist and
which carry content is told by availability bits in subtree files, each covering
`subtreeLevels` levels. `implicit_root` turns such a tile into a `Tile` whose
children are produced on demand: a subtree is read only when the traversal loads
the tile at its root, so nothing below an unvisited tile is fetched.

Subtree files come binary (magic ``subt``, a JSON chunk and a binary chunk) or as
plain JSON with external buffers. Availability is a constant or a bitstream: one
bit per tile, levels one after the other, each level in Morton (Z-order) order of
the tiles relative to the subtree root, least significant bit first in each byte.
Every length is checked against the bytes actually present before it is used, so
a hostile subtree costs no more memory than its own size.
"""

from __future__ import annotations

import base64
import binascii
import json
import math
import re
import struct
import urllib.parse
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from .errors import ConversionError
from tessaroid.tiles import Content, Tile, WalkError

SUBTREE_MAGIC = b"subt"
SUBTREE_HEADER = struct.Struct("<4sIQQ")  # magic, version, JSON chunk length, binary chunk length
# A subtree of 20 levels holds (8**20 - 1) / 7 tiles: its bitstreams alone would be
# terabytes. Real tile sets use a handful of levels per subtree.
MAX_SUBTREE_LEVELS = 19
# Tile coordinates at level 30 already count 2**30 tiles per axis.
MAX_AVAILABLE_LEVELS = 30
SCHEMES = {"QUADTREE": 4, "OCTREE": 8}

_TEMPLATE = re.compile(r"\{(level|x|y|z)\}")


class ImplicitError(ConversionError):
    """An implicit tile set or subtree that cannot be read; the message says why."""


# ------------------------------------------------------------------ templates and volumes


def expand_template(template: str, level: int, x: int, y: int, z: int | None = None) -> str:
    """The URI of one tile: `{level}`, `{x}`, `{y}` (and `{z}` when given) replaced by its
    coordinates. Anything else in the template is left as it is."""
    values = {"level": level, "x": x, "y": y}
    if z is not None:
        values["z"] = z

    def repl(m: re.Match) -> str:
        key = m.group(1)
        return str(values[key]) if key in values else m.group(0)

    return _TEMPLATE.sub(repl, template)


def _edge(lo: float, hi: float, i: int, n: int) -> float:
    """The i-th of n + 1 evenly spaced values from lo to hi. The same expression for the
    same (i, n) everywhere, and i / n is exact for a power of two n, so neighbouring
    tiles share their edges bit for bit and the outer edges are lo and hi themselves."""
    if i >= n:
        return hi
    return lo + (hi - lo) * (i / n)


def tile_volume(volume: dict, scheme: str, level: int, x: int, y: int, z: int = 0) -> dict:
    """The bounding volume of tile (level, x, y[, z]) of an implicit tree whose root has
    `volume` ({"region": [...]} or {"box": [...]}, as the root tile gives it).

    A region splits west..east and south..north evenly in radians (an OCTREE also
    minimum..maximum height); a box splits along its half-axes (x and y, and z for an
    OCTREE). x grows eastwards / along the box's first axis, y northwards / along the
    second, z upwards / along the third."""
    n = 1 << level
    octree = scheme == "OCTREE"
    if "region" in volume:
        west, south, east, north, low, high = (float(v) for v in volume["region"])
        wraps = east < west  # the region crosses the antimeridian
        if wraps:
            east += 2 * math.pi
        w, e = _edge(west, east, x, n), _edge(west, east, x + 1, n)
        if wraps:
            w = w - 2 * math.pi if w > math.pi else w
            e = e - 2 * math.pi if e > math.pi else e
        s, nn = _edge(south, north, y, n), _edge(south, north, y + 1, n)
        if octree:
            low, high = _edge(low, high, z, n), _edge(low, high, z + 1, n)
        return {"region": [w, s, e, nn, low, high]}
    if "box" in volume:
        box = np.asarray(volume["box"], dtype=np.float64)
        center, axes = box[:3], box[3:].reshape(3, 3)
        # Each split axis: the tile's slot [i, i + 1] of n maps to [-1, 1] of the root.
        out_center = center.copy()
        out_axes = axes.copy()
        for k, i in enumerate((x, y, z) if octree else (x, y)):
            offset = (2 * i + 1) / n - 1.0
            out_center = out_center + axes[k] * offset
            out_axes[k] = axes[k] / n
        return {"box": [float(v) for v in np.concatenate([out_center, out_axes.ravel()])]}
    raise ImplicitError("implicit tiling needs a region or box bounding volume to subdivide")


# ------------------------------------------------------------------ subtrees


@dataclass(frozen=True)
class Availability:
    """One availability: a constant, or a bitstream at least as long as its bit count."""

    constant: bool = False
    bits: bytes | None = None

    def __call__(self, index: int) -> bool:
        if self.bits is None:
            return self.constant
        byte = index >> 3
        return byte < len(self.bits) and bool(self.bits[byte] >> (index & 7) & 1)


@dataclass(frozen=True)
class Subtree:
    """The availability of one subtree: tiles, each content, and the child subtrees."""

    branching: int  # 4 for a quadtree, 8 for an octree
    levels: int
    tiles: Availability
    contents: tuple[Availability, ...]
    child_subtrees: Availability

    def _index(self, level: int, morton: int) -> int:
        n = self.branching
        return (n ** level - 1) // (n - 1) + morton

    def tile_available(self, level: int, morton: int) -> bool:
        """Tile at `level` (0 = the subtree root) with Morton index `morton` within that level."""
        return self.tiles(self._index(level, morton))

    def content_available(self, content: int, level: int, morton: int) -> bool:
        return content < len(self.contents) and self.contents[content](self._index(level, morton))

    def child_subtree_available(self, morton: int) -> bool:
        """Child subtree whose root has Morton index `morton` at level `levels` below this root."""
        return self.child_subtrees(morton)


def _count(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ImplicitError(f"{what} must be a non-negative integer, not {value!r}"[:200])
    return value


def _data_uri(uri: str) -> bytes:
    head, sep, payload = uri.partition(",")
    if not sep:
        raise ImplicitError("malformed data URI buffer")
    if head.endswith(";base64"):
        try:
            return base64.b64decode(payload, validate=True)
        except (binascii.Error, ValueError) as e:
            raise ImplicitError(f"data URI buffer is not valid base64: {e}") from None
    return urllib.parse.unquote_to_bytes(payload)


class _SubtreeReader:
    def __init__(self, doc: dict, binary: bytes | None, read_buffer: Callable[[str], bytes] | None):
        self.doc = doc
        self.binary = binary
        self.read_buffer = read_buffer
        self.buffers: dict[int, bytes] = {}
        self.buffer_list = self._list("buffers")
        self.view_list = self._list("bufferViews")

    def _list(self, key: str) -> list:
        value = self.doc.get(key, [])
        if not isinstance(value, list):
            raise ImplicitError(f"subtree {key} must be a list")
        return value

    def buffer(self, index: int) -> tuple[bytes, int]:
        """The bytes of buffer `index` and its declared byteLength (checked against them)."""
        if index >= len(self.buffer_list) or not isinstance(self.buffer_list[index], dict):
            raise ImplicitError(f"bufferView refers to buffer {index}, the subtree has {len(self.buffer_list)}")
        buf = self.buffer_list[index]
        length = _count(buf.get("byteLength"), f"buffers[{index}].byteLength")
        if index not in self.buffers:
            uri = buf.get("uri")
            if uri is None:
                if self.binary is None:
                    raise ImplicitError(f"buffers[{index}] has no uri and the subtree has no binary chunk")
                data = self.binary
                where = "the binary chunk"
            elif not isinstance(uri, str):
                raise ImplicitError(f"buffers[{index}].uri must be a string")
            elif uri.startswith("data:"):
                data, where = _data_uri(uri), "its data URI"
            elif self.read_buffer is None:
                raise ImplicitError(f"buffers[{index}] is an external file ({uri}) and cannot be read here")
            else:
                data, where = self.read_buffer(uri), uri
            if len(data) < length:
                raise ImplicitError(f"buffers[{index}] declares {length} bytes, {where} holds {len(data)}")
            self.buffers[index] = data
        return self.buffers[index], length

    def view(self, index: int) -> bytes:
        if index >= len(self.view_list) or not isinstance(self.view_list[index], dict):
            raise ImplicitError(f"bitstream refers to bufferView {index}, the subtree has {len(self.view_list)}")
        view = self.view_list[index]
        buffer = _count(view.get("buffer"), f"bufferViews[{index}].buffer")
        offset = _count(view.get("byteOffset", 0), f"bufferViews[{index}].byteOffset")
        length = _count(view.get("byteLength"), f"bufferViews[{index}].byteLength")
        data, declared = self.buffer(buffer)
        if offset + length > declared:
            raise ImplicitError(f"bufferViews[{index}] (bytes {offset}..{offset + length}) runs past the end "
                                f"of buffer {buffer} ({declared} bytes)")
        return bytes(data[offset:offset + length])

    def availability(self, obj: Any, what: str, bits: int) -> Availability:
        if not isinstance(obj, dict):
            raise ImplicitError(f"subtree {what} is missing or not an object")
        stream = obj.get("bitstream")
        if stream is not None:
            data = self.view(_count(stream, f"{what}.bitstream"))
            need = (bits + 7) // 8
            if len(data) < need:
                raise ImplicitError(f"{what} bitstream holds {len(data)} bytes, {bits} tiles need {need}")
            return Availability(bits=data[:need])
        constant = obj.get("constant")
        if constant not in (0, 1) or isinstance(constant, float):
            raise ImplicitError(f"{what} needs a bitstream or a constant 0 or 1")
        return Availability(constant=bool(constant))


def subtree_from_bytes(data: bytes, *, subtree_levels: int, scheme: str = "QUADTREE",
                       read_buffer: Callable[[str], bytes] | None = None) -> Subtree:
    """Parses one subtree, binary (``subt``) or JSON. `read_buffer(uri)` returns the bytes of
    an external buffer (relative to the subtree's own location); only the buffers that the
    availability bitstreams use are read. Raises `ImplicitError` for anything malformed."""
    if scheme not in SCHEMES:
        raise ImplicitError(f"unknown subdivision scheme {scheme!r}")
    if not 1 <= subtree_levels <= MAX_SUBTREE_LEVELS:
        raise ImplicitError(f"subtreeLevels {subtree_levels} is outside 1..{MAX_SUBTREE_LEVELS}")
    data = bytes(data)
    binary = None
    if data[:4] == SUBTREE_MAGIC:
        if len(data) < SUBTREE_HEADER.size:
            raise ImplicitError(f"subtree truncated: {len(data)} bytes, the header alone takes {SUBTREE_HEADER.size}")
        _, version, json_len, bin_len = SUBTREE_HEADER.unpack_from(data)
        if version != 1:
            raise ImplicitError(f"subtree version {version} is not supported (only 1)")
        start = SUBTREE_HEADER.size
        if json_len > len(data) - start:
            raise ImplicitError(f"subtree truncated: JSON chunk of {json_len} bytes, "
                                f"{len(data) - start} follow the header")
        if bin_len > len(data) - start - json_len:
            raise ImplicitError(f"subtree truncated: binary chunk of {bin_len} bytes, "
                                f"{len(data) - start - json_len} follow the JSON chunk")
        text = data[start:start + json_len].rstrip(b" \0")
        binary = data[start + json_len:start + json_len + bin_len] if bin_len else None
    elif data.lstrip()[:1] == b"{":
        text = data
    else:
        raise ImplicitError(f"not a subtree: starts with {data[:4]!r}, neither the 'subt' magic nor JSON")
    try:
        doc = json.loads(text)
    except (ValueError, RecursionError) as e:  # JSONDecodeError and UnicodeDecodeError are ValueErrors
        raise ImplicitError(f"subtree JSON is not readable: {str(e)[:200]}") from None
    if not isinstance(doc, dict):
        raise ImplicitError("subtree JSON is not an object")

    n = SCHEMES[scheme]
    tile_bits = (n ** subtree_levels - 1) // (n - 1)
    reader = _SubtreeReader(doc, binary, read_buffer)
    tiles = reader.availability(doc.get("tileAvailability"), "tileAvailability", tile_bits)
    content_list = doc.get("contentAvailability", [])
    if isinstance(content_list, dict):  # a single content written without the list
        content_list = [content_list]
    if not isinstance(content_list, list):
        raise ImplicitError("subtree contentAvailability must be a list")
    contents = tuple(reader.availability(c, f"contentAvailability[{i}]", tile_bits)
                     for i, c in enumerate(content_list))
    children = reader.availability(doc.get("childSubtreeAvailability"), "childSubtreeAvailability",
                                   n ** subtree_levels)
    return Subtree(branching=n, levels=subtree_levels, tiles=tiles, contents=contents, child_subtrees=children)


# ------------------------------------------------------------------ the implicit tree


def _root_volume(tile_json: dict, where: str) -> dict:
    volume = tile_json.get("boundingVolume")
    if not isinstance(volume, dict):
        raise ImplicitError(f"{where}: implicit tiling needs a region or box bounding volume to subdivide, "
                            "the tile has none")
    for key, size in (("region", 6), ("box", 12)):
        if key in volume:
            values = volume[key]
            if (not isinstance(values, list) or len(values) != size
                    or not all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
                               for v in values)):
                raise ImplicitError(f"{where}: bounding volume {key} must be {size} finite numbers")
            return {key: [float(v) for v in values]}
    kinds = [k for k in volume if k != "extras" and k != "extensions"]
    kinds += list(volume.get("extensions") or {}) if isinstance(volume.get("extensions"), dict) else []
    found = ", ".join(kinds) or "an empty bounding volume"
    raise ImplicitError(f"{where}: implicit tiling needs a region or box bounding volume to subdivide, not {found}")


def _content_templates(tile_json: dict, where: str, octree: bool) -> list[str]:
    if "content" in tile_json and "contents" in tile_json:
        raise ImplicitError(f"{where}: has both content and contents")
    if "contents" in tile_json:
        items = tile_json["contents"]
        if not isinstance(items, list):
            raise ImplicitError(f"{where}: contents must be a list")
    elif "content" in tile_json:
        items = [tile_json["content"]]
    else:
        items = []
    templates = []
    for item in items:
        uri = item.get("uri") if isinstance(item, dict) else None
        if not isinstance(uri, str) or not uri:
            raise ImplicitError(f"{where}: a content of an implicit tile needs a uri template")
        templates.append(_check_template(uri, where, octree))
    return templates


def _check_template(uri: str, where: str, octree: bool) -> str:
    if not octree and "{z}" in uri:
        raise ImplicitError(f"{where}: template {uri!r} uses {{z}}, which a QUADTREE does not have")
    return uri


@dataclass
class _Tree:
    """What every tile of one implicit tree shares."""

    tile_id: str
    depth: int
    matrix: np.ndarray
    refine: str
    y_up: bool
    base: Any
    errors: list
    scheme: str
    subtree_levels: int
    available_levels: int
    subtree_template: str
    content_templates: list
    volume: dict
    geometric_error: float | None

    @property
    def octree(self) -> bool:
        return self.scheme == "OCTREE"

    @property
    def branching(self) -> int:
        return SCHEMES[self.scheme]

    def tile(self, coords: tuple[int, int, int, int]) -> Tile:
        level, x, y, z = coords
        tid = f"{self.tile_id}/implicit/L{level}/x{x}/y{y}" + (f"/z{z}" if self.octree else "")
        ge = None if self.geometric_error is None else self.geometric_error / (1 << level)
        return Tile(id=tid, depth=self.depth + level, matrix=self.matrix,
                    bounding_volume=tile_volume(self.volume, self.scheme, level, x, y, z),
                    geometric_error=ge, refine=self.refine, y_up=self.y_up, implicit=True)

    def uri(self, template: str, coords) -> str:
        level, x, y, z = coords
        return expand_template(template, level, x, y, z if self.octree else None)

    def subtree_root(self, coords) -> Tile:
        """The tile at the root of a subtree; reading the subtree waits for `load()`."""
        tile = self.tile(coords)
        tile.loader = lambda t: self.load_subtree(t, coords)
        return tile

    def load_subtree(self, tile: Tile, coords) -> None:
        uri = self.uri(self.subtree_template, coords)
        loc = None
        try:
            loc = self.base.join(uri)

            def read_buffer(uri: str) -> bytes:
                buffer_loc = loc.join(uri)
                try:
                    return buffer_loc.read()
                except ConversionError as e:
                    raise ImplicitError(f"buffer {buffer_loc.display}: {e}") from None

            subtree = subtree_from_bytes(loc.read(), subtree_levels=self.subtree_levels, scheme=self.scheme,
                                         read_buffer=read_buffer)
            if len(subtree.contents) < len(self.content_templates):
                raise ImplicitError(f"contentAvailability has {len(subtree.contents)} entries, the tile has "
                                    f"{len(self.content_templates)} contents")
        except (ConversionError, OSError) as e:
            source = loc.display if loc is not None else uri
            self.errors.append(WalkError(source=source, reason=str(e) or type(e).__name__))
            tile.contents, tile.leaf, tile.expand = [], True, None
            return
        self.fill(tile, subtree, 0, 0, coords)

    def fill(self, tile: Tile, subtree: Subtree, local: int, morton: int, coords) -> None:
        """Sets contents, leaf and expand of the tile at (`local` level, `morton`) of `subtree`."""
        if not subtree.tile_available(local, morton):
            tile.contents, tile.leaf, tile.expand = [], True, None
            return
        tile.contents = [Content(location=self.base.join(self.uri(t, coords)))
                         for k, t in enumerate(self.content_templates)
                         if subtree.content_available(k, local, morton)]
        n = self.branching
        last = local + 1 == subtree.levels
        slots: list[int] = []
        if coords[0] + 1 < self.available_levels:
            if last:
                slots = [c for c in range(n) if subtree.child_subtree_available(morton * n + c)]
            else:
                slots = [c for c in range(n) if subtree.tile_available(local + 1, morton * n + c)]
        tile.leaf = not slots
        tile.expand = (lambda: self.children(subtree, local, morton, coords, slots)) if slots else None

    def children(self, subtree: Subtree, local: int, morton: int, coords, slots: list[int]) -> list[Tile]:
        level, x, y, z = coords
        n = self.branching
        out = []
        for c in slots:  # c is the child's Morton digit: bit 0 x, bit 1 y, bit 2 z
            child = (level + 1, 2 * x + (c & 1), 2 * y + (c >> 1 & 1), 2 * z + (c >> 2 & 1))
            if local + 1 == subtree.levels:
                out.append(self.subtree_root(child))
            else:
                tile = self.tile(child)
                self.fill(tile, subtree, local + 1, morton * n + c, child)
                out.append(tile)
        return out


def implicit_root(tile_json: dict, *, tile_id: str, depth: int, matrix: np.ndarray, refine: str, y_up: bool,
                  base, errors: list[WalkError]) -> Tile:
    """The implicit root of the tile `tile_json` (one with `implicitTiling`) as a `Tile`.

    Loading it reads the root subtree; its descendants are produced as the traversal asks
    for them, each child subtree read when its root tile is loaded. Problems in subtrees
    are appended to `errors` and end that branch. Raises `ImplicitError` for a root that
    cannot be subdivided or whose tiling parameters are unusable."""
    where = f"tile {tile_id}"
    tiling = tile_json.get("implicitTiling")
    if not isinstance(tiling, dict):
        raise ImplicitError(f"{where}: implicitTiling must be an object")
    scheme = tiling.get("subdivisionScheme")
    if scheme not in SCHEMES:
        raise ImplicitError(f"{where}: subdivisionScheme must be QUADTREE or OCTREE, not {scheme!r}"[:200])
    levels = tiling.get("subtreeLevels")
    if isinstance(levels, bool) or not isinstance(levels, int) or not 1 <= levels <= MAX_SUBTREE_LEVELS:
        raise ImplicitError(f"{where}: subtreeLevels must be an integer from 1 to {MAX_SUBTREE_LEVELS}, "
                            f"not {levels!r}"[:200])
    available = tiling.get("availableLevels")
    if isinstance(available, bool) or not isinstance(available, int) or not 1 <= available <= MAX_AVAILABLE_LEVELS:
        raise ImplicitError(f"{where}: availableLevels must be an integer from 1 to {MAX_AVAILABLE_LEVELS}, "
                            f"not {available!r}"[:200])
    subtrees = tiling.get("subtrees")
    template = subtrees.get("uri") if isinstance(subtrees, dict) else None
    if not isinstance(template, str) or not template:
        raise ImplicitError(f"{where}: implicitTiling needs subtrees.uri, a template of the subtree files")
    octree = scheme == "OCTREE"
    _check_template(template, where, octree)
    volume = _root_volume(tile_json, where)
    ge = tile_json.get("geometricError")
    if ge is not None and (isinstance(ge, bool) or not isinstance(ge, (int, float)) or not math.isfinite(ge)
                           or ge < 0):
        raise ImplicitError(f"{where}: geometricError must be a non-negative number")
    tree = _Tree(tile_id=tile_id, depth=depth, matrix=np.asarray(matrix, dtype=np.float64), refine=refine,
                 y_up=y_up, base=base, errors=errors, scheme=scheme, subtree_levels=levels,
                 available_levels=available, subtree_template=template,
                 content_templates=_content_templates(tile_json, where, octree), volume=volume,
                 geometric_error=None if ge is None else float(ge))
    return tree.subtree_root((0, 0, 0, 0))

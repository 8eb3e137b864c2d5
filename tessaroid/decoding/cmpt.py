"""Composite tiles (cmpt): inner tiles of any kind laid end to end; composites may nest."""

from __future__ import annotations

import struct

from ..errors import ConversionError
from .gltf import GltfAsset
from .registry import READERS, UNSUPPORTED

CMPT_MAGIC = b"cmpt"


def parse_cmpt(data: bytes | memoryview, base, notes: list[str], depth: int = 0) -> list[GltfAsset]:
    """The glTF assets of the inner tiles of a composite, each read by the reader its
    magic selects (composites may nest). Inner tiles of kinds without triangle meshes
    are left out with a note."""
    mv = memoryview(data)
    if len(mv) < 16:
        raise ConversionError(f"cmpt is truncated ({len(mv)} bytes)")
    if depth > 8:
        raise ConversionError("cmpt tiles nested too deeply")
    _, _, byte_length, count = struct.unpack_from("<4sIII", mv, 0)
    if byte_length > len(mv):
        raise ConversionError(
            f"cmpt is truncated: its header says {byte_length} bytes, only {len(mv)} are present")
    out: list[GltfAsset] = []
    off = 16
    for k in range(count):
        if off + 12 > byte_length:
            raise ConversionError(f"cmpt inner tile {k} runs past the end of the tile")
        magic, _, inner_len = struct.unpack_from("<4sII", mv, off)
        if inner_len < 12 or off + inner_len > byte_length:
            raise ConversionError(f"cmpt inner tile {k} has an impossible length {inner_len}")
        inner = mv[off:off + inner_len]
        reader = READERS.get(bytes(magic))
        if reader is not None:
            out += reader(inner, base, notes, depth + 1, f"inner tile {k}")
        else:
            kind = UNSUPPORTED.get(bytes(magic), f"unknown ({bytes(magic)!r})")
            notes.append(f"cmpt inner tile {k}: {kind} content left out (no triangle meshes read from it)")
        off += inner_len
    return out

"""Content decoding: from the bytes of one tile content to its glTF assets.

The container is chosen by the first bytes (see `registry`): GLB, b3dm, cmpt,
i3dm, gzip, and glTF JSON (a document starting with "{").
"""

from __future__ import annotations

import zlib

from ..errors import ConversionError
from . import b3dm, cmpt, gltf, i3dm
from .gltf import GltfAsset
from .registry import READERS, UNSUPPORTED, register

__all__ = ["decode", "GltfAsset", "register"]

# Decoded gzip content larger than this is refused rather than held in memory.
MAX_INFLATED = 1 << 32


def _gunzip(data, base, notes, depth, what="content"):
    d = zlib.decompressobj(wbits=31)
    try:
        out = d.decompress(bytes(data), MAX_INFLATED)
    except zlib.error as exc:
        raise ConversionError(f"{what}: gzip data is corrupt ({exc})") from None
    if d.unconsumed_tail:
        raise ConversionError(f"{what}: gzip data inflates to more than {MAX_INFLATED >> 30} GiB")
    if not d.eof:
        raise ConversionError(f"{what}: gzip data ends early (truncated)")
    return decode(out, base, notes, depth + 1)


def _glb(data, base, notes, depth, what=None):
    return [gltf.parse_glb(data, base, what=f"GLB {what}" if what else "GLB")]


def _b3dm(data, base, notes, depth, what=None):
    return b3dm.parse_b3dm(data, base, notes)


def _cmpt(data, base, notes, depth, what=None):
    return cmpt.parse_cmpt(data, base, notes, depth)


register(gltf.GLB_MAGIC, _glb)
register(b3dm.B3DM_MAGIC, _b3dm)
register(cmpt.CMPT_MAGIC, _cmpt)
register(i3dm.I3DM_MAGIC, i3dm.parse_i3dm)
register(b"\x1f\x8b\x08", _gunzip)


def decode(data: bytes, base, notes: list[str], depth: int = 0) -> list[GltfAsset]:
    """Parse one tile content into its glTF assets (several for a composite)."""
    if depth > 8:
        raise ConversionError("content nested too deeply")
    head = bytes(data[:4])
    for magic, reader in READERS.items():
        if head.startswith(magic):
            return reader(data, base, notes, depth)
    if head in UNSUPPORTED:
        raise ConversionError(f"{UNSUPPORTED[head]} content has no triangle meshes and is not supported")
    if bytes(data[:64]).lstrip()[:1] == b"{":
        return [gltf.parse_gltf_json(bytes(data), base)]
    if not data:
        raise ConversionError("file is empty")
    raise ConversionError("not a glTF, GLB, b3dm, i3dm or cmpt file (unknown magic %r)" % head)

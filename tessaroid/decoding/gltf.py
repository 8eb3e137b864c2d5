"""glTF 2.0 content: GLB containers and glTF JSON with external, embedded or data: buffers.

Everything here works on bytes and Python objects; nothing touches the native module.
External buffers and images are read through the source layer, relative to the
location the glTF came from.
"""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ..errors import ConversionError

GLB_MAGIC = b"glTF"
CHUNK_JSON = 0x4E4F534A
CHUNK_BIN = 0x004E4942


@dataclass
class GltfAsset:
    """A parsed glTF 2.0 document with its binary buffers resolved."""

    doc: dict
    buffers: list[bytes | None]
    base: Any  # the Location of the file the glTF came from; URIs resolve against it
    # b3dm RTC_CENTER (ECEF, z-up frame), applied after the y-up to z-up rotation.
    rtc_center: np.ndarray | None = None
    container: str = "glb"
    extras: dict = field(default_factory=dict)


def json_from_bytes(raw: bytes | memoryview, what: str) -> dict:
    try:
        text = bytes(raw).decode("utf-8-sig").rstrip(" \x00\t\r\n")
        doc = json.loads(text) if text else {}
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ConversionError(f"{what} is not valid JSON ({exc})") from None
    if not isinstance(doc, dict):
        raise ConversionError(f"{what} is not a JSON object")
    return doc


def parse_glb(data: bytes | memoryview, base, what: str = "GLB") -> GltfAsset:
    mv = memoryview(data)
    if len(mv) < 12:
        raise ConversionError(f"{what} is truncated ({len(mv)} bytes, the header alone needs 12)")
    magic, version, length = struct.unpack_from("<4sII", mv, 0)
    if magic != GLB_MAGIC:
        raise ConversionError(f"{what} does not start with the GLB magic 'glTF'")
    if version == 1:
        raise ConversionError(f"{what} holds glTF 1.0, which is not supported (only glTF 2.0)")
    if version != 2:
        raise ConversionError(f"{what} has unknown GLB version {version}")
    if length > len(mv):
        raise ConversionError(
            f"{what} is truncated: its header says {length} bytes, only {len(mv)} are present")
    doc = None
    bin_chunk = None
    off = 12
    while off + 8 <= length:
        clen, ctype = struct.unpack_from("<II", mv, off)
        start = off + 8
        end = start + clen
        if end > length:
            raise ConversionError(f"{what} is truncated inside a chunk (needs {end} bytes, has {length})")
        if ctype == CHUNK_JSON and doc is None:
            doc = json_from_bytes(mv[start:end], f"{what} JSON chunk")
        elif ctype == CHUNK_BIN and bin_chunk is None:
            bin_chunk = bytes(mv[start:end])
        off = end
    if doc is None:
        raise ConversionError(f"{what} has no JSON chunk")
    buffers = _resolve_buffers(doc, base, glb_bin=bin_chunk)
    return GltfAsset(doc=doc, buffers=buffers, base=base, container="glb")


def parse_gltf_json(data: bytes, base) -> GltfAsset:
    doc = json_from_bytes(data, "glTF JSON")
    version = str(doc.get("asset", {}).get("version", "2.0")) if isinstance(doc.get("asset"), dict) else "2.0"
    if version.startswith("1"):
        raise ConversionError("glTF 1.0 is not supported (only glTF 2.0)")
    return GltfAsset(doc=doc, buffers=_resolve_buffers(doc, base), base=base, container="gltf")


def read_uri(uri: str, base, what: str) -> bytes:
    """Bytes of a data: URI or of a file relative to `base`, through the source layer."""
    try:
        return base.join(uri).read()
    except ConversionError as exc:
        raise ConversionError(f"{what}: {exc}") from None


def _resolve_buffers(doc: dict, base, glb_bin: bytes | None = None) -> list[bytes | None]:
    """Buffers are read lazily only when they are referenced, so keep None for
    those that have no data (a meshopt fallback buffer, for instance)."""
    out: list[bytes | None] = []
    bufs = doc.get("buffers") or []
    if not isinstance(bufs, list):
        raise ConversionError("glTF 'buffers' is not a list")
    for i, buf in enumerate(bufs):
        if not isinstance(buf, dict):
            raise ConversionError(f"glTF buffer {i} is not an object")
        uri = buf.get("uri")
        if uri is None:
            if i == 0 and glb_bin is not None:
                out.append(glb_bin)
            else:
                out.append(None)
            continue
        out.append(read_uri(str(uri), base, f"buffer {i}"))
    return out



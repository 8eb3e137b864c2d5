"""Tile content containers: GLB, glTF JSON with external or embedded buffers, and b3dm.

Everything here works on bytes and Python objects; nothing touches the native module.
"""

from __future__ import annotations

import base64
import json
import struct
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

GLB_MAGIC = b"glTF"
B3DM_MAGIC = b"b3dm"
CHUNK_JSON = 0x4E4F534A
CHUNK_BIN = 0x004E4942
# A b3dm written with one of the two legacy header layouts has, where the current
# layout keeps a batch-table length, the first bytes of JSON text or of the GLB
# magic instead; read as a little-endian uint32 these are at least this value.
LEGACY_B3DM_THRESHOLD = 0x22000000

CMPT_MAGIC = b"cmpt"
OTHER_TILE_FORMATS = {
    b"pnts": "point cloud (pnts)",
    b"i3dm": "instanced model (i3dm)",
    b"vctr": "vector (vctr)",
    b"geom": "geometry (geom)",
}


class ConversionError(Exception):
    """A tile that cannot be converted; the message says why, for the user."""


@dataclass
class GltfAsset:
    """A parsed glTF 2.0 document with its binary buffers resolved."""

    doc: dict
    buffers: list[bytes | None]
    base_dir: Path | None
    # b3dm RTC_CENTER (ECEF, z-up frame), applied after the y-up to z-up rotation.
    rtc_center: np.ndarray | None = None
    container: str = "glb"
    extras: dict = field(default_factory=dict)


def _json_from_bytes(raw: bytes | memoryview, what: str) -> dict:
    try:
        text = bytes(raw).decode("utf-8-sig").rstrip(" \x00\t\r\n")
        doc = json.loads(text) if text else {}
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ConversionError(f"{what} is not valid JSON ({exc})") from None
    if not isinstance(doc, dict):
        raise ConversionError(f"{what} is not a JSON object")
    return doc


def parse_glb(data: bytes | memoryview, base_dir: Path | None, what: str = "GLB") -> GltfAsset:
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
            doc = _json_from_bytes(mv[start:end], f"{what} JSON chunk")
        elif ctype == CHUNK_BIN and bin_chunk is None:
            bin_chunk = bytes(mv[start:end])
        off = end
    if doc is None:
        raise ConversionError(f"{what} has no JSON chunk")
    buffers = _resolve_buffers(doc, base_dir, glb_bin=bin_chunk)
    return GltfAsset(doc=doc, buffers=buffers, base_dir=base_dir, container="glb")


def parse_gltf_json(data: bytes, base_dir: Path | None) -> GltfAsset:
    doc = _json_from_bytes(data, "glTF JSON")
    version = str(doc.get("asset", {}).get("version", "2.0")) if isinstance(doc.get("asset"), dict) else "2.0"
    if version.startswith("1"):
        raise ConversionError("glTF 1.0 is not supported (only glTF 2.0)")
    return GltfAsset(doc=doc, buffers=_resolve_buffers(doc, base_dir), base_dir=base_dir, container="gltf")


def read_uri(uri: str, base_dir: Path | None, what: str) -> bytes:
    """Bytes of a data: URI or of a file relative to base_dir."""
    if uri.startswith("data:"):
        head, sep, payload = uri.partition(",")
        if not sep:
            raise ConversionError(f"{what}: malformed data: URI")
        try:
            if head.endswith(";base64"):
                return base64.b64decode(payload, validate=False)
            return urllib.parse.unquote_to_bytes(payload)
        except ValueError as exc:
            raise ConversionError(f"{what}: bad base64 in data: URI ({exc})") from None
    parsed = urllib.parse.urlparse(uri)
    if parsed.scheme and len(parsed.scheme) > 1 and parsed.scheme != "file":
        raise ConversionError(f"{what}: only local files and data: URIs can be read, not {uri!r}")
    rel = urllib.parse.unquote(parsed.path if parsed.scheme == "file" else uri.split("?")[0].split("#")[0])
    path = Path(rel) if base_dir is None else base_dir / rel
    try:
        return path.read_bytes()
    except OSError as exc:
        raise ConversionError(f"{what}: cannot read {path} ({exc.strerror or exc})") from None


def _resolve_buffers(doc: dict, base_dir: Path | None, glb_bin: bytes | None = None) -> list[bytes | None]:
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
        out.append(read_uri(str(uri), base_dir, f"buffer {i}"))
    return out


def _feature_table_rtc(ft_json: dict, ft_bin: memoryview) -> np.ndarray | None:
    rtc = ft_json.get("RTC_CENTER")
    if rtc is None:
        return None
    if isinstance(rtc, dict):
        off = int(rtc.get("byteOffset", 0))
        if off < 0 or off + 12 > len(ft_bin):
            raise ConversionError("b3dm RTC_CENTER points outside the feature table binary")
        vals = np.frombuffer(ft_bin, dtype="<f4", count=3, offset=off).astype(np.float64)
    else:
        try:
            vals = np.asarray([float(v) for v in rtc], dtype=np.float64)
        except (TypeError, ValueError):
            raise ConversionError("b3dm RTC_CENTER is not three numbers") from None
        if vals.shape != (3,):
            raise ConversionError("b3dm RTC_CENTER is not three numbers")
    if not np.all(np.isfinite(vals)):
        raise ConversionError("b3dm RTC_CENTER is not finite")
    return vals


def parse_b3dm(data: bytes, base_dir: Path | None) -> GltfAsset:
    mv = memoryview(data)
    if len(mv) < 20:
        raise ConversionError(f"b3dm is truncated ({len(mv)} bytes)")
    magic, version, byte_length = struct.unpack_from("<4sII", mv, 0)
    if byte_length > len(mv):
        raise ConversionError(
            f"b3dm is truncated: its header says {byte_length} bytes, only {len(mv)} are present")
    if byte_length < 20:
        raise ConversionError(f"b3dm header gives an impossible length {byte_length}")
    ft_json: dict = {}
    ft_bin = memoryview(b"")
    a, b = struct.unpack_from("<II", mv, 12)
    c = struct.unpack_from("<I", mv, 20)[0] if byte_length >= 24 else 0
    d = struct.unpack_from("<I", mv, 24)[0] if byte_length >= 28 else 0
    if c >= LEGACY_B3DM_THRESHOLD:
        # [batchLength, batchTableByteLength]
        glb_start = 20 + b
    elif d >= LEGACY_B3DM_THRESHOLD:
        # [batchTableJSONByteLength, batchTableBinaryByteLength, batchLength]
        glb_start = 24 + a + b
    else:
        if byte_length < 28:
            raise ConversionError("b3dm is truncated inside its 28-byte header")
        ft_json_start = 28
        ft_bin_start = ft_json_start + a
        glb_start = ft_bin_start + b + c + d
        if glb_start > byte_length:
            raise ConversionError("b3dm table lengths run past the end of the tile")
        if a:
            ft_json = _json_from_bytes(mv[ft_json_start:ft_bin_start], "b3dm feature table")
        ft_bin = mv[ft_bin_start:ft_bin_start + b]
    if glb_start > byte_length:
        raise ConversionError("b3dm table lengths run past the end of the tile")
    asset = parse_glb(mv[glb_start:byte_length], base_dir, what="GLB inside the b3dm")
    asset.rtc_center = _feature_table_rtc(ft_json, ft_bin)
    asset.container = "b3dm"
    return asset


def parse_cmpt(data: bytes | memoryview, base_dir: Path | None, notes: list[str], depth: int = 0) -> list[GltfAsset]:
    """The b3dm and GLB tiles inside a composite tile (composites may nest). Inner
    tiles of other kinds are left out with a note."""
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
        if magic == B3DM_MAGIC:
            out.append(parse_b3dm(inner, base_dir))
        elif magic == GLB_MAGIC:
            out.append(parse_glb(inner, base_dir, what=f"GLB inner tile {k}"))
        elif magic == CMPT_MAGIC:
            out += parse_cmpt(inner, base_dir, notes, depth + 1)
        else:
            kind = OTHER_TILE_FORMATS.get(bytes(magic), f"unknown ({bytes(magic)!r})")
            notes.append(f"cmpt inner tile {k}: {kind} content left out (no triangle meshes read from it)")
        off += inner_len
    return out


def read_contents(path: Path, notes: list[str]) -> list[GltfAsset]:
    """Parse one tile content file into its glTF assets (several for a composite),
    choosing the container by its first bytes."""
    try:
        data = path.read_bytes()
    except OSError as exc:
        raise ConversionError(f"cannot read file ({exc.strerror or exc})") from None
    if data[:4] == CMPT_MAGIC:
        return parse_cmpt(data, path.parent, notes)
    return [read_content(path, data)]


def read_content(path: Path, data: bytes | None = None) -> GltfAsset:
    """Parse one tile content file, choosing the container by its first bytes."""
    if data is None:
        try:
            data = path.read_bytes()
        except OSError as exc:
            raise ConversionError(f"cannot read file ({exc.strerror or exc})") from None
    head = data[:4]
    base_dir = path.parent
    if head == GLB_MAGIC:
        return parse_glb(data, base_dir)
    if head == B3DM_MAGIC:
        return parse_b3dm(data, base_dir)
    if head in OTHER_TILE_FORMATS:
        raise ConversionError(f"{OTHER_TILE_FORMATS[head]} content has no triangle meshes and is not supported")
    if data.lstrip()[:1] == b"{":
        return parse_gltf_json(data, base_dir)
    if not data:
        raise ConversionError("file is empty")
    raise ConversionError("not a glTF, GLB, b3dm or cmpt file (unknown magic %r)" % bytes(head))

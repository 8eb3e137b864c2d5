"""Batched 3D models (b3dm): a feature table (RTC_CENTER), a batch table and a GLB.

Three header layouts exist: the current 28-byte one and two legacy ones.
"""

from __future__ import annotations

import struct

import numpy as np

from ..errors import ConversionError
from .gltf import GltfAsset, json_from_bytes, parse_glb

B3DM_MAGIC = b"b3dm"
# A b3dm written with one of the two legacy header layouts has, where the current
# layout keeps a batch-table length, the first bytes of JSON text or of the GLB
# magic instead; read as a little-endian uint32 these are at least this value.
LEGACY_B3DM_THRESHOLD = 0x22000000


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


def parse_b3dm(data: bytes | memoryview, base, notes: list[str] | None = None) -> list[GltfAsset]:
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
            ft_json = json_from_bytes(mv[ft_json_start:ft_bin_start], "b3dm feature table")
        ft_bin = mv[ft_bin_start:ft_bin_start + b]
    if glb_start > byte_length:
        raise ConversionError("b3dm table lengths run past the end of the tile")
    asset = parse_glb(mv[glb_start:byte_length], base, what="GLB inside the b3dm")
    asset.rtc_center = _feature_table_rtc(ft_json, ft_bin)
    asset.container = "b3dm"
    return [asset]

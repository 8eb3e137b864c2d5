"""Buffer views compressed with EXT_meshopt_compression / KHR_meshopt_compression.

Each compressed view names a source range (buffer, byteOffset, byteLength), a mode
(ATTRIBUTES, TRIANGLES, INDICES), an element count and stride, and a filter (NONE,
OCTAHEDRAL, QUATERNION, EXPONENTIAL). `decode_asset` decodes every such view with
the meshoptimizer library's own decoder into a new buffer of the asset and points
the view at it, so the rest of the pipeline reads ordinary accessors; the fallback
buffer a file may declare is never needed.
"""

from __future__ import annotations

import numpy as np

from ..errors import ConversionError
from .gltf import GltfAsset

EXTENSIONS = ("EXT_meshopt_compression", "KHR_meshopt_compression")
FILTERS = ("NONE", "OCTAHEDRAL", "QUATERNION", "EXPONENTIAL")
# A compressed view never expands past this: a corrupt count must not allocate it.
MAX_DECODED = 1 << 31


def missing_message(ext: str) -> str:
    return f"meshes use {ext}; install 'tessaroid[meshopt]' to convert them"


def available() -> bool:
    try:
        import meshoptimizer  # noqa: F401
    except ImportError:
        return False
    return True


def _library(ext: str):
    try:
        import meshoptimizer  # noqa: F401
    except ImportError:
        raise ConversionError(missing_message(ext)) from None
    return meshoptimizer


def compressed_views(doc: dict) -> list[tuple[int, str, dict]]:
    views = doc.get("bufferViews") or []
    out = []
    for i, v in enumerate(views if isinstance(views, list) else []):
        ext = (v.get("extensions") or {}) if isinstance(v, dict) else {}
        for name in EXTENSIONS:
            if isinstance(ext.get(name), dict):
                out.append((i, name, ext[name]))
                break
    return out


def _int(info: dict, key: str, what: str, default=None) -> int:
    val = info.get(key, default)
    if isinstance(val, bool) or not isinstance(val, int) or val < 0:
        raise ConversionError(f"{what}: {key} is missing or not a non-negative integer")
    return val


def decode_view(lib, asset: GltfAsset, info: dict, ext: str, what: str) -> bytes:
    """The decoded bytes (count * byteStride) of one compressed view."""
    bi = _int(info, "buffer", what)
    if bi >= len(asset.buffers) or asset.buffers[bi] is None:
        raise ConversionError(f"{what}: {ext} source buffer {bi} has no data")
    src = asset.buffers[bi]
    off = _int(info, "byteOffset", what, 0)
    length = _int(info, "byteLength", what)
    stride = _int(info, "byteStride", what)
    count = _int(info, "count", what)
    if off + length > len(src):
        raise ConversionError(f"{what}: {ext} data runs past the end of buffer {bi}")
    if count * stride > MAX_DECODED:
        raise ConversionError(f"{what}: {ext} declares {count} elements of {stride} bytes, too many to decode")
    data = bytes(memoryview(src)[off:off + length])
    mode = info.get("mode")
    filt = info.get("filter", "NONE")
    if filt not in FILTERS:
        raise ConversionError(f"{what}: {ext} filter {filt!r} is not one tessaroid can decode")
    try:
        if mode == "ATTRIBUTES":
            if stride == 0 or stride % 4 or stride > 256:
                raise ConversionError(f"{what}: {ext} ATTRIBUTES byteStride {stride} is not a multiple of 4 "
                                      "up to 256")
            out = lib.decode_vertex_buffer(count, stride, data, dtype=np.dtype(f"V{stride}"))
            raw = np.frombuffer(out.tobytes(), dtype=np.uint8)
            if filt != "NONE":
                raw = _filtered(lib, raw, filt, count, stride, ext, what)
            return raw.tobytes()
        if mode in ("TRIANGLES", "INDICES"):
            if stride not in (2, 4):
                raise ConversionError(f"{what}: {ext} {mode} byteStride {stride} is neither 2 nor 4")
            if mode == "TRIANGLES" and count % 3:
                raise ConversionError(f"{what}: {ext} TRIANGLES count {count} is not a multiple of 3")
            fn = lib.decode_index_buffer if mode == "TRIANGLES" else lib.decode_index_sequence
            # The decoder writes `count` indices of `stride` bytes at the start of its array.
            return fn(count, stride, data).tobytes()[:count * stride]
    except (RuntimeError, ValueError) as exc:
        raise ConversionError(f"{what}: {ext} data could not be decoded (cut short or corrupt: {exc})") from None
    raise ConversionError(f"{what}: {ext} mode {mode!r} is not ATTRIBUTES, TRIANGLES or INDICES")


def _filtered(lib, raw: np.ndarray, filt: str, count: int, stride: int, ext: str, what: str) -> np.ndarray:
    if filt == "OCTAHEDRAL" and stride not in (4, 8):
        raise ConversionError(f"{what}: {ext} OCTAHEDRAL filter needs byteStride 4 or 8, not {stride}")
    if filt == "QUATERNION" and stride != 8:
        raise ConversionError(f"{what}: {ext} QUATERNION filter needs byteStride 8, not {stride}")
    fn = {"OCTAHEDRAL": lib.decode_filter_oct, "QUATERNION": lib.decode_filter_quat,
          "EXPONENTIAL": lib.decode_filter_exp}[filt]
    return np.asarray(fn(raw, count, stride), dtype=np.uint8)


def decode_asset(asset: GltfAsset) -> None:
    """Decode every compressed view of `asset` in place: each gets a buffer of its own
    holding the decoded bytes, and loses its compression extension."""
    found = compressed_views(asset.doc)
    if not found:
        return
    lib = _library(found[0][1])
    views = list(asset.doc["bufferViews"])
    buffers = list(asset.buffers)
    for i, ext, info in found:
        what = f"bufferView {i}"
        decoded = decode_view(lib, asset, info, ext, what)
        view = {k: v for k, v in views[i].items() if k != "extensions"}
        rest = {k: v for k, v in (views[i].get("extensions") or {}).items() if k != ext}
        if rest:
            view["extensions"] = rest
        # The view keeps its own byteStride: the accessors read the decoded bytes as
        # they would have read uncompressed ones.
        view.update(buffer=len(buffers), byteOffset=0, byteLength=len(decoded))
        buffers.append(decoded)
        views[i] = view
    asset.doc = dict(asset.doc, bufferViews=views)
    asset.buffers = buffers

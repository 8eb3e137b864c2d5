"""Instanced 3D models (i3dm): one glTF model and the placement of each of its instances.

The 32-byte header gives the lengths of the feature table (JSON and binary), of the
batch table (JSON and binary) and whether the glTF follows embedded (`gltfFormat` 1)
or as a URI to fetch (`gltfFormat` 0). The feature table holds, per instance, a
position (POSITION, or POSITION_QUANTIZED with QUANTIZED_VOLUME_OFFSET/_SCALE), an
orientation (NORMAL_UP + NORMAL_RIGHT, their oct-encoded _OCT32P forms, or
EAST_NORTH_UP), and a scale (SCALE, SCALE_NON_UNIFORM); RTC_CENTER moves all positions.

The reader returns the model's GltfAsset with an `Instances` record in
`asset.extras["instances"]`; placement turns it into one matrix per instance once the
tile's transform is known (east-north-up is taken at the instance's ECEF position).
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

import numpy as np

from ..errors import ConversionError
from .gltf import GLB_MAGIC, GltfAsset, json_from_bytes, parse_glb, parse_gltf_json

I3DM_MAGIC = b"i3dm"
HEADER = 32
# The most instances one tile may declare: beyond this the per-instance arrays alone
# would not fit in memory, and a corrupt count must not allocate them.
MAX_INSTANCES = 1 << 26

_DTYPES = {"BYTE": "i1", "UNSIGNED_BYTE": "u1", "SHORT": "<i2", "UNSIGNED_SHORT": "<u2",
           "INT": "<i4", "UNSIGNED_INT": "<u4", "FLOAT": "<f4", "DOUBLE": "<f8"}
# Per-instance properties: (components, default component type, allowed component types).
_INSTANCE_PROPS = {
    "POSITION": (3, "FLOAT", ("FLOAT",)),
    "POSITION_QUANTIZED": (3, "UNSIGNED_SHORT", ("UNSIGNED_SHORT",)),
    "NORMAL_UP": (3, "FLOAT", ("FLOAT",)),
    "NORMAL_RIGHT": (3, "FLOAT", ("FLOAT",)),
    "NORMAL_UP_OCT32P": (2, "UNSIGNED_SHORT", ("UNSIGNED_SHORT",)),
    "NORMAL_RIGHT_OCT32P": (2, "UNSIGNED_SHORT", ("UNSIGNED_SHORT",)),
    "SCALE": (1, "FLOAT", ("FLOAT",)),
    "SCALE_NON_UNIFORM": (3, "FLOAT", ("FLOAT",)),
}


@dataclass
class Instances:
    """Where each instance of an i3dm model goes, in the tile's frame (z-up)."""

    positions: np.ndarray  # (K, 3) float64, RTC_CENTER included
    rotations: np.ndarray | None  # (K, 3, 3) columns right, up, forward; None: see enu
    scales: np.ndarray  # (K, 3)
    enu: bool = False  # rotate each instance into east-north-up at its ECEF position

    def __len__(self) -> int:
        return len(self.positions)


def _global_vec3(ft: dict, ft_bin: memoryview, name: str) -> np.ndarray | None:
    """A three-number global property, given inline or as a binary reference."""
    val = ft.get(name)
    if val is None:
        return None
    if isinstance(val, dict):
        arr = _binary(ft_bin, val, name, 1, 3, "FLOAT")[0]
    else:
        try:
            arr = np.asarray([float(v) for v in val], dtype=np.float64)
        except (TypeError, ValueError):
            raise ConversionError(f"the i3dm feature table's {name} is not three numbers") from None
        if arr.shape != (3,):
            raise ConversionError(f"the i3dm feature table's {name} is not three numbers")
    arr = np.asarray(arr, dtype=np.float64)
    if not np.all(np.isfinite(arr)):
        raise ConversionError(f"the i3dm feature table's {name} is not finite")
    return arr


def _binary(ft_bin: memoryview, ref: dict, name: str, count: int, width: int, ctype: str) -> np.ndarray:
    """`count` rows of `width` components of the feature table's binary body."""
    try:
        off = int(ref.get("byteOffset", 0))
    except (TypeError, ValueError, OverflowError):
        raise ConversionError(f"the i3dm feature table's {name} has a non-numeric byteOffset") from None
    dt = np.dtype(_DTYPES[ctype])
    size = count * width * dt.itemsize
    if off < 0 or off + size > len(ft_bin):
        have = max(0, (len(ft_bin) - max(off, 0)) // (width * dt.itemsize))
        raise ConversionError(
            f"the i3dm feature table's {name} holds {have} of the {count} instances it must have "
            "(its data ends early)")
    return np.frombuffer(ft_bin, dtype=dt, count=count * width, offset=off).reshape(count, width)


def _instance_prop(ft: dict, ft_bin: memoryview, name: str, count: int) -> np.ndarray | None:
    ref = ft.get(name)
    if ref is None:
        return None
    width, default, allowed = _INSTANCE_PROPS[name]
    if not isinstance(ref, dict):
        raise ConversionError(f"the i3dm feature table's {name} is not a reference into its binary body")
    ctype = ref.get("componentType", default)
    if ctype not in allowed:
        raise ConversionError(f"the i3dm feature table's {name} has component type {ctype!r}; "
                              f"{' or '.join(allowed)} expected")
    return _binary(ft_bin, ref, name, count, width, ctype).astype(np.float64)


def _oct_decode(enc: np.ndarray) -> np.ndarray:
    """Unit vectors from oct-encoded pairs in 0..65535."""
    xy = enc / 65535.0 * 2.0 - 1.0
    x, y = xy[:, 0], xy[:, 1]
    z = 1.0 - np.abs(x) - np.abs(y)
    neg = z < 0
    sx, sy = np.where(x >= 0, 1.0, -1.0), np.where(y >= 0, 1.0, -1.0)
    x2 = np.where(neg, (1.0 - np.abs(y)) * sx, x)
    y2 = np.where(neg, (1.0 - np.abs(x)) * sy, y)
    return np.stack([x2, y2, z], axis=1)


def _unit(v: np.ndarray, name: str) -> np.ndarray:
    n = np.linalg.norm(v, axis=1)
    bad = ~(np.isfinite(n) & (n > 1e-12))
    if bad.any():
        k = int(np.argmax(bad))
        raise ConversionError(f"instance {k}'s {name} has zero length or is not finite")
    return v / n[:, None]


def orientation(up: np.ndarray, right: np.ndarray) -> np.ndarray:
    """(K, 3, 3) rotations whose columns are right, up and right x up, made orthonormal
    (stored vectors are unit and orthogonal only to a few decimals)."""
    up = _unit(up, "NORMAL_UP")
    right = _unit(right, "NORMAL_RIGHT")
    # Gram-Schmidt, twice: one pass leaves rounding errors large where the two are
    # nearly parallel; truly parallel vectors give no orientation at all.
    perp = right - np.sum(right * up, axis=1)[:, None] * up
    parallel = np.linalg.norm(perp, axis=1) < 1e-6
    if parallel.any():
        raise ConversionError(f"instance {int(np.argmax(parallel))}'s NORMAL_RIGHT is parallel to its NORMAL_UP")
    right = _unit(perp, "NORMAL_RIGHT")
    right = _unit(right - np.sum(right * up, axis=1)[:, None] * up, "NORMAL_RIGHT")
    forward = np.cross(right, up)
    return np.stack([right, up, forward], axis=2)


def read_instances(ft: dict, ft_bin: memoryview) -> Instances:
    """The instances described by a parsed feature table (JSON and binary body)."""
    n = ft.get("INSTANCES_LENGTH")
    if isinstance(n, dict):
        n = int(_binary(ft_bin, n, "INSTANCES_LENGTH", 1, 1, "UNSIGNED_INT")[0, 0])
    if isinstance(n, bool) or not isinstance(n, int) or n < 0:
        raise ConversionError("the i3dm feature table has no valid INSTANCES_LENGTH")
    if n > MAX_INSTANCES:
        raise ConversionError(f"the i3dm feature table declares {n} instances, more than {MAX_INSTANCES}")
    pos = _instance_prop(ft, ft_bin, "POSITION", n)
    if pos is None:
        q = _instance_prop(ft, ft_bin, "POSITION_QUANTIZED", n)
        if q is None:
            raise ConversionError("the i3dm feature table has neither POSITION nor POSITION_QUANTIZED")
        offset = _global_vec3(ft, ft_bin, "QUANTIZED_VOLUME_OFFSET")
        scale = _global_vec3(ft, ft_bin, "QUANTIZED_VOLUME_SCALE")
        if offset is None or scale is None:
            raise ConversionError("the i3dm feature table has POSITION_QUANTIZED without "
                                  "QUANTIZED_VOLUME_OFFSET and QUANTIZED_VOLUME_SCALE")
        pos = q / 65535.0 * scale + offset
    rtc = _global_vec3(ft, ft_bin, "RTC_CENTER")
    if rtc is not None:
        pos = pos + rtc
    if not np.all(np.isfinite(pos)):
        raise ConversionError("some i3dm instance positions are not finite")

    up, right = _instance_prop(ft, ft_bin, "NORMAL_UP", n), _instance_prop(ft, ft_bin, "NORMAL_RIGHT", n)
    if up is None and right is None:
        up_o = _instance_prop(ft, ft_bin, "NORMAL_UP_OCT32P", n)
        right_o = _instance_prop(ft, ft_bin, "NORMAL_RIGHT_OCT32P", n)
        if (up_o is None) != (right_o is None):
            raise ConversionError("the i3dm feature table has only one of NORMAL_UP_OCT32P and NORMAL_RIGHT_OCT32P")
        if up_o is not None:
            up, right = _oct_decode(up_o), _oct_decode(right_o)
    elif up is None or right is None:
        raise ConversionError("the i3dm feature table has only one of NORMAL_UP and NORMAL_RIGHT")
    rotations = orientation(up, right) if up is not None else None
    enu = rotations is None and bool(ft.get("EAST_NORTH_UP", False))

    scales = np.ones((n, 3))
    s = _instance_prop(ft, ft_bin, "SCALE", n)
    if s is not None:
        scales *= s
    s3 = _instance_prop(ft, ft_bin, "SCALE_NON_UNIFORM", n)
    if s3 is not None:
        scales *= s3
    if not np.all(np.isfinite(scales)):
        raise ConversionError("some i3dm instance scales are not finite")
    return Instances(positions=pos, rotations=rotations, scales=scales, enu=enu)


def parse_header(mv: memoryview) -> tuple[dict, memoryview, int, memoryview]:
    """(feature table JSON, feature table binary, gltfFormat, glTF part) of an i3dm;
    the batch table is checked to be JSON and otherwise left alone."""
    if len(mv) < HEADER:
        raise ConversionError(f"the i3dm is truncated ({len(mv)} bytes, the header alone needs {HEADER})")
    magic, version, byte_length, ftj, ftb, btj, btb, fmt = struct.unpack_from("<4s7I", mv, 0)
    if magic != I3DM_MAGIC:
        raise ConversionError("the content does not start with the i3dm magic")
    if version != 1:
        raise ConversionError(f"the i3dm has unknown version {version}")
    if byte_length > len(mv):
        raise ConversionError(
            f"the i3dm is truncated: its header says {byte_length} bytes, only {len(mv)} are present")
    gltf_start = HEADER + ftj + ftb + btj + btb
    if gltf_start > byte_length:
        raise ConversionError("the i3dm's table lengths run past the end of the tile")
    if fmt not in (0, 1):
        raise ConversionError(f"the i3dm has unknown gltfFormat {fmt} (0: URI, 1: embedded)")
    ft = json_from_bytes(mv[HEADER:HEADER + ftj], "the i3dm feature table") if ftj else {}
    ft_bin = mv[HEADER + ftj:HEADER + ftj + ftb]
    if btj:
        json_from_bytes(mv[HEADER + ftj + ftb:HEADER + ftj + ftb + btj], "the i3dm batch table")
    return ft, ft_bin, fmt, mv[gltf_start:byte_length]


def _model(part: memoryview, fmt: int, base, what: str) -> GltfAsset:
    if fmt == 0:
        uri = bytes(part).rstrip(b" \x00\t\r\n").decode("utf-8", "replace")
        if not uri:
            raise ConversionError(f"{what} refers to its glTF by URI, but the URI is empty")
        try:
            loc = base.join(uri)
            data = loc.read()
        except ConversionError as exc:
            raise ConversionError(f"{what}'s external glTF {uri!r} cannot be read ({exc})") from None
        except OSError as exc:
            raise ConversionError(f"{what}'s external glTF {uri!r} cannot be read ({exc})") from None
        return _parse(memoryview(data), loc, f"the glTF {uri!r} of the i3dm")
    return _parse(part, base, "the GLB inside the i3dm")


def _parse(data: memoryview, base, what: str) -> GltfAsset:
    if bytes(data[:4]) == GLB_MAGIC:
        return parse_glb(data, base, what=what)
    if bytes(data[:64]).lstrip()[:1] == b"{":
        return parse_gltf_json(bytes(data), base)
    raise ConversionError(f"{what} is neither a GLB nor glTF JSON")


def parse_i3dm(data: bytes | memoryview, base, notes: list[str] | None = None, depth: int = 0,
               what: str | None = None) -> list[GltfAsset]:
    """The model of an i3dm as a GltfAsset whose `extras["instances"]` places its copies
    (the decoding registry's reader signature)."""
    mv = memoryview(data)
    ft, ft_bin, fmt, part = parse_header(mv)
    instances = read_instances(ft, ft_bin)
    name = f"the i3dm ({what})" if what else "the i3dm"
    if len(instances) == 0:
        if notes is not None:
            notes.append(f"{name} places no instances")
        return []
    asset = _model(part, fmt, base, name)
    asset.container = "i3dm"
    asset.extras["instances"] = instances
    return [asset]

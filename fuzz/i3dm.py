"""Fuzz harness: the i3dm header and feature-table reader (tessaroid.decoding.i3dm).

A structure-aware generator builds i3dm tiles: a header whose lengths agree with
the body or not, a feature table JSON with INSTANCES_LENGTH (right, too large,
negative, a float, a binary reference), per-instance properties (POSITION or
POSITION_QUANTIZED, NORMAL_UP/RIGHT or their _OCT32P forms, SCALE,
SCALE_NON_UNIFORM) at random byte offsets with random or wrong component types,
global properties inline, as binary references or malformed, a binary body of
random length and bytes, a batch table that is JSON or not, and truncations.

The contract: the reader either raises ConversionError, or returns instances
whose count is INSTANCES_LENGTH, whose positions equal a short NumPy reading of
the feature table (POSITION, or the dequantised POSITION_QUANTIZED, plus
RTC_CENTER), all finite, whose scales are finite, and whose rotations (when
present) are orthonormal with determinant +1. Any other exception is a fault.
"""

from __future__ import annotations

import json
import re
import struct
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _common import Provider, main, signal  # noqa: E402

from tessaroid.decoding import i3dm  # noqa: E402
from tessaroid.errors import ConversionError  # noqa: E402

PROPS = [("POSITION", 12), ("POSITION_QUANTIZED", 6), ("NORMAL_UP", 12), ("NORMAL_RIGHT", 12),
         ("NORMAL_UP_OCT32P", 4), ("NORMAL_RIGHT_OCT32P", 4), ("SCALE", 4), ("SCALE_NON_UNIFORM", 12)]
CTYPES = [None, None, None, "FLOAT", "UNSIGNED_SHORT", "BYTE", "DOUBLE", 5126, "NOPE", [1]]
GLOBALS = ["RTC_CENTER", "QUANTIZED_VOLUME_OFFSET", "QUANTIZED_VOLUME_SCALE"]
ODD_VALUES = [None, True, "x", [], [1, 2], [1, 2, 3, 4], {"byteOffset": -4}, {"byteOffset": 1e30},
              {"byteOffset": "8"}, 1.5, float("nan"), [float("inf"), 0, 0], {"byteOffset": 2**70}]


def gen_value(p: Provider):
    if p.chance(6):
        return p.pick(ODD_VALUES)
    if p.boolean():
        return [p.pick([0.0, 1.0, -2.5, 200.0, 6378137.0, 1e-9, 1e38]) for _ in range(3)]
    return {"byteOffset": p.int_in(0, 96) * p.pick([1, 4, 4, 4])}


def gen_body(p: Provider, n: int) -> bytes:
    """Random bytes, or finite floats and shorts of the sizes the properties need."""
    full = 12 * 12 + 12 * max(n, 1) + 16  # past the largest offset plus one property
    size = p.int_in(0, full) if p.chance(4) else full
    if p.boolean():
        return p.take(size).ljust(size, b"\0")
    floats = np.array([p.pick([0.0, 1.0, -1.0, 0.5, 3.0, 100.0, 1e-3]) for _ in range(size // 4 + 1)], "<f4")
    return floats.tobytes()[:size]


def generate(data: bytes):
    p = Provider(data)
    n = p.int_in(0, 12)
    ft: dict = {}
    declared = p.pick([n, n, n, n, n + 1, -1, 2**40, 1.0, None, "3", {"byteOffset": 0}])
    if declared is not None:
        ft["INSTANCES_LENGTH"] = declared
    for name, width in PROPS:
        if p.int_in(0, 2) != 1:  # present two times in three (and when the input runs out)
            ref: dict = {"byteOffset": p.int_in(0, 12) * p.pick([width, 4, 1])}
            if p.chance(4):
                ref["componentType"] = p.pick(CTYPES)
            ft[name] = ref if not p.chance(12) else p.pick(ODD_VALUES)
    for name in GLOBALS:
        if p.chance(3):
            ft[name] = gen_value(p)
    if p.chance(3):
        ft["EAST_NORTH_UP"] = p.pick([True, False, 1, "yes"])
    body = gen_body(p, n)
    ft_json = json.dumps(ft).encode() if not p.chance(16) else p.blob(24)
    ft_json += b" " * ((-len(ft_json)) % 8)
    bt_json = p.pick([b"", b"", b"", b'{"Height":[1]}', b"[1]", b"{", b"\xff"])
    gltf = p.pick([b"glTF", b"", b"model.glb", b"{}"])
    lengths = [len(ft_json), len(body), len(bt_json), 0]
    if p.chance(16):
        lengths[p.int_in(0, 3)] += p.int_in(1, 64)
    fmt = p.pick([1, 1, 0, 2])
    total = 32 + len(ft_json) + len(body) + len(bt_json) + len(gltf)
    # Inputs that run out decode to zeros: those choose the well-formed header.
    byte_length = p.pick([total - 1, total + 8, 16]) if p.chance(8) else total
    tile = struct.pack("<4s7I", b"b3dm" if p.chance(16) else b"i3dm", 2 if p.chance(16) else 1,
                       max(byte_length, 0), *lengths, fmt) + ft_json + body + bt_json + gltf
    if p.chance(16):
        tile = tile[:p.int_in(0, len(tile))]
    return tile


def one_input(data: bytes) -> None:
    check_case(generate(data))


def model_positions(ft: dict, body: memoryview, n: int) -> np.ndarray:
    """POSITION, or POSITION_QUANTIZED scaled into its volume, plus RTC_CENTER."""
    def vec3(name):
        v = ft.get(name)
        if isinstance(v, dict):
            return np.frombuffer(body, "<f4", 3, int(v.get("byteOffset", 0))).astype(float)
        return np.asarray(v, dtype=float) if v is not None else None

    if isinstance(ft.get("POSITION"), dict):
        pos = np.frombuffer(body, "<f4", 3 * n, int(ft["POSITION"].get("byteOffset", 0))).reshape(n, 3)
        pos = pos.astype(float)
    else:
        q = np.frombuffer(body, "<u2", 3 * n, int(ft["POSITION_QUANTIZED"].get("byteOffset", 0))).reshape(n, 3)
        pos = q / 65535.0 * vec3("QUANTIZED_VOLUME_SCALE") + vec3("QUANTIZED_VOLUME_OFFSET")
    rtc = vec3("RTC_CENTER")
    return pos if rtc is None else pos + rtc


def check_case(tile: bytes) -> None:
    try:
        ft, body, fmt, _ = i3dm.parse_header(memoryview(tile))
        inst = i3dm.read_instances(ft, body)
    except ConversionError as exc:
        # A few dozen distinct keys: the message up to its first number or quoted value
        # (each new key instruments a function; unbounded keys would exhaust atheris).
        signal(("refused", re.split(r"[0-9'\"(]", str(exc), maxsplit=1)[0][:48]))
        return
    signal(("read", len(inst), inst.rotations is None, inst.enu, fmt))
    n = ft["INSTANCES_LENGTH"]
    if isinstance(n, dict):
        n = int(np.frombuffer(body, "<u4", 1, int(n.get("byteOffset", 0)))[0])
    assert len(inst) == n and inst.positions.shape == (n, 3) and inst.scales.shape == (n, 3)
    assert np.all(np.isfinite(inst.positions)) and np.all(np.isfinite(inst.scales))
    with np.errstate(all="ignore"):
        want = model_positions(ft, body, n)
    np.testing.assert_allclose(inst.positions, want, rtol=1e-12, atol=0)
    if inst.rotations is not None:
        r = inst.rotations
        assert r.shape == (n, 3, 3) and not inst.enu
        np.testing.assert_allclose(np.einsum("kji,kjl->kil", r, r), np.broadcast_to(np.eye(3), r.shape), atol=1e-9)
        np.testing.assert_allclose(np.linalg.det(r), 1.0, atol=1e-9)


def seeds():
    out = [bytes([k]) * 64 for k in (0, 1, 3, 7, 0x55)]
    out += [bytes(range(256)) * 2, bytes([4, 0, 1, 0, 0, 2, 9, 0, 0, 4] * 20)]
    return out


def available() -> bool:
    return True


if __name__ == "__main__":
    main(globals())

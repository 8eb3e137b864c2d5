"""Fuzz harness: format_vertex_lines, format_texcoord_lines, format_face_lines.

Random arrays (dtypes, shapes, memory layouts, read-only flags, hard double
values: ties, subnormals, huge magnitudes, signed zeros and NaNs) are
formatted and compared with a model: the same NumPy conversion, then Python's
own "%.6f" / "%d" per value ("-nan" for a NaN with the sign bit, as C printf
writes it). Every line must be present, whole and in order; an error must be
the model's error type; the input must be left unchanged.
"""

from __future__ import annotations

import sys
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _common import Provider, main, not_implemented  # noqa: E402

from tessaroid import _obj_writer as ow  # noqa: E402

HARD_DOUBLES = [
    0.0, -0.0, 1.0, -1.0, 0.5, 0.1, 0.0078125, -0.0078125, 2.0**-20, 3 * 2.0**-21,
    5e-7, -5e-7, 4.999999e-7, 5.000001e-7, 1e-9, -1e-9, 0.0000015, 0.0000025,
    999999.9999995, 1e15, 1e16 + 2, 2.0**53, 2.0**63, 2.0**64, 9.999999999e22, 1e40, 1e56,
    1e300, 1.7976931348623157e308, -1.7976931348623157e308, 5e-324, 2.2250738585072014e-308,
    6378137.0, -4736309.3431, 4081602.004, float("inf"), float("-inf"), float("nan"),
    -float("nan"),
]
HARD_INTS = [0, 1, -1, 2, 10, 2**31 - 1, -2**31, 2**32, 2**53 + 1, 2**63 - 1, -2**63]
DTYPES = ["<f8", ">f8", "<f4", "<f2", "<i8", "<i4", ">i4", "<u8", "<u1", "|b1", "<c16", "O"]
KINDS = ["vertex", "texcoord", "face"]
TRUTHS = [0, 1, "", "yes", None, [], [0], 0.0, 2]


class Either:
    """The contract allows a result or an error of one of these types."""

    def __init__(self, result, errors):
        self.result, self.errors = result, errors


def fixed6(x: float) -> bytes:
    if x != x:
        return b"-nan" if np.signbit(x) else b"nan"
    return b"%.6f" % x


def model(kind: str, x, with_vt: bool):
    """The expected bytes, an exception type, or Either."""
    dtype = np.int64 if kind == "face" else np.float64
    try:
        arr = np.ascontiguousarray(x, dtype=dtype)
    except Exception as e:  # NumPy's own error, which the module passes on
        return type(e)
    need = 2 if kind == "texcoord" else 3
    if kind == "face":
        if arr.ndim == 1:
            return b""
    elif arr.ndim == 1:
        if arr.size % need:
            return ValueError
        arr = arr.reshape(-1, need)
    if arr.shape[0] == 0:
        # Empty input gives b"" before the buffer is looked at; whether a
        # too-narrow empty array is refused first is left open.
        return Either(b"", ValueError) if arr.ndim == 2 and arr.shape[1] < need else b""
    if arr.ndim != 2 or not arr.flags.writeable or arr.shape[1] < need:
        return ValueError
    rows = arr.tolist()
    if kind == "vertex":
        return b"".join(b"v %s %s %s\n" % (fixed6(r[0]), fixed6(r[1]), fixed6(r[2])) for r in rows)
    if kind == "texcoord":
        return b"".join(b"vt %s %s\n" % (fixed6(r[0]), fixed6(r[1])) for r in rows)
    if with_vt:
        return b"".join(b"f %d/%d %d/%d %d/%d\n" % (r[0], r[0], r[1], r[1], r[2], r[2]) for r in rows)
    return b"".join(b"f %d %d %d\n" % (r[0], r[1], r[2]) for r in rows)


def gen_value(p: Provider, dtype: str):
    if dtype in ("<i8", "<i4", ">i4", "<u8", "<u1", "|b1"):
        v = p.pick(HARD_INTS) if p.boolean() else p.int_in(-1000, 1000)
        info = np.iinfo(dtype) if dtype != "|b1" else None
        if info is not None:
            v = min(max(v, info.min), info.max)
        return v
    r = p.int_in(0, 3)
    if r == 0:
        return p.pick(HARD_DOUBLES)
    if r == 1:
        return p.float64_bits()
    if r == 2:
        return p.int_in(-10**7, 10**7) / 8.0
    return p.int_in(-(2**20), 2**20) * 2.0**-20


def gen_input(p: Provider):
    """(kind, array-like, with_vt)"""
    kind = p.pick(KINDS)
    with_vt = p.pick(TRUTHS)
    dtype = p.pick(DTYPES)
    ndim = p.pick([2, 2, 2, 1, 1, 3, 0])
    rows = p.pick([0, 1, 1, 2, 3, 5, 17])
    cols = p.pick([3, 3, 2, 4, 1, 0, 6])
    shape = {0: (), 1: (rows * p.pick([1, 2, 3, 4]) + p.int_in(0, 1),), 2: (rows, cols), 3: (rows, cols, p.int_in(0, 2))}[ndim]
    values = [gen_value(p, dtype) for _ in range(int(np.prod(shape)) if shape else 1)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dtype == "O":
            arr = np.empty(len(values), dtype=object)
            arr[:] = values
            if values and p.chance(8):
                arr[p.int_in(0, len(values) - 1)] = p.pick([None, "1.5", "x", b"2", [1]])
            arr = arr.reshape(shape)
        else:
            arr = np.array(values, dtype=np.float64 if dtype[1] in "fc" else object).astype(dtype).reshape(shape)
    layout = p.int_in(0, 5)
    if layout == 1 and arr.ndim >= 2:
        arr = np.asfortranarray(arr)
    elif layout == 2 and arr.ndim >= 1 and arr.shape[0] > 0:
        big = np.repeat(arr, 2, axis=0)
        arr = big[::2]
    elif layout == 3:
        arr.flags.writeable = False
    elif layout == 4:
        return kind, arr.tolist(), with_vt
    return kind, arr, with_vt


def call(kind, x, with_vt):
    if kind == "vertex":
        return ow.format_vertex_lines(x)
    if kind == "texcoord":
        return ow.format_texcoord_lines(x)
    return ow.format_face_lines(x, with_vt)


def first_difference(expected: bytes, got: bytes) -> str:
    le, lg = expected.split(b"\n"), got.split(b"\n")
    i = next((i for i, (a, b) in enumerate(zip(le, lg)) if a != b), min(len(le), len(lg)))
    return (f"first difference at line {i}: expected {le[i:i + 1]!r}, got {lg[i:i + 1]!r} "
            f"({len(le) - 1} vs {len(lg) - 1} lines)")


def check(label: str, expected, got) -> None:
    """Compares a call's outcome (a result or the exception it raised) with
    the model's (bytes, an exception type, or Either)."""
    if isinstance(expected, Either):
        if isinstance(got, BaseException):
            expected = expected.errors
        else:
            expected = expected.result
    if isinstance(expected, bytes):
        if isinstance(got, BaseException):
            raise AssertionError(f"{label}: expected {len(expected)} bytes, got {type(got).__name__}: {got}") from got
        assert isinstance(got, bytes), f"{label}: result is {type(got).__name__}, not bytes"
        if got != expected:
            raise AssertionError(f"{label}: {first_difference(expected, got)}")
    elif not isinstance(got, BaseException):
        raise AssertionError(f"{label}: expected {expected.__name__}, got a result of {len(got)} bytes")
    elif not isinstance(got, expected):
        raise AssertionError(f"{label}: expected {expected.__name__}, got {type(got).__name__}: {got}") from got


def generate(data: bytes):
    return gen_input(Provider(data))


def one_input(data: bytes) -> None:
    check_case(generate(data))


def check_case(case) -> None:
    kind, x, with_vt = case
    before = x.tobytes() if isinstance(x, np.ndarray) and x.dtype != object else None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = model(kind, x, bool(with_vt))
        try:
            got = call(kind, x, with_vt)
        except NotImplementedError:
            return
        except Exception as e:  # compared with the model
            got = e
    check(f"{kind} {x.dtype} {x.shape}" if isinstance(x, np.ndarray) else f"{kind} {type(x).__name__}", expected, got)
    if before is not None:
        assert x.tobytes() == before, f"{kind}: the input array was changed"


def seeds():
    out = []
    for kind in range(3):
        for n in (1, 3, 40):
            out.append(bytes([kind, 1, 0, 0, 1, 0]) + bytes(range(n)))
    return out


def available() -> bool:
    return not not_implemented(lambda: ow.format_vertex_lines([[1.0, 2.0, 3.0]]))


if __name__ == "__main__":
    main(globals())

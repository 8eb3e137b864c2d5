"""Fuzz harness: compute_obj_extent and shift_obj_file on generated OBJ files.

Files are built from adversarial lines (number syntaxes that C's scanf
treats in odd ways, blanks, tabs, CR, NUL bytes, 511/512-byte lines, vt/vn/f
lines, raw bytes). The model is the C library itself: sscanf with
"v %lf %lf %lf%n" through ctypes decides which lines are vertex lines, what
they hold and where the third number ends. The extent must equal the model's
bit for bit; the shifted file must hold exactly the model's bytes (the three
numbers rewritten as "%.6f", everything after them kept), the count must
match, the permission bits must stay, and no temporary file may remain.
"""

from __future__ import annotations

import ctypes
import math
import os
import shutil
import stat
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _common import Provider, main, not_implemented, same_float, work_folder  # noqa: E402

from tessaroid import _obj_writer as ow  # noqa: E402

_libc = ctypes.CDLL(None)
_sscanf = _libc.sscanf
_sscanf.restype = ctypes.c_int

NUMBERS = [
    b"1", b"-1", b"0", b"-0", b"1.5", b"-0.25", b"+3", b".5", b"5.", b"1e5", b"1E-5", b"1e", b"1e+",
    b"-", b"+", b".", b"0x1p3", b"0x1.8p-2", b"0x", b"0X1P", b"inf", b"-INF", b"infinity", b"infin",
    b"nan", b"-nan", b"NAN(123)", b"nan(", b"nan()", b"1e999", b"-1e999", b"1e-999", b"4.9e-324",
    b"2.2250738585072014e-308", b"123456789012345678901234567890", b"0.000000000000000000001",
    b"1,5", b"6378137.000000", b"-4736309.343100", b"1.7976931348623157e308", b"1.8e308",
    b"00000000001", b"1_0", b"--1", b"+-1", b"1e0001", b"9007199254740993", b"0.1e-5",
]
SEPS = [b" ", b" ", b" ", b"  ", b"\t", b"", b"\v", b"\f", b" \t "]
PREFIXES = [b"v ", b"v ", b"v ", b"v ", b"v  ", b"v\t", b" v ", b"vt ", b"vn ", b"vp ", b"V ", b"v", b"f "]
TAILS = [b"", b"", b"", b" 0.5 0.5 0.5", b" # comment", b"\r", b" 1", b"\t\r", b"\0abc", b" \xff\xfe"]
ENDINGS = [b"\n", b"\n", b"\n", b"\r\n", b"\r"]
DELTAS = [0.0, 1.0, -1.0, 10.0, 0.5, 1e-7, 6378137.0, -4736309.3431, 1e300, float("inf"), float("nan"), -0.0]


def scan(line: bytes):
    """sscanf(line, "v %lf %lf %lf%n") on the line cut at its first NUL, as
    the module's 512-byte line buffer is: (x, y, z, end) or None."""
    x, y, z, n = ctypes.c_double(), ctypes.c_double(), ctypes.c_double(), ctypes.c_int(-1)
    got = _sscanf(ctypes.c_char_p(line), b"v %lf %lf %lf%n", ctypes.byref(x), ctypes.byref(y),
                  ctypes.byref(z), ctypes.byref(n))
    if got != 3:
        return None
    return x.value, y.value, z.value, n.value


def lines_of(data: bytes):
    """(line, has_newline) for every line, split on 0x0A only."""
    parts = data.split(b"\n")
    for i, part in enumerate(parts):
        last = i == len(parts) - 1
        if last and part == b"":
            break
        yield part, not last


def vertex(line: bytes):
    if 4 <= len(line) <= 511 and line[:2] == b"v ":
        return scan(line)
    return None


def model_extent(data: bytes):
    box = None
    for line, _ in lines_of(data):
        v = vertex(line)
        if v is None:
            continue
        if box is None:
            box = [v[0], v[1], v[2], v[0], v[1], v[2]]
            continue
        for axis in range(3):
            if box[axis] > v[axis]:
                box[axis] = v[axis]
            elif box[axis + 3] < v[axis]:
                box[axis + 3] = v[axis]
    return None if box is None else tuple(box)


def fixed6(x: float) -> bytes:
    """C printf's "%.6f" (a NaN with the sign bit set is "-nan")."""
    if x != x:
        return b"-nan" if math.copysign(1.0, x) < 0 else b"nan"
    return b"%.6f" % x


def model_shift(data: bytes, d):
    out, count = [], 0
    for line, newline in lines_of(data):
        v = vertex(line)
        if v is None:
            out.append(line + (b"\n" if newline else b""))
            continue
        x, y, z, end = v
        out.append(b"v %s %s %s" % (fixed6(x - d[0]), fixed6(y - d[1]), fixed6(z - d[2])) + line[end:] + b"\n")
        count += 1
    return b"".join(out), count


def gen_line(p: Provider) -> bytes:
    r = p.int_in(0, 9)
    if r == 0:
        return p.blob(40).replace(b"\n", b" ")
    if r == 1:
        return p.pick([b"vt 0.5 0.5", b"vn 0 0 1", b"f 1 2 3", b"f 1/1 2/2 3/3", b"# v 1 2 3", b"g grp",
                       b"usemtl m", b"", b"v 1 2", b"v", b"v "])
    parts = [p.pick(PREFIXES)]
    for k in range(p.pick([3, 3, 3, 2, 4])):
        if k:
            parts.append(p.pick(SEPS))
        parts.append(p.pick(NUMBERS) if p.boolean() else (b"%r" % p.float64_bits()).replace(b"'", b""))
    parts.append(p.pick(TAILS))
    line = b"".join(parts)
    if p.chance(8):  # around the 511-byte limit
        target = p.int_in(509, 514)
        line = line + b" " * max(0, target - len(line) - 1) + b"9"
    return line


def gen_file(p: Provider) -> bytes:
    if p.chance(50):  # output outgrows the input by far more than 4096 bytes
        return b"v 1 2 3\n" * p.int_in(300, 700)
    lines = [gen_line(p) for _ in range(p.int_in(0, 24))]
    body = b"".join(line + p.pick(ENDINGS) for line in lines)
    if lines and p.boolean():  # last line without its newline
        body = body.rstrip(b"\n")
    return body


def generate(data: bytes):
    p = Provider(data)
    content = gen_file(p)
    d = (p.pick(DELTAS), p.pick(DELTAS), p.pick(DELTAS))
    mode = p.pick([0o644, 0o600, 0o640, 0o755, 0o444])
    return content, d, mode


def one_input(data: bytes) -> None:
    check_case(generate(data))


def check_case(case) -> None:
    content, d, mode = case
    folder = work_folder("obj")
    for name in os.listdir(folder):
        os.unlink(os.path.join(folder, name))
    if True:
        path = os.path.join(folder, "tile.obj")
        with open(path, "wb") as f:
            f.write(content)
        os.chmod(path, mode)

        want = model_extent(content)
        got = ow.compute_obj_extent(path)
        if want is None or got is None:
            assert got is None and want is None, f"extent: expected {want}, got {got}"
        else:
            assert isinstance(got, tuple) and len(got) == 6, f"extent: {got!r}"
            assert all(same_float(a, b) for a, b in zip(want, got)), f"extent: expected {want}, got {got}"

        want_bytes, want_count = model_shift(content, d)
        count = ow.shift_obj_file(path, *d)
        with open(path, "rb") as f:
            written = f.read()
        assert count == want_count, f"shift: count {count}, expected {want_count}"
        if written != want_bytes:
            a, b = want_bytes.split(b"\n"), written.split(b"\n")
            i = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            raise AssertionError(f"shift: line {i}: expected {a[i:i + 1]!r}, got {b[i:i + 1]!r}")
        assert os.listdir(folder) == ["tile.obj"], f"shift left files behind: {os.listdir(folder)}"
        assert stat.S_IMODE(os.stat(path).st_mode) == mode, "shift changed the permission bits"




def seeds():
    return [bytes([2, 0, 3, 0, 1, 0, 5, 0, 0, 0]) * k for k in (1, 4, 16)] + [b"\x03" * 64, b"\x07" * 300]


def available() -> bool:
    folder = tempfile.mkdtemp(prefix="tsr-fuzz-obj-")
    try:
        path = os.path.join(folder, "probe.obj")
        Path(path).write_bytes(b"v 1 2 3\n")
        return not (not_implemented(lambda: ow.compute_obj_extent(path))
                    or not_implemented(lambda: ow.shift_obj_file(path, 0, 0, 0)))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main(globals())

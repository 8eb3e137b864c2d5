"""compute_obj_extent and shift_obj_file against a reference model built on the C
library itself: sscanf("v %lf %lf %lf%n") and snprintf("%.6f") through ctypes, in
the C locale, over generated files full of awkward lines."""

import ctypes
import ctypes.util
import json
import os
import random
import struct
import subprocess
import sys
import textwrap
from contextlib import contextmanager
from pathlib import Path

import pytest

from conftest import test_seed


libc = ctypes.CDLL(ctypes.util.find_library("c"))
libc.newlocale.restype = ctypes.c_void_p
libc.newlocale.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p]
libc.uselocale.restype = ctypes.c_void_p
libc.uselocale.argtypes = [ctypes.c_void_p]
LC_ALL_MASK = 8127  # glibc: every category bit but LC_ALL's
C_LOCALE = libc.newlocale(LC_ALL_MASK, b"C", None)


@contextmanager
def c_locale():
    prev = libc.uselocale(C_LOCALE)
    try:
        yield
    finally:
        libc.uselocale(prev)


# ---------------------------------------------------------------- reference model

def ref_vertex(line):
    """(x, y, z, end of the third number) when `line` is a vertex line, else None."""
    if not (4 <= len(line) <= 511 and line[:2] == b"v "):
        return None
    x, y, z, n = ctypes.c_double(), ctypes.c_double(), ctypes.c_double(), ctypes.c_int(-1)
    with c_locale():
        got = libc.sscanf(line, b"v %lf %lf %lf%n", ctypes.byref(x), ctypes.byref(y),
                          ctypes.byref(z), ctypes.byref(n))
    return (x.value, y.value, z.value, n.value) if got == 3 else None


def ref_extent(data):
    box = None
    for line in data.split(b"\n"):
        v = ref_vertex(line)
        if v is None:
            continue
        if box is None:
            box = [v[0], v[1], v[2], v[0], v[1], v[2]]
            continue
        for k in range(3):
            if box[k] > v[k]:
                box[k] = v[k]
            elif box[3 + k] < v[k]:
                box[3 + k] = v[k]
    return None if box is None else tuple(box)


def ref_fixed6(x, y, z):
    buf = ctypes.create_string_buffer(1100)
    with c_locale():
        n = libc.snprintf(buf, 1100, b"v %.6f %.6f %.6f", ctypes.c_double(x),
                          ctypes.c_double(y), ctypes.c_double(z))
    return buf.raw[:n]


def ref_shift(data, dx, dy, dz):
    lines = data.split(b"\n")
    out, count = [], 0
    for i, line in enumerate(lines):
        last = i == len(lines) - 1
        v = ref_vertex(line)
        if v is None:
            out.append(line if last else line + b"\n")
        else:
            out.append(ref_fixed6(v[0] - dx, v[1] - dy, v[2] - dz) + line[v[3]:] + b"\n")
            count += 1
    return b"".join(out), count


NAN = float("nan")


def bits(values):
    return None if values is None else [struct.pack("<d", v) for v in values]


# ---------------------------------------------------------------- generated files

ODD_NUMBERS = [
    "+1", "1e999", "-1e999", "1e-999", "4.9e-324", "2e-320", ".5", "5.", "-.5", "1e", "1e+",
    "1e-", "-", ".", "+", "0x1p3", "0X1.8P+1", "0x", "0x.p1", "inf", "-inf", "INF", "infinity",
    "infin", "nan", "-nan", "NaN", "nan(123)", "nan(", "1.5.5", "1-2", "00012.5000", "-0",
    "-0.0000004", "1e22", "1e23", "9007199254740993", "9007199254740992.5",
    "123456789012345678901234567890.5", "1.7976931348623157e308", "1.7976931348623159e308",
    "2.2250738585072011e-308", "1,5", "1_0", "e5", "", "0.1", "3.14159265358979323846",
]
SEPARATORS = [" ", " ", " ", "  ", "\t", " \t ", "\v", "\f", "\r", ""]
TAILS = ["", "", "", "\r", " 0.5 0.25 1", " 1.0", " # note", "abc", "\t\r", "\x00junk",
         "e", "x1", ".5", "/1", "-2"]
PREFIXES = ["v "] * 12 + ["v  ", "v\t", " v ", "\tv ", "vt ", "vn ", "vp ", "f ", "V ", "v",
                          "# v ", "v\r"]


def rand_decimal(rng):
    """Plain decimals, dense around the exact-division limits (2^53, 22 digits)."""
    sign = rng.choice(["", "", "-"])
    whole = "".join(rng.choice("0123456789") for _ in range(rng.choice([0, 1, 2, 6, 7, 8, 9, 15, 17, 20])))
    frac = "".join(rng.choice("0123456789") for _ in range(rng.choice([0, 1, 6, 6, 6, 7, 8, 9, 15, 22, 23, 30])))
    text = whole + ("." + frac if frac or rng.random() < 0.2 else "")
    if not any(c.isdigit() for c in text):
        text = "0" + text
    if rng.random() < 0.15:
        text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randrange(0, 330))
    return sign + text


def rand_number(rng):
    return rand_decimal(rng) if rng.random() < 0.75 else rng.choice(ODD_NUMBERS)


def rand_line(rng):
    kind = rng.random()
    if kind < 0.08:  # around the 511-byte limit, CR included
        nums = " ".join(rand_decimal(rng) for _ in range(3))
        cr = rng.choice(["", "\r"])
        width = rng.choice([510, 511, 512]) - len(cr)
        return ("v" + " " * max(1, width - 1 - len(nums)) + nums + cr).encode()
    prefix = rng.choice(PREFIXES)
    nums = [rand_number(rng) for _ in range(rng.choice([3, 3, 3, 3, 2, 4]))]
    text = nums[0]
    for n in nums[1:]:
        text += rng.choice(SEPARATORS) + n
    return (prefix + text + rng.choice(TAILS)).encode()


def rand_file(rng, lines):
    out = []
    for _ in range(lines):
        out.append(rand_line(rng))
        out.append(rng.choice([b"\n"] * 14 + [b"\r\n"] * 5 + [b"\r"]))
    if rng.random() < 0.5:
        out.pop()  # a last line without a newline
    return b"".join(out)


@pytest.fixture(scope="module")
def seed():
    return test_seed("obj_file")


# ---------------------------------------------------------------- tests

def test_generated_files_match_c_library(ow, tmp_path, seed):
    rng = random.Random(seed)
    path = str(tmp_path / "t.obj")
    for _ in range(30):
        data = rand_file(rng, rng.choice([1, 5, 200]))
        Path(path).write_bytes(data)
        assert bits(ow.compute_obj_extent(path)) == bits(ref_extent(data))
        d = rng.choice([(0.0, 0.0, 0.0), (1.0, -2.5, 1e6), (rng.uniform(-1e7, 1e7), 0.5, -0.125)])
        assert ow.shift_obj_file(path, *d) == ref_shift(data, *d)[1]
        assert Path(path).read_bytes() == ref_shift(data, *d)[0]


def test_parsed_values_are_bit_exact(ow, tmp_path, seed):
    rng = random.Random(seed + 1)
    def near_2_53():  # 16-digit mantissas just past 2^53: exact division no longer applies
        m = str(rng.randrange(2**53 - 50, 10**16))
        return f"{m[:8]}.{m[8:]}"
    for i in range(1000):
        line = ("v " + " ".join(rand_decimal(rng) if i % 3 else near_2_53()
                                for _ in range(3))).encode()
        path = tmp_path / f"{i}.obj"  # fresh files: rewriting one is slow on some file systems
        # with and without more text behind the line (the parser reads ahead when it can)
        path.write_bytes(line + (b"\n# " + b"-" * 80 if i % 2 else b""))
        ref = ref_vertex(line)
        want = None if ref is None else ref[:3] * 2
        assert bits(ow.compute_obj_extent(str(path))) == bits(want), line


def fixed_shape_lines():
    """Lines at and just past the edges of the "%.6f" shape the parser reads first:
    0/1/8/9 integer digits, 5/6/7 fraction digits, signs, and what follows a number."""
    plain = ["1234567.123456", "-6399999.999999", "0.000001"]
    shapes = [s + i + "." + f for s in ("", "-", "+")
              for i in ("", "0", "1", "1234567", "12345678", "99999999", "123456789")
              for f in ("12345", "123456", "999999", "000000", "1234567", "12345.", "1234.5")]
    shapes += ["-0.000000", "0.000000", "1.", ".123456", "1.123456e1", "1.123456.1"]
    lines = []
    for shape in shapes:
        for k in range(3):
            nums = plain[:]
            nums[k] = shape
            lines.append("v " + " ".join(nums))
    for sep in (" ", "  ", "\t", "\r", "", "#", "5", "x"):
        for after in ("", "\r", "\t", " ", "#", "# c", "5", "e", ".", "\x00", " 1.000000"):
            lines.append("v" + sep + sep.join(plain) + after)
            lines.append("v " + " ".join(plain[:2]) + sep + plain[2] + after)
            lines.append("v " + plain[0] + sep + " ".join(plain[1:]) + after)
    return [line.encode() for line in lines]


def test_fixed_shape_edges_match_c_library(ow, tmp_path):
    lines = fixed_shape_lines()
    pad = b"\n# " + b"-" * 80  # room to read the line a whole 64 bytes at a time
    for i, line in enumerate(lines):
        path = tmp_path / f"{i}.obj"
        path.write_bytes(line + pad)
        ref = ref_vertex(line)
        want = None if ref is None else ref[:3] * 2
        assert bits(ow.compute_obj_extent(str(path))) == bits(want), line
    # accepted or refused, and the tail kept, line by line
    data = b"\n".join(lines) + pad
    path = tmp_path / "all.obj"
    path.write_bytes(data)
    assert ow.shift_obj_file(str(path), 0.0, 0.0, 0.0) == ref_shift(data, 0.0, 0.0, 0.0)[1]
    assert path.read_bytes() == ref_shift(data, 0.0, 0.0, 0.0)[0]


# Worked examples; the generated files above hold every such kind of line at random.
@pytest.mark.parametrize("text, box", [
    (b"v 1 2 3\r\nv -1 5 0.5\nvt 0 0\nf 1 2 3\n", (-1.0, 2.0, 0.5, 1.0, 5.0, 3.0)),
    (b"v 1 2 3\rv 9 9 9\r", (1.0, 2.0, 3.0, 1.0, 2.0, 3.0)),  # bare CR: one line
    (b"v 1 2 3\nv nan 0 0", (1.0, 0.0, 0.0, 1.0, 2.0, 3.0)),
    (b"v nan 1 2\nv 5 0 3\n", (NAN, 0.0, 2.0, NAN, 1.0, 3.0)),  # a NaN first keeps its axis NaN
    (b"", None), (b"# c\nf 1 2 3\nv 1 2\n v 1 2 3\nv\t1 2 3\n", None),
])
def test_extent_examples(ow, tmp_path, text, box):
    p = tmp_path / "e.obj"
    p.write_bytes(text)
    assert bits(ow.compute_obj_extent(str(p))) == bits(box)


def test_shift_keeps_every_line_when_output_outgrows_input(ow, tmp_path):
    p = tmp_path / "many.obj"
    p.write_bytes(b"v 1 2 3\n" * 200_000 + b"f 1 2 3")
    assert ow.shift_obj_file(str(p), 0, 0, 0) == 200_000
    assert p.read_bytes() == b"v 1.000000 2.000000 3.000000\n" * 200_000 + b"f 1 2 3"


# ---------------------------------------------------------------- locale

@pytest.fixture(scope="module")
def de_locale():
    """A German UTF-8 locale (decimal comma), generated when missing."""
    probe = [sys.executable, "-c", "import locale; locale.setlocale(locale.LC_ALL, 'de_DE.UTF-8')"]
    if subprocess.run(probe, capture_output=True).returncode != 0 and os.geteuid() == 0:
        subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", "de_DE.UTF-8"],
                       capture_output=True)
    if subprocess.run(probe, capture_output=True).returncode != 0:
        pytest.skip("no de_DE.UTF-8 locale")
    return "de_DE.UTF-8"


DE_SCRIPT = textwrap.dedent("""
    import ctypes, ctypes.util, json, locale, sys
    locale.setlocale(locale.LC_ALL, 'de_DE.UTF-8')
    libc = ctypes.CDLL(ctypes.util.find_library('c'))
    def plain_sscanf():
        x = ctypes.c_double()
        return libc.sscanf(b'v 1.5 2.5 3.5', b'v %lf', ctypes.byref(x)), x.value
    assert plain_sscanf() == (1, 1.0), plain_sscanf()  # the locale is in force
    buf = ctypes.create_string_buffer(32)
    libc.snprintf(buf, 32, b"%.6f", ctypes.c_double(1.5))
    assert buf.value == b"1,500000", buf.value  # and printf writes a comma
    from tessaroid import _obj_writer as ow
    box = ow.compute_obj_extent(sys.argv[1])
    count = ow.shift_obj_file(sys.argv[2], 0.5, -1.0, 2.0)
    assert plain_sscanf() == (1, 1.0), 'thread locale not restored'
    text = ow.format_vertex_lines([[1.5, -2.25, 1e20]]) + ow.format_texcoord_lines([[0.5, 0.125]])
    print(json.dumps([None if box is None else [v.hex() for v in box], count, text.decode()]))
""")


def test_numbers_ignore_process_locale(de_locale, tmp_path, seed):
    rng = random.Random(seed + 3)
    data = b"v 1.5 2.5 3.5\n" + rand_file(rng, 300)
    (tmp_path / "a.obj").write_bytes(data)
    (tmp_path / "b.obj").write_bytes(data)
    res = subprocess.run([sys.executable, "-c", DE_SCRIPT, str(tmp_path / "a.obj"),
                          str(tmp_path / "b.obj")], capture_output=True, text=True)
    assert res.returncode == 0, res.stderr
    want_shift, want_count = ref_shift(data, 0.5, -1.0, 2.0)
    assert json.loads(res.stdout) == [[v.hex() for v in ref_extent(data)], want_count,
                                      "v 1.500000 -2.250000 100000000000000000000.000000\n"
                                      "vt 0.500000 0.125000\n"]
    assert (tmp_path / "b.obj").read_bytes() == want_shift

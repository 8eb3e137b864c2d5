"""OBJ line formatters: format_vertex_lines, format_texcoord_lines, format_face_lines.

The numbers must be byte-identical to C printf "%.6f" / "%lld" in the C locale.
Python's own '%.6f' and '%d' give the same text (correctly rounded, exact for
large values); only the sign of a NaN differs, which is checked against the C
library's snprintf itself.
"""

import ctypes
import ctypes.util
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture
def rng():
    seed = int(os.environ.get("TESSAROID_SEED", np.random.SeedSequence().entropy % 2**32))
    print(f"random seed: {seed} (set TESSAROID_SEED to repeat)")
    return np.random.default_rng(seed)


def expected_vertices(rows):
    return "".join("v %.6f %.6f %.6f\n" % (x, y, z) for x, y, z in rows.tolist()).encode()


def expected_texcoords(rows):
    return "".join("vt %.6f %.6f\n" % (u, v) for u, v in rows.tolist()).encode()


def expected_faces(rows, with_vt):
    fmt = "f %d/%d %d/%d %d/%d\n" if with_vt else "f %d %d %d\n"
    if with_vt:
        return "".join(fmt % (a, a, b, b, c, c) for a, b, c in rows.tolist()).encode()
    return "".join(fmt % (a, b, c) for a, b, c in rows.tolist()).encode()


def assert_same_lines(got, want, rows):
    """Equal bytes, or a message naming the first differing row and its values."""
    if got == want:
        return
    g, w = got.split(b"\n"), want.split(b"\n")
    for i, (a, b) in enumerate(zip(g, w)):
        if a != b:
            vals = [v.hex() if isinstance(v, float) else v for v in rows[i].tolist()]
            pytest.fail(f"row {i} {vals}: got {a!r}, want {b!r}")
    pytest.fail(f"line counts differ: got {len(g)}, want {len(w)}")


def awkward_doubles(rng, n):
    """n doubles (no NaN) from every class that stresses six-decimal rounding."""
    k = n // 11
    sign = lambda m: np.where(rng.random(m) < 0.5, -1.0, 1.0)  # noqa: E731
    anything = rng.integers(0, 2**64, k, dtype=np.uint64).view(np.float64)
    parts = [
        np.where(np.isnan(anything), 0.0, anything),  # any bit pattern but NaN
        sign(k) * 10.0 ** rng.uniform(-12, 30, k),  # magnitudes 1e-12 .. 1e30
        sign(k) * rng.integers(1, 1 << 52, k).view(np.float64),  # subnormals
        rng.integers(-(1 << 40), 1 << 40, k) * 2.0**-7,  # odd k: exact ties (0.0078125)
        rng.integers(-(1 << 52), 1 << 52, k) * 2.0**-20,
        sign(k) * rng.uniform(0, 5e-7, k),  # round to (-)0.000000
        sign(k) * rng.integers(0, 1 << 53, k).astype(np.float64),  # integers
        sign(k) * rng.uniform(2.0**42, 2.0**46, k),  # around the exact path's limit
        sign(k) * rng.uniform(0, 6.5e6, k),  # ECEF coordinates
    ]
    # Next to ties: one ulp either side of x.xxxxxx5 exactly representable or not.
    ties = rng.integers(-(10**12), 10**12, k) / 1e6 + 5e-7
    parts.append(np.nextafter(ties, np.where(rng.random(k) < 0.5, np.inf, -np.inf)))
    fixed = np.array([0.0, -0.0, 5e-7, -5e-7, 1.5e-6, 2.5e-6, 0.0078125, -0.0078125,
                      5e-324, -5e-324, 2.2250738585072014e-308, 1e300, -1e300,
                      np.finfo(np.float64).max, -np.finfo(np.float64).max,
                      2.0**44, -(2.0**44), np.nextafter(2.0**44, 0), np.inf, -np.inf])
    values = np.concatenate([fixed, *parts])
    rest = n - len(values)
    if rest > 0:
        values = np.concatenate([values, sign(rest) * 10.0 ** rng.uniform(-8, 16, rest)])
    return rng.permutation(values[:n])


# --- exactness -----------------------------------------------------------------

def test_vertex_numbers_match_printf(ow, rng):
    rows = awkward_doubles(rng, 1_500_000).reshape(-1, 3)
    assert_same_lines(ow.format_vertex_lines(rows), expected_vertices(rows), rows)


def test_texcoord_numbers_match_printf(ow, rng):
    rows = awkward_doubles(rng, 300_000).reshape(-1, 2)
    assert_same_lines(ow.format_texcoord_lines(rows), expected_texcoords(rows), rows)


@pytest.mark.parametrize("with_vt", [False, True])
def test_face_indices_match_printf(ow, rng, with_vt):
    n = 300_000
    raw = rng.integers(np.iinfo(np.int64).min, np.iinfo(np.int64).max, n, dtype=np.int64,
                       endpoint=True)
    # Every digit count from 1 to 19, both signs, and the extremes.
    values = raw >> rng.integers(0, 64, n)
    values[:6] = [0, -1, np.iinfo(np.int64).min, np.iinfo(np.int64).max, 10**8, -(10**16)]
    rows = values.reshape(-1, 3)
    assert_same_lines(ow.format_face_lines(rows, with_vt), expected_faces(rows, with_vt), rows)


def _libc_fixed6(x):
    path = ctypes.util.find_library("c")
    if path is None:
        pytest.skip("C library not found")
    libc = ctypes.CDLL(path)
    buf = ctypes.create_string_buffer(64)
    libc.snprintf(buf, 64, b"%.6f", ctypes.c_double(x))
    return buf.value


def test_nan_sign_written_as_c_printf_writes_it(ow):
    neg_nan = np.copysign(np.nan, -1.0)
    payload_nan = np.array([0x7FF8000000000123], dtype=np.uint64).view(np.float64)[0]
    values = [np.nan, neg_nan, payload_nan, -payload_nan, np.inf, -np.inf]
    want = [_libc_fixed6(float(x)) for x in values]
    assert want[:2] == [b"nan", b"-nan"]  # what the C library prints, for the record
    got = ow.format_texcoord_lines(np.array(values).reshape(-1, 2))
    assert got.split(b"\n")[:-1] == [b"vt %s %s" % tuple(want[i:i + 2]) for i in (0, 2, 4)]


# --- worked examples and shape rules --------------------------------------------

@pytest.mark.parametrize("call, want", [
    (lambda ow: ow.format_vertex_lines([1, 2, 3, -4.5, 0, 0.1]),
     b"v 1.000000 2.000000 3.000000\nv -4.500000 0.000000 0.100000\n"),
    (lambda ow: ow.format_texcoord_lines([0.5, 0.25, 1, 0]),
     b"vt 0.500000 0.250000\nvt 1.000000 0.000000\n"),
    (lambda ow: ow.format_face_lines([[1, 2, 3], [3, 2, 4]], True),
     b"f 1/1 2/2 3/3\nf 3/3 2/2 4/4\n"),
    (lambda ow: ow.format_vertex_lines([[1, 2, 3, 99]]), b"v 1.000000 2.000000 3.000000\n"),
    (lambda ow: ow.format_texcoord_lines([[1, 2, 99]]), b"vt 1.000000 2.000000\n"),
    (lambda ow: ow.format_face_lines([[1, 2, 3, 99]], False), b"f 1 2 3\n"),
    (lambda ow: ow.format_vertex_lines(np.array([[0.1, -1e-9, 0]], dtype=np.float32)),
     b"v 0.100000 -0.000000 0.000000\n"),
    (lambda ow: ow.format_vertex_lines(_readonly(np.array([[0.1, 0.5, -2.0]], dtype=np.float32))),
     b"v 0.100000 0.500000 -2.000000\n"),  # read-only, but converted into a new array
    (lambda ow: ow.format_vertex_lines(np.asfortranarray([[1.0, 2.0, 3.0], [4, 5, 6]])),
     b"v 1.000000 2.000000 3.000000\nv 4.000000 5.000000 6.000000\n"),
    (lambda ow: ow.format_face_lines(np.arange(12).reshape(3, 4)[:, ::-1][:1], False),
     b"f 3 2 1\n"),
    (lambda ow: ow.format_face_lines([[7, 8, 9]], "yes"), b"f 7/7 8/8 9/9\n"),  # any truth value
    (lambda ow: ow.format_face_lines([[7, 8, 9]], []), b"f 7 8 9\n"),
])
def test_worked_examples(ow, call, want):
    assert call(ow) == want


def _readonly(a):
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("name, arg", [
    ("format_vertex_lines", []),
    ("format_vertex_lines", np.zeros((0, 3, 4))),
    ("format_vertex_lines", _readonly(np.zeros((0, 3)))),
    ("format_texcoord_lines", []),
    ("format_face_lines", np.zeros((0, 3, 4), dtype=np.int64)),
    ("format_face_lines", _readonly(np.zeros((0, 3), dtype=np.int64))),
    ("format_face_lines", np.array([1, 2, 3])),  # 1-D faces are not taken as rows
    ("format_face_lines", np.arange(7)),
])
def test_empty_and_1d_faces_give_empty_bytes(ow, name, arg):
    args = (arg, True) if name == "format_face_lines" else (arg,)
    assert getattr(ow, name)(*args) == b""


@pytest.mark.parametrize("name, arg, message", [
    ("format_vertex_lines", [1.0, 2, 3, 4], "reshape"),
    ("format_texcoord_lines", [1.0, 2, 3], "reshape"),
    ("format_vertex_lines", _readonly(np.zeros((2, 3))), "read-only"),
    ("format_face_lines", _readonly(np.zeros((2, 3), dtype=np.int64)), "read-only"),
    ("format_vertex_lines", np.zeros((2, 3, 1)),
     "Buffer has wrong number of dimensions (expected 2, got 3)"),
    ("format_face_lines", np.zeros((2, 3, 1), dtype=np.int64),
     "Buffer has wrong number of dimensions (expected 2, got 3)"),
    # Narrower rows than the line reads are refused before anything is read.
    ("format_vertex_lines", np.zeros((2, 2)), "at least 3 columns"),
    ("format_vertex_lines", np.zeros((3, 0)), "at least 3 columns"),
    ("format_texcoord_lines", np.zeros((2, 1)), "at least 2 columns"),
    ("format_face_lines", np.zeros((2, 2), dtype=np.int64), "at least 3 columns"),
])
def test_refused_arrays_raise_value_error(ow, name, arg, message):
    args = (arg, False) if name == "format_face_lines" else (arg,)
    with pytest.raises(ValueError) as exc:
        getattr(ow, name)(*args)
    if "reshape" not in message:  # NumPy words its reshape error itself
        assert message in str(exc.value)


# --- no row is ever dropped -----------------------------------------------------

LO, HI = np.iinfo(np.int64).min, np.iinfo(np.int64).max


@pytest.mark.parametrize("name, rows", [
    ("v", [[1e40, 1e40, 1e40]]),  # 149 bytes for one row
    ("v", [[1e56, 1e56, 1e56], [1, 2, 3]]),  # 197 + 29 bytes
    ("v", [[1e300, -1e300, np.inf], [np.nan, -np.inf, 0.5]] * 3),
    ("v", [[np.finfo(np.float64).max] * 3] * 2000),  # grows the output many times over
    ("v", [[1.0, 2.0, 3.0]] * 5000 + [[-1e308, 1e308, -1e308]] * 300 + [[4.0, 5.0, 6.0]] * 5000),
    ("vt", [[1e300, -1e300]] * 500 + [[0.25, 0.75]]),
    ("f", [[LO, HI, LO]] * 3000 + [[1, 2, 3]]),
    ("f/", [[LO, HI, LO]] * 3000 + [[1, 2, 3]]),
], ids=["1e40", "1e56-then-short", "1e300-inf-nan", "max-double-2000-rows", "long-rows-mid-way",
        "texcoords", "faces", "faces-with-vt"])
def test_row_longer_than_budget_is_written_whole(ow, name, rows):
    if name.startswith("f"):
        a = np.array(rows, dtype=np.int64)
        got, want = ow.format_face_lines(a, name == "f/"), expected_faces(a, name == "f/")
    elif name == "vt":
        a = np.array(rows, dtype=np.float64)
        got, want = ow.format_texcoord_lines(a), expected_texcoords(a)
    else:
        a = np.array(rows, dtype=np.float64)
        # Python writes the NaN of a row as "nan" whatever its sign, as C does for these.
        got, want = ow.format_vertex_lines(a), expected_vertices(a)
    assert_same_lines(got, want, a)
    assert got.count(b"\n") == len(a)


# --- process state --------------------------------------------------------------

def _run(code, **env):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=ROOT,
                          env={**os.environ, "PYTHONPATH": ROOT, **env},
                          capture_output=True, text=True, timeout=60)


# The decimal point under a decimal-comma locale is checked in test_obj_file.py, together
# with the reader.

def test_out_of_memory_raises_memory_error_and_frees_everything():
    r = _run("""
        import resource
        import numpy as np
        from tessaroid import _obj_writer as ow
        pos = np.zeros((2_000_000, 3))
        faces = np.zeros((2_000_000, 3), dtype=np.int64)
        huge = np.full((100_000, 3), 1.7e308)  # fits the first allocation only
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
        for _ in range(3):
            for call in (lambda: ow.format_vertex_lines(pos),
                         lambda: ow.format_face_lines(faces, True),
                         lambda: ow.format_vertex_lines(huge)):
                try:
                    call()
                except MemoryError as e:
                    assert str(e) == "", str(e)
                else:
                    raise SystemExit("no MemoryError")
        print(ow.format_vertex_lines(pos[:1]))
    """)
    if "cannot allocate" in r.stderr.lower() or r.returncode < 0:
        pytest.skip("the address-space limit broke the interpreter itself")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == repr(b"v 0.000000 0.000000 0.000000\n")

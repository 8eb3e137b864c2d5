"""The SIMD conversion loops against the scalar reference solve: the Python-free core is built here
(with tests/crs_core_shim.cpp) and each instruction set this CPU runs is compared on the same input."""

import ctypes
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

from conftest import test_seed

ROOT = Path(__file__).resolve().parent.parent
A = 6378137.0
E2 = 0.00669437999014133
WEBMERC, GEO = 0, 1
SCALAR = 0
VARIANTS = {1: "sse2", 2: "avx2", 3: "avx512"}
# Per-file flags as CMakeLists.txt gives them.
SOURCES = [
    ("src/crs/geodetic.cpp", []),
    ("src/crs/simd_sse2.cpp", []),
    ("src/crs/simd_avx2.cpp", ["-mavx2", "-mfma"]),
    ("src/crs/simd_avx512.cpp", ["-mavx512f"]),
    ("tests/crs_core_shim.cpp", []),
]


@pytest.fixture(scope="module")
def core(tmp_path_factory):
    cxx = os.environ.get("CXX", "g++")
    if shutil.which(cxx) is None:
        pytest.skip(f"no C++ compiler ({cxx})")
    try:
        sleef = subprocess.run(["pkg-config", "--cflags", "--libs", "sleef"], check=True,
                               capture_output=True, text=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        sleef = ["-lsleef"]
    out = tmp_path_factory.mktemp("crscore")
    common = ["-std=c++17", "-O3", "-fPIC", "-ffp-contract=off", "-DTSR_WITH_SLEEF=1",
              f"-I{ROOT / 'src'}"] + [f for f in sleef if f.startswith("-I")]
    objs = [str(out / (Path(src).stem + ".o")) for src, _ in SOURCES]
    jobs = [subprocess.Popen([cxx, *common, *flags, "-c", str(ROOT / src), "-o", obj], stderr=subprocess.PIPE,
                             text=True) for (src, flags), obj in zip(SOURCES, objs)]
    errors = [err for j in jobs for err in [j.communicate()[1]] if j.returncode]
    lib = out / "libcrscore.so"
    if not errors:
        libs = [f for f in sleef if not f.startswith("-I")]
        link = subprocess.run([cxx, "-shared", "-o", str(lib), *objs, *libs], capture_output=True, text=True)
        errors = [link.stderr] if link.returncode else []
    if errors:
        pytest.skip("cannot build the conversion core with SLEEF: " + errors[0][:500])
    dll = ctypes.CDLL(str(lib))
    dll.tsr_crs_convert_rows.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_ssize_t,
                                         ctypes.c_int, ctypes.c_int]
    dll.tsr_crs_isa_available.argtypes = [ctypes.c_int]
    return dll


def convert(core, pts, target, isa, width=5):
    """Runs one variant over rows `width` doubles wide (extra columns hold -7)."""
    rows = np.full((len(pts), width), -7.0)
    rows[:, :3] = pts
    core.tsr_crs_convert_rows(rows.ctypes.data, rows.shape[0], width, target, isa)
    assert np.all(rows[:, 3:] == -7.0)
    return rows[:, :3]


@pytest.fixture(params=sorted(VARIANTS), ids=list(VARIANTS.values()))
def isa(request, core):
    if not core.tsr_crs_isa_available(request.param):
        pytest.skip(f"{VARIANTS[request.param]} not available on this CPU")
    return request.param


def ecef(lon, lat, h):
    lon, lat = np.radians(lon), np.radians(lat)
    n = A / np.sqrt(1.0 - E2 * np.sin(lat) ** 2)
    return np.stack([(n + h) * np.cos(lat) * np.cos(lon), (n + h) * np.cos(lat) * np.sin(lon),
                     (n * (1.0 - E2) + h) * np.sin(lat)], axis=1)


def differential_sample(seed, n):
    rng = np.random.default_rng(seed)
    lon = rng.uniform(-180.0, 180.0, n)
    sets = [
        ecef(lon, np.degrees(np.arcsin(rng.uniform(-1, 1, n))), rng.uniform(-500, 9000, n)),
        # Both sides of the switch between the two atan2 accuracies (~83 degrees).
        ecef(lon, rng.choice([-1, 1], n) * rng.uniform(80, 87, n), rng.uniform(-500, 9000, n)),
        ecef(lon, np.degrees(np.arcsin(rng.uniform(-1, 1, n))), rng.uniform(9000, 4e7, n)),
        rng.uniform(-1e7, 1e7, (n, 3)),
    ]
    # 1 m .. 100 km from the polar axis, where the height is most sensitive.
    d = 10.0 ** rng.uniform(0, 5, n)
    az = rng.uniform(0, 2 * np.pi, n)
    z = rng.choice([-1, 1], n) * (6356752.3 + rng.uniform(-500, 9000, n))
    sets.append(np.stack([d * np.cos(az), d * np.sin(az), z], axis=1))
    return np.concatenate(sets)


@pytest.mark.parametrize("target", [WEBMERC, GEO], ids=["webmercator", "geographic"])
def test_vector_loop_matches_scalar_reference(core, isa, target):
    pts = differential_sample(test_seed(f"crs-simd-{isa}-{target}"), 40000)
    ref = convert(core, pts, target, SCALAR)
    got = convert(core, pts, target, isa)
    p = np.hypot(pts[:, 0], pts[:, 1])
    far = p > 1000.0
    diff = np.abs(got - ref)
    assert diff[far, :2].max() <= (1e-12 if target == GEO else 1e-6)  # degrees or metres
    assert diff[far, 2].max() <= 1e-6
    # Near the axis the vector loop hands points to the reference itself.
    near = p <= 1e-6 * np.abs(pts[:, 2])
    assert near.sum() > 0 and np.array_equal(got[near], ref[near])
    assert np.all(np.isfinite(got))


def test_special_values_match_scalar_reference(core, isa):
    vals = [0.0, -0.0, np.inf, -np.inf, np.nan, 5e-324, 1e-160, 1e300, -A, A]
    pts = np.array(np.meshgrid(vals, vals, vals)).reshape(3, -1).T
    for target in (WEBMERC, GEO):
        ref = convert(core, pts, target, SCALAR)
        got = convert(core, pts, target, isa)
        np.testing.assert_allclose(got, ref, rtol=1e-12, atol=0, equal_nan=True)
        # atan2 keeps the sign of zero: +-180 degrees on the antimeridian.
        assert np.array_equal(np.signbit(got[:, 0]), np.signbit(ref[:, 0]))


@pytest.mark.parametrize("rows", [1, 2, 3, 7, 8, 9, 31, 33, 65])
def test_partial_blocks(core, isa, rows):
    pts = differential_sample(rows, 8)[:rows]
    ref = convert(core, pts, GEO, SCALAR, width=3)
    got = convert(core, pts, GEO, isa, width=3)
    np.testing.assert_allclose(got, ref, rtol=0, atol=1e-6)


def test_module_uses_a_vector_variant(ow, core):
    """The module's loop agrees with the best variant here, not merely with PROJ."""
    best = max((i for i in VARIANTS if core.tsr_crs_isa_available(i)), default=SCALAR)
    pts = differential_sample(7, 500)
    mine = pts.copy()
    ow.ecef_to_wgs84_geo(mine)
    assert np.array_equal(mine, convert(core, pts, GEO, best))

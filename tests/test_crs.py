"""ECEF to Web Mercator / WGS84 geographic and the CRS dispatch, against PROJ (through pyproj)."""

import math

import numpy as np
import pytest

from conftest import test_seed

pyproj = pytest.importorskip("pyproj")

A = 6378137.0
E2 = 0.00669437999014133
B = A * math.sqrt(1.0 - E2)  # semi-minor axis

TO_ECEF, PROJ_GEO, PROJ_MERC = (pyproj.Transformer.from_crs(src, dst, always_xy=True) for src, dst in
                                (("EPSG:4979", "EPSG:4978"), ("EPSG:4978", "EPSG:4979"),
                                 ("EPSG:4978", "EPSG:3857")))


def ecef_of(lon, lat, h):
    return np.stack(TO_ECEF.transform(lon, lat, h), axis=1)


# --- accuracy against PROJ ---------------------------------------------------

def test_conversions_match_proj(ow):
    # Random points over the globe at -500 m .. 9000 m, a tenth each on the antimeridian and near the poles.
    rng, n = np.random.default_rng(test_seed("CRS vs PROJ")), 20000
    lon, lat = rng.uniform(-180.0, 180.0, n), np.degrees(np.arcsin(rng.uniform(-1.0, 1.0, n)))
    lon[:n // 10] = rng.choice([-180.0, 180.0, 179.9999999, -179.9999999], n // 10)
    lat[n // 10:n // 5] = rng.choice([-90.0, 90.0, 89.9999, -89.9999, 89.99, -89.99], n // 10)
    pts = ecef_of(lon, lat, rng.uniform(-500.0, 9000.0, n))
    geo, merc = pts.copy(), pts.copy()
    ow.ecef_to_wgs84_geo(geo)
    ow.ecef_to_webmercator(merc)
    plon, plat, ph = PROJ_GEO.transform(pts[:, 0], pts[:, 1], pts[:, 2])
    # Within 1e-10 degrees of the pole the longitude is meaningless.
    off_pole = np.abs(plat) < 90.0 - 1e-10
    assert np.abs((geo[off_pole, 0] - plon[off_pole] + 180.0) % 360.0 - 180.0).max() < 1e-10
    assert np.abs(geo[:, 1] - plat).max() < 1e-10
    assert np.abs(geo[:, 2] - ph).max() < 5e-3
    px, py, ph = PROJ_MERC.transform(pts[:, 0], pts[:, 1], pts[:, 2])
    below = np.abs(lat) < 85.0
    # Across the antimeridian x may come out as +a*pi or -a*pi.
    across = np.abs(np.abs(px) - A * math.pi) < 1.0
    dx = np.where(across, np.abs(merc[:, 0]) - np.abs(px), merc[:, 0] - px)
    assert np.all(np.abs(dx[below]) <= 1e-9 * np.abs(px[below]) + 1e-6)
    np.testing.assert_allclose(merc[below, 1], py[below], rtol=1e-9, atol=1e-6)
    assert np.abs(merc[:, 2] - ph).max() < 5e-3


# Near the polar axis: (distance from the axis in metres, height) ->
# latitude and height within these bounds of PROJ. On the axis itself the
# pole is exact and the height is |z| - b.
NEAR_AXIS = [(0.0, 100.0), (1e-300, 100.0), (1e-200, -500.0), (1e-150, 9000.0), (1e-30, 100.0),
             (1e-6, 100.0), (1e-3, 100.0), (1.0, -500.0), (1.0, 9000.0), (6.0, 100.0), (6.0, 9000.0)]


@pytest.mark.parametrize("north", [True, False], ids=["north", "south"])
@pytest.mark.parametrize("offset,height", NEAR_AXIS)
def test_near_polar_axis_matches_proj(ow, offset, height, north):
    z = (B + height) * (1.0 if north else -1.0)
    pts = np.array([[offset, 0.0, z], [0.0, -offset, z], [-offset * 0.6, offset * 0.8, z]])
    ours = pts.copy()
    ow.ecef_to_wgs84_geo(ours)
    _, plat, ph = PROJ_GEO.transform(pts[:, 0], pts[:, 1], pts[:, 2])
    assert np.all(np.isfinite(ours))
    assert np.abs(ours[:, 1] - plat).max() < 1e-10
    assert np.abs(ours[:, 2] - ph).max() < 3e-6
    if offset == 0.0:
        assert list(ours[:, 1]) == [90.0 if north else -90.0] * 3
        assert list(ours[:, 2]) == [abs(z) - B] * 3


# --- worked examples and array handling ------------------------------------------

@pytest.mark.parametrize("conv,lon_lat_h,expect,tol", [
    ("ecef_to_wgs84_geo", (10.0, 45.0, 100.0), (10.0, 45.0, 100.0), 1e-9),
    ("ecef_to_webmercator", (90.0, 0.0, 0.0), (A * math.pi / 2, 0.0, 0.0), 1e-8),
    ("ecef_to_webmercator", (0.0, 89.0, 0.0), (0.0, 30240971.96, 0.0), 0.01),  # no clamp at 85
])
def test_known_points(ow, conv, lon_lat_h, expect, tol):
    pts = ecef_of(*([v] for v in lon_lat_h))
    assert getattr(ow, conv)(pts) is None
    np.testing.assert_allclose(pts[0, :2], expect[:2], rtol=0, atol=tol)
    assert abs(pts[0, 2] - expect[2]) < 1e-5


@pytest.mark.parametrize("conv", ["ecef_to_webmercator", "ecef_to_wgs84_geo"])
def test_wide_rows_keep_their_other_columns(ow, conv):
    pts = np.array([[A, 1000.0, 2000.0, 7.5, -1.0]] * 37)
    getattr(ow, conv)(pts)
    assert np.all(pts[:, 3] == 7.5) and np.all(pts[:, 4] == -1.0)
    narrow = np.array([[A, 1000.0, 2000.0]])
    getattr(ow, conv)(narrow)
    assert np.array_equal(pts[:, :3], np.repeat(narrow, 37, axis=0))


# Not C-contiguous float64: converted into a copy, so the caller's object stays as it was.
@pytest.mark.parametrize("obj", [
    [[A, 0.0, 0.0], [0.0, A, 0.0]], np.array([[A, 0.0, 0.0], [0.0, A, 0.0]], dtype=np.float32),
    np.asfortranarray([[A, 0.0, 0.0], [0.0, A, 0.0]]),
    np.array([[A, 0.0, 0.0, 9.0], [0.0, A, 0.0, 9.0]])[:, :3],
    np.zeros(0), np.array([A, 0.0, 0.0]), np.zeros((0, 3)), 5.0,  # nothing to convert
], ids=["list", "float32", "fortran", "strided", "empty-1d", "three-values", "no-rows", "scalar"])
@pytest.mark.parametrize("conv", ["ecef_to_webmercator", "ecef_to_wgs84_geo"])
def test_caller_object_unchanged(ow, conv, obj):
    before = np.array(obj, dtype=np.float64)
    assert getattr(ow, conv)(obj) is None
    assert np.array_equal(np.array(obj, dtype=np.float64), before)


def _frozen():
    a = np.array([[A, 0.0, 0.0]])
    a.flags.writeable = False
    return a


# Rows narrower than three would have columns 0..2 read past each row (and the last one past
# the array).
@pytest.mark.parametrize("make,message", [
    (lambda: np.full((2, 3, 1), A), r"^Buffer has wrong number of dimensions \(expected 2, got 3\)$"),
    (_frozen, "read-only"),
    (lambda: np.full((4, 0), A), "columns"), (lambda: np.full((4, 1), A), "columns"),
    (lambda: np.full((4, 2), A), "columns"),
], ids=["3-d", "read-only", "0-columns", "1-column", "2-columns"])
@pytest.mark.parametrize("call", ["ecef_to_webmercator", "ecef_to_wgs84_geo", "convert_crs"])
def test_refusals_leave_the_array_unchanged(ow, make, message, call):
    pts = make()
    with pytest.raises(ValueError, match=message):
        getattr(ow, call)(pts, *(["EPSG:3857"] if call == "convert_crs" else []))
    assert np.all(pts == A) or np.array_equal(pts, [[A, 0.0, 0.0]])


# --- convert_crs ---------------------------------------------------------------

@pytest.fixture
def sample():
    return ecef_of([10.0, -120.0, 179.0], [45.0, -30.0, 84.0], [100.0, 0.0, 8000.0])


@pytest.mark.parametrize("crs,conv", [
    ("", None), ("  ecef ", None), ("epsg:4978", None), ("ECEF", None), ("\tEPSG:4978\n", None),
    (" epsg:3857\n", "ecef_to_webmercator"), ("EPSG:3857", "ecef_to_webmercator"),
    ("Epsg:4326", "ecef_to_wgs84_geo"), ("epſg:4326", "ecef_to_wgs84_geo"),
])
def test_convert_crs_dispatch(ow, sample, crs, conv):
    expect = sample.copy()
    if conv is None:
        assert ow.convert_crs(object(), crs) is None  # ECEF: positions not inspected
    else:
        getattr(ow, conv)(expect)
    assert ow.convert_crs(sample, crs) is None
    assert np.array_equal(sample, expect)


@pytest.mark.parametrize("crs", ["EPSG:32633", " utm ", "EPSG: 3857", "3857", "WGS84",
                                 "EPSG:3857\x00", "'quoted'"])
def test_convert_crs_unsupported(ow, sample, crs):
    before = sample.copy()
    with pytest.raises(ValueError) as info:
        ow.convert_crs(sample, crs)
    assert str(info.value) == "Unsupported CRS '" + crs + "'. Supported: EPSG:3857, EPSG:4326, EPSG:4978, ''"
    assert np.array_equal(sample, before)


def test_convert_crs_calls_the_module_global_at_call_time(ow, monkeypatch):
    calls = []
    monkeypatch.setattr(ow, "ecef_to_wgs84_geo", lambda *a, **k: calls.append((a, k)) or 42)
    marker = object()
    assert ow.convert_crs(marker, "EPSG:4326") is None
    assert calls == [((marker,), {})]
    monkeypatch.delattr(ow, "ecef_to_webmercator")
    with pytest.raises(NameError, match="ecef_to_webmercator"):
        ow.convert_crs(marker, "EPSG:3857")
    with pytest.raises(AttributeError, match="strip"):
        ow.convert_crs(marker, None)


"""Output frames on the real city tiles: ENU about an origin and pyproj CRSs against
pyproj's own transformation of the ECEF output, frame.json read back, bad input."""

from __future__ import annotations

import json
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pyproj
import pytest

from convert_helpers import read_obj

import tessaroid

CITY = ("tiles", "3d-tiles-samples", "TilesetWithRequestVolume", "city")
NAMES = ("ll", "lr", "ul", "ur")


@pytest.fixture(scope="module")
def city(shared_data, tmp_path_factory):
    """The city tile set and its ECEF output (checked against trimesh in test_convert_real)."""
    src = shared_data.joinpath(*CITY)
    out = tmp_path_factory.mktemp("ecef")
    assert tessaroid.convert(src, out).ok
    return src, {n: read_obj(out / f"{n}.obj").v for n in NAMES}


def _enu_oracle(ecef: np.ndarray, lon: float, lat: float, h: float) -> np.ndarray:
    t = pyproj.Transformer.from_pipeline(f"+proj=topocentric +ellps=WGS84 +lon_0={lon!r} +lat_0={lat!r} +h_0={h!r}")
    return np.stack(t.transform(*ecef.T), axis=1)


def _crs_oracle(ecef: np.ndarray, crs: str) -> np.ndarray:
    """pyproj from EPSG:4978; a 2D target's third column is the WGS 84 ellipsoidal height."""
    target = pyproj.CRS(crs)
    xy = np.stack(pyproj.Transformer.from_crs("EPSG:4978", target, always_xy=True).transform(*ecef.T), 1)
    if len(target.axis_info) == 2:
        h = pyproj.Transformer.from_crs("EPSG:4978", "EPSG:4979", always_xy=True).transform(*ecef.T)[2]
        xy = np.column_stack([xy[:, :2], h])
    return xy


@pytest.mark.parametrize("crs,tol_xy,decimals", [
    ("EPSG:32618", 1e-3, 6),            # UTM zone 18N, metres
    ("EPSG:2272", 1e-3 / 0.3048006, 6),  # Pennsylvania South, US survey feet; height in metres
    ("EPSG:4269", 1e-8, 9),             # NAD83 geographic 2D, degrees
])
def test_pyproj_crs_against_pyproj(city, tmp_path, crs, tol_xy, decimals):
    src, ecef = city
    s = tessaroid.convert(src, tmp_path, crs=crs, workers=2)
    assert s.ok and s.converted == 4
    for n in NAMES:
        got, exp = read_obj(tmp_path / f"{n}.obj").v, _crs_oracle(ecef[n], crs)
        np.testing.assert_allclose(got[:, :2], exp[:, :2], rtol=0, atol=tol_xy)
        np.testing.assert_allclose(got[:, 2], exp[:, 2], rtol=0, atol=1e-3)
    line = next(ln for ln in (tmp_path / "ll.obj").read_text().splitlines() if ln.startswith("v "))
    assert [len(t.split(".")[1]) for t in line.split()[1:]] == [decimals, decimals, 6]
    frame = json.loads((tmp_path / "frame.json").read_text())
    assert frame["crs"] == crs and frame["crs_name"] == pyproj.CRS(crs).name
    assert frame["axis_units"][2] == "metre" and "origin" not in frame


@pytest.mark.parametrize("origin,merge", [(None, False), (None, True), ((-75.61, 40.04, 55.5), False),
                                          ("-75.6125,40.0431", True)])
def test_enu_against_topocentric_conversion(city, tmp_path, origin, merge):
    src, ecef = city
    s = tessaroid.convert(src, tmp_path, crs="ENU", origin=origin, merge=merge)
    assert s.ok and s.converted == 4
    frame = json.loads((tmp_path / "frame.json").read_text())
    o = frame["origin"]
    if origin is None:
        # The ellipsoid point below the centre of the tiles' bounding regions.
        region = json.loads((src / "tileset.json").read_text())["root"]["boundingVolume"]["region"]
        centre = [math.degrees((region[0] + region[2]) / 2), math.degrees((region[1] + region[3]) / 2)]
        np.testing.assert_allclose([o["lon"], o["lat"]], centre, atol=1e-6)
        assert o["height"] == 0
    else:
        want = [float(v) for v in (origin.split(",") if isinstance(origin, str) else origin)]
        assert [o["lon"], o["lat"], o["height"]] == (want + [0.0])[:3]
    assert s.origin == (o["lon"], o["lat"], o["height"])
    exp = {n: _enu_oracle(ecef[n], o["lon"], o["lat"], o["height"]) for n in NAMES}
    if merge:
        text = (tmp_path / "merged.obj").read_text()
        order = [ln[2:] for ln in text.splitlines() if ln.startswith("o ")]
        assert sorted(order) == list(NAMES)
        got = read_obj(tmp_path / "merged.obj").v
        np.testing.assert_allclose(got, np.concatenate([exp[n] for n in order]), rtol=0, atol=1e-3)
    else:
        for n in NAMES:
            np.testing.assert_allclose(read_obj(tmp_path / f"{n}.obj").v, exp[n], rtol=0, atol=1e-3)
    # frame.json alone places the output back where the ECEF output is.
    r, oe = np.array(frame["rotation"]), np.array(frame["origin_ecef"])
    np.testing.assert_allclose(oe, pyproj.Transformer.from_crs("EPSG:4979", "EPSG:4978", always_xy=True)
                               .transform(o["lon"], o["lat"], o["height"]), atol=1e-6)
    for n in NAMES:
        np.testing.assert_allclose(exp[n] @ r + oe, ecef[n], rtol=0, atol=1e-3)


@pytest.mark.parametrize("crs", ["ENU", "EPSG:32618"])
def test_recentred_output_placed_back_with_frame_and_offset(city, tmp_path, crs):
    src, ecef = city
    s = tessaroid.convert(src, tmp_path, crs=crs, recenter=True)
    assert s.ok and s.offset_file
    frame = json.loads((tmp_path / "frame.json").read_text())
    assert frame["offset_file"] == "offset.json"
    off = np.array(json.loads((tmp_path / "offset.json").read_text())["offset"])
    for n in NAMES:
        v = read_obj(tmp_path / f"{n}.obj").v + off
        if crs == "ENU":
            back = v @ np.array(frame["rotation"]) + np.array(frame["origin_ecef"])
        else:
            inv = pyproj.Transformer.from_crs(pyproj.CRS(frame["crs"]).to_3d(), "EPSG:4978", always_xy=True)
            back = np.stack(inv.transform(*v.T), axis=1)
        np.testing.assert_allclose(back, ecef[n], rtol=0, atol=2e-3)


def test_degree_crs_refuses_recentering(tmp_path):
    with pytest.raises(ValueError, match="metric CRS"):
        tessaroid.convert(tmp_path / "none.glb", tmp_path / "out", crs="EPSG:4269", recenter=True)
    assert not (tmp_path / "out").exists()


def test_bare_tile_origin_below_its_positions(shared_data, tmp_path):
    """A glb without bounding volume, placed on the Earth by a node translation: the
    origin lies below the centre of its positions."""
    glb = shared_data / "tiles/3d-tiles-tools/upgradeTileset/golden/tilesetWithB3dmWithGltf1/content.glb"
    ecef = read_obj(tessaroid.convert(glb, tmp_path / "ecef").obj_files[0]).v
    s = tessaroid.convert(glb, tmp_path / "enu", crs="ENU")
    lon, lat, h = s.origin
    centre = (ecef.min(0) + ecef.max(0)) / 2
    geo = pyproj.Transformer.from_crs("EPSG:4978", "EPSG:4979", always_xy=True).transform(*centre)
    np.testing.assert_allclose([lon, lat], geo[:2], atol=1e-9)
    assert h == 0
    np.testing.assert_allclose(read_obj(s.obj_files[0]).v, _enu_oracle(ecef, lon, lat, h), atol=1e-3)
    # A model in its own frame (not on the Earth) has no default origin.
    with pytest.raises(ValueError, match="--origin"):
        tessaroid.convert(shared_data / "khronos" / "Duck.glb", tmp_path / "duck", crs="ENU")
    assert not (tmp_path / "duck").exists()


def _cli(*args):
    root = str(Path(tessaroid.__file__).resolve().parents[1])
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([root, os.environ.get("PYTHONPATH", "")])}
    return subprocess.run([sys.executable, "-m", "tessaroid", "convert", *args], capture_output=True, text=True,
                          timeout=120, env=env)


@pytest.mark.parametrize("args,message", [
    (["--crs", "EPSG:999999"], "tessaroid: error: unknown CRS 'EPSG:999999': "),
    (["--crs", "no such thing"], "tessaroid: error: unknown CRS 'no such thing': "),
    (["--crs", "EPSG:5703"], "tessaroid: error: CRS 'EPSG:5703' cannot be an output frame"),  # heights only
    (["--crs", "ENU", "--origin=200,95"], "tessaroid: error: origin longitude 200 is outside -180..180"),
    (["--crs", "ENU", "--origin=10,95"], "tessaroid: error: origin latitude 95 is outside -90..90"),
    (["--crs", "ENU", "--origin=10"], "tessaroid: error: origin '10': expected LON,LAT[,HEIGHT]"),
    (["--crs", "EPSG:32618", "--origin=10,20"], "tessaroid: error: an origin only applies to crs ENU"),
])
def test_bad_frame_arguments_fail_in_one_line_before_any_work(shared_data, tmp_path, args, message):
    out = tmp_path / "out"
    proc = _cli(str(shared_data.joinpath(*CITY)), "-o", str(out), *args)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.startswith(message) and proc.stderr.count("\n") == 1, proc.stderr
    assert not out.exists()


def test_cli_enu_with_negative_longitude_origin(shared_data, tmp_path):
    proc = _cli(str(shared_data.joinpath(*CITY)), "-o", str(tmp_path), "--crs", "ENU", "--origin=-75.6,40.04,10")
    assert proc.returncode == 0, proc.stderr
    assert json.loads((tmp_path / "frame.json").read_text())["origin"] == {"lon": -75.6, "lat": 40.04, "height": 10}

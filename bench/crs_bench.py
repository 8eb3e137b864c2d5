"""Throughput of the ECEF conversions against pyproj and a NumPy solve.

One run over 1M points on the Earth's surface (heights -500 m .. 9000 m,
uniform over the sphere). For each conversion the script times, best of a
few repetitions on fresh copies, in CPU time of the calling thread (none of
the three starts threads; on a shared machine wall time mostly measures the
other tenants):
  - ours: ecef_to_webmercator / ecef_to_wgs84_geo, in place;
  - pyproj: a Transformer from EPSG:4978 to EPSG:3857 / EPSG:4979;
  - numpy: the same three-iteration solve in vectorised NumPy, written back
    into the array as the in-place conversion does;
and prints ns per point and the ratios (goals: >= 3x pyproj, >= 1.2x numpy).

    PYTHONPATH=. python3 bench/crs_bench.py [--points N] [--repeat R] [--wall]
"""

import argparse
import time

import numpy as np
from pyproj import Transformer

from tessaroid import _obj_writer as ow

A = 6378137.0
E2 = 0.00669437999014133
RAD_TO_DEG = 57.29577951308232
QUARTER_PI = 0.7853981633974483


def surface_points(n, seed):
    rng = np.random.default_rng(seed)
    lon = np.radians(rng.uniform(-180.0, 180.0, n))
    lat = np.arcsin(rng.uniform(-1.0, 1.0, n))
    h = rng.uniform(-500.0, 9000.0, n)
    s = np.sin(lat)
    nv = A / np.sqrt(1.0 - E2 * s * s)
    return np.stack(
        [(nv + h) * np.cos(lat) * np.cos(lon), (nv + h) * np.cos(lat) * np.sin(lon),
         (nv * (1.0 - E2) + h) * s], axis=1)


def numpy_solve(pos, mercator):
    x, y, z = pos[:, 0], pos[:, 1], pos[:, 2]
    lon = np.arctan2(y, x)
    p = np.sqrt(y * y + x * x)
    lat = np.arctan2(z, (1.0 - E2) * p)
    for _ in range(3):
        s = np.sin(lat)
        n_val = A / np.sqrt(1.0 - (s * E2) * s)
        h = p / np.cos(lat) - n_val
        lat = np.arctan2(z, (1.0 - (n_val * E2) / (h + n_val)) * p)
    if mercator:
        pos[:, 0] = lon * A
        pos[:, 1] = np.log(np.tan(lat * 0.5 + QUARTER_PI)) * A
    else:
        pos[:, 0] = lon * RAD_TO_DEG
        pos[:, 1] = lat * RAD_TO_DEG
    pos[:, 2] = h


def best_time(fn, pts, repeat, clock):
    best = float("inf")
    for _ in range(repeat):
        work = pts.copy()
        t0 = clock()
        fn(work)
        best = min(best, clock() - t0)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--seed", type=int, default=20261206)
    ap.add_argument("--wall", action="store_true", help="time with the wall clock instead")
    args = ap.parse_args()
    clock = time.perf_counter if args.wall else time.thread_time

    pts = surface_points(args.points, args.seed)
    print(f"{args.points} points, best of {args.repeat}, seed {args.seed}, "
          f"{'wall' if args.wall else 'thread CPU'} time")
    cases = [
        ("ecef_to_webmercator", ow.ecef_to_webmercator, "EPSG:3857", True),
        ("ecef_to_wgs84_geo", ow.ecef_to_wgs84_geo, "EPSG:4979", False),
    ]
    below_goal = False
    for name, ours, target, mercator in cases:
        tr = Transformer.from_crs("EPSG:4978", target, always_xy=True)
        ours(pts[:1000].copy())  # warm-up
        t_ours = best_time(ours, pts, args.repeat, clock)
        t_proj = best_time(lambda w: tr.transform(w[:, 0], w[:, 1], w[:, 2]), pts, args.repeat,
                           clock)
        t_np = best_time(lambda w: numpy_solve(w, mercator), pts, args.repeat, clock)
        per = 1e9 / args.points
        r_proj, r_np = t_proj / t_ours, t_np / t_ours
        below_goal |= r_proj < 3.0 or r_np < 1.2
        print(f"{name}: ours {t_ours * per:.1f} ns/pt, pyproj {t_proj * per:.1f} ns/pt, "
              f"numpy {t_np * per:.1f} ns/pt; vs pyproj {r_proj:.2f}x (goal 3), "
              f"vs numpy {r_np:.2f}x (goal 1.2)")
    print("below goal" if below_goal else "all goals met")


if __name__ == "__main__":
    main()

"""Cost of the output frames on one tile of about 1M vertices: the whole conversion
(read, extract, place, convert, format, write) in ECEF, in ENU about an origin and in
a pyproj CRS (UTM), best of a few runs on one worker. Prints seconds and the ratios
to the ECEF run (goal: ENU at most 1.2x).

    python3 bench/frame_bench.py [--grid N] [--repeat R]

It imports the installed package; for an in-place build (tools/devbuild) run it with
PYTHONPATH=. from the repository root.
"""

from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

import tessaroid
from tessaroid.demo import make_demo_tileset


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--grid", type=int, default=1001, help="vertices per side of the tile (1001: ~1M)")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    work = Path(tempfile.mkdtemp(prefix="tessaroid-frames-"))
    try:
        make_demo_tileset(work / "src", levels=1, grid=args.grid, texture_size=16)
        tile = work / "src" / "tileset.json"
        runs = {"EPSG:4978": {}, "ENU": {"origin": (138.73, 35.36, 0.0)}, "EPSG:32654": {}}
        times = {}
        for crs, extra in runs.items():
            best = float("inf")
            for _ in range(args.repeat):
                out = work / "out"
                shutil.rmtree(out, ignore_errors=True)
                t0 = time.perf_counter()
                s = tessaroid.convert(tile, out, crs=crs, workers=1, **extra)
                best = min(best, time.perf_counter() - t0)
                assert s.ok, s.failures
            times[crs] = best
            print(f"{crs:10s} {best:7.3f} s  ({s.vertices} vertices)")
        base = times["EPSG:4978"]
        print(f"ENU / ECEF {times['ENU'] / base:.2f}x (goal <= 1.2x); "
              f"EPSG:32654 (pyproj) / ECEF {times['EPSG:32654'] / base:.2f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

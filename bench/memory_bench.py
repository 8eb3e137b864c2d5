"""Peak resident memory of large conversions: demo quadtrees of 6 and 7 levels
(1,365 and 5,461 small tiles), merged and one OBJ per tile, plain and with one large
tile shared by both sets. Each conversion runs in a fresh subprocess. Prints the
peaks, the ratio larger/smaller and the memory added per added tile.

    PYTHONPATH=. python3 bench/memory_bench.py [--grid 3] [--large-grid 600]

Goals: the larger job at most 1.3x the smaller's peak and at most 10 kB more per
added tile.
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from tessaroid.demo import make_demo_tileset

# The peak is read from /proc (VmHWM, the high-water mark of this process's own
# memory): ru_maxrss after exec can still carry the parent's size.
MEASURE = ("import sys\n"
           "from tessaroid.cli import main\n"
           "code = main(sys.argv[1:])\n"
           "hwm = [l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0]\n"
           "print(hwm.split()[1])\n"
           "sys.exit(code)\n")


def peak_kb(src: Path, out: Path, merge: bool) -> int:
    shutil.rmtree(out, ignore_errors=True)
    args = [sys.executable, "-c", MEASURE, "convert", str(src), "-o", str(out), "-q"] + (["--merge"] if merge else [])
    p = subprocess.run(args, capture_output=True, text=True, check=False)
    if p.returncode != 0:
        raise SystemExit(f"conversion failed ({p.returncode}): {p.stderr[-2000:]}")
    return int(p.stdout.split()[-1])


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--grid", type=int, default=3)
    ap.add_argument("--large-grid", type=int, default=600)
    args = ap.parse_args()
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        base = Path(tmp)
        large = base / "large"
        make_demo_tileset(large, levels=1, grid=args.large_grid, texture_size=1024)
        sets = {}
        for levels in (6, 7):
            src = base / f"q{levels}"
            tiles = make_demo_tileset(src, levels=levels, grid=args.grid, texture_size=8)
            with_large = base / f"q{levels}-large"
            shutil.copytree(src, with_large)
            shutil.copyfile(large / "tile_root.glb", with_large / "tile_root.glb")  # the root tile made large
            sets[levels] = (len(tiles), src, with_large)
        n6, n7 = sets[6][0], sets[7][0]
        print(f"tiles: {n6} and {n7}; large tile: {args.large_grid}x{args.large_grid} grid, 1024 px texture")
        for shared_large in (False, True):
            for merge in (True, False):
                peaks = [peak_kb(sets[lv][2 if shared_large else 1], base / "out", merge) for lv in (6, 7)]
                ratio = peaks[1] / peaks[0]
                per_tile = (peaks[1] - peaks[0]) * 1024 / (n7 - n6)
                good = ratio <= 1.3 and per_tile <= 10_000
                ok &= good
                label = f"{'--merge' if merge else 'per tile'}{' + large tile' if shared_large else ''}"
                print(f"{label:24s} peak {peaks[0] / 1024:7.1f} MB -> {peaks[1] / 1024:7.1f} MB: "
                      f"ratio {ratio:.3f} (goal <= 1.3), {per_tile / 1000:+.2f} kB per added tile "
                      f"(goal <= 10 kB) {'ok' if good else 'MISSED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

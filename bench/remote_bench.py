"""Remote conversion against conversion from disk: a generated tile set of 341 tiles
served by the local test server (127.0.0.1, ephemeral port) with 25 ms of latency
per request, converted with the default downloads and workers; then a resume after
the complete run. Prints both times, the ratio, and the resume's share.

    PYTHONPATH=. python3 bench/remote_bench.py [--levels 5] [--grid 17] [--latency 0.025]

Goals: remote at most 1.5x disk plus 1 s; a resume after a complete run under 5%
of the first run's time.
"""

from __future__ import annotations

import argparse
import importlib.util
import shutil
import sys
import tempfile
import time
from pathlib import Path

import tessaroid
from tessaroid.demo import make_demo_tileset


def tile_server_class():
    path = Path(__file__).resolve().parent.parent / "tests" / "tile_server.py"
    spec = importlib.util.spec_from_file_location("tile_server", path)
    mod = importlib.util.module_from_spec(spec)
    sys.modules["tile_server"] = mod  # its dataclasses look their module up
    spec.loader.exec_module(mod)
    return mod.TileServer


def timed(inp, out: Path, **kw) -> tuple[float, tessaroid.Summary]:
    t = time.perf_counter()
    s = tessaroid.convert(inp, out, **kw)
    dt = time.perf_counter() - t
    if not s.ok:
        raise SystemExit(f"conversion failed: {s.failures[:3]}")
    return dt, s


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--levels", type=int, default=5)
    ap.add_argument("--grid", type=int, default=17)
    ap.add_argument("--texture", type=int, default=64)
    ap.add_argument("--latency", type=float, default=0.025)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        base = Path(tmp)
        n = len(make_demo_tileset(base / "src", levels=args.levels, grid=args.grid, texture_size=args.texture))
        timed(base / "src", base / "warm")  # imports and first-use costs out of the figures
        shutil.rmtree(base / "warm")
        disk, _ = timed(base / "src", base / "disk")
        with tile_server_class()(base, latency=args.latency) as srv:
            url = f"{srv.url}/src/tileset.json"
            remote, s = timed(url, base / "remote")
            resumed, r = timed(url, base / "remote", resume=True)
        goal = 1.5 * disk + 1.0
        print(f"{n} tiles, {args.grid}x{args.grid} grids, {args.texture} px textures, "
              f"{args.latency * 1000:.0f} ms latency per request, {s.requests} requests")
        print(f"disk   {disk:6.2f} s")
        print(f"remote {remote:6.2f} s  ratio {remote / disk:.2f}  (goal <= 1.5x disk + 1 s = {goal:.2f} s) "
              f"{'ok' if remote <= goal else 'MISSED'}")
        print(f"resume after the complete remote run {resumed:6.3f} s = {100 * resumed / remote:.1f}% of it "
              f"(goal < 5%), {r.resumed} already done, {r.converted} converted "
              f"{'ok' if resumed < 0.05 * remote else 'MISSED'}")
        return 0 if remote <= goal and resumed < 0.05 * remote else 1


if __name__ == "__main__":
    sys.exit(main())

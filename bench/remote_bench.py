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
import contextlib
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import tessaroid
from tessaroid.demo import make_demo_tileset


SERVER = Path(__file__).resolve().parent.parent / "tests" / "tile_server.py"


@contextlib.contextmanager
def served(folder: Path, latency: float):
    """The test server in a process of its own, as a tile server is: in this process
    its request handling would compete with the conversion for the interpreter lock.
    It stops when its standard input closes."""
    code = ("import sys; sys.path.insert(0, sys.argv[1]); from tile_server import TileServer\n"
            "with TileServer(sys.argv[2], latency=float(sys.argv[3])) as s:\n"
            "    print(s.url, flush=True); sys.stdin.read()\n")
    proc = subprocess.Popen([sys.executable, "-c", code, str(SERVER.parent), str(folder), str(latency)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        yield proc.stdout.readline().strip()
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)


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
        with served(base, args.latency) as server_url:
            url = f"{server_url}/src/tileset.json"
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

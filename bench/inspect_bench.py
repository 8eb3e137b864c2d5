"""Speed of `inspect` on a generated tile set of about 10^4 tiles spread over external
tile sets, with box or region bounding volumes. Prints seconds per 10^4 tiles (goal:
under one second).

    python3 bench/inspect_bench.py [--tiles N] [--volume box|region]

Runs against the installed package (or a dev build on PYTHONPATH).
"""

from __future__ import annotations

import argparse
import json
import math
import tempfile
import time
from pathlib import Path

import numpy as np

from tessaroid.demo import geodetic_to_ecef
from tessaroid.inspection import inspect


def _volume(kind: str, w: float, s: float, e: float, n: float) -> dict:
    if kind == "region":
        return {"region": [math.radians(w), math.radians(s), math.radians(e), math.radians(n), 0.0, 100.0]}
    c = geodetic_to_ecef((w + e) / 2, (s + n) / 2, 50.0)
    half = 111_000 * (e - w) / 2
    return {"box": [*c.tolist(), half, 0, 0, 0, half, 0, 0, 0, 50.0]}


def make_tileset(root: Path, tiles: int, kind: str) -> int:
    """A root whose children each reference an external tile set of a 4-ary tree."""
    per_ext = 85  # 1 + 4 + 16 + 64
    n_ext = max(1, tiles // per_ext)
    cols = math.ceil(math.sqrt(n_ext))
    size = 1.0 / cols
    count = 1
    kids = []

    def tree(w, s, e, n, depth, name):
        nonlocal count
        count += 1
        t = {"boundingVolume": _volume(kind, w, s, e, n), "geometricError": 100.0 / 2 ** depth,
             "content": {"uri": f"{name}.glb"}}
        if depth < 3:
            mx, my = (w + e) / 2, (s + n) / 2
            t["children"] = [tree(*q, depth + 1, f"{name}_{k}") for k, q in
                             enumerate([(w, s, mx, my), (mx, s, e, my), (w, my, mx, n), (mx, my, e, n)])]
        return t

    for k in range(n_ext):
        w, s = 10 + (k % cols) * size, 40 + (k // cols) * size
        count += 1
        ext = {"asset": {"version": "1.1"}, "geometricError": 100, "root": tree(w, s, w + size, s + size, 0, f"t{k}")}
        (root / f"ext{k}.json").write_text(json.dumps(ext))
        kids.append({"boundingVolume": _volume(kind, w, s, w + size, s + size), "geometricError": 100.0,
                     "content": {"uri": f"ext{k}.json"}})
    ts = {"asset": {"version": "1.1"}, "geometricError": 1000,
          "root": {"boundingVolume": _volume(kind, 10, 40, 11, 41), "geometricError": 1000.0, "children": kids}}
    (root / "tileset.json").write_text(json.dumps(ts))
    return count


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--tiles", type=int, default=10_000)
    ap.add_argument("--volume", choices=("box", "region", "both"), default="both")
    args = ap.parse_args()
    for kind in (("box", "region") if args.volume == "both" else (args.volume,)):
        with tempfile.TemporaryDirectory() as d:
            n = make_tileset(Path(d), args.tiles, kind)
            best = math.inf
            for _ in range(3):
                t0 = time.perf_counter()
                ins = inspect(Path(d) / "tileset.json").as_dict()
                best = min(best, time.perf_counter() - t0)
            assert ins["tiles"] == n and not ins["errors"], ins["errors"][:3]
            print(f"inspect, {kind} volumes: {n} tiles in {best:.3f} s = {best * 1e4 / n:.3f} s per 10^4 tiles "
                  f"(goal < 1 s)")


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()

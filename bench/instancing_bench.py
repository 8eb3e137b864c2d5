"""Instanced tiles against a plain tile of the same size: time per written vertex.

    python3 bench/instancing_bench.py [--instances K] [--model-vertices V] [--workers N] [--repeat R]

Generates (in a temporary folder) an i3dm of K instances (default 10,000) of a
textured grid model of about V vertices (default 1,000), each with its own position,
orientation (NORMAL_UP / NORMAL_RIGHT) and scale, and one plain GLB tile with the
same vertices and faces written out (K copies of the grid side by side in one mesh,
ECEF through its node translation). Both are converted into OBJ with the installed tessaroid (or the one on
PYTHONPATH); the script prints both times, the vertices written, and the ratio of the
times per vertex (instanced / plain: at most about 1 means the instances cost no more
than ordinary geometry).
"""

from __future__ import annotations

import argparse
import json
import math
import shutil
import struct
import tempfile
import time
from pathlib import Path

import numpy as np

import tessaroid
from tessaroid.demo import build_glb, geodetic_to_ecef


def grid(nx: int, ny: int, step: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """An nx x ny vertex grid in the glTF y-up frame (x east, -z north), with texcoords
    and two triangles per cell."""
    x, z = np.meshgrid(np.arange(nx) * step, np.arange(ny) * -step)
    y = 0.5 * np.sin(x / 7.0) * np.cos(z / 5.0)
    pos = np.stack([x.ravel(), y.ravel(), z.ravel()], 1)
    uv = np.stack([(x.ravel() / max(x.max(), 1)), (-z.ravel() / max(-z.min(), 1))], 1)
    i = np.arange(nx * ny).reshape(ny, nx)
    a, b, c, d = i[:-1, :-1].ravel(), i[:-1, 1:].ravel(), i[1:, :-1].ravel(), i[1:, 1:].ravel()
    faces = np.concatenate([np.stack([a, c, b], 1), np.stack([b, c, d], 1)])
    return pos, faces, uv


def i3dm(glb: bytes, k: int, seed: int = 7) -> bytes:
    rng = np.random.default_rng(seed)
    lon, lat = np.radians(8.5 + rng.uniform(0, 0.05, k)), np.radians(47.3 + rng.uniform(0, 0.05, k))
    pos = geodetic_to_ecef(np.degrees(lon), np.degrees(lat), rng.uniform(400, 420, k))
    up = pos / np.linalg.norm(pos, axis=1)[:, None]
    east = np.stack([-np.sin(lon), np.cos(lon), np.zeros(k)], 1)
    turn = rng.uniform(0, 2 * math.pi, k)[:, None]
    right = east * np.cos(turn) + np.cross(up, east) * np.sin(turn)
    body = b"".join(np.ascontiguousarray(a, "<f4").tobytes()
                    for a in (pos, up, right, rng.uniform(0.5, 2.0, k)))
    ft = {"INSTANCES_LENGTH": k, "POSITION": {"byteOffset": 0}, "NORMAL_UP": {"byteOffset": 12 * k},
          "NORMAL_RIGHT": {"byteOffset": 24 * k}, "SCALE": {"byteOffset": 36 * k}}
    ftj = json.dumps(ft).encode()
    ftj += b" " * ((-len(ftj)) % 8)
    body += b"\0" * ((-len(body)) % 8)
    out = ftj + body + glb
    return struct.pack("<4s7I", b"i3dm", 1, 32 + len(out), len(ftj), len(body), 0, 0, 1) + out


def run(path: Path, out: Path, workers: int) -> tuple[float, int]:
    t0 = time.perf_counter()
    s = tessaroid.convert(path, out, workers=workers)
    dt = time.perf_counter() - t0
    if not s.ok:
        raise SystemExit(f"{path.name}: {s.failures}")
    return dt, s.vertices


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--instances", type=int, default=10_000)
    ap.add_argument("--model-vertices", type=int, default=1_000)
    ap.add_argument("--workers", type=int, default=1)
    ap.add_argument("--repeat", type=int, default=2, help="rounds of both conversions (best time kept)")
    args = ap.parse_args()
    side = max(2, round(math.sqrt(args.model_vertices)))
    nx, ny = side, max(2, round(args.model_vertices / side))
    model = grid(nx, ny, 0.5)
    # The plain tile: the same vertices and faces, written out: K copies of the grid
    # side by side in one mesh.
    k, v = args.instances, len(model[0])
    shift = np.stack([np.arange(k) % 100 * nx * 0.6, np.zeros(k), -(np.arange(k) // 100) * ny * 0.6], 1)
    big = ((model[0][None] + shift[:, None]).reshape(-1, 3),
           (model[1][None] + (np.arange(k) * v)[:, None, None]).reshape(-1, 3), np.tile(model[2], (k, 1)))
    origin = np.asarray(geodetic_to_ecef(8.5, 47.3, 400.0), dtype=float).ravel()
    tmp = Path(tempfile.mkdtemp(prefix="tessaroid-instancing-bench-"))
    try:
        (tmp / "inst.i3dm").write_bytes(i3dm(build_glb(*model[:2], texcoords=model[2]), args.instances))
        node = [{"mesh": 0, "translation": [origin[0], origin[2], -origin[1]]}]  # ECEF in the y-up frame
        (tmp / "plain.glb").write_bytes(build_glb(*big[:2], texcoords=big[2], nodes=node))
        print(f"model {nx * ny} vertices x {args.instances} instances; plain tile {len(big[0])} vertices, "
              f"{len(big[1])} faces ({len(model[1]) * args.instances} in the instances)")
        # A first small conversion loads the native module and the thread pool machinery.
        (tmp / "warm.glb").write_bytes(build_glb(*model[:2], texcoords=model[2]))
        run(tmp / "warm.glb", tmp / "out_warm", args.workers)
        # Alternate the two and keep the best of each: the first large conversion of a
        # process pays for growing the heap (page faults of the first output buffers).
        times: dict[str, list[float]] = {"plain": [], "inst": []}
        for _ in range(args.repeat):
            for kind, path in (("plain", tmp / "plain.glb"), ("inst", tmp / "inst.i3dm")):
                dt, verts = run(path, tmp / f"out_{kind}", args.workers)
                times[kind].append(dt)
                if kind == "plain":
                    v_plain = verts
                else:
                    v_inst = verts
                    print(f"i3dm OBJ: {(tmp / 'out_inst' / 'inst.obj').stat().st_size / 1e6:.0f} MB")
                shutil.rmtree(tmp / f"out_{kind}")
        print("runs (s): " + "; ".join(f"{k} " + ", ".join(f"{t:.2f}" for t in v) for k, v in times.items()))
        t_plain, t_inst = min(times["plain"]), min(times["inst"])
        per_plain, per_inst = t_plain / v_plain, t_inst / v_inst
        print(f"plain tile: {t_plain:.2f} s for {v_plain} vertices ({per_plain * 1e9:.0f} ns per vertex)")
        print(f"i3dm tile:  {t_inst:.2f} s for {v_inst} vertices ({per_inst * 1e9:.0f} ns per vertex)")
        print(f"ratio (i3dm / plain, per vertex): {per_inst / per_plain:.2f}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

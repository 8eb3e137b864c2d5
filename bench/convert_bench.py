"""Throughput of the converter against trimesh and assimp's command line, same tiles,
same worker count, one run. Prints seconds and the ratios (peer time / our time).

    python3 bench/convert_bench.py [--workers N] [--repeat R] [--no-real] [--texture-format F]

It imports the installed package; for an in-place build (tools/devbuild) run it with
PYTHONPATH=. from the repository root.

Tiles: the real glTF/b3dm samples of ../shared/data (when present) plus generated
terrain tiles (large grids with a texture each). The peers read GLB only, so b3dm
tiles are handed to them already unwrapped (their GLB part), which only helps them.
Peers run in worker processes (trimesh) or as parallel subprocesses (assimp); this
converter runs on its thread pool.
"""

from __future__ import annotations

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

import tessaroid
from tessaroid.demo import make_demo_tileset

ROOT = Path(__file__).resolve().parent.parent

SHARED = Path(os.environ.get("TESSAROID_SHARED_DATA", ROOT.parent / "shared" / "data"))
if not SHARED.is_dir():
    SHARED = Path("/work/shared/data")
# The real 3D tiles of the corpus: every b3dm and glb tile under tiles/.
REAL_GLOB = ("tiles/**/*.b3dm", "tiles/**/*.glb")
# A second set: textured sample models whose time goes into large textures, written
# as stored by default (assimp's OBJ export writes no texture files at all). On this
# set the script also times `--texture-format png` with 1 and with N workers.
MODELS = ["khronos/CesiumMilkTruck.glb", "khronos/TransmissionTest.glb", "khronos/Duck.glb",
          "khronos/BoxTextured.glb", "khronos/Fox.glb"]


def glb_of(path: Path, dest: Path) -> Path:
    """The GLB a peer can read: the file itself, or the GLB inside a b3dm."""
    if path.suffix != ".b3dm":
        return path
    data = path.read_bytes()
    a, b, c, d = struct.unpack_from("<4I", data, 12)
    start = data.find(b"glTF", 20)
    if c < 0x22000000 and d < 0x22000000:
        start = 28 + a + b + c + d
    out = dest / (path.stem + ".glb")
    out.write_bytes(data[start:])
    return out


def trimesh_one(args: tuple[str, str]) -> None:
    import trimesh

    src, out = args
    scene = trimesh.load(src, force="scene")
    os.makedirs(out, exist_ok=True)
    scene.export(os.path.join(out, Path(src).stem + ".obj"))


def assimp_one(args: tuple[str, str]) -> None:
    src, out = args
    os.makedirs(out, exist_ok=True)
    subprocess.run(["assimp", "export", src, os.path.join(out, Path(src).stem + ".obj")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def timed(fn, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def run_set(label: str, ours_in: list[Path], work: Path, args) -> None:
    peers_dir = work / f"peer_in_{label.replace(' ', '_')}"
    peers_dir.mkdir()
    peer_in = [glb_of(p, peers_dir) for p in ours_in]
    size = sum(p.stat().st_size for p in ours_in)
    print(f"== {label}: {len(ours_in)} files, {size / 1e6:.1f} MB, {args.workers} workers")

    def ours(workers=args.workers, fmt=args.texture_format):
        out = work / "ours"
        shutil.rmtree(out, ignore_errors=True)
        s = tessaroid.convert(ours_in, out, workers=workers, texture_format=fmt)
        assert s.failed == 0, s.failures

    def with_pool(pool_cls, fn, name):
        def run():
            out = work / name
            shutil.rmtree(out, ignore_errors=True)
            jobs = [(str(p), str(out / f"{i:03d}")) for i, p in enumerate(peer_in)]
            with pool_cls(max_workers=args.workers) as pool:
                list(pool.map(fn, jobs))
        return run

    t_ours = timed(ours, args.repeat)
    t_trimesh = timed(with_pool(ProcessPoolExecutor, trimesh_one, "trimesh"), args.repeat)
    t_assimp = timed(with_pool(ThreadPoolExecutor, assimp_one, "assimp"), args.repeat) \
        if shutil.which("assimp") else float("nan")
    print(f"tessaroid  {t_ours:8.3f} s  {size / 1e6 / t_ours:8.1f} MB/s")
    print(f"trimesh    {t_trimesh:8.3f} s  {size / 1e6 / t_trimesh:8.1f} MB/s")
    print(f"assimp     {t_assimp:8.3f} s  {size / 1e6 / t_assimp:8.1f} MB/s")
    faster = min(t_trimesh, t_assimp)
    print(f"ratio vs trimesh {t_trimesh / t_ours:.2f}x, vs assimp {t_assimp / t_ours:.2f}x, "
          f"vs the faster peer {faster / t_ours:.2f}x"
          + (" (goal >= 3x)" if label == "tiles" else f" (goal vs assimp >= 2x, textures {args.texture_format})"))
    if label != "tiles" and args.workers > 1:
        t1 = timed(lambda: ours(1, "png"), args.repeat)
        tn = timed(lambda: ours(args.workers, "png"), args.repeat)
        print(f"--texture-format png: 1 worker {t1:.3f} s, {args.workers} workers {tn:.3f} s, "
              f"ratio {t1 / tn:.2f}x (goal >= 1.6x for 2 workers)")


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--no-real", action="store_true", help="generated tiles only")
    ap.add_argument("--texture-format", default="source", choices=("source", "png", "jpeg"),
                    help="texture mode of this converter (default source)")
    ap.add_argument("--grid", type=int, default=257, help="generated tile grid size (vertices per side)")
    ap.add_argument("--texture", type=int, default=512, help="generated tile texture size")
    args = ap.parse_args()
    work = Path(tempfile.mkdtemp(prefix="tessaroid-bench-"))
    try:
        gen = work / "gen"
        make_demo_tileset(gen, levels=2, grid=args.grid, texture_size=args.texture)
        tiles = sorted(gen.rglob("*.glb"))
        sets = []
        if not args.no_real and SHARED.is_dir():
            # Gzip-compressed tiles are left out: the peers read plain GLB only.
            tiles += sorted({p for g in REAL_GLOB for p in SHARED.glob(g)
                             if p.read_bytes()[:2] != b"\x1f\x8b"})
            sets.append(("textured models", [SHARED / m for m in MODELS if (SHARED / m).is_file()]))
        sets.insert(0, ("tiles", tiles))
        for label, files in sets:
            run_set(label, files, work, args)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

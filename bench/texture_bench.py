"""Decode once, write many flipped regions: DecodedTexture against its floor and Pillow.

Workload, the same for every contender: a 4096x4096 RGB JPEG and a 2048x2048
RGBA PNG are each decoded once; 16 regions of 1024x1024 of each are written
bottom row first, every region as PNG (compression level 1) and as JPEG
(quality 90): 64 files in all.

Contenders, measured in the same run (best of --reps, alternating). The
ratios use CPU time of the process, which other work on a shared machine
disturbs far less than wall time; wall times are printed beside them.
  ours     tessaroid._obj_writer.DecodedTexture
  floor    bench/texture_baseline.c: the same stb calls in a bare C program,
           compiled here against the system's stb headers (goal: ours <= 1.10x)
  pillow   Image.open + load, crop, FLIP_TOP_BOTTOM, save (reported as is)

    PYTHONPATH=. python3 bench/texture_bench.py [--reps N]
"""

import argparse
import io
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

from tessaroid import _obj_writer as ow

HERE = Path(__file__).resolve().parent
STB_DIR = os.environ.get("STB_INCLUDE_DIR", "/usr/include/stb")
QUALITY = 90
SIDE = 1024


def texture(h, w, c, seed):
    """Texture-like content: smooth colour fields, edges and fine noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    planes = []
    for i in range(c):
        f = 1.0 + i
        v = 128 + 60 * np.sin(x / (97 * f)) * np.cos(y / (61 + 13 * i)) + 40 * np.sin((x + y) / 23.0)
        planes.append(v)
    img = np.stack(planes, axis=-1)
    img[(x.astype(int) // 256 + y.astype(int) // 256) % 2 == 0] += 25
    img += rng.normal(0, 2, img.shape).astype(np.float32)
    if c == 4:
        img[..., 3] = 255 - (x / w * 128)
    return np.clip(img, 0, 255).astype(np.uint8)


def encoded(img, fmt, **kw):
    buf = io.BytesIO()
    Image.fromarray(img).save(buf, fmt, **kw)
    return buf.getvalue()


def regions(width, height):
    """16 regions of SIDE x SIDE on a 4x4 grid spread over the image."""
    xs = [round(i * (width - SIDE) / 3) for i in range(4)]
    ys = [round(i * (height - SIDE) / 3) for i in range(4)]
    return [(x, y, x + SIDE, y + SIDE) for y in ys for x in xs]


def clocks():
    return time.process_time(), time.perf_counter()


def since(start):
    cpu, wall = clocks()
    return cpu - start[0], wall - start[1]


def run_ours(jobs, out):
    t0 = clocks()
    n = 0
    for data, rects in jobs:
        t = ow.DecodedTexture()
        assert t.decode(data)
        for x0, y0, x1, y1 in rects:
            assert t.crop_and_save(x0, y0, x1, y1, f"{out}/o_{n}.png", True, QUALITY)
            assert t.crop_and_save(x0, y0, x1, y1, f"{out}/o_{n + 1}.jpg", False, QUALITY)
            n += 2
    return since(t0)


def run_pillow(jobs, out):
    t0 = clocks()
    n = 0
    for data, rects in jobs:
        im = Image.open(io.BytesIO(data))
        im.load()
        for rect in rects:
            region = im.crop(rect)
            region.transpose(Image.Transpose.FLIP_TOP_BOTTOM).save(
                f"{out}/p_{n}.png", "PNG", compress_level=1)
            if region.mode in ("RGBA", "LA"):
                region = region.convert("RGB" if region.mode == "RGBA" else "L")
            region.transpose(Image.Transpose.FLIP_TOP_BOTTOM).save(
                f"{out}/p_{n + 1}.jpg", "JPEG", quality=QUALITY)
            n += 2
    return since(t0)


def run_floor(exe, inputs, out):
    args = [str(exe), str(out), str(QUALITY)]
    for i, (path, rects) in enumerate(inputs):
        if i:
            args.append("--")
        args.append(str(path))
        args += [",".join(map(str, r)) for r in rects]
    done = subprocess.run(args, capture_output=True, text=True, check=True)
    cpu, wall = done.stdout.split()
    return float(cpu), float(wall)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=2, help="runs per contender (best is kept)")
    opts = ap.parse_args()

    with tempfile.TemporaryDirectory(prefix="texture_bench_") as tmp:
        tmp = Path(tmp)
        exe = tmp / "texture_baseline"
        cc = os.environ.get("CC", "cc")
        subprocess.run([cc, "-O3", "-DNDEBUG", "-w", f"-I{STB_DIR}", str(HERE / "texture_baseline.c"),
                        "-o", str(exe), "-lm"], check=True)

        print("making inputs ...", file=sys.stderr)
        jpeg = encoded(texture(4096, 4096, 3, 1), "JPEG", quality=90)
        png = encoded(texture(2048, 2048, 4, 2), "PNG", compress_level=1)
        inputs = [(tmp / "in.jpg", regions(4096, 4096)), (tmp / "in.png", regions(2048, 2048))]
        inputs[0][0].write_bytes(jpeg)
        inputs[1][0].write_bytes(png)
        jobs = [(jpeg, inputs[0][1]), (png, inputs[1][1])]

        inf = (float("inf"), float("inf"))
        best = {"ours": inf, "floor": inf, "pillow": inf}
        for _ in range(opts.reps):
            for name in best:
                out = tmp / name
                out.mkdir()
                if name == "ours":
                    t = run_ours(jobs, out)
                elif name == "floor":
                    t = run_floor(exe, inputs, out)
                else:
                    t = run_pillow(jobs, out)
                best[name] = min(best[name], t)
                shutil.rmtree(out)

    print(f"workload: decode 4096x4096 RGB JPEG ({len(jpeg)} B) and 2048x2048 RGBA PNG "
          f"({len(png)} B) once each; 16 regions {SIDE}x{SIDE} of each as PNG and JPEG q{QUALITY}; "
          f"best of {opts.reps}")
    for name, (cpu, wall) in best.items():
        print(f"  {name:7s} cpu {cpu:8.3f} s   wall {wall:8.3f} s")
    ratio = {k: best["ours"][0] / best[k][0] for k in ("floor", "pillow")}
    print(f"ours / stb floor (C), cpu: {ratio['floor']:.3f}  (goal <= 1.10)")
    print(f"ours / Pillow, cpu:        {ratio['pillow']:.3f}")


if __name__ == "__main__":
    main()

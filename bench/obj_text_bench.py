"""Speed of the OBJ line formatters against a plain snprintf loop.

Compiles bench/snprintf_baseline.c (cc -O2, shared library, loaded with
ctypes), then times format_vertex_lines and format_face_lines against the
snprintf loops over the same 1M rows, alternately, best of several repeats,
and prints the two ratios (baseline time / formatter time).

Goals: vertices >= 10x, faces >= 8x.

    PYTHONPATH=. python3 bench/obj_text_bench.py [--rows N] [--repeats K]
"""

import argparse
import ctypes
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from tessaroid import _obj_writer as ow

HERE = Path(__file__).resolve().parent
GOALS = {"vertex": 10.0, "face": 8.0}


def build_baseline(tmp: Path) -> ctypes.CDLL:
    lib = tmp / "snprintf_baseline.so"
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", str(lib),
                    str(HERE / "snprintf_baseline.c")], check=True)
    dll = ctypes.CDLL(str(lib))
    for name, ptr in (("vertex_lines", ctypes.c_double), ("face_lines", ctypes.c_int64)):
        fn = getattr(dll, name)
        fn.argtypes = [ctypes.POINTER(ptr), ctypes.c_longlong]
        fn.restype = ctypes.c_longlong
    return dll


def ecef_rows(rng: np.random.Generator, n: int) -> np.ndarray:
    """Points on and above the Earth's surface: coordinates of about +-6.4e6 m."""
    d = rng.normal(size=(n, 3))
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    r = 6_378_137.0 + rng.uniform(-100.0, 3000.0, size=(n, 1))
    return np.ascontiguousarray(d * r)


def best_alternating(fns, repeats):
    best = [float("inf")] * len(fns)
    for _ in range(repeats):
        for k, fn in enumerate(fns):
            t = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - t)
    return best


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--seed", type=int, default=20240601)
    args = ap.parse_args()
    print(f"seed {args.seed}, {args.rows} rows, best of {args.repeats}")

    rng = np.random.default_rng(args.seed)
    pos = ecef_rows(rng, args.rows)
    faces = rng.integers(0, args.rows, size=(args.rows, 3), dtype=np.int64)

    with tempfile.TemporaryDirectory() as tmp:
        dll = build_baseline(Path(tmp))
        pos_p = pos.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
        face_p = faces.ctypes.data_as(ctypes.POINTER(ctypes.c_int64))

        # Same bytes from both sides first, so the timing compares like with like.
        v_len = len(ow.format_vertex_lines(pos))
        f_len = len(ow.format_face_lines(faces, False))
        if dll.vertex_lines(pos_p, args.rows) != v_len or dll.face_lines(face_p, args.rows) != f_len:
            print("baseline and formatter output lengths differ", file=sys.stderr)
            return 1

        results = {}
        for name, ours, base in (
            ("vertex", lambda: ow.format_vertex_lines(pos), lambda: dll.vertex_lines(pos_p, args.rows)),
            ("face", lambda: ow.format_face_lines(faces, False), lambda: dll.face_lines(face_p, args.rows)),
        ):
            t_ours, t_base = best_alternating([ours, base], args.repeats)
            results[name] = t_base / t_ours
            print(f"{name:6s}: snprintf {t_base * 1e3:8.1f} ms   formatter {t_ours * 1e3:7.1f} ms   "
                  f"ratio {results[name]:5.1f}x (goal {GOALS[name]:.0f}x)")

    ok = all(results[k] >= GOALS[k] for k in GOALS)
    print("goals met" if ok else "goals NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

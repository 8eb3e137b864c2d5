"""One conversion job from the selected tasks to the summary: the manifest that makes
it resumable, skipping tiles an earlier run finished (before their bytes are
fetched), the runner, the streaming merge, the recentring, the progress line.

The job keeps per tile only small records (a result's counts and file names); the
meshes go to disk as each tile finishes.
"""

from __future__ import annotations

import json
import os
import shutil
import uuid
from pathlib import Path
from typing import Iterable, Iterator

import numpy as np

from ._native import native
from .errors import ConversionError
from .manifest import SPOOL_DIR, Manifest
from .merging import merge_spools, remove_spools
from .progress import Progress
from .records import Options, Summary, TileResult, TileTask
from .running import run_dask, run_threads
from .tiles import WalkError


def run_job(tasks: Iterable[TileTask], walk_errors: list[WalkError], out_dir: Path, opts: Options, *,
            fingerprint: dict, resume: bool, merge_name: str, recenter: bool, workers: int, downloads: int,
            dask, progress: bool) -> Summary:
    manifest = Manifest(out_dir, fingerprint, resume)
    bar = Progress(progress)
    summary = Summary(output_dir=str(out_dir))
    results: list[TileResult] = []
    # (task index, files relative to the output folder) of every finished tile with files
    finished: list[tuple[int, list[str]]] = []

    def pending() -> Iterator[TileTask]:
        for t in tasks:
            bar.add_selected()
            rec = manifest.finished(t.name, t.source) if resume else None
            if rec is None:
                yield t
                continue
            summary.resumed += 1
            bar.add_done()
            if rec.files:
                finished.append((t.index, rec.files))

    def on_result(res: TileResult) -> None:
        results.append(res)
        if res.ok:
            manifest.tile_done(res.name, res.source, res.files, res.vertices, res.faces, res.textures)
            if res.files:
                finished.append((res.index, [_rel(f, out_dir) for f in res.files]))
        bar.add_done()

    try:
        if dask is not None:
            run_dask(pending(), opts, str(out_dir), dask, on_result)
        else:
            run_threads(pending(), opts, str(out_dir), workers, on_result, downloads=downloads)
        results.sort(key=lambda r: r.index)
        finished.sort(key=lambda f: f[0])
        _count(summary, results, walk_errors)
        fetched = bar.fetched()
        summary.requests = fetched.get("requests", 0)
        summary.retries = fetched.get("retries", 0)
        summary.failed_requests = fetched.get("failed", 0)
        summary.bytes_downloaded = fetched.get("bytes", 0)
        if opts.merge:
            _merge(summary, manifest, finished, out_dir, merge_name, opts, converted_now=bool(results))
        else:
            summary.obj_files = [str(out_dir / f) for _, files in finished for f in files if f.endswith(".obj")]
        if recenter and summary.obj_files:
            _recenter(summary, manifest, out_dir, opts)
    finally:
        bar.close()
        manifest.close()
    return summary


def _rel(path: str, out_dir: Path) -> str:
    return os.path.relpath(path, out_dir).replace(os.sep, "/")


def _count(summary: Summary, results: list[TileResult], walk_errors: list[WalkError]) -> None:
    summary.results = results
    summary.tiles = len(results) + len(walk_errors) + summary.resumed
    for e in walk_errors:
        summary.failed += 1
        summary.failures.append((e.source, e.reason))
    for r in results:
        if not r.ok:
            summary.failed += 1
            summary.failures.append((r.source, r.error or "unknown error"))
            continue
        summary.notes += [f"{r.source}: {n}" for n in r.notes]
        if r.empty:
            summary.empty += 1
            continue
        summary.converted += 1
        summary.vertices += r.vertices
        summary.faces += r.faces
        summary.textures += r.textures


def _merge(summary: Summary, manifest: Manifest, finished: list[tuple[int, list[str]]], out_dir: Path,
           name: str, opts: Options, converted_now: bool) -> None:
    done = manifest.state.merged
    if done is not None and not converted_now and all((out_dir / f).is_file() for f in done):
        # An earlier run wrote the merged OBJ of these very tiles.
        summary.obj_files = [str(out_dir / f) for f in done if f.endswith(".obj")]
        if not summary.failed:
            remove_spools(out_dir)
        return
    spools = [out_dir / f for _, files in finished for f in files if f.startswith(SPOOL_DIR + "/")]
    missing = [p for p in spools if not p.is_file()]
    if missing:
        summary.failed += 1
        summary.failures.append((str(missing[0]), f"{len(missing)} part(s) of the merged OBJ are gone; "
                                 "rerun without --resume"))
        return
    if not spools:
        return
    try:
        files = merge_spools(native(), spools, out_dir, name, opts)
    except (ConversionError, OSError) as exc:
        summary.failed += 1
        summary.failures.append((str(out_dir / f"{name}.obj"), str(exc)))
        return
    manifest.append({"kind": "merged", "files": [_rel(f, out_dir) for f in files]})
    summary.obj_files = [f for f in files if f.endswith(".obj")]
    if not summary.failed:
        # Kept after a failure, so that a resume can merge again with the missing tiles.
        remove_spools(out_dir)


def _recenter(summary: Summary, manifest: Manifest, out_dir: Path, opts: Options) -> None:
    """Move every OBJ file by the centre of their common extent and write offset.json.
    Resumable: the offset is recorded before the first file moves and each moved
    file after it moved, so a killed recentring continues with the same offset."""
    ow = native()
    state = manifest.state
    rels = [_rel(f, out_dir) for f in summary.obj_files]
    if state.offset is not None and state.extent is not None:
        centre = np.array(state.offset)
        lo, hi = state.extent
    else:
        lo = np.full(3, np.inf)
        hi = np.full(3, -np.inf)
        for f in summary.obj_files:
            ext = ow.compute_obj_extent(f)
            if ext is not None:
                lo = np.minimum(lo, ext[:3])
                hi = np.maximum(hi, ext[3:])
        finite = bool(np.all(np.isfinite(lo)))
        # Millimetre-round offset: the shift then only moves the written decimals.
        centre = np.round((lo + hi) / 2.0, 3) if finite else np.zeros(3)
        lo = [float(v) for v in lo] if finite else None
        hi = [float(v) for v in hi] if finite else None
        manifest.append({"kind": "recenter", "offset": [float(c) for c in centre], "extent": [lo, hi]})
    for f, rel in zip(summary.obj_files, rels):
        if rel in state.shifted:
            continue
        final = Path(f)
        tmp = final.with_name(f".{final.name}.{uuid.uuid4().hex[:12]}.tmp")
        try:
            shutil.copyfile(final, tmp)
            ow.shift_obj_file(str(tmp), float(centre[0]), float(centre[1]), float(centre[2]))
            os.replace(tmp, final)
        finally:
            if tmp.exists():
                tmp.unlink()
        manifest.append({"kind": "shifted", "file": rel})
    info = {
        "crs": opts.crs,
        "offset": [float(c) for c in centre],
        "extent_min": lo,
        "extent_max": hi,
        "files": [Path(f).name for f in summary.obj_files],
        "note": "every vertex was moved by -offset; add offset to get back to the CRS coordinates",
    }
    path = out_dir / "offset.json"
    tmp = out_dir / f".offset.json.{uuid.uuid4().hex[:12]}.tmp"
    tmp.write_text(json.dumps(info, indent=2) + "\n", encoding="utf-8")
    os.replace(tmp, path)
    manifest.append({"kind": "recentered"})
    summary.offset = (float(centre[0]), float(centre[1]), float(centre[2]))
    summary.offset_file = str(path)

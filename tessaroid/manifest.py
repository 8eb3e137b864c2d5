"""The record of finished tiles in the output folder, which lets `--resume` continue
an interrupted run.

`.tessaroid-manifest.jsonl` is append-only JSON lines. The first line holds the
fingerprint of the options and inputs; then one line per finished tile with its name,
source, files (relative to the output folder) and counts, appended (flushed, then
fsynced) only after all of the tile's files were renamed into place. A kill at any moment
therefore leaves a manifest whose every complete line is true; a torn last line is
ignored on reading. Later lines record the steps after the tiles: the merged OBJ
written, the recentring offset and each file shifted by it.
"""

from __future__ import annotations

import json
import os
import shutil
import threading
import uuid
from dataclasses import dataclass, field
from pathlib import Path

MANIFEST_NAME = ".tessaroid-manifest.jsonl"
SPOOL_DIR = ".tessaroid-spool"
FORMAT = 1


class ResumeMismatch(ValueError):
    """The output folder's manifest was written for other options or inputs."""


@dataclass(slots=True)
class TileRecord:
    name: str
    source: str
    files: list[str]  # relative to the output folder
    vertices: int = 0
    faces: int = 0
    textures: int = 0


@dataclass
class State:
    """What a manifest says an earlier run finished."""

    fingerprint: dict | None = None
    tiles: dict[str, TileRecord] = field(default_factory=dict)
    merged: list[str] | None = None  # the merged OBJ's files, once written
    offset: tuple[float, float, float] | None = None  # recentring begun with this offset
    extent: tuple | None = None  # (min, max) of the files before they moved
    shifted: set[str] = field(default_factory=set)  # files already moved by that offset
    recentered: bool = False


def read_state(path: Path) -> State:
    """The manifest's content; complete lines only (a torn last line is ignored)."""
    state = State()
    try:
        raw = path.read_bytes()
    except FileNotFoundError:
        return state
    for line in raw.split(b"\n"):
        try:
            rec = json.loads(line)
        except ValueError:
            continue  # the torn last line of a killed run (or an empty one)
        if not isinstance(rec, dict):
            continue
        kind = rec.get("kind")
        if kind == "run" and state.fingerprint is None:
            state.fingerprint = rec.get("fingerprint")
        elif kind == "tile":
            t = TileRecord(name=str(rec["name"]), source=str(rec.get("source", "")),
                           files=[str(f) for f in rec.get("files", [])], vertices=int(rec.get("vertices", 0)),
                           faces=int(rec.get("faces", 0)), textures=int(rec.get("textures", 0)))
            state.tiles[t.name] = t
            state.shifted.difference_update(t.files)  # rewritten: no longer shifted
            if state.merged is not None:  # a tile converted after the merge: it must be redone
                state.shifted.difference_update(state.merged)
                state.merged = None
        elif kind == "merged":
            state.merged = [str(f) for f in rec.get("files", [])]
            state.shifted.difference_update(state.merged)
        elif kind == "recenter":
            state.offset = tuple(float(v) for v in rec["offset"])  # type: ignore[assignment]
            state.extent = tuple(rec.get("extent") or (None, None))
            state.recentered = False
        elif kind == "shifted":
            state.shifted.add(str(rec["file"]))
        elif kind == "recentered":
            state.recentered = True
    return state


class Manifest:
    """The manifest being written by this run (appending to an earlier one on resume)."""

    def __init__(self, out_dir: Path, fingerprint: dict, resume: bool):
        self.out_dir = out_dir
        self.path = out_dir / MANIFEST_NAME
        self.state = read_state(self.path) if resume else State()
        if resume and self.state.fingerprint is not None and self.state.fingerprint != fingerprint:
            raise ResumeMismatch(_mismatch(self.state.fingerprint, fingerprint, self.path))
        if not resume or self.state.fingerprint is None:
            # A new run: a fresh manifest, and no spool files of an earlier merge.
            self.state = State(fingerprint=fingerprint)
            shutil.rmtree(out_dir / SPOOL_DIR, ignore_errors=True)
            tmp = out_dir / f".{MANIFEST_NAME}.{uuid.uuid4().hex[:12]}.tmp"
            with open(tmp, "wb") as fh:
                fh.write(_line({"kind": "run", "format": FORMAT, "fingerprint": fingerprint}))
                fh.flush()
                os.fsync(fh.fileno())
            os.replace(tmp, self.path)
        elif not self.path.read_bytes().endswith(b"\n"):
            # Close a torn last line so that the next record starts on its own line.
            with open(self.path, "ab") as fh:
                fh.write(b"\n")
        self._fh = open(self.path, "ab")
        self._dirty = threading.Condition()
        self._pending = False
        self._closing = False
        self._syncer = threading.Thread(target=self._sync_loop, name="tessaroid-manifest", daemon=True)
        self._syncer.start()
        remove_stale_temporaries(out_dir)
        self._present: set[str] | None = None
        self._merged_in_place = False

    def finished(self, name: str, source: str) -> TileRecord | None:
        """The record of a tile an earlier run finished, when its files are all still in place."""
        rec = self.state.tiles.get(name)
        if rec is None or rec.source != source:
            return None
        if self._present is None:
            # One listing of the folder (and the spool folder) instead of a stat per file.
            self._present = _listing(self.out_dir)
            self._merged_in_place = self.state.merged is not None and all(
                f in self._present for f in self.state.merged)
        for f in rec.files:
            # A spool part counts as in place once its merged OBJ is written.
            if f not in self._present and not (self._merged_in_place and f.startswith(SPOOL_DIR + "/")):
                return None
        return rec

    def append(self, rec: dict) -> None:
        """Write one record. It is flushed at once (a killed process loses nothing) and
        fsynced by a background thread, which takes all the lines written since its
        last fsync together, so that a job of many small tiles does not wait on the
        disk once per tile."""
        self._fh.write(_line(rec))
        self._fh.flush()
        with self._dirty:
            self._pending = True
            self._dirty.notify()

    def _sync_loop(self) -> None:
        while True:
            with self._dirty:
                while not self._pending and not self._closing:
                    self._dirty.wait()
                if not self._pending:
                    return
                self._pending = False
            try:
                os.fsync(self._fh.fileno())
            except (OSError, ValueError):
                return

    def tile_done(self, name: str, source: str, files: list[str], vertices: int, faces: int,
                  textures: int) -> None:
        rel = [os.path.relpath(f, self.out_dir).replace(os.sep, "/") for f in files]
        self.append({"kind": "tile", "name": name, "source": source, "files": rel, "vertices": vertices,
                     "faces": faces, "textures": textures})

    def close(self) -> None:
        with self._dirty:
            self._closing = True
            self._dirty.notify()
        self._syncer.join()
        os.fsync(self._fh.fileno())
        self._fh.close()


def _line(rec: dict) -> bytes:
    return (json.dumps(rec, separators=(",", ":"), ensure_ascii=True) + "\n").encode("ascii")


def _mismatch(old: dict, new: dict, path: Path) -> str:
    keys = sorted(k for k in set(old) | set(new) if old.get(k) != new.get(k))
    diffs = "; ".join(f"{k}: {old.get(k)!r} then, {new.get(k)!r} now" for k in keys)
    return (f"cannot resume: {path.parent} was written with other options or inputs ({diffs}); "
            "rerun without --resume to start over, or use another output folder")


def _listing(out_dir: Path) -> set[str]:
    """The files of the output folder and of its spool folder, as manifest paths."""
    present = set()
    for sub in ("", SPOOL_DIR):
        try:
            with os.scandir(out_dir / sub if sub else out_dir) as it:
                present.update(f"{sub}/{e.name}" if sub else e.name for e in it if e.is_file())
        except OSError:
            pass
    return present


def remove_stale_temporaries(out_dir: Path) -> int:
    """Remove the `.*.tmp` staging files that killed runs left behind."""
    n = 0
    for d in (out_dir, out_dir / SPOOL_DIR):
        try:
            entries = list(os.scandir(d))
        except OSError:
            continue
        for e in entries:
            if e.name.startswith(".") and e.name.endswith(".tmp") and e.is_file(follow_symlinks=False):
                try:
                    os.unlink(e.path)
                    n += 1
                except OSError:
                    pass
    return n

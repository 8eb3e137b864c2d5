"""Large jobs: the streaming merge against the in-memory writer, resume after a kill
at random moments, the manifest's edges, downloads overlapped with converting under
a bound, the progress line."""

from __future__ import annotations

import io
import json
import os
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import tessaroid
from conftest import test_seed
from tessaroid import running
from tessaroid.assembly import TileMesh
from tessaroid.demo import make_demo_tileset
from tessaroid.manifest import MANIFEST_NAME, SPOOL_DIR, read_state
from tessaroid.merging import merge_spools, write_spool
from tessaroid.planning import Material
from tessaroid.records import Options, TileResult, TileTask
from tessaroid.sources import Location
from tessaroid.writing import Staging, face_lines, mtl_text, texcoord_lines, vertex_lines

# The folder holding the tessaroid package these tests import (installed or built in place).
PACKAGE_PARENT = Path(tessaroid.__file__).resolve().parents[1]


def tree(folder: Path) -> dict[str, bytes]:
    """Every file below the folder with its bytes, the manifest left out (its lines
    come in the order the tiles finished)."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*"))
            if p.is_file() and p.name != MANIFEST_NAME}


def random_mesh(rng, n: int, with_tc: bool, groups: int, dtype) -> TileMesh:
    pos = rng.normal(6.3e6, 1e3, (n, 3))
    faces = rng.integers(0, n, (3 * n, 3)).astype(dtype)
    cuts = np.sort(rng.choice(np.arange(1, len(faces)), groups - 1, replace=False)) if groups > 1 else []
    bounds = [0, *cuts, len(faces)]
    mats = [(f"m{k}", Material(index=k, name=f"m{k}", rgba=(0.5, 0.25, 1.0, 1.0)), f"t{k}.png" if with_tc else None)
            for k in range(groups)]
    grp = [(f"m{k}", int(bounds[k]), int(bounds[k + 1]), with_tc and k % 2 == 0) for k in range(groups)]
    return TileMesh(positions=pos, faces=faces, texcoords=rng.random((n, 2)) if with_tc else None, groups=grp,
                    materials=mats)


def merged_in_memory(ow, meshes, out: Path, name: str, opts: Options) -> None:
    """The merged OBJ and MTL as the converter wrote them when it kept every tile's
    arrays until the end: the bytes the spooled merge must keep."""
    any_tc = any(m.texcoords is not None for m, _ in meshes)
    mtls = [mtl_text(m.materials) for m, _ in meshes]
    (out / f"{name}.mtl").write_text("".join(t.split("\n", 1)[1] if i else t for i, t in enumerate(mtls)))
    with open(out / f"{name}.obj", "wb") as fh:
        fh.write(f"# tessaroid: {len(meshes)} tiles merged\n# crs {opts.crs}\nmtllib {name}.mtl\n".encode())
        offset = 1
        for m, task in meshes:
            fh.write(f"o {task.name}\n".encode())
            fh.write(vertex_lines(ow, m.positions, opts))
            if any_tc:
                fh.write(texcoord_lines(ow, m.texcoords if m.texcoords is not None
                                         else np.zeros((len(m.positions), 2))))
            faces = m.faces + offset
            for mname, f0, f1, with_vt in m.groups:
                fh.write(f"usemtl {mname}\n".encode())
                fh.write(face_lines(ow, faces[f0:f1], with_vt and m.texcoords is not None))
            offset += len(m.positions)


@pytest.mark.parametrize("texcoords,crs,dtype", [
    ([True, True, True], "EPSG:4978", np.int64),
    ([False, True, False, True], "EPSG:4978", np.uint32),  # parts without vt get zero vt lines
    ([False, False], "EPSG:3857", np.int64),
    ([True, False], "EPSG:4326", np.uint32),  # geographic vertex lines (nine decimals)
])
def test_spooled_merge_has_the_bytes_of_the_in_memory_merge(ow, tmp_path, texcoords, crs, dtype):
    rng = np.random.default_rng(len(texcoords) * 7 + len(crs))
    opts = Options(crs=crs, merge=True)
    parts = []
    spools = []
    for i, tc in enumerate(texcoords):
        mesh = random_mesh(rng, int(rng.integers(1, 300)), tc, int(rng.integers(1, 4)), dtype)
        task = TileTask(index=i, source=f"t{i}.glb", name=f"t{i}", matrix=())
        parts.append((mesh, task))
        stage = Staging(tmp_path / "spooled")
        (tmp_path / "spooled").mkdir(exist_ok=True)
        write_spool(ow, mesh, task, opts, stage)
        spools.append(Path(stage.commit()[0]))
    (tmp_path / "memory").mkdir()
    merged_in_memory(ow, parts, tmp_path / "memory", "m", opts)
    merge_spools(ow, spools, tmp_path / "spooled", "m", opts)
    for name in ("m.obj", "m.mtl"):
        assert (tmp_path / "spooled" / name).read_bytes() == (tmp_path / "memory" / name).read_bytes()


@pytest.fixture(scope="module")
def quadtree(tmp_path_factory):
    """341 small tiles (a five-level quadtree)."""
    src = tmp_path_factory.mktemp("quadtree")
    make_demo_tileset(src, levels=5, grid=5, texture_size=8)
    return src


def cli(*args, **kw) -> subprocess.Popen:
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    return subprocess.Popen([sys.executable, "-m", "tessaroid", "convert", *map(str, args)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def manifest_lines(out: Path) -> int:
    try:
        return (out / MANIFEST_NAME).read_bytes().count(b"\n")
    except FileNotFoundError:
        return 0


@pytest.fixture(scope="module")
def reference(quadtree, tmp_path_factory):
    """The uninterrupted runs' files, per tile and merged."""
    refs = {}
    for mode in ("tiles", "merge"):
        out = tmp_path_factory.mktemp(f"ref-{mode}")
        p = cli(quadtree, "-o", out, "-q", *(["--merge"] if mode == "merge" else []))
        assert p.wait(60) == 0, p.stderr.read()
        refs[mode] = tree(out)
    return refs


# Kill moments: as the run starts, after a few tiles, in the middle, near the end
# (with --merge: while or after the merged OBJ is written).
@pytest.mark.parametrize("mode", ["tiles", "merge"])
@pytest.mark.parametrize("moment", [0, 3, "random", 341])
def test_resume_after_sigkill_gives_the_uninterrupted_files(quadtree, reference, tmp_path, mode, moment):
    rng = random.Random(test_seed(f"kill-{mode}-{moment}"))
    after = rng.randrange(5, 330) if moment == "random" else moment
    out = tmp_path / "out"
    extra = ["--merge"] if mode == "merge" else []
    p = cli(quadtree, "-o", out, "-q", "--workers", "1", *extra)
    deadline = time.monotonic() + 60
    while p.poll() is None and manifest_lines(out) <= after and time.monotonic() < deadline:
        time.sleep(0.0005)
    p.send_signal(signal.SIGKILL)
    p.wait(60)
    p = cli(quadtree, "-o", out, "-q", "--resume", *extra)
    assert p.wait(60) == 0, p.stderr.read()
    assert not list(out.rglob("*.tmp"))
    got = tree(out)
    assert sorted(got) == sorted(reference[mode])
    assert [k for k in got if got[k] != reference[mode][k]] == []


@pytest.mark.parametrize("merge", [False, "all"])
def test_resume_after_a_complete_run_reads_no_content(quadtree, tmp_path, monkeypatch, merge):
    first = tessaroid.convert(quadtree, tmp_path, max_depth=2, merge=merge)
    before = tree(tmp_path)
    reads: list[str] = []
    plain_read = Location.read

    def counting_read(self):
        reads.append(self.display)
        return plain_read(self)

    monkeypatch.setattr(Location, "read", counting_read)
    again = tessaroid.convert(quadtree, tmp_path, max_depth=2, merge=merge, resume=True)
    assert [r for r in reads if not r.endswith(".json")] == []  # the tile set JSON only
    assert (again.converted, again.resumed, again.failed, first.converted) == (0, 21, 0, 21)
    assert "21 already done" in again.line()
    assert tree(tmp_path) == before
    assert [Path(f).name for f in again.obj_files] == [Path(f).name for f in first.obj_files]


def test_resume_refuses_other_options_and_starts_over_without_it(quadtree, tmp_path):
    p = cli(quadtree, "-o", tmp_path, "-q", "--max-depth", "1")
    assert p.wait(60) == 0
    p = cli(quadtree, "-o", tmp_path, "-q", "--max-depth", "2", "--resume")
    assert p.wait(60) == 2
    err = p.stderr.read().decode()
    assert "cannot resume" in err and "max_depth" in err and "without --resume" in err
    p = cli(quadtree, "-o", tmp_path, "-q", "--max-depth", "2")  # a new run: a new manifest
    assert p.wait(60) == 0
    assert len(read_state(tmp_path / MANIFEST_NAME).tiles) == 21


def test_resume_reconverts_tiles_whose_files_are_gone_and_drops_stale_staging(quadtree, tmp_path):
    tessaroid.convert(quadtree, tmp_path, max_depth=1)
    before = tree(tmp_path)
    (tmp_path / "L1_tile_2.obj").unlink()
    (tmp_path / ".L1_tile_3.obj.0123456789ab.tmp").write_bytes(b"half a file")
    # A kill in the middle of a manifest line leaves it torn: ignored on reading.
    with open(tmp_path / MANIFEST_NAME, "ab") as fh:
        fh.write(b'{"kind":"tile","name":"L1_tile_0","sou')
    s = tessaroid.convert(quadtree, tmp_path, max_depth=1, resume=True)
    assert (s.converted, s.resumed) == (1, 4)
    assert tree(tmp_path) == before
    assert len(read_state(tmp_path / MANIFEST_NAME).tiles) == 5


def test_resume_after_failed_tiles_converts_them_into_the_merge(quadtree, tmp_path):
    full = tessaroid.convert(quadtree, tmp_path / "full", max_depth=1, merge=True)
    bad = quadtree.parent / "bad"
    import shutil

    shutil.copytree(quadtree, bad, dirs_exist_ok=True)
    good = (bad / "L1" / "tile_1.glb").read_bytes()
    (bad / "L1" / "tile_1.glb").write_bytes(b"glTF\x02\0\0\0")
    try:
        first = tessaroid.convert(bad, tmp_path / "out", max_depth=1, merge=True)
        assert first.failed == 1 and (tmp_path / "out" / SPOOL_DIR).is_dir()  # kept for the resume
        (bad / "L1" / "tile_1.glb").write_bytes(good)
        # The fingerprint names the inputs, so compare against a run of the same folder.
        again = tessaroid.convert(bad, tmp_path / "out", max_depth=1, merge=True, resume=True)
    finally:
        shutil.rmtree(bad)
    assert (again.converted, again.resumed, again.failed) == (1, 4, 0) and full.failed == 0
    assert tree(tmp_path / "out") == tree(tmp_path / "full")


class SlowRemote(Location):
    """A content fetched with a delay, counting the fetches at once."""

    is_remote = True
    lock = threading.Lock()
    now = peak = 0

    def read(self) -> bytes:
        cls = SlowRemote
        with cls.lock:
            cls.now += 1
            cls.peak = max(cls.peak, cls.now)
        time.sleep(0.01)
        with cls.lock:
            cls.now -= 1
        if self.path.endswith("missing"):
            raise tessaroid.ConversionError(f"{self.path}: HTTP 404")
        return b"x" * 1000


@pytest.mark.parametrize("downloads,workers", [(16, 2), (4, 1), (1, 3)])
def test_downloads_overlap_within_bounds(monkeypatch, downloads, workers):
    SlowRemote.now = SlowRemote.peak = 0
    held = {"now": 0, "peak": 0}
    lock = threading.Lock()
    taken = []

    def fake_convert(task, opts, out_dir, data=None):
        assert data == b"x" * 1000  # fetched by the download stage
        with lock:
            held["now"] += 1
            held["peak"] = max(held["peak"], held["now"])
        time.sleep(0.002)
        with lock:
            held["now"] -= 1
        return TileResult(index=task.index, source=task.source, name=task.name, ok=True)

    def tasks():
        for i in range(120):
            taken.append(i)
            yield TileTask(index=i, source=f"t{i}", name=f"t{i}", matrix=(),
                           location=SlowRemote(scheme="file", path=f"/r/t{i}" + ("missing" if i == 7 else "")))

    monkeypatch.setattr(running, "convert_tile", fake_convert)
    results: list[TileResult] = []

    def on_result(r):
        # The traversal is never far ahead of the results: the window is bounded.
        assert len(taken) - len(results) <= downloads + 2 * workers
        results.append(r)

    running.run_threads(tasks(), Options(), "/nonexistent", workers, on_result, downloads=downloads)
    assert sorted(r.index for r in results) == list(range(120))
    assert [r.error for r in results if not r.ok] == ["/r/t7missing: HTTP 404"]
    assert SlowRemote.peak == downloads or (downloads == 16 and SlowRemote.peak >= 8)
    assert held["peak"] <= workers


class Tty(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream,shown", [(Tty(), True), (io.StringIO(), False)])
def test_progress_counts_done_of_selected_so_far(stream, shown):
    from tessaroid.progress import Progress

    bar = Progress(True, stream=stream)
    for _ in range(5):
        bar.add_selected()
    bar.add_done(3)
    bar.close()
    assert (bar.done, bar.selected) == (3, 5)
    assert ("3/5" in stream.getvalue()) is shown


def test_manifest_lines_are_one_json_record_each(quadtree, tmp_path):
    tessaroid.convert(quadtree, tmp_path, max_depth=1, merge=True)
    recs = [json.loads(line) for line in (tmp_path / MANIFEST_NAME).read_text().splitlines()]
    assert recs[0]["kind"] == "run" and recs[0]["fingerprint"]["merge"] == "merged"
    assert sorted(r["name"] for r in recs if r["kind"] == "tile") == sorted(
        ["tile_root", "L1_tile_0", "L1_tile_1", "L1_tile_2", "L1_tile_3"])
    assert recs[-1] == {"kind": "merged", "files": ["merged.mtl", "merged.obj"]}
    assert not (tmp_path / SPOOL_DIR).exists()  # spool parts go once merged


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """An 85-tile quadtree in a folder served over HTTP, and its conversion from disk."""
    from tile_server import TileServer

    base = tmp_path_factory.mktemp("served")
    make_demo_tileset(base / "q", levels=4, grid=5, texture_size=8)
    tessaroid.convert(base / "q", base / "disk", merge=False)
    with TileServer(base) as srv:
        yield srv, base


def run_cli(capsys, *args) -> tuple[int, str]:
    from tessaroid.cli import main

    code = main(["convert", *map(str, args)])
    cap = capsys.readouterr()
    return code, cap.out + cap.err


def test_faults_that_heal_give_the_fault_free_files(served, tmp_path, capsys):
    srv, base = served
    srv.fail("/q/L1/tile_0.glb", 503, times=2)
    srv.fail("/q/L2/tile_1_2.glb", 429, retry_after=1)
    srv.reset("/q/L3/tile_3_3_1.glb")
    srv.truncate("/q/L3/tile_2_0_0.glb", times=2)
    srv.fail("/q/L1/tile_3.glb", 502)
    srv.reset("/q/tileset.json")
    code, text = run_cli(capsys, f"{srv.url}/q/tileset.json", "-o", tmp_path, "--downloads", "8")
    assert code == 0, text
    assert tree(tmp_path) == tree(base / "disk")
    # one retry per injected failure, none failing for good
    assert "85 converted" in text and "8 retried, 0 failed" in text


def test_missing_content_fails_alone(served, tmp_path, capsys):
    srv, base = served
    srv.fail("/q/L2/tile_0_3.glb", 404, times=None)
    try:
        code, text = run_cli(capsys, f"{srv.url}/q/tileset.json", "-o", tmp_path, "-q")
    finally:
        srv._faults.clear()
    assert code == 1
    assert "/q/L2/tile_0_3.glb" in text and "404" in text
    expected = {k: v for k, v in tree(base / "disk").items() if not k.startswith("L2_tile_0_3")}
    assert tree(tmp_path) == expected


def test_remote_resume_after_a_complete_run_fetches_no_content(served, tmp_path, capsys):
    srv, base = served
    code, _ = run_cli(capsys, f"{srv.url}/q/tileset.json", "-o", tmp_path, "-q", "--merge")
    assert code == 0
    seen = len(srv.requests)
    code, text = run_cli(capsys, f"{srv.url}/q/tileset.json", "-o", tmp_path, "--merge", "--resume")
    assert code == 0 and "85 already done" in text
    assert [r.path for r in srv.requests[seen:]] == ["/q/tileset.json"]  # the tile set JSON, once

"""The Dask path: a real LocalCluster of worker processes gives the thread pool's files."""

from __future__ import annotations

import contextlib
import dataclasses
import filecmp
import os
import pickle
from pathlib import Path

import pytest

import tessaroid
from tessaroid.manifest import MANIFEST_NAME
from tessaroid import converter
from tessaroid.demo import make_demo_tileset
from tessaroid.sources import Location

distributed = pytest.importorskip("distributed")
import dask  # noqa: E402


def output_files(folder):
    """Every file written below the folder (the spool of a merge with a failure
    included), but the manifest, whose lines come in the order tiles finished."""
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file() and p.name != MANIFEST_NAME)


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40) as lc:
        yield lc


@pytest.mark.parametrize("merge,by_client", [(False, False), (True, True)])
def test_dask_local_cluster_equals_thread_pool(cluster, tmp_path, merge, by_client):
    src = tmp_path / "src"
    make_demo_tileset(src, levels=2, grid=9, texture_size=32)
    (src / "L1" / "tile_2.glb").write_bytes(b"glTF\x02\0\0\0")  # one bad tile travels too
    threads = tessaroid.convert(src, tmp_path / "threads", workers=2, merge=merge)
    with distributed.Client(cluster) if by_client else contextlib.nullcontext(cluster.scheduler_address) as dask:
        dasked = tessaroid.convert(src, tmp_path / "dask", dask=dask, merge=merge)
        assert not by_client or dask.status == "running"  # a caller's client is left open
    counts = [(s.converted, s.failed, s.vertices, s.faces, s.textures, s.failures) for s in (threads, dasked)]
    assert counts[0] == counts[1] and counts[0][:5] == (4, 1, 4 * 81, 4 * 128, 4)
    names = output_files(tmp_path / "threads")
    assert names == output_files(tmp_path / "dask")
    assert filecmp.cmpfiles(tmp_path / "threads", tmp_path / "dask", names, shallow=False)[1:] == ([], [])


class DiesOnce(Location):
    """A content whose first read kills the worker process reading it."""

    def read(self) -> bytes:
        marker = Path(self.path + ".died")
        if not marker.exists():
            marker.write_text("")
            os._exit(1)
        return super().read()


def test_lost_worker_fails_its_tile_only_and_resume_converts_it(tmp_path):
    src = tmp_path / "src"
    make_demo_tileset(src, levels=2, grid=9, texture_size=32)
    plain = tessaroid.convert(src, tmp_path / "threads", merge=True)
    doomed = str(src / "L1" / "tile_2.glb")
    gather = converter.gather

    def with_doomed(*args, **kw):
        for t in gather(*args, **kw):
            yield dataclasses.replace(t, location=DiesOnce(scheme="file", path=doomed)) if t.source == doomed else t

    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                     silence_logs=50) as lc, pytest.MonkeyPatch.context() as mp:
        mp.setattr(converter, "gather", with_doomed)
        first = tessaroid.convert(src, tmp_path / "dask", dask=lc.scheduler_address, merge=True)
        # The tiles the dying worker held fail (the doomed one, and any queued beside it); the others convert.
        assert first.converted + first.failed == 5 and doomed in [f[0] for f in first.failures]
        assert all("worker" in reason for _, reason in first.failures)
        # Results travel small: counts and names, the mesh went to the worker's spool file.
        assert all(len(pickle.dumps(r)) < 2048 for r in first.results)
        again = tessaroid.convert(src, tmp_path / "dask", dask=lc.scheduler_address, merge=True, resume=True)
    assert (again.converted, again.resumed, again.failed) == (first.failed, first.converted, 0)
    names = output_files(tmp_path / "threads")
    assert output_files(tmp_path / "dask") == names and "merged.obj" in names and len(names) == 3 + 5  # merged OBJ + MTL, frame.json, 5 textures
    assert filecmp.cmpfiles(tmp_path / "threads", tmp_path / "dask", ["merged.obj", "merged.mtl"],
                            shallow=False)[1:] == ([], [])
    assert plain.failed == 0

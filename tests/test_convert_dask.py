"""The Dask path: a real LocalCluster of worker processes gives the thread pool's files."""

from __future__ import annotations

import filecmp
from pathlib import Path

import pytest

import tessaroid
from tessaroid.demo import make_demo_tileset

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40) as lc:
        yield lc


@pytest.mark.parametrize("merge", [False, True])
def test_dask_local_cluster_equals_thread_pool(cluster, tmp_path, merge):
    src = tmp_path / "src"
    make_demo_tileset(src, levels=2, grid=9, texture_size=32)
    (src / "L1" / "tile_2.glb").write_bytes(b"glTF\x02\0\0\0")  # one bad tile travels too
    threads = tessaroid.convert(src, tmp_path / "threads", workers=2, merge=merge)
    dasked = tessaroid.convert(src, tmp_path / "dask", dask=cluster.scheduler_address, merge=merge)
    assert (dasked.converted, dasked.failed, dasked.vertices, dasked.faces, dasked.textures) == \
        (threads.converted, threads.failed, threads.vertices, threads.faces, threads.textures) == \
        ((4 if not merge else 4), 1, 4 * 81, 4 * 128, 4)
    assert dasked.failures == threads.failures
    names = sorted(p.name for p in (tmp_path / "threads").iterdir())
    assert names == sorted(p.name for p in (tmp_path / "dask").iterdir())
    match, mismatch, errors = filecmp.cmpfiles(tmp_path / "threads", tmp_path / "dask", names, shallow=False)
    assert mismatch == [] and errors == []


def test_dask_accepts_a_client(cluster, tmp_path):
    src = tmp_path / "src"
    make_demo_tileset(src, levels=1, grid=5, texture_size=8)
    with distributed.Client(cluster) as client:
        s = tessaroid.convert(src, tmp_path / "out", dask=client)
        assert client.status == "running"  # a caller's client is left open
    assert s.ok and [Path(f).name for f in s.obj_files] == ["tile_root.obj"]

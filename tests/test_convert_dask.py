"""The Dask path: a real LocalCluster of worker processes gives the thread pool's files."""

from __future__ import annotations

import contextlib
import filecmp

import pytest

import tessaroid
from tessaroid.manifest import MANIFEST_NAME
from tessaroid.demo import make_demo_tileset

distributed = pytest.importorskip("distributed")


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

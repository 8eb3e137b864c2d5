"""Tile sets read over HTTP from a local test server: the same output as from disk,
the query and headers carried to every derived request, failures named with their
status, and the real 3D Tiles 1.1, gzip and package samples served remotely."""

from __future__ import annotations

import filecmp
import json
from pathlib import Path

import pytest

import tessaroid
from tessaroid.demo import make_demo_tileset
from tessaroid.manifest import MANIFEST_NAME
from tile_server import TileServer


def _same_outputs(a: Path, b: Path) -> None:
    # The manifests differ by the inputs they name and the order tiles finished in.
    names = sorted(p.name for p in a.iterdir() if p.name != MANIFEST_NAME)
    assert names == sorted(p.name for p in b.iterdir() if p.name != MANIFEST_NAME) and names
    match, mismatch, errors = filecmp.cmpfiles(a, b, names, shallow=False)
    assert not mismatch and not errors


def _spelled_tileset(root: Path) -> None:
    """The demo quadtree with its depth-1 branches in external tile sets that sit in
    sub/ and are referenced with three spellings of a relative URI, one carrying a
    session parameter and one overriding the key."""
    make_demo_tileset(root, levels=3, grid=3, texture_size=4)
    ts = json.loads((root / "tileset.json").read_text())
    (root / "sub").mkdir()
    spellings = ["./sub/ext0.json?session=S0", "sub/../sub/ext1.json?key=OTHER", "/t/sub/ext2.json", "sub/ext3.json"]
    kids = []
    for k, ch in enumerate(ts["root"]["children"]):
        # Content URIs of the moved branch now resolve from sub/.
        def rebase(t):
            t["content"]["uri"] = "../" + t["content"]["uri"]
            for c in t.get("children", []):
                rebase(c)
        rebase(ch)
        (root / "sub" / f"ext{k}.json").write_text(json.dumps({"asset": {"version": "1.0"}, "root": ch,
                                                               "geometricError": 1000}))
        kids.append({"boundingVolume": ch["boundingVolume"], "geometricError": 1000.0,
                     "content": {"uri": spellings[k]}})
    ts["root"]["children"] = kids
    (root / "tileset.json").write_text(json.dumps(ts))
    # On disk the absolute spelling would name a path from the file system's root.
    kids[2]["content"]["uri"] = "sub/ext2.json"
    (root / "tileset_local.json").write_text(json.dumps(ts))


def test_remote_equals_local_with_query_and_headers_carried(tmp_path):
    src = tmp_path / "t"
    _spelled_tileset(src)
    local = tessaroid.convert(src / "tileset_local.json", tmp_path / "local", workers=2)
    assert local.ok and local.converted == 21
    with TileServer(tmp_path) as srv:
        srv.require_header("Authorization", "Bearer tok")
        s = tessaroid.convert(f"{srv.url}/t/tileset.json?key=K", tmp_path / "remote", workers=2,
                              headers=["Authorization: Bearer tok"])
        assert s.ok, s.failures
        reqs = list(srv.requests)
    _same_outputs(tmp_path / "local", tmp_path / "remote")
    assert len(reqs) == 1 + 4 + 21  # each tile set and content fetched once
    expected = {None: {"key": ["K"]}, 0: {"key": ["K"], "session": ["S0"]}, 1: {"key": ["OTHER"]},
                2: {"key": ["K"]}, 3: {"key": ["K"]}}
    for r in reqs:
        assert r.headers["authorization"] == "Bearer tok"
        # A child's own parameters are added to the inherited ones, its value winning,
        # and are inherited in turn by everything below it.
        assert r.query == expected[_branch(r.path)], r


def _branch(path: str) -> int | None:
    """Which depth-1 branch of the spelled tile set a request belongs to."""
    name = path.rsplit("/", 1)[-1]
    for k in range(4):
        if name in (f"ext{k}.json", f"tile_{k}.glb") or name.startswith(f"tile_{k}_"):
            return k
    return None


def test_remote_failures_name_status_and_url(tmp_path):
    make_demo_tileset(tmp_path / "t", levels=2, grid=3, texture_size=4)
    with TileServer(tmp_path) as srv:
        srv.fail("/t/L1/tile_2.glb", 404, times=None)
        s = tessaroid.convert(f"{srv.url}/t/tileset.json?key=secret", tmp_path / "out")
        assert s.converted == 4 and s.failed == 1
        (source, reason), = s.failures
        assert source.endswith("/t/L1/tile_2.glb") and "404" in reason and "secret" not in source + reason
        assert len(srv.requests_for("/t/L1/tile_2.glb")) == 1  # a 404 is asked once
        srv.fail("/t/tileset.json", 403, times=None)
        s = tessaroid.convert(f"{srv.url}/t/tileset.json", tmp_path / "out2")
        assert s.failed == 1 and "403" in s.failures[0][1] and s.failures[0][0].endswith("/t/tileset.json")


@pytest.mark.parametrize("sample,count", [
    ("tiles/3d-tiles-samples/SparseImplicitQuadtree/tileset.json", 32),
    ("tiles/3d-tiles-tools/gzipUngzip/simpleTileset-gzip/tileset.json", None),
    ("tiles/3d-tiles-tools/packageServer/3tzTests/3tz_basic/tileset.json", None),
])
def test_real_samples_over_http_equal_disk(shared_data, tmp_path, sample, count):
    local = tessaroid.convert(shared_data / sample, tmp_path / "local")
    with TileServer(shared_data) as srv:
        srv.gzip(None)  # Content-Encoding: gzip on every answer
        remote = tessaroid.convert(f"{srv.url}/{sample}", tmp_path / "remote")
    assert (remote.converted, remote.failed, remote.failures) == (local.converted, local.failed, local.failures
                                                                 ) or local.failed
    assert local.converted > 0 and (count is None or local.converted == count)
    _same_outputs(tmp_path / "local", tmp_path / "remote")

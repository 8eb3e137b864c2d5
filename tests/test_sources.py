"""The source layer: locations, HTTP with retries, packages, the remote cache."""

from __future__ import annotations

import base64
import gzip
import io
import os
import pickle
import random
import sqlite3
import threading
import time
import zipfile

import pytest

from tessaroid.sources import FetchConfig, Location, SourceError, fetch_stats, open_location, parse_header
from tile_server import TileServer

FAST = FetchConfig(retry_seconds=1.5, timeout=5)
GLB = b"glTF\x02\x00\x00\x00" + bytes(range(256)) * 8


def stats_delta(before: dict) -> dict:
    after = fetch_stats()
    return {k: after[k] - before[k] for k in after}


@pytest.fixture
def server():
    with TileServer() as s:
        s.put("/a/tileset.json", b'{"root": {}}')
        s.put("/a/b/t.glb", GLB)
        yield s


# ------------------------------------------------------------- resolving

@pytest.mark.parametrize("base, uri, url", [
    ("http://tiles.invalid/a/tileset.json?key=K", "b/c.glb", "http://tiles.invalid/a/b/c.glb?key=K"),
    ("http://tiles.invalid/a/tileset.json?key=K", "../b/c.glb?session=S", "http://tiles.invalid/b/c.glb?key=K&session=S"),
    ("http://tiles.invalid/a/tileset.json?key=K&v=1", "c.glb?v=2", "http://tiles.invalid/a/c.glb?key=K&v=2"),
    ("http://tiles.invalid/a/tileset.json?key=K", "/abs/c.glb", "http://tiles.invalid/abs/c.glb?key=K"),
    ("http://tiles.invalid/a/tileset.json?key=K", "http://tiles.invalid/x/c.glb?s=1", "http://tiles.invalid/x/c.glb?key=K&s=1"),
    # another server never receives this server's key
    ("http://tiles.invalid/a/tileset.json?key=K", "https://other.invalid/c.glb", "https://other.invalid/c.glb"),
    ("http://tiles.invalid/a/tileset.json", "c%20d.glb#frag", "http://tiles.invalid/a/c%20d.glb"),
])
def test_http_join_merges_query(base, uri, url):
    loc = open_location(base).join(uri)
    assert loc.url == url
    assert "?" not in loc.display and "?" not in loc.key


@pytest.mark.parametrize("uri, expected", [
    ("c.glb", "{t}/d/a/c.glb"), ("../c.glb", "{t}/d/c.glb"), ("x%20y.glb", "{t}/d/a/x y.glb"),
    ("c.glb?v=1#f", "{t}/d/a/c.glb"), ("/abs/c.glb", "/abs/c.glb"), ("", "{t}/d/a/tileset.json"),
])
def test_local_join(tmp_path, uri, expected):
    root = open_location(f"{tmp_path}/d/a/tileset.json")
    assert root.join(uri).path == expected.format(t=tmp_path)


def test_file_url_and_local_path_agree(tmp_path):
    (tmp_path / "a b.glb").write_bytes(GLB)
    by_url = open_location((tmp_path / "a b.glb").as_uri())
    assert by_url == open_location(tmp_path / "a b.glb") and by_url.read() == GLB


@pytest.mark.parametrize("root, child, parts", [
    ("/d/tileset.json", "a/b/c.glb", ("a", "b", "c.glb")),
    ("/d/tileset.json", "../x/c.glb", ("c.glb",)),
    ("http://tiles.invalid/d/tileset.json?k=1", "a/c%2F..%2F..%2Fevil.glb", ("a", "c_.._.._evil.glb")),
    ("http://tiles.invalid/d/tileset.json", "a/%2E%2E", ("a", "_")),
    ("/d/p.3tz", "sub/c.glb", ("sub", "c.glb")),
    ("/d/tileset.json", "p.3tz", ("p.3tz", "tileset.json")),
])
def test_name_parts(root, child, parts):
    r = open_location(root)
    assert r.join(child).name_parts(r) == parts


@pytest.mark.parametrize("where, suffix, remote", [
    ("/d/T.GLB", ".glb", False), ("http://tiles.invalid/a.b3dm?x=y.json", ".b3dm", True),
    ("s3://bucket/t/tileset.json", ".json", True), ("/d/p.3dtiles", ".json", False),
])
def test_suffix_and_remote(where, suffix, remote):
    loc = open_location(where)
    assert (loc.suffix, loc.is_remote) == (suffix, remote)


@pytest.mark.parametrize("uri", ["ftp://tiles.invalid/t.json", "gopher:x", "javascript:alert(1)"])
def test_unknown_scheme(uri):
    with pytest.raises(SourceError, match="unsupported URI scheme"):
        open_location(uri)
    with pytest.raises(SourceError, match="unsupported URI scheme"):
        open_location("/d/tileset.json").join(uri)


@pytest.mark.parametrize("uri, data", [
    ("data:application/octet-stream;base64,AAEC/w==", b"\x00\x01\x02\xff"),
    ("data:,a%20b%00", b"a b\x00"),
    # a gzip payload is decoded like any other gzip file
    ("data:text/plain;charset=utf-8;base64," + base64.b64encode(gzip.compress(b"foo")).decode(), b"foo"),
])
def test_data_uris(uri, data):
    loc = open_location("/d/t.gltf").join(uri)
    assert loc.read() == data and loc.display.startswith("data:") and len(loc.display) < 60


def test_location_pickles(server):
    for loc in (open_location(server.url + "/a/tileset.json?key=K", FetchConfig(headers=(("A", "b"),))),
                open_location("/d/x.3tz").join("inner.3dtiles").join("t.glb")):
        again = pickle.loads(pickle.dumps(loc))
        assert again == loc and hash(again) == hash(loc)
    assert pickle.loads(pickle.dumps(open_location(server.url + "/a/b/t.glb", FAST))).read() == GLB


@pytest.mark.parametrize("text, parsed", [
    ("Authorization: Bearer a:b", ("Authorization", "Bearer a:b")),
    ("X-Key:v", ("X-Key", "v")), ("  X-Key :  v  ", ("X-Key", "v")),
    ("no colon", None), (": v", None), ("Bad Name: v", None), ("X: a\r\nInjected: 1", None),
])
def test_parse_header(text, parsed):
    if parsed is None:
        with pytest.raises(ValueError):
            parse_header(text)
    else:
        assert parse_header(text) == parsed


# ------------------------------------------------------------------ HTTP

def test_headers_go_with_every_request(server):
    server.require_header("authorization", "Bearer x")
    cfg = FetchConfig(headers=(("Authorization", "Bearer x"),), retry_seconds=1)
    assert open_location(server.url + "/a/tileset.json", cfg).join("b/t.glb").read() == GLB
    before = fetch_stats()
    with pytest.raises(SourceError) as e:
        open_location(server.url + "/a/b/t.glb", FAST).read()
    assert e.value.status == 401 and stats_delta(before)["requests"] == 1


@pytest.mark.parametrize("status", [404, 401, 403, 410])
def test_client_errors_fail_at_once(server, status):
    if status != 404:
        server.fail("/a/b/t.glb", status, times=None)
    path = "/a/b/t.glb" if status != 404 else "/a/none.glb"
    before = fetch_stats()
    with pytest.raises(SourceError) as e:
        open_location(server.url + path + "?key=SECRET", FAST).read()
    assert e.value.status == status and e.value.url == server.url + path
    assert str(e.value).startswith(f"{server.url}{path}: HTTP {status}") and "SECRET" not in str(e.value)
    assert len(server.requests_for(path)) == 1
    assert stats_delta(before)["failed"] == 1


@pytest.mark.parametrize("fault, tries", [
    (lambda s: s.fail("/a/b/t.glb", 503, times=2), 3),
    (lambda s: s.fail("/a/b/t.glb", 500, times=1), 2),
    (lambda s: s.fail("/a/b/t.glb", 429, retry_after=1), 2),
    (lambda s: s.fail("/a/b/t.glb", 503, retry_after="soon"), 2),
    (lambda s: s.reset("/a/b/t.glb"), 2),
    (lambda s: s.truncate("/a/b/t.glb", times=2), 3),
    (lambda s: (s.fail("/a/b/t.glb", 502), s.truncate("/a/b/t.glb")), 3),
], ids=["503x2", "500", "429-retry-after", "bad-retry-after", "reset", "truncated-x2", "502-then-truncated"])
def test_faults_heal_to_identical_bytes(server, fault, tries):
    fault(server)
    before = fetch_stats()
    start = time.monotonic()
    assert open_location(server.url + "/a/b/t.glb", FAST).read() == GLB
    assert len(server.requests_for("/a/b/t.glb")) == tries
    assert stats_delta(before)["retries"] == tries - 1
    if "retry_after=1" in repr(server._faults):
        assert time.monotonic() - start >= 1.0  # Retry-After is a minimum wait


def test_gzip_transfer_encoding_is_decoded(server):
    server.gzip("/a/b/t.glb")
    assert open_location(server.url + "/a/b/t.glb", FAST).read() == GLB


def test_gzip_file_is_decoded_by_magic(server, tmp_path):
    server.put("/a/z.glb", gzip.compress(GLB))
    server.gzip("/a/z.glb")  # gzip file sent with a gzip transfer encoding on top
    assert open_location(server.url + "/a/z.glb", FAST).read() == GLB
    (tmp_path / "z.glb").write_bytes(gzip.compress(GLB[:100]) + gzip.compress(GLB[100:]))
    assert open_location(tmp_path / "z.glb").read() == GLB


@pytest.mark.parametrize("fault, message", [
    (lambda s: s.truncate("/a/b/t.glb", times=None), "truncated"),
    (lambda s: s.gzip("/a/b/t.glb", truncate=True), "truncated"),
    (lambda s: s.fail("/a/b/t.glb", 503, times=None), "HTTP 503"),
    (lambda s: s.reset("/a/b/t.glb", times=None), "cannot connect"),
], ids=["truncated", "gzip-truncated", "503", "reset"])
def test_lasting_faults_fail_within_budget(server, fault, message):
    fault(server)
    before = fetch_stats()
    start = time.monotonic()
    with pytest.raises(SourceError, match=message):
        open_location(server.url + "/a/b/t.glb", FAST).read()
    assert time.monotonic() - start < FAST.retry_seconds + 1.0
    assert len(server.requests_for("/a/b/t.glb")) > 1
    assert stats_delta(before)["failed"] == 1


def test_unreachable_server_fails_without_leaking_the_query():
    with TileServer() as gone:
        url = gone.url + "/a/t.glb?key=SECRET"
    start = time.monotonic()
    with pytest.raises(SourceError, match="cannot connect after [2-9]") as e:
        open_location(url, FetchConfig(retry_seconds=0.5, timeout=2)).read()
    assert "SECRET" not in str(e.value) and time.monotonic() - start < 2


def test_retry_after_beyond_budget_gives_up_at_once(server):
    server.fail("/a/b/t.glb", 503, retry_after=60)
    start = time.monotonic()
    with pytest.raises(SourceError, match="HTTP 503"):
        open_location(server.url + "/a/b/t.glb", FAST).read()
    assert time.monotonic() - start < 1.0


def test_concurrent_reads_share_a_session():
    with TileServer(latency=0.025) as server:
        for i in range(48):
            server.put(f"/t/{i}.glb", GLB + bytes([i]))
        cfg = FetchConfig(downloads=16, retry_seconds=2)
        root = open_location(server.url + "/t/tileset.json", cfg)
        results: dict = {}

        def work(i):
            results[i] = root.join(f"{i}.glb").read()

        threads = [threading.Thread(target=work, args=(i,)) for i in range(48)]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert results == {i: GLB + bytes([i]) for i in range(48)}
        assert time.monotonic() - start < 48 * 0.025  # requests overlapped


# ----------------------------------------------------------------- cache

def test_cache_hit_miss_and_corrupt_entry(server, tmp_path):
    cfg = FetchConfig(cache_dir=str(tmp_path / "cache"), retry_seconds=1)
    loc = open_location(server.url + "/a/b/t.glb?key=1", cfg)
    before = fetch_stats()
    assert loc.read() == GLB and loc.read() == GLB
    assert len(server.requests_for("/a/b/t.glb")) == 1 and stats_delta(before)["cache_hits"] == 1
    # another query is another entry
    assert open_location(server.url + "/a/b/t.glb?key=2", cfg).read() == GLB
    assert len(server.requests_for("/a/b/t.glb")) == 2
    entries = [p for p in (tmp_path / "cache").rglob("*") if p.is_file()]
    assert len(entries) == 2 and not [p for p in entries if p.name.startswith(".tmp")]
    for damage in (lambda b: b[:-1], lambda b: b[:-1] + bytes([b[-1] ^ 1]), lambda b: b""):
        for p in entries:
            p.write_bytes(damage(p.read_bytes()))
        assert loc.read() == GLB
    assert len(server.requests_for("/a/b/t.glb")) == 5


# -------------------------------------------------------------- packages

PKG = "tiles/3d-tiles-tools/packages"


@pytest.mark.parametrize("name, error", [
    ("valid.3tz", None), ("valid.3dtiles", None),
    ("invalidTableName.3dtiles", "invalidTableName.3dtiles: not a valid 3D Tiles package (no table 'media')"),
    ("missingColumn.3dtiles", "missingColumn.3dtiles: not a valid 3D Tiles package (table 'media' has no column"),
])
def test_sample_packages(shared_data, name, error):
    loc = open_location(shared_data / PKG / name)
    if error is None:
        assert loc.read().lstrip().startswith(b"{") and loc.suffix == ".json"
    else:
        with pytest.raises(SourceError, match=error.replace("(", r"\(").replace(")", r"\)")):
            loc.read()


def test_tileset_pointing_at_packages(shared_data):
    folder = shared_data / "tiles/3d-tiles-tools/packageServer/3tzTests/3tz_basic"
    root = open_location(folder / "tileset.json")
    for letter in "ABCD":
        inner = root.join(f"tileset{letter}.3tz")
        assert b'"content.glb"' in inner.read()
        glb = inner.join("content.glb")
        with zipfile.ZipFile(folder / f"tileset{letter}.3tz") as z:
            assert glb.read() == z.read("content.glb")
        assert glb.name_parts(root) == (f"tileset{letter}.3tz", "content.glb")


def test_gzip_sample_tileset(shared_data):
    folder = shared_data / "tiles/3d-tiles-tools/gzipUngzip/simpleTileset-gzip"
    root = open_location(folder / "tileset.json")
    assert (folder / "tileset.json").read_bytes()[:2] == b"\x1f\x8b" and root.read().lstrip()[:1] == b"{"
    assert root.join("tileA.glb").read()[:4] == b"glTF"


def make_zip(entries: dict, compression=zipfile.ZIP_DEFLATED) -> bytes:
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression) as z:
        for name, data in entries.items():
            z.writestr(zipfile.ZipInfo(name), data, compress_type=compression)
    return buf.getvalue()


NOISE = random.Random(1).randbytes(50_000)
NOISE_ZIP = make_zip({"tileset.json": NOISE})


def flip(data: bytes, pos: int) -> bytes:
    return data[:pos] + bytes([data[pos] ^ 0x55]) + data[pos + 1:]


def make_3dtiles(path, entries: dict):
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE media (key TEXT PRIMARY KEY, content BLOB)")
    db.executemany("INSERT INTO media VALUES (?, ?)", entries.items())
    db.commit()
    db.close()


def test_nested_and_escaping_package_entries(tmp_path):
    inner_db = tmp_path / "inner.3dtiles"
    make_3dtiles(inner_db, {"tileset.json": gzip.compress(b'{"inner": 1}'), "t/c.glb": gzip.compress(GLB)})
    (tmp_path / "beside.glb").write_bytes(b"beside")
    (tmp_path / "pkg.3tz").write_bytes(make_zip({
        "tileset.json": b'{"outer": 1}', "sub/inner.3dtiles": inner_db.read_bytes(),
        "../beside.glb": b"entry named ../", "/abs.glb": b"absolute entry", "sub/a.glb": GLB}))
    root = open_location(tmp_path / "pkg.3tz")
    inner = root.join("sub/inner.3dtiles")
    assert inner.join("t/c.glb").read() == GLB  # the inner package first: it opens the outer one
    assert root.read() == b'{"outer": 1}'
    assert inner.read() == b'{"inner": 1}' and inner.join("t/c.glb").read() == GLB
    # leaving a nested package lands in the outer one, leaving that lands on disk
    assert inner.join("../a.glb").read() == GLB
    assert root.join("../beside.glb").read() == b"beside"
    # '/x' inside a package is the entry 'x' from the top, never a disk path
    assert root.join("/abs.glb").read() == b"absolute entry"
    assert root.join("sub/a.glb").join("/sub/a.glb").read() == GLB
    assert sorted(p.name for p in tmp_path.iterdir()) == ["beside.glb", "inner.3dtiles", "pkg.3tz"]
    from tessaroid.sources import packages

    (copies,) = packages._temp_dir  # the nested package was copied out to a private folder
    packages.close_all()
    assert not os.path.exists(copies)


def test_remote_package(server, shared_data):
    server.put("/p/valid.3tz", (shared_data / PKG / "valid.3tz").read_bytes())
    root = open_location(server.url + "/p/tileset.json?key=K", FAST).join("valid.3tz")
    assert root.is_remote and root.read().lstrip()[:1] == b"{"
    assert server.requests_for("/p/valid.3tz")[0].query == {"key": ["K"]}


@pytest.mark.parametrize("make, message", [
    (lambda: b"not a package at all", "not a valid 3D Tiles package"),
    (lambda: make_zip({"tileset.json": b"x" * 5000})[:-30], "not a valid 3D Tiles package"),
    (lambda: NOISE_ZIP[:1000] + NOISE_ZIP[-100:], "damaged"),
    (lambda: make_zip({"other.json": b"{}"}), "no such entry"),
    (lambda: make_zip({"tileset.json": b"\0" * 200_000}), "more than 100000"),  # bomb within the cap below
    (lambda: make_zip({"tileset.json": gzip.compress(b"\0" * 200_000)}), "more than 100000"),
    (lambda: flip(make_zip({"tileset.json": NOISE}, zipfile.ZIP_LZMA), 500), "damaged"),
    (lambda: flip(make_zip({"tileset.json": NOISE}, zipfile.ZIP_BZIP2), 500), "damaged"),
], ids=["garbage", "cut-directory", "cut-entry", "no-tileset", "zip-bomb", "gzip-bomb", "lzma", "bzip2"])
def test_bad_zip_packages(tmp_path, make, message):
    (tmp_path / "p.3tz").write_bytes(make())
    with pytest.raises(SourceError, match=message):
        open_location(tmp_path / "p.3tz", FetchConfig(max_bytes=100_000)).read()


def test_declared_size_beyond_data(tmp_path):
    data = bytearray(make_zip({"tileset.json": b"{}" * 100}, zipfile.ZIP_STORED))
    # the central directory's uncompressed and compressed sizes claim 3 GB
    cd = data.rindex(b"PK\x01\x02")
    data[cd + 20:cd + 28] = (3 << 30).to_bytes(4, "little") * 2
    (tmp_path / "p.3tz").write_bytes(bytes(data))
    with pytest.raises(SourceError, match="damaged|more than"):
        open_location(tmp_path / "p.3tz", FetchConfig(max_bytes=1 << 20)).read()
    with pytest.raises(SourceError, match="damaged"):
        open_location(tmp_path / "p.3tz").read()


def test_sqlite_package_is_opened_read_only(tmp_path):
    make_3dtiles(tmp_path / "p.3dtiles", {"tileset.json": b"{}"})
    (tmp_path / "p.3dtiles").chmod(0o444)
    assert open_location(tmp_path / "p.3dtiles").read() == b"{}"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["p.3dtiles"]  # no journal or lock files


# ------------------------------------------------------------- s3 (moto)

def test_s3_through_moto(tmp_path):
    pytest.importorskip("s3fs")
    boto3 = pytest.importorskip("boto3")
    moto_server = pytest.importorskip("moto.server")
    srv = moto_server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    srv.start()
    try:
        host, port = srv.get_host_and_port()
        endpoint = f"http://{host}:{port}"
        client = boto3.client("s3", endpoint_url=endpoint, aws_access_key_id="k", aws_secret_access_key="s",
                              region_name="us-east-1")
        client.create_bucket(Bucket="tiles")
        client.put_object(Bucket="tiles", Key="set/tileset.json", Body=b'{"root": {}}')
        client.put_object(Bucket="tiles", Key="set/b/t.glb", Body=gzip.compress(GLB))
        cfg = FetchConfig(storage_options=(("endpoint_url", endpoint), ("key", "k"), ("secret", "s")),
                          cache_dir=str(tmp_path))
        root = open_location("s3://tiles/set/tileset.json", cfg)
        assert root.read() == b'{"root": {}}' and root.join("b/t.glb").read() == GLB
        before = fetch_stats()
        assert root.join("x/../b/t.glb").read() == GLB and stats_delta(before)["cache_hits"] == 1
        with pytest.raises(SourceError, match="s3://tiles/set/none.glb: not found"):
            root.join("none.glb").read()
    finally:
        srv.stop()

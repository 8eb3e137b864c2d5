"""Fuzz harness: the .3tz (zip) and .3dtiles (SQLite) package readers of tessaroid.sources.

A package is generated from entries with adversarial names ('../x', '/abs',
'a/./b', backslashes, duplicates, a nested package), contents that are raw,
gzip-compressed or gzip cut short, zip entries stored, deflated, bzip2- or
lzma-compressed; then the package bytes may be damaged (bytes flipped, cut
short, a declared size in a zip header raised). URIs are resolved against
the package's tileset.json and read.

Checks: every read returns bytes or raises SourceError, nothing else; no
result is larger than the configured ceiling; an undamaged package gives
exactly the model's bytes for every entry a URI reaches (gzip decoded) and
SourceError for every key it lacks; nothing is created beside the package.
"""

from __future__ import annotations

import gzip
import io
import os
import posixpath
import sqlite3
import sys
import warnings
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from _common import Provider, main, signal, work_folder  # noqa: E402

from tessaroid.sources import FetchConfig, SourceError, open_location  # noqa: E402
from tessaroid.sources import packages  # noqa: E402

LIMIT = 1 << 16
NAMES = ["tileset.json", "tileset.json", "a.glb", "sub/b.glb", "../x.glb", "/abs.glb", "a/./c.glb",
         "sub\\d.glb", "sub/../e.glb", "nested.3tz", "nested.3dtiles", "", "dir/", "%41.glb", "A.glb"]
URIS = ["a.glb", "sub/b.glb", "abs.glb", "/abs.glb", "a/c.glb", "sub/d.glb", "e.glb", "x.glb",
        "../x.glb", "%2541.glb", "A.glb", "nested.3tz", "nested.3dtiles", "nested.3tz#inner",
        "/sub/../a.glb", "sub/b.glb?q=1", "missing.glb"]
METHODS = [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA]
_counter = [0]


def gen_content(p: Provider) -> bytes:
    r = p.int_in(0, 5)
    if r == 0:
        return b"\0" * p.int_in(LIMIT - 2, LIMIT + 2)  # around the ceiling
    blob = p.blob(64) * p.int_in(1, 4)
    if r == 1:
        return gzip.compress(blob, mtime=0)
    if r == 2:
        return gzip.compress(blob, mtime=0)[:p.int_in(0, 30)]  # gzip cut short
    if r == 3:
        return gzip.compress(b"\0" * (LIMIT + 1), mtime=0)  # a small bomb
    return blob


def gen_zip(p: Provider, entries) -> bytes:
    buf = io.BytesIO()
    with warnings.catch_warnings(), zipfile.ZipFile(buf, "w") as z:
        warnings.simplefilter("ignore")  # duplicate names are meant
        for name, data in entries:
            if not name:
                continue
            z.writestr(zipfile.ZipInfo(name), data, compress_type=p.pick(METHODS))
    return buf.getvalue()


def gen_sqlite(entries) -> bytes:
    path = os.path.join(work_folder("packages-build"), "build.3dtiles")
    if os.path.exists(path):
        os.unlink(path)
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE media (key TEXT PRIMARY KEY, content BLOB)")
    db.executemany("INSERT OR REPLACE INTO media VALUES (?, ?)", entries)
    db.commit()
    db.close()
    return Path(path).read_bytes()


def generate(data: bytes):
    p = Provider(data)
    kind = p.pick([".3tz", ".3dtiles"])
    entries = []
    for _ in range(p.int_in(0, 8)):
        name = p.pick(NAMES)
        if name.startswith("nested"):
            inner = [("tileset.json", p.blob(16)), ("a.glb", gen_content(p))]
            content = gen_zip(p, inner) if name.endswith(".3tz") else gen_sqlite(inner)
        else:
            content = gen_content(p)
        entries.append((name, content))
    blob = gen_zip(p, entries) if kind == ".3tz" else gen_sqlite(entries)
    damage = p.int_in(0, 3)
    if damage == 1 and blob:
        pos = p.int_in(0, len(blob) - 1)
        blob = blob[:pos] + bytes([blob[pos] ^ (1 << p.int_in(0, 7))]) + blob[pos + 1:]
    elif damage == 2:
        blob = blob[:p.int_in(0, len(blob))]
    elif damage == 3 and kind == ".3tz" and b"PK\x01\x02" in blob:
        cd = blob.index(b"PK\x01\x02")  # raise the first entry's declared sizes
        size = p.pick([LIMIT + 1, 1 << 31, (1 << 32) - 1, 0])
        blob = blob[:cd + 20] + size.to_bytes(4, "little") * 2 + blob[cd + 28:]
    uris = [p.pick(URIS) for _ in range(p.int_in(1, 6))]
    return kind, entries, blob, damage, uris


def model(kind, entries, uri):
    """The bytes an undamaged package gives for `uri` read from its
    tileset.json, or None when the key is missing; 'skip' where the model
    does not say (nested packages, escapes, gzip that does not decode)."""
    if "?" in uri or "#" in uri or "%" in uri or uri.startswith("..") or "nested" in uri or "x.glb" in uri:
        return "skip"
    key = posixpath.normpath(uri.lstrip("/"))
    files = [(name, data) for name, data in entries if name and not name.endswith("/")]
    if kind == ".3dtiles":  # INSERT OR REPLACE: the last of equal keys, exact keys only
        found = next((data for name, data in reversed(files) if name == key), None)
    else:  # the first exact name, else the first whose normalised name matches
        found = next((data for name, data in files if name == key), None)
        if found is None:
            found = next((data for name, data in files
                          if posixpath.normpath(name.replace("\\", "/").lstrip("/")) == key), None)
    if found is None:
        return None
    if found[:2] == b"\x1f\x8b":
        try:
            found = gzip.decompress(found)
        except Exception:
            return "skip"
    return found if len(found) <= LIMIT else "skip"


def check_case(case) -> None:
    kind, entries, blob, damage, uris = case
    folder = work_folder("packages")
    _counter[0] += 1
    path = os.path.join(folder, f"p{_counter[0]}{kind}")
    Path(path).write_bytes(blob)
    before = set(os.listdir(folder))
    try:
        root = open_location(path, FetchConfig(max_bytes=LIMIT))
        for uri in ["tileset.json"] + uris:
            try:
                loc = root.join(uri)
                got = loc.read()
            except SourceError as e:
                signal(("error", kind, str(e).split(": ", 1)[-1][:30]))
                got = None
            assert got is None or isinstance(got, bytes)
            assert got is None or len(got) <= LIMIT, f"{uri}: {len(got)} bytes past the ceiling"
            if not damage and uri != "tileset.json":
                want = model(kind, entries, uri)
                if want != "skip":
                    assert got == want, f"{uri}: expected {want!r:.60}, got {got!r:.60}"
            signal(("read", kind, got is None))
        assert set(os.listdir(folder)) == before, "a read created files beside the package"
    finally:
        packages.close_all()
        os.unlink(path)


def one_input(data: bytes) -> None:
    check_case(generate(data))


def seeds():
    return [bytes([k, 3, 1, 2, 0, 4, 1, 5, 2, 9, 0, 1, 3]) * 3 for k in range(4)] + [b"\x01" * 80, b"\x05" * 200]


def available() -> bool:
    return True


if __name__ == "__main__":
    main(globals())

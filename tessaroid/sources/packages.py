"""Tile sets held in one file: .3tz (zip archive) and .3dtiles (SQLite with a
table media(key, content)).

Entry names are keys only: an entry called '../x' or '/etc/x' is looked up
by that key and its bytes returned; nothing is ever written or read on disk
under an entry name. A package that is remote, or itself an entry of another
package, is copied once per process to a private temporary file (removed at
exit) and opened from there. Open packages are kept per process, keyed by
the package's Location, created under a lock.
"""

from __future__ import annotations

import atexit
import lzma
import os
import posixpath
import shutil
import sqlite3
import struct
import tempfile
import threading
import zipfile
import zlib
from urllib.parse import quote

from .base import SourceError

_open: dict = {}
_lock = threading.Lock()
_temp_dir: list[str] = []
_registered: list[bool] = []
_key_locks: dict = {}
_CHUNK = 1 << 20


def _normal_key(name: str) -> str | None:
    """The key an entry name answers to: posix-normalised, leading '/' dropped;
    None for a name that climbs above the package top ('../x'), which no URI
    can reach."""
    key = posixpath.normpath(name.replace("\\", "/").lstrip("/"))
    if key in (".", "..") or key.startswith("../"):
        return None
    return key


class ZipPackage:
    def __init__(self, path: str, display: str):
        self.display = display
        try:
            self.zf = zipfile.ZipFile(path)
        except FileNotFoundError:
            raise SourceError(display, "cannot read (No such file or directory)") from None
        except OSError as e:
            raise SourceError(display, f"cannot read ({e.strerror or e})") from None
        except (zipfile.BadZipFile, ValueError, EOFError, NotImplementedError, struct.error) as e:
            raise SourceError(display, f"not a valid 3D Tiles package (not a readable zip archive: {e})") from None
        # An entry answers to its exact name and, where no entry has that
        # exact name, to its normalised name; of equal names the first wins.
        files = [info for info in self.zf.infolist() if not info.is_dir()]
        self.entries: dict[str, zipfile.ZipInfo] = {}
        for info in files:
            self.entries.setdefault(info.filename, info)
        for info in files:
            key = _normal_key(info.filename)
            if key is not None:
                self.entries.setdefault(key, info)

    def read(self, key: str, display: str, limit: int) -> bytes:
        info = self.entries.get(key)
        if info is None:
            raise SourceError(display, "no such entry in the package", status=404)
        if info.file_size > limit:
            raise SourceError(display, f"declares {info.file_size} bytes, more than {limit} (refused)")
        out = bytearray()
        try:
            # ZipExtFile stops at the declared size and checks the CRC at the
            # end; reading in steps keeps memory at what really decompresses.
            with self.zf.open(info) as f:
                while True:
                    chunk = f.read(_CHUNK)
                    if not chunk:
                        break
                    out += chunk
                    if len(out) > limit:
                        raise SourceError(display, f"decompresses to more than {limit} bytes (refused)")
        except SourceError:
            raise
        except (zipfile.BadZipFile, EOFError, zlib.error, lzma.LZMAError, OSError, ValueError, struct.error) as e:
            raise SourceError(display, f"damaged package entry ({e or type(e).__name__})") from None
        except (NotImplementedError, RuntimeError) as e:  # unknown compression, encryption
            raise SourceError(display, f"unsupported package entry ({e})") from None
        return bytes(out)

    def close(self):
        self.zf.close()


class SqlitePackage:
    def __init__(self, path: str, display: str):
        self.display = display
        if not os.path.isfile(path):
            raise SourceError(display, "cannot read (No such file or directory)")
        # Read-only and immutable: no journal, no lock files beside the package.
        uri = "file:" + quote(os.path.abspath(path)) + "?mode=ro&immutable=1"
        try:
            self.db = sqlite3.connect(uri, uri=True, check_same_thread=False)
            # A damaged file can hold names that are not UTF-8.
            self.db.text_factory = lambda b: b.decode("utf-8", "replace")
            tables = {row[0] for row in self.db.execute(
                "SELECT name FROM sqlite_master WHERE type IN ('table', 'view')")}
            if "media" not in tables:
                raise SourceError(display, "not a valid 3D Tiles package (no table 'media')")
            columns = {row[1] for row in self.db.execute("PRAGMA table_info(media)")}
            for column in ("key", "content"):
                if column not in columns:
                    raise SourceError(display, f"not a valid 3D Tiles package (table 'media' has no column '{column}')")
        except (sqlite3.DatabaseError, UnicodeDecodeError) as e:
            # (a damaged schema makes SQLite report errors that are not UTF-8)
            raise SourceError(display, f"not a valid 3D Tiles package (not a readable SQLite database: {e})") from None
        self.lock = threading.Lock()

    def read(self, key: str, display: str, limit: int) -> bytes:
        try:
            with self.lock:
                row = self.db.execute("SELECT length(CAST(content AS BLOB)) FROM media WHERE key = ?",
                                      (key,)).fetchone()
                if row is None:
                    raise SourceError(display, "no such entry in the package", status=404)
                if row[0] is None:
                    raise SourceError(display, "empty package entry (NULL content)")
                if row[0] > limit:
                    raise SourceError(display, f"holds {row[0]} bytes, more than {limit} (refused)")
                data = self.db.execute("SELECT CAST(content AS BLOB) FROM media WHERE key = ?",
                                       (key,)).fetchone()[0]
        except (sqlite3.DatabaseError, UnicodeDecodeError) as e:
            raise SourceError(display, f"damaged package ({e})") from None
        return bytes(data)

    def close(self):
        self.db.close()


def _temp_folder() -> str:
    if not _temp_dir:
        if not _registered:
            atexit.register(close_all)
            _registered.append(True)
        _temp_dir.append(tempfile.mkdtemp(prefix="tessaroid-packages-"))
    return _temp_dir[0]


def close_all() -> None:
    """Closes every package this process opened and removes the temporary
    copies (also run at exit)."""
    with _lock:
        for pkg in list(_open.values()):
            try:
                pkg.close()
            except Exception:
                pass
        _open.clear()
        _key_locks.clear()
        for folder in _temp_dir:
            shutil.rmtree(folder, ignore_errors=True)
        _temp_dir.clear()


def _local_copy(pkg_loc) -> str:
    """A local file holding the package: its own path when it is a local file,
    else a private temporary copy."""
    if pkg_loc.scheme == "file":
        return pkg_loc.path
    data = pkg_loc.read()
    fd, path = tempfile.mkstemp(dir=_temp_folder(), suffix=pkg_loc.suffix)
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    return path


def package_for(pkg_loc):
    key = (os.getpid(), pkg_loc)
    pkg = _open.get(key)
    if pkg is not None:
        return pkg
    # One lock per package: opening one (a download, for a remote package)
    # does not hold up the others, and a nested package can open its outer
    # package while holding its own lock.
    with _lock:
        key_lock = _key_locks.setdefault(key, threading.Lock())
    with key_lock:
        pkg = _open.get(key)
        if pkg is None:
            path = _local_copy(pkg_loc)
            kind = ZipPackage if pkg_loc.suffix == ".3tz" else SqlitePackage
            pkg = kind(path, pkg_loc.display)
            with _lock:
                _open[key] = pkg
    return pkg


def read_entry(loc) -> bytes:
    pkg = package_for(loc.package)
    return pkg.read(loc.path, loc.display, loc.config.max_bytes)

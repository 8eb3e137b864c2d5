"""A folder of fetched remote bytes, keyed by a hash of the full URL.

Each entry is one file named after sha256(url) holding a small header
(magic, length, sha256 of the body) and the body. Entries are written to a
temporary file in the same folder and moved into place with os.replace, so
a reader never sees half an entry; an entry whose header does not match its
body (a crash of an older writer, a disk fault, a hand edit) counts as a miss
and is fetched again.
"""

from __future__ import annotations

import hashlib
import os
import struct
import tempfile

_MAGIC = b"TSRCACHE1\n"
_HEADER = struct.Struct("<Q32s")


def _entry_path(cache_dir: str, url: str) -> str:
    digest = hashlib.sha256(url.encode("utf-8", "surrogatepass")).hexdigest()
    return os.path.join(cache_dir, digest[:2], digest)


def get(cache_dir: str, url: str) -> bytes | None:
    """The cached body of `url`, or None when absent or damaged."""
    path = _entry_path(cache_dir, url)
    try:
        with open(path, "rb") as f:
            head = f.read(len(_MAGIC) + _HEADER.size)
            if len(head) != len(_MAGIC) + _HEADER.size or not head.startswith(_MAGIC):
                return None
            length, digest = _HEADER.unpack_from(head, len(_MAGIC))
            if length != os.fstat(f.fileno()).st_size - len(head):
                return None
            body = f.read(length)
    except OSError:
        return None
    if hashlib.sha256(body).digest() != digest:
        return None
    return body


def put(cache_dir: str, url: str, body: bytes) -> None:
    """Stores `body` for `url`. A cache that cannot be written is skipped:
    the fetch already succeeded, the next run simply fetches again."""
    path = _entry_path(cache_dir, url)
    folder = os.path.dirname(path)
    tmp = None
    try:
        os.makedirs(folder, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=folder, prefix=".tmp-")
        with os.fdopen(fd, "wb") as f:
            f.write(_MAGIC + _HEADER.pack(len(body), hashlib.sha256(body).digest()))
            f.write(body)
        os.replace(tmp, path)
        tmp = None
    except OSError:
        pass
    finally:
        if tmp is not None:
            try:
                os.unlink(tmp)
            except OSError:
                pass

"""s3:// and gs:// objects through fsspec (s3fs, gcsfs: the `s3` and `gs` extras)."""

from __future__ import annotations

import os
import threading

from .base import SourceError, stats

_EXTRA = {"s3": ("s3fs", "s3"), "gs": ("gcsfs", "gs")}
_filesystems: dict = {}
_lock = threading.Lock()


def _filesystem(scheme: str, config):
    key = (os.getpid(), scheme, config.storage_options)
    fs = _filesystems.get(key)
    if fs is not None:
        return fs
    module, extra = _EXTRA[scheme]
    with _lock:
        fs = _filesystems.get(key)
        if fs is None:
            try:
                import fsspec

                __import__(module)
            except ImportError:
                raise SourceError(f"{scheme}://", f"reading {scheme}:// URLs needs {module}: "
                                  f"pip install 'tessaroid[{extra}]'") from None
            fs = fsspec.filesystem(scheme, **dict(config.storage_options))
            _filesystems[key] = fs
    return fs


def fetch_object(loc) -> bytes:
    fs = _filesystem(loc.scheme, loc.config)
    stats.add("requests")
    limit = loc.config.max_bytes
    try:
        size = fs.size(loc.path)
        if size is not None and size > limit:
            raise SourceError(loc.display, f"larger than {limit} bytes (refused)")
        body = fs.cat_file(loc.path)
    except SourceError:
        stats.add("failed")
        raise
    except FileNotFoundError:
        stats.add("failed")
        raise SourceError(loc.display, "not found", status=404) from None
    except PermissionError as e:
        stats.add("failed")
        raise SourceError(loc.display, f"access denied ({e})", status=403) from None
    except Exception as e:  # the file systems raise their clients' own errors
        stats.add("failed")
        raise SourceError(loc.display, f"cannot read ({type(e).__name__}: {e})") from None
    stats.add("bytes", len(body))
    return body

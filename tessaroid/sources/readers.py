"""Reading the stored bytes of a Location, by scheme, with the remote cache."""

from __future__ import annotations

import base64
import binascii
import os
from urllib.parse import unquote_to_bytes

from . import cache
from .base import SourceError, stats


def read(loc) -> bytes:
    scheme = loc.scheme
    if scheme == "file":
        return _read_file(loc.path, loc.display, loc.config.max_bytes)
    if scheme == "data":
        return _read_data(loc)
    if scheme in ("zip", "sqlite"):
        from . import packages

        return packages.read_entry(loc)
    if scheme in ("http", "https", "s3", "gs"):
        return _read_remote(loc)
    raise SourceError(loc.display, f"unsupported URI scheme {scheme!r}")


def _read_file(path: str, display: str, limit: int) -> bytes:
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if size > limit:
                raise SourceError(display, f"larger than {limit} bytes (refused)")
            return f.read()
    except IsADirectoryError:
        raise SourceError(display, "cannot read (it is a folder)") from None
    except OSError as e:
        raise SourceError(display, f"cannot read ({e.strerror or e})") from None


def _read_data(loc) -> bytes:
    head, sep, payload = loc.path[5:].partition(",")
    if not sep:
        raise SourceError(loc.display, "not a valid data: URI (no comma)")
    if head.lower().endswith(";base64"):
        try:
            # Percent-escapes are allowed in the base64 text too.
            return base64.b64decode(unquote_to_bytes(payload), validate=False)
        except (binascii.Error, ValueError) as e:
            raise SourceError(loc.display, f"not valid base64 ({e})") from None
    return unquote_to_bytes(payload)


def _read_remote(loc) -> bytes:
    config = loc.config
    url = loc.url  # with the query: it may select different content
    if config.cache_dir:
        body = cache.get(config.cache_dir, url)
        if body is not None:
            stats.add("cache_hits")
            return body
    if loc.scheme in ("http", "https"):
        from .http import fetch

        body = fetch(url, loc.display, config)
    else:
        from .objstore import fetch_object

        body = fetch_object(loc)
    if config.cache_dir:
        cache.put(config.cache_dir, url, body)
    return body

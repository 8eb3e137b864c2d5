"""Pieces shared by every scheme: the error type, the fetch settings, the
process-wide counters and the bounded gzip decoder."""

from __future__ import annotations

import threading
import zlib
from dataclasses import dataclass

# The one place the source layer takes the converter's error type from.
from ..errors import ConversionError

# Ceiling on the bytes one read may produce, after any decompression: a
# decompression bomb or a declared size far beyond reason stops here with an
# error instead of filling memory.
DEFAULT_MAX_BYTES = 4 << 30

GZIP_MAGIC = b"\x1f\x8b"


class SourceError(ConversionError):
    """A file or URL that cannot be read. `url` is the display form (never
    with its query string); `status` is the HTTP status when there was one."""

    def __init__(self, url: str, reason: str, status: int | None = None):
        super().__init__(f"{url}: {reason}")
        self.url = url
        self.reason = reason
        self.status = status

    def __reduce__(self):  # picklable across Dask workers
        return (type(self), (self.url, self.reason, self.status))


@dataclass(frozen=True)
class FetchConfig:
    """How remote bytes are fetched. Frozen and made of strings, numbers and
    tuples so that it hashes (it keys the per-process sessions) and pickles."""

    headers: tuple[tuple[str, str], ...] = ()
    cache_dir: str | None = None
    downloads: int = 16  # concurrent requests the connection pool must carry
    retry_seconds: float = 120.0  # total time budget for retries of one fetch
    timeout: float = 60.0  # connect and read timeout of one HTTP request
    max_bytes: int = DEFAULT_MAX_BYTES
    # Options for fsspec file systems (s3://, gs://), e.g. (("endpoint_url", "http://..."),)
    storage_options: tuple[tuple[str, object], ...] = ()

    def __post_init__(self):
        object.__setattr__(self, "headers", tuple((str(k), str(v)) for k, v in self.headers))
        object.__setattr__(self, "storage_options", tuple(tuple(kv) for kv in self.storage_options))
        if self.cache_dir is not None:
            object.__setattr__(self, "cache_dir", str(self.cache_dir))
        if self.downloads < 1:
            raise ValueError("downloads must be at least 1")
        if self.retry_seconds < 0:
            raise ValueError("retry_seconds must not be negative")


def parse_header(text: str) -> tuple[str, str]:
    """'Name: value' -> ('Name', 'value'), for a repeatable --header option."""
    name, sep, value = text.partition(":")
    name, value = name.strip(), value.strip()
    if not sep or not name:
        raise ValueError(f"not a header (expected 'Name: value'): {text!r}")
    # A token per RFC 9110: visible ASCII without separators.
    if any(c in '()<>@,;:\\"/[]?={} \t' or not (33 <= ord(c) < 127) for c in name):
        raise ValueError(f"not a valid header name: {name!r}")
    if any(c in "\r\n\0" for c in value):
        raise ValueError(f"header value of {name!r} holds a line break or NUL")
    return name, value


class _Stats:
    KEYS = ("requests", "retries", "failed", "bytes", "cache_hits")

    def __init__(self):
        self._lock = threading.Lock()
        self._counts = dict.fromkeys(self.KEYS, 0)

    def add(self, key: str, n: int = 1) -> None:
        with self._lock:
            self._counts[key] += n

    def snapshot(self) -> dict:
        with self._lock:
            return dict(self._counts)

    def reset(self) -> None:
        with self._lock:
            self._counts = dict.fromkeys(self.KEYS, 0)


stats = _Stats()


def fetch_stats() -> dict:
    """Process-wide counters of remote reads: requests sent (retries
    included), retries, failed fetches, bytes received, cache hits."""
    return stats.snapshot()


class TruncatedStream(Exception):
    """A compressed stream that ends before its end marker."""


def gunzip(data: bytes, limit: int, what: str) -> bytes:
    """Decodes a gzip stream (several members allowed), refusing output past
    `limit` bytes and a stream that ends early. Raises SourceError naming `what`."""
    try:
        return decode_stream(data, limit, wbits=31)
    except TruncatedStream:
        raise SourceError(what, "gzip stream ends early (truncated file)") from None
    except zlib.error as e:
        raise SourceError(what, f"not a valid gzip stream ({e})") from None
    except OverflowError:
        raise SourceError(what, f"decompresses to more than {limit} bytes (refused)") from None


def decode_stream(data: bytes, limit: int, wbits: int) -> bytes:
    """zlib/gzip/raw-deflate decoding by `wbits`, in bounded steps so that
    memory never exceeds `limit` plus one step. Raises TruncatedStream,
    zlib.error or OverflowError (output over `limit`)."""
    out = bytearray()
    step = 1 << 20
    while True:
        d = zlib.decompressobj(wbits)
        buf = data
        while True:
            chunk = d.decompress(buf, step)
            out += chunk
            if len(out) > limit:
                raise OverflowError
            buf = d.unconsumed_tail
            if d.eof or (not buf and not chunk):
                break
        if not d.eof:
            raise TruncatedStream
        rest = d.unused_data
        # Another gzip member may follow; zero padding after the last is tolerated.
        if wbits == 31 and rest[:2] == GZIP_MAGIC:
            data = rest
            continue
        return bytes(out)


def maybe_gunzip(data: bytes, limit: int, what: str) -> bytes:
    """Decodes `data` when it starts with the gzip magic, else returns it as is."""
    if data[:2] == GZIP_MAGIC:
        return gunzip(data, limit, what)
    return data

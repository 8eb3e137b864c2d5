"""`Location`: where the bytes of one file are, whatever holds them.

A Location is a frozen dataclass of strings and tuples (plus the frozen
FetchConfig), so it hashes, compares and pickles: Dask workers receive
Locations and read their own tiles. Everything stateful (HTTP sessions, open
packages, object-store clients) lives in per-process caches of the modules
that read, created on first use in each process.

Kinds of location (`scheme`):
  file          `path` is an absolute local path
  http, https   `path` is the URL without query and fragment; `query` holds
                the raw query pairs that go with every request
  s3, gs        `path` is the URL (scheme://bucket/key)
  zip, sqlite   `path` is an entry key of the package at `package`
                (.3tz zip archives, .3dtiles SQLite databases)
  data          `path` is the whole data: URI
"""

from __future__ import annotations

import hashlib
import os
import posixpath
from dataclasses import dataclass, field
from urllib.parse import quote, unquote, urljoin, urlsplit

from .base import FetchConfig, SourceError, maybe_gunzip

PACKAGE_KINDS = {".3tz": "zip", ".3dtiles": "sqlite"}
_REMOTE = ("http", "https", "s3", "gs")
# The entry a package's tile set starts from.
PACKAGE_ROOT = "tileset.json"

Query = tuple[tuple[str, "str | None"], ...]


def _parse_query(text: str) -> Query:
    """Raw (still percent-encoded) query pairs, in order; None for a bare key.
    Kept raw so that a signed or oddly encoded query reaches the server as written."""
    pairs = []
    for item in text.split("&"):
        if item:
            key, sep, value = item.partition("=")
            pairs.append((key, value if sep else None))
    return tuple(pairs)


def _merge_query(parent: Query, child: Query) -> Query:
    """The parent's parameters plus the child's; for a key both carry, the
    child's value(s) win. The parent's other pairs keep their order and the
    child's follow."""
    if not child:
        return parent
    keys = {k for k, _ in child}
    return tuple(kv for kv in parent if kv[0] not in keys) + child


def _query_text(query: Query) -> str:
    return "&".join(k if v is None else f"{k}={v}" for k, v in query)


def _safe_part(part: str) -> str:
    """A path part that is one harmless file name: no separators, no NUL, not '.', '..' or empty."""
    part = part.replace("/", "_").replace("\\", "_").replace("\0", "_")
    return "_" if part in ("", ".", "..") else part


@dataclass(frozen=True)
class Location:
    scheme: str
    path: str
    query: Query = ()
    package: "Location | None" = None
    config: FetchConfig = field(default_factory=FetchConfig, compare=True)

    # ------------------------------------------------------------ naming
    @property
    def display(self) -> str:
        """For messages: a local path, or a URL without its query (keys must not leak into logs)."""
        if self.scheme in ("zip", "sqlite"):
            return f"{self.package.display}!/{self.path}"
        if self.scheme == "data":
            head = self.path.split(",", 1)[0]
            return f"{head},... ({len(self.path)} characters)"
        return self.path

    @property
    def key(self) -> str:
        """A stable identity, without the query (cycle detection, manifests)."""
        if self.scheme in ("zip", "sqlite"):
            return f"{self.package.key}!/{self.path}"
        if self.scheme == "data":
            return "data:sha256:" + hashlib.sha256(self.path.encode("utf-8", "surrogatepass")).hexdigest()
        return self.path

    @property
    def url(self) -> str:
        """The full address with the query, for requests and the cache only (never for messages)."""
        if self.query:
            return f"{self.path}?{_query_text(self.query)}"
        return self.path

    @property
    def is_remote(self) -> bool:
        if self.package is not None:
            return self.package.is_remote
        return self.scheme in _REMOTE

    def _segments(self) -> tuple[str, ...]:
        """The decoded path parts from the top of whatever holds the file."""
        if self.scheme == "file":
            return tuple(self.path.replace(os.sep, "/").split("/"))
        if self.scheme in _REMOTE:
            s = urlsplit(self.path)
            return (f"{s.scheme}://{s.netloc}",) + tuple(unquote(p) for p in s.path.split("/") if p)
        if self.package is not None:
            return self.package._segments() + tuple(p for p in self.path.split("/") if p)
        return ("data",)

    @property
    def suffix(self) -> str:
        """Lower-case extension of the path part ('.json', '.glb', '.3tz', ...); '' when none."""
        if self.scheme == "data":
            return ""
        return posixpath.splitext(self._segments()[-1])[1].lower()

    def name_parts(self, root_dir: "Location") -> tuple[str, ...]:
        """The path parts of this file relative to the folder of `root_dir` (the
        root tile set's Location), or (file name,) when it is not below that
        folder. Each part is a plain file name: never empty, '.', '..', nor
        holding a separator, so the parts can be joined under an output folder."""
        mine = self._segments()
        folder = root_dir._segments()[:-1]
        if len(mine) > len(folder) and mine[:len(folder)] == folder:
            rel = mine[len(folder):]
        else:
            rel = mine[-1:]
        return tuple(_safe_part(p) for p in rel)

    # ----------------------------------------------------------- joining
    def join(self, uri: str) -> "Location":
        """The Location `uri` refers to, resolved against this one with URL
        semantics. A URI naming a .3tz/.3dtiles package gives the package's
        tileset.json."""
        uri = uri.strip()
        if uri.lower().startswith("data:"):
            return Location("data", uri, config=self.config)
        split = urlsplit(uri)
        if len(split.scheme) > 1:  # one letter: a Windows drive, not a scheme
            target = _from_url(uri, self.config)
            if target.scheme in ("http", "https") and self.scheme in ("http", "https") \
                    and _origin(target.path) == _origin(self.path):
                # The same server: the parent's query (an API key) goes along.
                target = Location(target.scheme, target.path, _merge_query(self.query, target.query),
                                  config=self.config)
            return _package_root(target)
        if self.scheme == "data":
            raise SourceError(self.display, f"cannot resolve the relative URI {uri!r} against a data: URI")
        if not split.path and not split.query:
            return self
        if self.scheme in ("http", "https"):
            target = urljoin(self.path, split.path) if split.path else self.path
            target = urlsplit(target)._replace(query="", fragment="").geturl()
            loc = Location(self.scheme, target, _merge_query(self.query, _parse_query(split.query)),
                           config=self.config)
        elif self.scheme == "file":
            rel = unquote(split.path)
            base = os.path.dirname(self.path)
            loc = Location("file", os.path.normpath(os.path.join(base, rel)), config=self.config)
        elif self.scheme in ("s3", "gs"):
            s = urlsplit(self.path)
            rel = unquote(split.path)
            key = rel if rel.startswith("/") else posixpath.join(posixpath.dirname(s.path), rel)
            key = posixpath.normpath("/" + key.lstrip("/"))  # '..' above the bucket stays at the bucket
            loc = Location(self.scheme, f"{s.scheme}://{s.netloc}{key}", config=self.config)
        else:  # a package entry
            rel = unquote(split.path)
            # A URI absolute inside a package ('/x.glb') names the entry 'x.glb'
            # from the top of the package: entries are keys, never disk paths.
            if rel.startswith("/"):
                key = posixpath.normpath(rel.lstrip("/"))
            else:
                key = posixpath.normpath(posixpath.join(posixpath.dirname(self.path), rel))
            if key == ".." or key.startswith("../"):
                # Leaving the package: the rest resolves beside the package itself.
                return self.package.join(quote(key[3:] or ".", safe="/"))
            if key == ".":
                raise SourceError(self.display, f"the URI {uri!r} names the package itself, not an entry")
            loc = Location(self.scheme, key, package=self.package, config=self.config)
        return _package_root(loc)

    # ----------------------------------------------------------- reading
    def read_raw(self) -> bytes:
        """The stored bytes, before gzip detection."""
        from . import readers

        return readers.read(self)

    def read(self) -> bytes:
        """The file's bytes; gzip (magic 1f 8b) is decoded. Raises SourceError."""
        return maybe_gunzip(self.read_raw(), self.config.max_bytes, self.display)

    def __str__(self) -> str:
        return self.display


def _origin(url: str) -> tuple[str, str]:
    s = urlsplit(url)
    return s.scheme.lower(), s.netloc.lower()


def _package_root(loc: Location) -> Location:
    kind = PACKAGE_KINDS.get(loc.suffix)
    if kind is None or loc.scheme == "data":
        return loc
    return Location(kind, PACKAGE_ROOT, package=loc, config=loc.config)


def _from_url(uri: str, config: FetchConfig) -> Location:
    s = urlsplit(uri)
    scheme = s.scheme.lower()
    if scheme in ("http", "https"):
        if not s.netloc:
            raise SourceError(uri.split("?", 1)[0], "URL without a host")
        path = s._replace(scheme=scheme, query="", fragment="").geturl()
        return Location(scheme, path, _parse_query(s.query), config=config)
    if scheme == "file":
        if s.netloc not in ("", "localhost"):
            raise SourceError(uri, f"file URL on another host ({s.netloc}) is not supported")
        from urllib.request import url2pathname

        return Location("file", os.path.normpath(url2pathname(s.path)), config=config)
    if scheme in ("s3", "gs"):
        if not s.netloc:
            raise SourceError(uri, "URL without a bucket")
        # A key as typed (like other object-store tools do), not percent-decoded.
        key = posixpath.normpath("/" + s.path.lstrip("/"))
        return Location(scheme, f"{scheme}://{s.netloc}{key}", config=config)
    if scheme == "data":
        return Location("data", uri, config=config)
    raise SourceError(uri.split("?", 1)[0], f"unsupported URI scheme {s.scheme!r} "
                      "(local paths, file://, http://, https://, s3://, gs://, data: are read)")


def open_location(where: "str | os.PathLike | Location", config: FetchConfig | None = None) -> Location:
    """The Location of a local path, a file:// / http(s):// / s3:// / gs:// URL,
    or a .3tz / .3dtiles package (then: the package's tileset.json)."""
    if isinstance(where, Location):
        return where
    config = config if config is not None else FetchConfig()
    text = os.fspath(where)
    s = urlsplit(text)
    if len(s.scheme) > 1:
        loc = _from_url(text, config)
    else:
        loc = Location("file", os.path.abspath(os.path.expanduser(text)), config=config)
    return _package_root(loc)

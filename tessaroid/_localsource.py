"""Local files and data: URIs behind the Location interface of the source layer."""

from __future__ import annotations

import base64
import os
import urllib.parse
from dataclasses import dataclass
from pathlib import Path

from .errors import ConversionError


class SourceError(ConversionError):
    def __init__(self, message: str, url: str = "", status: int | None = None):
        super().__init__(message)
        self.url = url
        self.status = status


@dataclass(frozen=True)
class FetchConfig:
    headers: tuple = ()
    cache_dir: str | None = None
    downloads: int = 16
    retry_seconds: float = 120.0


@dataclass(frozen=True)
class Location:
    path: str
    data: str | None = None

    @property
    def display(self) -> str:
        return "data: URI" if self.data is not None else self.path

    @property
    def key(self) -> str:
        return self.display

    @property
    def suffix(self) -> str:
        return Path(self.path).suffix.lower()

    is_remote = False

    def join(self, uri: str) -> "Location":
        if uri.startswith("data:"):
            return Location(path=self.path, data=uri)
        parsed = urllib.parse.urlparse(uri)
        if parsed.scheme and len(parsed.scheme) > 1 and parsed.scheme != "file":
            raise SourceError(f"{uri}: unknown URI scheme {parsed.scheme!r}", uri)
        rel = urllib.parse.unquote(parsed.path)
        return Location(path=os.path.normpath(os.path.join(os.path.dirname(self.path), rel)))

    def read(self) -> bytes:
        if self.data is not None:
            head, sep, payload = self.data.partition(",")
            if not sep:
                raise SourceError("malformed data: URI")
            try:
                if head.endswith(";base64"):
                    return base64.b64decode(payload, validate=False)
                return urllib.parse.unquote_to_bytes(payload)
            except ValueError as exc:
                raise SourceError(f"bad base64 in data: URI ({exc})") from None
        try:
            return Path(self.path).read_bytes()
        except OSError as exc:
            raise SourceError(f"{self.path}: cannot read ({exc.strerror or exc})", self.path) from None

    def name_parts(self, root_dir: "Location") -> tuple[str, ...]:
        try:
            return Path(self.path).resolve().relative_to(Path(root_dir.path).resolve().parent).parts
        except ValueError:
            return (Path(self.path).name,)


def open_location(text, config: FetchConfig | None = None) -> Location:
    text = os.fspath(text)
    if text.startswith("file://"):
        text = urllib.parse.unquote(urllib.parse.urlparse(text).path)
    return Location(path=os.path.abspath(text))


def fetch_stats() -> dict:
    return {"requests": 0, "retries": 0, "failed": 0, "bytes": 0, "cache_hits": 0}


def parse_header(text: str) -> tuple[str, str]:
    name, sep, value = text.partition(":")
    if not sep or not name.strip():
        raise ValueError(f"a header is 'Name: value', not {text!r}")
    return name.strip(), value.strip()

"""The source layer: every read of a tile set, subtree, tile content, external
buffer or image goes through a `Location`, whatever holds the bytes (local
disk, file://, http(s)://, s3://, gs://, data: URIs, .3tz and .3dtiles
packages, nested or remote). gzip-compressed files are recognised by their
magic bytes and decoded on read.

    loc = open_location("https://host/a/tileset.json?key=K", FetchConfig())
    data = loc.read()
    child = loc.join("../b/c.glb?session=S")   # inherits key=K
"""

from .base import FetchConfig, SourceError, fetch_stats, parse_header
from .location import Location, open_location

__all__ = ["Location", "SourceError", "FetchConfig", "open_location", "fetch_stats", "parse_header"]

"""The small records passed between the converter's stages: options, one tile's task
and result, a tile's mesh kept for a merged OBJ, and the summary of a run."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

GEOGRAPHIC = "EPSG:4326"


@dataclass(frozen=True)
class Options:
    crs: str = "EPSG:4978"
    texture_format: str = "source"  # "source" (images as stored), "png" or "jpeg"
    jpeg_quality: int = 90
    merge: bool = False
    textures: bool = True  # False: geometry and texture coordinates, no image read or written
    origin: tuple[float, float, float] | None = None  # ENU origin: lon, lat degrees, height metres

    @property
    def as_png(self) -> bool:
        return self.texture_format == "png"

    @property
    def texture_ext(self) -> str:
        # In "source" mode the writer picks the extension from the image's own format.
        return "jpg" if self.texture_format == "jpeg" else "png"

    @property
    def keep_images(self) -> bool:
        """Images written as stored, with v flipped in the texture coordinates instead."""
        return self.texture_format == "source"

    @property
    def geographic(self) -> bool:
        """x and y in degrees (EPSG:4326 or any geographic CRS)."""
        if self.crs.strip().upper() == GEOGRAPHIC:
            return True
        from .frames import is_geographic

        return is_geographic(self.crs)


@dataclass(frozen=True)
class TileTask:
    """One content to convert: small and picklable, so it can travel to a Dask worker,
    which then reads the content from its source itself."""

    index: int
    source: str  # the content's location as shown to the user
    name: str  # the output base name
    matrix: tuple  # 16 floats, row-major: tile frame -> ECEF
    y_up: bool = True
    location: Any = None  # a sources.Location; None for a task made from a plain path
    # ECEF (xmin, ymin, zmin, xmax, ymax, zmax) of the content's bounding volume, only
    # gathered when the run needs it (the default ENU origin).
    extent: tuple | None = None


@dataclass(slots=True)  # one per tile is kept for the summary: no per-instance dict
class TileResult:
    index: int
    source: str
    name: str
    ok: bool = False
    error: str | None = None
    vertices: int = 0
    faces: int = 0
    textures: int = 0
    files: list[str] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    @property
    def empty(self) -> bool:
        return self.ok and self.vertices == 0


@dataclass
class Summary:
    """What a conversion did. `failures` lists (source file, reason) per failed tile."""

    tiles: int = 0
    converted: int = 0
    empty: int = 0
    failed: int = 0
    vertices: int = 0
    faces: int = 0
    textures: int = 0
    seconds: float = 0.0
    output_dir: str = ""
    obj_files: list[str] = field(default_factory=list)
    failures: list[tuple[str, str]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    offset: tuple[float, float, float] | None = None
    offset_file: str | None = None
    frame_file: str | None = None  # frame.json: the output CRS, its units and the ENU origin
    origin: tuple[float, float, float] | None = None  # the ENU origin used
    results: list[TileResult] = field(default_factory=list)
    resumed: int = 0  # tiles an earlier run had finished (skipped by --resume)
    requests: int = 0  # downloads of this run: requests made, retried, failed for good, bytes
    retries: int = 0
    failed_requests: int = 0
    bytes_downloaded: int = 0

    @property
    def ok(self) -> bool:
        return self.failed == 0

    def line(self) -> str:
        if self.tiles == 0:
            return f"nothing was selected: no tile content to convert ({self.seconds:.2f} s)"
        parts = [f"{self.tiles} tile{'s' if self.tiles != 1 else ''}: {self.converted} converted"]
        if self.resumed:
            parts.append(f"{self.resumed} already done")
        if self.empty:
            parts.append(f"{self.empty} without triangles")
        if self.failed:
            parts.append(f"{self.failed} failed")
        text = (", ".join(parts) + f"; {self.vertices} vertices, {self.faces} faces, "
                f"{self.textures} textures written in {self.seconds:.2f} s")
        if self.requests:
            text += (f"; {self.requests} requests ({self.bytes_downloaded / 1e6:.1f} MB), "
                     f"{self.retries} retried, {self.failed_requests} failed")
        return text

"""Writing: OBJ text, MTL files, textures, and the staging that makes a tile's files
appear together.

Every file is written under a temporary name in the output folder and renamed into
place once the whole tile is ready, so an interrupted or failed tile never leaves
half-written files or clobbers the output of an earlier run.
"""

from __future__ import annotations

import os
import uuid
from pathlib import Path
from typing import Iterable

import numpy as np

from .assembly import TileMesh
from .errors import ConversionError
from .planning import Material
from .records import Options, TileTask


class Staging:
    """Files of one tile written under temporary names, renamed together at the end."""

    def __init__(self, out_dir: Path):
        self.out_dir = out_dir
        self.pending: list[tuple[Path, Path]] = []

    def temp_for(self, final_name: str) -> tuple[Path, Path]:
        final = self.out_dir / final_name
        tmp = self.out_dir / f".{final_name}.{uuid.uuid4().hex[:12]}.tmp"
        self.pending.append((tmp, final))
        return tmp, final

    def write(self, final_name: str, chunks: Iterable[bytes]) -> None:
        tmp, _ = self.temp_for(final_name)
        with open(tmp, "wb") as fh:
            for c in chunks:
                fh.write(c)

    def commit(self) -> list[str]:
        done = []
        for tmp, final in self.pending:
            os.replace(tmp, final)
            done.append(str(final))
        self.pending = []
        return done

    def discard(self) -> None:
        for tmp, _ in self.pending:
            try:
                tmp.unlink()
            except OSError:
                pass
        self.pending = []


def geographic_vertex_lines(pos: np.ndarray) -> bytes:
    # Six decimals of a degree are about 0.1 m on the ground; nine keep 0.1 mm.
    out = []
    for start in range(0, len(pos), 65536):
        block = pos[start:start + 65536]
        out.append(("v %.9f %.9f %.6f\n" * len(block) % tuple(block.ravel().tolist())).encode("ascii"))
    return b"".join(out)


def _lines(text: bytes, rows: int, what: str) -> bytes:
    """The formatters stop silently at a line that does not fit their buffer; a file
    missing lines would be corrupt, so count them."""
    got = text.count(b"\n")
    if got != rows:
        raise ConversionError(f"{what}: {rows} lines expected, {got} formatted (values too large to write?)")
    return text


def vertex_lines(ow, pos: np.ndarray, opts: Options) -> bytes:
    text = geographic_vertex_lines(pos) if opts.geographic else ow.format_vertex_lines(pos)
    return _lines(text, len(pos), "vertex lines")


def texcoord_lines(ow, tc: np.ndarray) -> bytes:
    return _lines(ow.format_texcoord_lines(tc), len(tc), "texture coordinate lines")


def face_lines(ow, faces: np.ndarray, with_vt: bool) -> bytes:
    return _lines(ow.format_face_lines(faces, with_vt), len(faces), "face lines")


def mtl_text(materials: list[tuple[str, Material, str | None]]) -> str:
    lines = ["# tessaroid material library"]
    for name, mat, tex in materials:
        r, g, b, a = mat.rgba
        lines += ["", f"newmtl {name}", "Ka 0.000000 0.000000 0.000000",
                  f"Kd {r:.6f} {g:.6f} {b:.6f}", "Ks 0.000000 0.000000 0.000000",
                  f"d {a:.6f}", "illum 1"]
        if tex:
            lines.append(f"map_Kd {tex}")
    return "\n".join(lines) + "\n"


def source_file_name(task: TileTask) -> str:
    return task.source.replace("\\", "/").rstrip("/").rsplit("/", 1)[-1]


def write_tile_obj(ow, mesh: TileMesh, task: TileTask, opts: Options, stage: Staging) -> None:
    faces = mesh.faces + 1  # OBJ numbering starts at 1
    tc = mesh.texcoords
    header = (f"# tessaroid: {source_file_name(task)!r}\n# crs {opts.crs.strip()!r}\n"
              f"mtllib {task.name}.mtl\no {task.name}\n").encode("utf-8")
    chunks = [header, vertex_lines(ow, mesh.positions, opts)]
    if tc is not None:
        chunks.append(texcoord_lines(ow, tc))
    for name, f0, f1, with_vt in mesh.groups:
        chunks.append(f"usemtl {name}\n".encode("utf-8"))
        chunks.append(face_lines(ow, faces[f0:f1], with_vt and tc is not None))
    stage.write(f"{task.name}.mtl", [mtl_text(mesh.materials).encode("utf-8")])
    stage.write(f"{task.name}.obj", chunks)

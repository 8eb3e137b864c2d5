"""Writing: OBJ text, MTL files, textures, and the staging that makes a tile's files
appear together.

Every file is written under a temporary name in the output folder and renamed into
place once the whole tile is ready, so an interrupted or failed tile never leaves
half-written files or clobbers the output of an earlier run.
"""

from __future__ import annotations

import json
import os
import shutil
import uuid
from pathlib import Path
from typing import Iterable

import numpy as np

from .assembly import TileMesh
from .errors import ConversionError
from .planning import Material
from .records import MeshPart, Options, TileTask


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


def _geographic_vertex_lines(pos: np.ndarray) -> bytes:
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


def _vertex_lines(ow, pos: np.ndarray, opts: Options) -> bytes:
    text = _geographic_vertex_lines(pos) if opts.geographic else ow.format_vertex_lines(pos)
    return _lines(text, len(pos), "vertex lines")


def _texcoord_lines(ow, tc: np.ndarray) -> bytes:
    return _lines(ow.format_texcoord_lines(tc), len(tc), "texture coordinate lines")


def _face_lines(ow, faces: np.ndarray, with_vt: bool) -> bytes:
    return _lines(ow.format_face_lines(faces, with_vt), len(faces), "face lines")


def _mtl_text(materials: list[tuple[str, Material, str | None]]) -> str:
    lines = ["# tessaroid material library"]
    for name, mat, tex in materials:
        r, g, b, a = mat.rgba
        lines += ["", f"newmtl {name}", "Ka 0.000000 0.000000 0.000000",
                  f"Kd {r:.6f} {g:.6f} {b:.6f}", "Ks 0.000000 0.000000 0.000000",
                  f"d {a:.6f}", "illum 1"]
        if tex:
            lines.append(f"map_Kd {tex}")
    return "\n".join(lines) + "\n"


def write_textures(ow, mesh: TileMesh, stage: Staging, opts: Options) -> None:
    """The tile's images, as stored or re-encoded after opts.texture_format (see `textures`)."""
    from .textures import write_textures as write

    write(ow, mesh, stage, opts)


def source_file_name(task: TileTask) -> str:
    return task.source.replace("\\", "/").rstrip("/").rsplit("/", 1)[-1]


def write_tile_obj(ow, mesh: TileMesh, task: TileTask, opts: Options, stage: Staging) -> None:
    faces = mesh.faces + 1  # OBJ numbering starts at 1
    tc = mesh.texcoords
    header = (f"# tessaroid: {source_file_name(task)!r}\n# crs {opts.crs.strip()!r}\n"
              f"mtllib {task.name}.mtl\no {task.name}\n").encode("utf-8")
    chunks = [header, _vertex_lines(ow, mesh.positions, opts)]
    if tc is not None:
        chunks.append(_texcoord_lines(ow, tc))
    for name, f0, f1, with_vt in mesh.groups:
        chunks.append(f"usemtl {name}\n".encode("utf-8"))
        chunks.append(_face_lines(ow, faces[f0:f1], with_vt and tc is not None))
    stage.write(f"{task.name}.mtl", [_mtl_text(mesh.materials).encode("utf-8")])
    stage.write(f"{task.name}.obj", chunks)


def mesh_part(mesh: TileMesh, task: TileTask) -> MeshPart:
    return MeshPart(name=task.name, positions=mesh.positions, texcoords=mesh.texcoords, faces=mesh.faces,
                    groups=mesh.groups, mtl=_mtl_text(mesh.materials))


def write_merged(ow, parts: list[MeshPart], out_dir: Path, name: str, opts: Options) -> list[str]:
    stage = Staging(out_dir)
    try:
        any_tc = any(p.texcoords is not None for p in parts)
        mtl = "".join(p.mtl.split("\n", 1)[1] if i else p.mtl for i, p in enumerate(parts))
        stage.write(f"{name}.mtl", [mtl.encode("utf-8")])
        tmp, _ = stage.temp_for(f"{name}.obj")
        with open(tmp, "wb") as fh:
            fh.write(f"# tessaroid: {len(parts)} tiles merged\n# crs {opts.crs}\nmtllib {name}.mtl\n".encode())
            offset = 1
            for p in parts:
                fh.write(f"o {p.name}\n".encode("utf-8"))
                fh.write(_vertex_lines(ow, p.positions, opts))
                if any_tc:
                    tc = p.texcoords if p.texcoords is not None else np.zeros((len(p.positions), 2))
                    fh.write(_texcoord_lines(ow, tc))
                faces = p.faces + offset
                for mname, f0, f1, with_vt in p.groups:
                    fh.write(f"usemtl {mname}\n".encode("utf-8"))
                    fh.write(_face_lines(ow, faces[f0:f1], with_vt and p.texcoords is not None))
                offset += len(p.positions)
        return stage.commit()
    finally:
        stage.discard()


def recenter(ow, obj_files: list[str], out_dir: Path, opts: Options) -> tuple[tuple[float, float, float], str]:
    lo = np.full(3, np.inf)
    hi = np.full(3, -np.inf)
    for f in obj_files:
        ext = ow.compute_obj_extent(f)
        if ext is not None:
            lo = np.minimum(lo, ext[:3])
            hi = np.maximum(hi, ext[3:])
    if not np.all(np.isfinite(lo)):
        centre = np.zeros(3)
    else:
        # Millimetre-round offset: the shift then only moves the written decimals.
        centre = np.round((lo + hi) / 2.0, 3)
    for f in obj_files:
        final = Path(f)
        tmp = final.with_name(f".{final.name}.{uuid.uuid4().hex[:12]}.tmp")
        try:
            shutil.copyfile(final, tmp)
            ow.shift_obj_file(str(tmp), float(centre[0]), float(centre[1]), float(centre[2]))
            os.replace(tmp, final)
        finally:
            if tmp.exists():
                tmp.unlink()
    info = {
        "crs": opts.crs,
        "offset": [float(c) for c in centre],
        "extent_min": [float(v) for v in lo] if np.all(np.isfinite(lo)) else None,
        "extent_max": [float(v) for v in hi] if np.all(np.isfinite(hi)) else None,
        "files": [Path(f).name for f in obj_files],
        "note": "every vertex was moved by -offset; add offset to get back to the CRS coordinates",
    }
    path = out_dir / "offset.json"
    tmp = out_dir / f".offset.json.{uuid.uuid4().hex[:12]}.tmp"
    tmp.write_text(json.dumps(info, indent=2) + "\n", encoding="utf-8")
    os.replace(tmp, path)
    return (float(centre[0]), float(centre[1]), float(centre[2])), str(path)

"""A merged OBJ written through per-tile spool files, so that a job of any size holds
no tile's arrays once the tile is converted.

Each worker writes its tile's part into `.tessaroid-spool/NAME.part` (renamed into
place with the tile's textures): a JSON header line (vertex count, texture
coordinates or not, material groups, MTL text, section sizes), the vertex lines
and texture-coordinate lines already formatted, and the 0-based faces as raw
integers. At the end `merge_spools` concatenates the parts in tile order, formatting
each part's faces with the running vertex offset, one part in memory at a time. The
bytes are those of `writing.write_merged` for the same parts.
"""

from __future__ import annotations

import json
import shutil
import uuid
from pathlib import Path

import numpy as np

from .assembly import TileMesh
from .errors import ConversionError
from .manifest import SPOOL_DIR
from .records import Options, TileTask
from .writing import Staging, face_lines, mtl_text, texcoord_lines, vertex_lines

COPY_CHUNK = 1 << 20


def spool_path(out_dir: Path, name: str) -> Path:
    return Path(out_dir) / SPOOL_DIR / f"{name}.part"


def write_spool(ow, mesh: TileMesh, task: TileTask, opts: Options, stage: Staging) -> None:
    """The tile's part of the merged OBJ, staged with the tile's other files."""
    final = spool_path(stage.out_dir, task.name)
    final.parent.mkdir(exist_ok=True)
    tmp = final.with_name(f".{final.name}.{uuid.uuid4().hex[:12]}.tmp")
    stage.pending.append((tmp, final))
    v = vertex_lines(ow, mesh.positions, opts)
    vt = texcoord_lines(ow, mesh.texcoords) if mesh.texcoords is not None else b""
    faces = np.ascontiguousarray(mesh.faces)
    header = {"name": task.name, "vertices": len(mesh.positions), "texcoords": mesh.texcoords is not None,
              "groups": [list(g) for g in mesh.groups], "mtl": mtl_text(mesh.materials), "v": len(v),
              "vt": len(vt), "faces": list(faces.shape), "dtype": faces.dtype.str}
    with open(tmp, "wb") as fh:
        fh.write(json.dumps(header, separators=(",", ":")).encode("utf-8") + b"\n")
        fh.write(v)
        fh.write(vt)
        fh.write(faces.tobytes())


def _header(fh) -> dict:
    try:
        return json.loads(fh.readline())
    except ValueError:
        raise ConversionError(f"{fh.name}: damaged spool file") from None


def _copy(src, dst, n: int) -> None:
    while n > 0:
        block = src.read(min(n, COPY_CHUNK))
        if not block:
            raise ConversionError(f"{src.name}: spool file ends early")
        dst.write(block)
        n -= len(block)


def merge_spools(ow, spools: list[Path], out_dir: Path, name: str, opts: Options) -> list[str]:
    """Write NAME.obj and NAME.mtl from the spool files, in the order given."""
    any_tc = False
    for p in spools:
        with open(p, "rb") as fh:
            any_tc |= bool(_header(fh)["texcoords"])
    stage = Staging(Path(out_dir))
    try:
        mtl_tmp, _ = stage.temp_for(f"{name}.mtl")
        obj_tmp, _ = stage.temp_for(f"{name}.obj")
        with open(obj_tmp, "wb") as obj, open(mtl_tmp, "wb") as mtl:
            obj.write(f"# tessaroid: {len(spools)} tiles merged\n# crs {opts.crs}\nmtllib {name}.mtl\n".encode())
            offset = 1
            for i, p in enumerate(spools):
                with open(p, "rb") as fh:
                    h = _header(fh)
                    text = h["mtl"]
                    mtl.write((text.split("\n", 1)[1] if i else text).encode("utf-8"))
                    obj.write(f"o {h['name']}\n".encode("utf-8"))
                    _copy(fh, obj, h["v"])
                    if h["texcoords"]:
                        _copy(fh, obj, h["vt"])
                    elif any_tc:
                        obj.write(texcoord_lines(ow, np.zeros((h["vertices"], 2))))
                    dtype = np.dtype(h["dtype"])
                    shape = tuple(h["faces"])
                    nbytes = int(np.prod(shape)) * dtype.itemsize
                    raw = fh.read(nbytes)
                    if len(raw) != nbytes:
                        raise ConversionError(f"{p}: spool file ends early")
                    faces = np.frombuffer(raw, dtype=dtype).reshape(shape) + offset
                    for mname, f0, f1, with_vt in h["groups"]:
                        obj.write(f"usemtl {mname}\n".encode("utf-8"))
                        obj.write(face_lines(ow, faces[f0:f1], with_vt and h["texcoords"]))
                    offset += h["vertices"]
        return stage.commit()
    finally:
        stage.discard()


def remove_spools(out_dir: Path) -> None:
    shutil.rmtree(Path(out_dir) / SPOOL_DIR, ignore_errors=True)


def spool_rel(name: str) -> str:
    return f"{SPOOL_DIR}/{name}.part"


__all__ = ["write_spool", "merge_spools", "spool_path", "remove_spools", "spool_rel"]

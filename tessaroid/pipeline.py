"""One tile through the stages: read its bytes from the source, decode the content,
plan, extract and place each glTF asset, assemble the tile's mesh, write its files.

`convert_tile` is what a worker (a thread or a Dask worker) runs for one task.
"""

from __future__ import annotations

import contextlib
from pathlib import Path

from . import decoding
from ._native import native
from .assembly import assemble
from .errors import ConversionError
from .placement import place_asset
from .records import Options, TileResult, TileTask
from .merging import write_spool
from .textures import start_textures
from .writing import Staging, write_tile_obj


def _location(task: TileTask):
    if task.location is not None:
        return task.location
    from .sources import open_location

    return open_location(task.source)


def _convert(task: TileTask, opts: Options, stage: Staging, res: TileResult, data: bytes | None) -> None:
    ow = native()
    loc = _location(task)
    assets = decoding.decode(loc.read() if data is None else data, loc, res.notes)
    meshes = [m for m in (place_asset(ow, a, task, opts, res.notes) for a in assets) if m is not None]
    if not meshes:
        res.notes.append("no triangle geometry")
        return
    mesh = assemble(meshes, task, opts)
    res.vertices, res.faces, res.textures = len(mesh.positions), len(mesh.faces), len(mesh.textures)
    textures_written = start_textures(ow, mesh, stage, opts)
    try:
        if opts.merge:
            write_spool(ow, mesh, task, opts, stage)
        else:
            write_tile_obj(ow, mesh, task, opts, stage)
    except BaseException:
        # The images may still be being written into the staging folder: wait for
        # them before the tile's files are discarded.
        with contextlib.suppress(Exception):
            textures_written()
        raise
    textures_written()


def convert_tile(task: TileTask, opts: Options, out_dir: str, data: bytes | None = None) -> TileResult:
    """Convert one tile; never raises: failures come back in the result. `data`: the
    content's bytes when already fetched (otherwise read from the task's location);
    in merge mode the tile's part goes to its spool file, not into the result."""
    res = TileResult(index=task.index, source=task.source, name=task.name)
    stage = Staging(Path(out_dir))
    try:
        _convert(task, opts, stage, res, data)
        res.files = stage.commit()
        res.ok = True
    except ConversionError as exc:
        res.error = str(exc)
    except MemoryError:
        res.error = "out of memory"
    except Exception as exc:  # noqa: BLE001 - a bad tile must not stop the others
        res.error = f"{type(exc).__name__}: {exc}"
    finally:
        stage.discard()
    if not res.ok:
        res.vertices = res.faces = res.textures = 0
    return res

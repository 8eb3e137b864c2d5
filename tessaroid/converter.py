"""Convert 3D-tile glTF content into Wavefront OBJ files, MTL files and texture images.

The Python side of the converter: it finds the tiles (bare .glb/.gltf/.b3dm files or a
local tileset.json tree), parses their containers, works out where every mesh instance
sits in ECEF, and drives the native module `tessaroid._obj_writer` for the heavy work
(mesh extraction, CRS conversion, OBJ text, texture decoding and flipping, extent scan
and vertex shift). Tiles run in parallel on a thread pool (the native loops release
the interpreter lock) or on a Dask cluster.

Every output file is written under a temporary name in the output folder and renamed
into place once the whole tile is ready, so an interrupted or failed tile never leaves
half-written files or clobbers the output of an earlier run.
"""

from __future__ import annotations

import json
import os
import shutil
import sys
import time
import uuid
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Sequence

import numpy as np

from ._content import ConversionError, read_contents
from ._mesh import Y_UP_TO_Z_UP, Material, Plan, image_bytes, plan_tile
from ._tileset import WalkError, load_tileset, select_tiles

__all__ = ["convert", "Summary", "TileResult", "ConversionError", "SUPPORTED_CRS"]

SUPPORTED_CRS = ("EPSG:4978", "ECEF", "EPSG:3857", "EPSG:4326")
GEOGRAPHIC = "EPSG:4326"


def native():
    """The native module, imported on first use so `import tessaroid` and the CLI's
    help work without it."""
    try:
        from . import _obj_writer
    except ImportError as exc:
        raise ImportError(
            "the native module tessaroid._obj_writer is not available "
            f"({exc}); build it with tools/devbuild or install the package with pip") from exc
    return _obj_writer


def _draco_available() -> bool:
    try:
        import DracoPy  # noqa: F401, N813
    except ImportError:
        return False
    return True


# ---------------------------------------------------------------- data passed around

@dataclass(frozen=True)
class Options:
    crs: str = "EPSG:4978"
    texture_format: str = "png"
    jpeg_quality: int = 90
    merge: bool = False

    @property
    def as_png(self) -> bool:
        return self.texture_format == "png"

    @property
    def texture_ext(self) -> str:
        return "png" if self.as_png else "jpg"

    @property
    def geographic(self) -> bool:
        return self.crs.strip().upper() == GEOGRAPHIC


@dataclass(frozen=True)
class TileTask:
    index: int
    source: str
    name: str
    matrix: tuple  # 16 floats, row-major: tile frame -> ECEF
    y_up: bool = True


@dataclass
class MeshPart:
    """One tile's converted mesh, kept for writing into a merged OBJ."""

    name: str
    positions: np.ndarray
    texcoords: np.ndarray | None
    faces: np.ndarray  # 0-based
    groups: list[tuple[str, int, int, bool]]  # material name, first face, end face, with vt
    mtl: str


@dataclass
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
    part: MeshPart | None = None

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
    results: list[TileResult] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return self.failed == 0

    def line(self) -> str:
        parts = [f"{self.tiles} tile{'s' if self.tiles != 1 else ''}: {self.converted} converted"]
        if self.empty:
            parts.append(f"{self.empty} without triangles")
        if self.failed:
            parts.append(f"{self.failed} failed")
        return (", ".join(parts) + f"; {self.vertices} vertices, {self.faces} faces, "
                f"{self.textures} textures written in {self.seconds:.2f} s")


# ---------------------------------------------------------------- file writing

class _Staging:
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


# ---------------------------------------------------------------- one tile

def _rtc(asset) -> np.ndarray | None:
    if asset.rtc_center is not None:
        return asset.rtc_center
    ext = (asset.doc.get("extensions") or {}).get("CESIUM_RTC")
    if isinstance(ext, dict) and ext.get("center") is not None:
        c = np.asarray(ext["center"], dtype=np.float64)
        if c.shape != (3,) or not np.all(np.isfinite(c)):
            raise ConversionError("CESIUM_RTC center is not three finite numbers")
        return c
    return None


def _place(pos: np.ndarray, plan: Plan, pre: np.ndarray) -> None:
    """Move every instance's vertices from its node frame to ECEF, in place."""
    eye = np.eye(3)
    for v0, v1, node_m in plan.instances:
        m = pre @ node_m
        r, t = m[:3, :3], m[:3, 3]
        seg = pos[v0:v1]
        if not np.array_equal(r, eye):
            # einsum is several times faster than matmul for an (N, 3) x (3, 3) product.
            seg[:] = np.einsum("ij,nj->ni", r, seg, optimize=False)
        if t.any():
            seg += t


def _texcoords(tc: np.ndarray | None, plan: Plan) -> np.ndarray | None:
    if tc is None:
        return None
    for p in plan.prims:
        m = plan.materials[p.material].uv_matrix
        if p.has_texcoord and m is not None:
            rows = tc[p.v0:p.v0 + p.vcount]
            rows[:] = rows @ m[:2, :2].T + m[:2, 2]
    return tc


def _groups(plan: Plan, mat_names: dict[int, str]) -> list[tuple[str, int, int, bool]]:
    """Face runs sharing a material and a vt use: (material name, f0, f1, with_vt)."""
    groups: list[tuple[str, int, int, bool]] = []
    for p in plan.prims:
        if p.fcount == 0:
            continue
        name = mat_names[p.material]
        if groups and groups[-1][0] == name and groups[-1][3] == p.has_texcoord and groups[-1][2] == p.f0:
            groups[-1] = (name, groups[-1][1], p.f0 + p.fcount, p.has_texcoord)
        else:
            groups.append((name, p.f0, p.f0 + p.fcount, p.has_texcoord))
    return groups


def convert_tile(task: TileTask, opts: Options, out_dir: str) -> TileResult:
    """Convert one tile; never raises: failures come back in the result."""
    res = TileResult(index=task.index, source=task.source, name=task.name)
    stage = _Staging(Path(out_dir))
    try:
        _convert_tile(task, opts, stage, res)
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
        res.part = None
    return res


@dataclass
class _AssetMesh:
    asset: object
    plan: Plan
    pos: np.ndarray
    faces: np.ndarray
    tc: np.ndarray | None


def _asset_mesh(ow, asset, task: TileTask, opts: Options, res: TileResult) -> _AssetMesh | None:
    """Extract, validate, place in ECEF and convert one glTF asset of a tile."""
    plan = plan_tile(asset, _draco_available())
    res.notes += plan.skipped
    if plan.total_vertices == 0:
        return None
    try:
        arrays = ow.extract_mesh_arrays(plan.subdoc, plan.bin_chunk)
    except (ValueError, IndexError, OverflowError) as exc:
        # Reads outside the data, index values beyond their primitive's vertices,
        # unknown component types or modes, counts too large.
        raise ConversionError(f"invalid mesh data: {exc}") from None
    if arrays is None:
        return None
    pos, faces, tc = arrays[0], arrays[1], arrays[2]
    if pos.shape != (plan.total_vertices, 3) or faces.shape != (plan.total_faces, 3):
        raise ConversionError(
            f"mesh extraction gave {pos.shape[0]} vertices / {faces.shape[0]} faces, "
            f"expected {plan.total_vertices} / {plan.total_faces}")
    pre = np.asarray(task.matrix, dtype=np.float64).reshape(4, 4)
    rtc = _rtc(asset)
    if rtc is not None:
        t = np.eye(4)
        t[:3, 3] = rtc
        pre = pre @ t
    if task.y_up:
        pre = pre @ Y_UP_TO_Z_UP
    _place(pos, plan, pre)
    ow.convert_crs(pos, opts.crs)
    if not np.all(np.isfinite(pos)):
        raise ConversionError("some positions are not finite after placing and converting them")
    return _AssetMesh(asset=asset, plan=plan, pos=pos, faces=faces, tc=_texcoords(tc, plan))


def _convert_tile(task: TileTask, opts: Options, stage: _Staging, res: TileResult) -> None:
    ow = native()
    meshes = [m for m in (_asset_mesh(ow, a, task, opts, res)
                          for a in read_contents(Path(task.source), res.notes)) if m is not None]
    if not meshes:
        res.notes.append("no triangle geometry")
        return
    several = len(meshes) > 1
    prefix = f"{task.name}_" if opts.merge else ""
    mat_names: dict[tuple[int, int], str] = {}
    used: list[tuple[int, int]] = []
    groups: list[tuple[str, int, int, bool]] = []
    tex_files: dict[tuple[int, int], str] = {}
    v_base = f_base = 0
    for ai, m in enumerate(meshes):
        plan = m.plan
        tag = f"a{ai}_" if several else ""
        names = {}
        for p in plan.prims:
            if p.fcount and (ai, p.material) not in mat_names:
                used.append((ai, p.material))
                mat_names[(ai, p.material)] = prefix + tag + plan.materials[p.material].name
            names[p.material] = mat_names.get((ai, p.material), "")
        groups += [(n, f0 + f_base, f1 + f_base, vt) for n, f0, f1, vt in _groups(plan, names)]
        # Textures of the materials some triangle uses, each image decoded once.
        for key in [u for u in used if u[0] == ai]:
            img = plan.materials[key[1]].image
            if img is None or (ai, img) in tex_files:
                continue
            data = image_bytes(m.asset, img)
            dec = ow.DecodedTexture()
            if not dec.decode(data):
                raise ConversionError(f"image {img} could not be decoded (not a readable PNG/JPEG/BMP/GIF, "
                                      "or corrupt)")
            fname = f"{task.name}_{tag}img{img}.{opts.texture_ext}"
            tmp, _ = stage.temp_for(fname)
            if not dec.flip_and_save(str(tmp), opts.as_png, opts.jpeg_quality):
                raise ConversionError(f"could not write texture {fname}")
            tex_files[(ai, img)] = fname
        if several:
            m.faces += v_base
        v_base += len(m.pos)
        f_base += len(m.faces)
    if several:
        pos = np.concatenate([m.pos for m in meshes])
        faces = np.concatenate([m.faces for m in meshes])
        tc = None
        if any(m.tc is not None for m in meshes):
            tc = np.concatenate([m.tc if m.tc is not None else np.zeros((len(m.pos), 2)) for m in meshes])
    else:
        pos, faces, tc = meshes[0].pos, meshes[0].faces, meshes[0].tc
    mtl_entries = []
    for ai, k in used:
        mat = meshes[ai].plan.materials[k]
        mtl_entries.append((mat_names[(ai, k)], mat, tex_files.get((ai, mat.image))))
    res.vertices, res.faces, res.textures = len(pos), len(faces), len(tex_files)

    if opts.merge:
        res.part = MeshPart(name=task.name, positions=pos, texcoords=tc, faces=faces, groups=groups,
                            mtl=_mtl_text(mtl_entries))
        return

    faces += 1  # OBJ numbering starts at 1
    header = (f"# tessaroid: {Path(task.source).name!r}\n# crs {opts.crs.strip()!r}\n"
              f"mtllib {task.name}.mtl\no {task.name}\n").encode("utf-8")
    chunks = [header, _vertex_lines(ow, pos, opts)]
    if tc is not None:
        chunks.append(_texcoord_lines(ow, tc))
    for name, f0, f1, with_vt in groups:
        chunks.append(f"usemtl {name}\n".encode("utf-8"))
        chunks.append(_face_lines(ow, faces[f0:f1], with_vt and tc is not None))
    stage.write(f"{task.name}.mtl", [_mtl_text(mtl_entries).encode("utf-8")])
    stage.write(f"{task.name}.obj", chunks)


# ---------------------------------------------------------------- merged output

def _write_merged(parts: list[MeshPart], out_dir: Path, name: str, opts: Options) -> list[str]:
    ow = native()
    stage = _Staging(out_dir)
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


# ---------------------------------------------------------------- recentering

def _recenter(obj_files: list[str], out_dir: Path, opts: Options) -> tuple[tuple[float, float, float], str]:
    ow = native()
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


# ---------------------------------------------------------------- gathering tasks

def _gather(inputs: Sequence[str | os.PathLike], leaves: bool, max_depth: int | None,
            bbox) -> tuple[list[tuple[Path, np.ndarray, bool, Path | None]], list[WalkError]]:
    items: list[tuple[Path, np.ndarray, bool, Path | None]] = []
    errors: list[WalkError] = []
    for inp in inputs:
        p = Path(inp)
        if p.is_dir() and (p / "tileset.json").is_file():
            p = p / "tileset.json"
        if p.suffix.lower() == ".json" and not _looks_like_gltf(p):
            root, errs = load_tileset(p, max_depth=max_depth)
            errors += errs
            if root is not None:
                for s in select_tiles(root, leaves=leaves, max_depth=max_depth, bbox=bbox):
                    items.append((s.path, s.matrix, s.y_up, p.resolve().parent))
        else:
            items.append((p, np.eye(4), True, None))
    return items, errors


def _looks_like_gltf(p: Path) -> bool:
    try:
        with open(p, "rb") as fh:
            head = fh.read(4096)
    except OSError:
        return False
    return b'"root"' not in head and (b'"meshes"' in head or b'"accessors"' in head)


def _names(items) -> list[str]:
    from ._tileset import output_names

    return output_names([it[0] for it in items], [it[3] for it in items])


# ---------------------------------------------------------------- running

def _run_threads(tasks, opts, out_dir, workers, bar) -> list[TileResult]:
    results: list[TileResult | None] = [None] * len(tasks)
    with ThreadPoolExecutor(max_workers=max(1, workers)) as pool:
        futures = {pool.submit(convert_tile, t, opts, str(out_dir)): t.index for t in tasks}
        for fut in as_completed(futures):
            results[futures[fut]] = fut.result()
            bar.update(1)
    return results  # type: ignore[return-value]


def _run_dask(tasks, opts, out_dir, scheduler, bar) -> list[TileResult]:
    try:
        from distributed import Client, as_completed as dask_completed
    except ImportError:
        raise ImportError("--dask needs Dask's distributed scheduler: pip install 'tessaroid[dask]'") from None
    own = not isinstance(scheduler, Client)
    client = Client(scheduler) if own else scheduler
    try:
        futures = [client.submit(convert_tile, t, opts, str(out_dir), pure=False) for t in tasks]
        index = {f.key: t.index for f, t in zip(futures, tasks)}
        results: list[TileResult | None] = [None] * len(tasks)
        for fut in dask_completed(futures):
            try:
                results[index[fut.key]] = fut.result()
            except Exception as exc:  # noqa: BLE001 - a lost worker fails its tile only
                t = tasks[index[fut.key]]
                results[t.index] = TileResult(index=t.index, source=t.source, name=t.name,
                                              error=f"Dask task failed: {type(exc).__name__}: {exc}")
            bar.update(1)
        return results  # type: ignore[return-value]
    finally:
        if own:
            client.close()


class _NoBar:
    def update(self, n: int) -> None:
        pass

    def close(self) -> None:
        pass


def convert(
    inputs: str | os.PathLike | Sequence[str | os.PathLike],
    output_dir: str | os.PathLike,
    *,
    crs: str = "EPSG:4978",
    texture_format: str = "png",
    jpeg_quality: int = 90,
    leaves: bool = False,
    max_depth: int | None = None,
    bbox: tuple[float, float, float, float] | None = None,
    merge: bool | str = False,
    recenter: bool = False,
    workers: int | None = None,
    dask=None,
    progress: bool = False,
) -> Summary:
    """Convert tiles into OBJ + MTL + texture files in `output_dir`.

    inputs: one path or a list of paths: .glb, .gltf (external .bin/images or data:
        URIs), .b3dm and .cmpt (composite of b3dm/glb) files, or local tileset.json
        files (a folder holding a tileset.json counts as that tile set).
    crs: "EPSG:4978" (ECEF, the default), "EPSG:3857" (Web Mercator) or "EPSG:4326"
        (longitude and latitude in degrees, written with nine decimals, and height).
    texture_format: "png" (default) or "jpeg"; jpeg_quality 1..100.
    leaves: only the finest level of detail of each tile set (tiles with content and
        no content-bearing descendant); max_depth: only tiles down to this depth
        (the root is depth 0); bbox: (west, south, east, north) in degrees, only tiles
        whose bounding volume meets it. These apply to tile sets, not to bare files.
    merge: write all selected tiles into one OBJ (named "merged", or the given name)
        with one material group per tile material, instead of one OBJ per tile.
    recenter: move all written OBJ files by the centre of their common extent and
        write that offset into offset.json (add it back to restore the coordinates).
    workers: thread-pool size (default: the CPU count). dask: a Dask scheduler address
        or a distributed.Client; tiles then run on that cluster, which must share the
        output folder.
    progress: show a progress bar on stderr (only when stderr is a terminal).

    Returns a Summary; a tile that fails is listed in Summary.failures with its reason
    and the others are still converted.
    """
    t0 = time.perf_counter()
    crs = "EPSG:4978" if crs is None else str(crs)
    if crs.strip().upper() not in ("",) + SUPPORTED_CRS:
        raise ValueError(f"unsupported CRS {crs!r}; choose one of {', '.join(SUPPORTED_CRS)}")
    texture_format = texture_format.lower()
    if texture_format == "jpg":
        texture_format = "jpeg"
    if texture_format not in ("png", "jpeg"):
        raise ValueError(f"unsupported texture format {texture_format!r}; choose png or jpeg")
    if not 1 <= int(jpeg_quality) <= 100:
        raise ValueError("jpeg_quality must lie in 1..100")
    if max_depth is not None and max_depth < 0:
        raise ValueError("max_depth must be 0 or more")
    if bbox is not None:
        bbox = tuple(float(v) for v in bbox)  # type: ignore[assignment]
        if len(bbox) != 4 or not (-90 <= bbox[1] <= bbox[3] <= 90) or not all(-180 <= v <= 180 for v in bbox[::2]):
            raise ValueError("bbox must be WEST,SOUTH,EAST,NORTH in degrees with SOUTH <= NORTH")
    opts = Options(crs=crs, texture_format=texture_format, jpeg_quality=int(jpeg_quality), merge=bool(merge))
    if recenter and opts.geographic:
        raise ValueError("--recenter needs a metric CRS: the shift rewrites vertices with six decimals, "
                         "about 0.1 m in degrees; use EPSG:4978 or EPSG:3857")
    merge_name = merge if isinstance(merge, str) and merge else "merged"
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    out_dir = Path(output_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    native()  # fail early and clearly when the module is missing

    items, walk_errors = _gather(list(inputs), leaves, max_depth, bbox)
    names = _names(items)
    tasks = [TileTask(index=i, source=str(path), name=name, matrix=tuple(m.ravel().tolist()), y_up=y_up)
             for i, ((path, m, y_up, _), name) in enumerate(zip(items, names))]

    bar = _NoBar()
    if progress and sys.stderr.isatty() and tasks:
        from tqdm import tqdm

        bar = tqdm(total=len(tasks), unit="tile", file=sys.stderr, leave=False)
    try:
        if dask is not None:
            results = _run_dask(tasks, opts, out_dir, dask, bar)
        else:
            results = _run_threads(tasks, opts, out_dir, workers or os.cpu_count() or 1, bar)
    finally:
        bar.close()

    summary = Summary(tiles=len(tasks) + len(walk_errors), output_dir=str(out_dir), results=results)
    for e in walk_errors:
        summary.failed += 1
        summary.failures.append((e.source, e.reason))
    for r in results:
        if not r.ok:
            summary.failed += 1
            summary.failures.append((r.source, r.error or "unknown error"))
            continue
        summary.notes += [f"{r.source}: {n}" for n in r.notes]
        if r.empty:
            summary.empty += 1
            continue
        summary.converted += 1
        summary.vertices += r.vertices
        summary.faces += r.faces
        summary.textures += r.textures
        summary.obj_files += [f for f in r.files if f.endswith(".obj")]

    if opts.merge:
        parts = [r.part for r in results if r.ok and r.part is not None]
        if parts:
            try:
                files = _write_merged(parts, out_dir, merge_name, opts)
            except (ConversionError, OSError) as exc:
                summary.failed += 1
                summary.failures.append((str(out_dir / f"{merge_name}.obj"), str(exc)))
                files = []
            summary.obj_files = [f for f in files if f.endswith(".obj")]
    if recenter and summary.obj_files:
        summary.offset, summary.offset_file = _recenter(summary.obj_files, out_dir, opts)
    for r in results:
        r.part = None
    summary.seconds = time.perf_counter() - t0
    return summary

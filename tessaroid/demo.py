"""A small textured 3D tile set generated from scratch, and its conversion.

`python -m tessaroid.demo` writes a terrain tile set around Mount Fuji into
./demo-out/tileset (unless it is already there): a quadtree of glTF (.glb) tiles with
ECEF positions, a PNG texture per tile and region bounding volumes, three levels deep.
It then converts it into ./demo-out/obj and prints where the OBJ files went.

The generator needs only NumPy and the standard library (the PNG files are written
with zlib), so it runs on a fresh clone. The tests use it too.
"""

from __future__ import annotations

import json
import math
import struct
import sys
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .volumes import geodetic_to_ecef  # noqa: F401  (the tests and benches take it from here too)

# Mount Fuji, Japan: the summit and the size of the area covered.
CENTRE_LON, CENTRE_LAT = 138.7274, 35.3606
HALF_SIZE_DEG = 0.08


def png_bytes(rgb: np.ndarray) -> bytes:
    """Encode an (H, W, 3) or (H, W, 4) uint8 array as PNG, with zlib only."""
    h, w, c = rgb.shape
    colour_type = {3: 2, 4: 6}[c]
    raw = b"".join(b"\0" + rgb[y].tobytes() for y in range(h))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, colour_type, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def build_glb(positions: np.ndarray, indices: np.ndarray, texcoords: np.ndarray | None = None,
              image: bytes | None = None, mime: str = "image/png", extensions: dict | None = None,
              nodes: list[dict] | None = None) -> bytes:
    """A GLB with one mesh of one triangle primitive (float32 positions, optional
    TEXCOORD_0 and a base-colour texture), drawn by `nodes` (default: one plain node)."""
    positions = np.ascontiguousarray(positions, dtype="<f4")
    idx_type, idx_dtype = (5123, "<u2") if positions.shape[0] < 65536 else (5125, "<u4")
    indices = np.ascontiguousarray(indices, dtype=idx_dtype).ravel()
    blobs: list[bytes] = []
    views: list[dict] = []

    def add(data: bytes, target: int | None = None) -> int:
        off = sum(len(b) for b in blobs)
        pad = (-off) % 4
        if pad:
            blobs.append(b"\0" * pad)
            off += pad
        blobs.append(data)
        view = {"buffer": 0, "byteOffset": off, "byteLength": len(data)}
        if target:
            view["target"] = target
        views.append(view)
        return len(views) - 1

    accessors = [{"bufferView": add(positions.tobytes(), 34962), "componentType": 5126,
                  "count": len(positions), "type": "VEC3",
                  "min": positions.min(axis=0).tolist(), "max": positions.max(axis=0).tolist()},
                 {"bufferView": add(indices.tobytes(), 34963), "componentType": idx_type,
                  "count": len(indices), "type": "SCALAR"}]
    prim: dict = {"attributes": {"POSITION": 0}, "indices": 1, "mode": 4}
    doc: dict = {"asset": {"version": "2.0", "generator": "tessaroid demo"}, "scene": 0}
    if texcoords is not None:
        tc = np.ascontiguousarray(texcoords, dtype="<f4")
        accessors.append({"bufferView": add(tc.tobytes(), 34962), "componentType": 5126,
                          "count": len(tc), "type": "VEC2"})
        prim["attributes"]["TEXCOORD_0"] = 2
    if image is not None:
        doc["images"] = [{"bufferView": add(image), "mimeType": mime}]
        doc["samplers"] = [{"magFilter": 9729, "minFilter": 9729}]
        doc["textures"] = [{"sampler": 0, "source": 0}]
        doc["materials"] = [{"pbrMetallicRoughness": {"baseColorTexture": {"index": 0},
                                                      "metallicFactor": 0.0}}]
        prim["material"] = 0
    nodes = nodes if nodes is not None else [{"mesh": 0}]
    kids = {c for n in nodes for c in n.get("children", [])}
    doc.update({"scenes": [{"nodes": [i for i in range(len(nodes)) if i not in kids]}], "nodes": nodes,
                "meshes": [{"primitives": [prim]}], "accessors": accessors, "bufferViews": views})
    binary = b"".join(blobs)
    binary += b"\0" * ((-len(binary)) % 4)
    doc["buffers"] = [{"byteLength": len(binary)}]
    if extensions:
        doc["extensions"] = extensions
        doc["extensionsUsed"] = list(extensions)
    js = json.dumps(doc, separators=(",", ":")).encode()
    js += b" " * ((-len(js)) % 4)
    total = 12 + 8 + len(js) + 8 + len(binary)
    return (struct.pack("<4sII", b"glTF", 2, total) + struct.pack("<II", len(js), 0x4E4F534A) + js
            + struct.pack("<II", len(binary), 0x004E4942) + binary)


def wrap_b3dm(glb: bytes, rtc_center=None) -> bytes:
    """A b3dm with the current 28-byte header and an optional RTC_CENTER."""
    ft = {"BATCH_LENGTH": 0}
    if rtc_center is not None:
        ft["RTC_CENTER"] = [float(v) for v in rtc_center]
    ft_json = json.dumps(ft).encode()
    ft_json += b" " * ((-(28 + len(ft_json))) % 8)
    total = 28 + len(ft_json) + len(glb)
    return struct.pack("<4sIIIIII", b"b3dm", 1, total, len(ft_json), 0, 0, 0) + ft_json + glb


def terrain_height(lon, lat) -> np.ndarray:
    """A volcano-like cone with a crater, in metres above the ellipsoid."""
    dx = (lon - CENTRE_LON) * math.cos(math.radians(CENTRE_LAT)) * 111.0
    dy = (lat - CENTRE_LAT) * 111.0
    r = np.hypot(dx, dy)  # km
    cone = 3776.0 * np.exp(-(r / 6.0) ** 1.6) + 600.0
    return cone - 220.0 * np.exp(-(r / 0.35) ** 2)


def tile_texture(size: int, heights: np.ndarray, seed: int) -> np.ndarray:
    """Hypsometric colours from the heights, with grid lines and a corner marker
    (top-left red block) so that flips and mirroring are visible."""
    hs = heights.shape[0]
    yy, xx = np.mgrid[0:size, 0:size]
    hi = heights[np.minimum(yy * hs // size, hs - 1), np.minimum(xx * hs // size, hs - 1)]
    t = np.clip((hi - 500.0) / 3400.0, 0, 1)[..., None]
    low, mid, top = np.array([70, 130, 60.0]), np.array([140, 100, 70.0]), np.array([245, 245, 250.0])
    rgb = np.where(t < 0.6, low + (mid - low) * (t / 0.6), mid + (top - mid) * ((t - 0.6) / 0.4))
    step = max(size // 8, 1)
    rgb[(yy % step == 0) | (xx % step == 0)] *= 0.6
    m = max(size // 8, 1)
    rgb[:m, :m] = (220, 30 + (seed * 40) % 200, 30)
    return np.clip(rgb, 0, 255).astype(np.uint8)


@dataclass
class DemoTile:
    name: str
    uri: str
    depth: int
    region: list[float]
    ecef: np.ndarray  # exact ECEF of every vertex as stored (centre + float32 offsets)
    texcoords: np.ndarray
    texture: np.ndarray  # RGB as encoded in the tile, top row first
    faces: int
    children: list["DemoTile"] = field(default_factory=list)


def make_demo_tileset(out_dir: str | Path, *, levels: int = 3, grid: int = 33, texture_size: int = 256,
                      content: str = "glb", placement: str = "transform",
                      half_size_deg: float = HALF_SIZE_DEG) -> list[DemoTile]:
    """Write tileset.json and its tiles into out_dir; return the tiles (depth-first).

    A quadtree `levels` deep; each tile is a grid x grid height field. content:
    "glb" or "b3dm". placement: "transform" (tile centre in the tile's `transform`),
    or "rtc" (CESIUM_RTC in the glb, RTC_CENTER in the b3dm)."""
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    tiles: list[DemoTile] = []
    y_from_z = np.array([[1, 0, 0], [0, 0, 1], [0, -1, 0]], dtype=np.float64)  # z-up -> y-up

    def make(w, s, e, n, depth, path) -> dict:
        lon = np.linspace(w, e, grid)
        lat = np.linspace(n, s, grid)  # row 0 is the northern edge
        glon, glat = np.meshgrid(lon, lat)
        hgt = terrain_height(glon, glat)
        ecef = geodetic_to_ecef(glon, glat, hgt).reshape(-1, 3)
        centre = np.round(ecef.mean(axis=0), 3)
        local = ((ecef - centre) @ y_from_z.T).astype(np.float32)
        exact = centre + local.astype(np.float64) @ y_from_z  # y-up back to z-up (inverse = transpose)
        u = (glon - w) / (e - w)
        v = (n - glat) / (n - s)
        tc = np.stack([u, v], axis=-1).reshape(-1, 2).astype(np.float32)
        r, c = np.mgrid[0:grid - 1, 0:grid - 1]
        a = (r * grid + c).ravel()
        tris = np.concatenate([np.stack([a, a + grid, a + 1], 1), np.stack([a + 1, a + grid, a + grid + 1], 1)])
        name = "tile_" + ("_".join(path) if path else "root")
        tex = tile_texture(texture_size, hgt, len(tiles))
        ext = {"CESIUM_RTC": {"center": centre.tolist()}} if placement == "rtc" and content == "glb" else None
        glb = build_glb(local, tris, tc, png_bytes(tex), extensions=ext)
        if content == "b3dm":
            data, fname = wrap_b3dm(glb, centre if placement == "rtc" else None), f"{name}.b3dm"
        else:
            data, fname = glb, f"{name}.glb"
        sub = "/".join(f"L{depth}" for _ in [0]) if depth else ""
        rel = f"{sub}/{fname}" if sub else fname
        (out / rel).parent.mkdir(parents=True, exist_ok=True)
        (out / rel).write_bytes(data)
        region = [math.radians(w), math.radians(s), math.radians(e), math.radians(n),
                  float(hgt.min()), float(hgt.max())]
        tile = DemoTile(name=name, uri=rel, depth=depth, region=region, ecef=exact,
                        texcoords=tc.astype(np.float64), texture=tex, faces=len(tris))
        tiles.append(tile)
        js: dict = {"boundingVolume": {"region": region}, "geometricError": 2000.0 / 2 ** depth,
                    "refine": "REPLACE", "content": {"uri": rel}}
        if placement == "transform":
            m = np.eye(4)
            m[:3, 3] = centre
            js["transform"] = m.T.ravel().tolist()  # column-major
        if depth + 1 < levels:
            midlon, midlat = (w + e) / 2, (s + n) / 2
            quads = [(w, s, midlon, midlat), (midlon, s, e, midlat), (w, midlat, midlon, n), (midlon, midlat, e, n)]
            kids = []
            for k, q in enumerate(quads):
                child = make(*q, depth + 1, path + [str(k)])
                if placement == "transform":
                    # Child transforms are relative to the parent's.
                    parent_t = np.array(js["transform"]).reshape(4, 4).T
                    ct = np.array(child["transform"]).reshape(4, 4).T
                    child["transform"] = (np.linalg.inv(parent_t) @ ct).T.ravel().tolist()
                kids.append(child)
            js["children"] = kids
        return js

    w, e = CENTRE_LON - half_size_deg, CENTRE_LON + half_size_deg
    s, n = CENTRE_LAT - half_size_deg, CENTRE_LAT + half_size_deg
    root = make(w, s, e, n, 0, [])
    tileset = {"asset": {"version": "1.0", "generator": "tessaroid demo"}, "geometricError": 4000.0,
               "root": root}
    (out / "tileset.json").write_text(json.dumps(tileset, indent=1) + "\n", encoding="utf-8")
    return tiles


def main(argv: list[str] | None = None) -> int:
    base = Path("demo-out")
    tileset_dir = base / "tileset"
    obj_dir = base / "obj"
    if not (tileset_dir / "tileset.json").is_file():
        tiles = make_demo_tileset(tileset_dir)
        print(f"generated a demo tile set of {len(tiles)} tiles around Mount Fuji in {tileset_dir}/")
    from .converter import convert

    summary = convert(tileset_dir / "tileset.json", obj_dir, progress=True)
    print(summary.line())
    for src, reason in summary.failures:
        print(f"failed: {src}: {reason}", file=sys.stderr)
    print(f"OBJ files written to {obj_dir.resolve()}/ ({len(summary.obj_files)} files, "
          f"e.g. {Path(summary.obj_files[0]).name if summary.obj_files else '-'})")
    return 1 if summary.failed else 0


if __name__ == "__main__":
    sys.exit(main())

"""From a parsed glTF asset to the request the native mesh extractor understands.

`extract_mesh_arrays` takes every primitive of every mesh listed under `meshes`, in
order, reads POSITION and TEXCOORD_0 as float32 and indices as uint16/uint32 from one
binary chunk, and treats every primitive as a triangle list. A glTF tile is richer
than that: meshes are placed by a node hierarchy (one mesh may be drawn by several
nodes), primitives may be strips or fans, quantized or sparse or Draco-compressed,
indices may be bytes, and the data may sit in several buffers.

So each tile gets a *sub-document* built here: its `meshes` list holds one entry per
node instance of a mesh (in scene order), each listing only the primitives that make
triangles, with the texture-coordinate set the material samples renamed TEXCOORD_0.
Accessors the extractor reads natively keep pointing at the original bytes; anything
else is decoded with NumPy and appended, as float32 or uint32, to the chunk. The plan
records where each primitive and each instance lands in the concatenated arrays, so
the caller can place every instance with its own matrix and split faces by material.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from ._content import ConversionError, GltfAsset, read_uri

FLOAT, UBYTE, USHORT, UINT = 5126, 5121, 5123, 5125
COMPONENT_DTYPES = {5120: "i1", 5121: "u1", 5122: "<i2", 5123: "<u2", 5125: "<u4", 5126: "<f4"}
TYPE_WIDTHS = {"SCALAR": 1, "VEC2": 2, "VEC3": 3, "VEC4": 4, "MAT2": 4, "MAT3": 9, "MAT4": 16}
TRIANGLES, TRIANGLE_STRIP, TRIANGLE_FAN = 4, 5, 6
MODE_NAMES = {0: "points", 1: "lines", 2: "line loop", 3: "line strip"}

# glTF is y-up; 3D Tiles (and ECEF) are z-up: (x, y, z) -> (x, -z, y).
Y_UP_TO_Z_UP = np.array([[1.0, 0.0, 0.0, 0.0],
                         [0.0, 0.0, -1.0, 0.0],
                         [0.0, 1.0, 0.0, 0.0],
                         [0.0, 0.0, 0.0, 1.0]])

# Extensions whose presence changes nothing for OBJ output, or which this code reads.
KNOWN_EXTENSIONS = {
    "KHR_mesh_quantization", "CESIUM_RTC", "KHR_texture_transform", "KHR_materials_unlit",
    "KHR_materials_pbrSpecularGlossiness", "KHR_materials_emissive_strength",
    "KHR_materials_ior", "KHR_materials_specular", "KHR_materials_transmission",
    "KHR_materials_volume", "KHR_materials_clearcoat", "KHR_materials_sheen",
    "KHR_materials_variants", "KHR_materials_iridescence", "KHR_materials_anisotropy",
    "KHR_lights_punctual", "KHR_xmp_json_ld", "KHR_animation_pointer",
    "EXT_mesh_features", "EXT_structural_metadata", "EXT_feature_metadata",
    "EXT_instance_features", "CESIUM_primitive_outline", "KHR_techniques_webgl",
}
UNREADABLE_EXTENSIONS = {
    "EXT_meshopt_compression": "EXT_meshopt_compression (meshoptimizer-compressed buffers) cannot be decoded",
    "KHR_meshopt_compression": "KHR_meshopt_compression (meshoptimizer-compressed buffers) cannot be decoded",
    "KHR_texture_basisu": "KHR_texture_basisu images (KTX2 / Basis Universal) cannot be decoded",
    "EXT_texture_webp": "EXT_texture_webp images (WebP) cannot be decoded",
    "EXT_texture_avif": "EXT_texture_avif images (AVIF) cannot be decoded",
    "MSFT_texture_dds": "MSFT_texture_dds images (DDS) cannot be decoded",
    "EXT_mesh_gpu_instancing": "EXT_mesh_gpu_instancing (GPU instancing) is not supported",
}
DRACO = "KHR_draco_mesh_compression"
DRACO_MISSING = ("uses KHR_draco_mesh_compression; install DracoPy "
                 "(pip install 'tessaroid[draco]') to convert Draco-compressed tiles")


@dataclass
class Material:
    """What the MTL file needs of one glTF material."""

    index: int  # glTF material index, -1 for the default material
    name: str
    rgba: tuple[float, float, float, float] = (1.0, 1.0, 1.0, 1.0)
    image: int | None = None  # glTF image index of the base colour texture
    texcoord: int = 0
    uv_matrix: np.ndarray | None = None  # KHR_texture_transform, 3x3


@dataclass
class PrimSlot:
    """Where one primitive of one instance lands in the extracted arrays."""

    v0: int
    vcount: int
    f0: int
    fcount: int
    material: int  # key into Plan.materials
    has_texcoord: bool


@dataclass
class Plan:
    subdoc: dict
    bin_chunk: bytes
    prims: list[PrimSlot]
    # (first vertex, end vertex, 4x4 matrix from glTF node space to tile-set space)
    instances: list[tuple[int, int, np.ndarray]]
    materials: dict[int, Material]
    total_vertices: int
    total_faces: int
    skipped: list[str] = field(default_factory=list)  # notes about primitives left out


def _get_list(doc: dict, key: str) -> list:
    val = doc.get(key)
    if val is None:
        return []
    if not isinstance(val, list):
        raise ConversionError(f"glTF '{key}' is not a list")
    return val


def _item(lst: list, idx, what: str) -> dict:
    if isinstance(idx, bool) or not isinstance(idx, int) or not 0 <= idx < len(lst):
        raise ConversionError(f"{what} index {idx!r} is out of range (0..{len(lst) - 1})")
    item = lst[idx]
    if not isinstance(item, dict):
        raise ConversionError(f"{what} {idx} is not an object")
    return item


def check_extensions(doc: dict, draco_available: bool) -> None:
    """Refuse documents that require an extension whose data this code cannot read."""
    required = doc.get("extensionsRequired") or []
    for ext in required:
        if ext == DRACO:
            if not draco_available:
                raise ConversionError(f"the tile {DRACO_MISSING}")
        elif ext in UNREADABLE_EXTENSIONS:
            raise ConversionError(f"the tile requires {UNREADABLE_EXTENSIONS[ext]}")
        elif ext not in KNOWN_EXTENSIONS:
            raise ConversionError(f"the tile requires the glTF extension {ext}, which tessaroid cannot read")


# ---------------------------------------------------------------- node placement

def _quat_matrix(q) -> np.ndarray:
    x, y, z, w = (float(v) for v in q)
    n = math.sqrt(x * x + y * y + z * z + w * w)
    if n == 0.0:
        return np.eye(3)
    x, y, z, w = x / n, y / n, z / n, w / n
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
        [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
        [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
    ])


def local_matrix(node: dict) -> np.ndarray:
    """The node's local transform: `matrix` (column-major) or translation * rotation * scale."""
    try:
        if "matrix" in node:
            m = np.asarray(node["matrix"], dtype=np.float64)
            if m.shape != (16,):
                raise ConversionError("node matrix does not have 16 numbers")
            return m.reshape(4, 4).T.copy()
        out = np.eye(4)
        rs = _quat_matrix(node.get("rotation", (0, 0, 0, 1)))
        s = np.asarray(node.get("scale", (1, 1, 1)), dtype=np.float64)
        out[:3, :3] = rs * s[None, :]
        out[:3, 3] = np.asarray(node.get("translation", (0, 0, 0)), dtype=np.float64)
        return out
    except (TypeError, ValueError):
        raise ConversionError("node transform is not numeric") from None


def mesh_instances(doc: dict) -> list[tuple[int, np.ndarray]]:
    """(mesh index, node-to-glTF-root matrix) for every mesh drawn by the default scene,
    in depth-first scene order. Without scenes or nodes every mesh is drawn once."""
    nodes = _get_list(doc, "nodes")
    scenes = _get_list(doc, "scenes")
    meshes = _get_list(doc, "meshes")
    if scenes:
        si = doc.get("scene", 0)
        if not isinstance(si, int) or not 0 <= si < len(scenes):
            si = 0
        roots = (scenes[si] or {}).get("nodes") or []
    elif nodes:
        children = {c for n in nodes if isinstance(n, dict) for c in (n.get("children") or [])}
        roots = [i for i in range(len(nodes)) if i not in children]
    else:
        return [(i, np.eye(4)) for i in range(len(meshes))]
    out = []
    stack = [(r, np.eye(4), ()) for r in reversed(roots)]
    while stack:
        ni, parent, path = stack.pop()
        if ni in path:
            raise ConversionError(f"node {ni} is its own ancestor (cycle in the node tree)")
        node = _item(nodes, ni, "node")
        world = parent @ local_matrix(node)
        mi = node.get("mesh")
        if mi is not None:
            _item(meshes, mi, "mesh")
            out.append((mi, world))
        kids = node.get("children") or []
        for c in reversed(kids):
            stack.append((c, world, path + (ni,)))
    return out


# ---------------------------------------------------------------- accessors

def view_data(asset: GltfAsset, view_index, what: str) -> tuple[dict, bytes, int, int]:
    """(view, buffer bytes, view start, view end) with the view's byte range checked."""
    views = _get_list(asset.doc, "bufferViews")
    view = _item(views, view_index, f"{what}: bufferView")
    bi = view.get("buffer", 0)
    bufs = asset.buffers
    if not isinstance(bi, int) or not 0 <= bi < len(bufs):
        raise ConversionError(f"{what}: buffer index {bi!r} is out of range")
    data = bufs[bi]
    if data is None:
        ext = (view.get("extensions") or {})
        for name in ("EXT_meshopt_compression", "KHR_meshopt_compression"):
            if name in ext:
                raise ConversionError(f"{what}: {UNREADABLE_EXTENSIONS[name]}")
        raise ConversionError(f"{what}: buffer {bi} has no data")
    try:
        start = int(view.get("byteOffset", 0))
        length = int(view.get("byteLength", 0))
    except (TypeError, ValueError):
        raise ConversionError(f"{what}: bufferView {view_index} has a non-numeric offset or length") from None
    if start < 0 or length < 0 or start + length > len(data):
        raise ConversionError(f"{what}: bufferView {view_index} runs past the end of buffer {bi}")
    return view, data, start, start + length


class _Chunk:
    """The binary chunk handed to the extractor: the tile's buffer(s) plus decoded extras."""

    def __init__(self, asset: GltfAsset):
        self.asset = asset
        bufs = asset.buffers
        present = [i for i, b in enumerate(bufs) if b is not None]
        self.base_offsets: dict[int, int] = {}
        if len(present) <= 1:
            self.base = bufs[present[0]] if present else b""
            for i in present:
                self.base_offsets[i] = 0
            self.rebase = False
        else:
            parts, pos = [], 0
            for i in present:
                pad = (-pos) % 8
                if pad:
                    parts.append(b"\0" * pad)
                    pos += pad
                self.base_offsets[i] = pos
                parts.append(bufs[i])
                pos += len(bufs[i])
            self.base = b"".join(parts)
            self.rebase = True
        self.extra: list[bytes] = []
        self.end = len(self.base)
        doc = asset.doc
        self.accessors = list(_get_list(doc, "accessors"))
        views = _get_list(doc, "bufferViews")
        if self.rebase:
            self.views = [dict(v, byteOffset=int(v.get("byteOffset", 0)) + self.base_offsets.get(v.get("buffer", 0), 0))
                          if isinstance(v, dict) else v for v in views]
        else:
            self.views = list(views)

    def add(self, arr: np.ndarray, component_type: int) -> int:
        """Append a decoded array and return the index of a new accessor for it."""
        pad = (-self.end) % 8
        if pad:
            self.extra.append(b"\0" * pad)
            self.end += pad
        data = np.ascontiguousarray(arr).tobytes()
        self.views.append({"buffer": 0, "byteOffset": self.end, "byteLength": len(data)})
        self.extra.append(data)
        self.end += len(data)
        rows = arr.shape[0]
        width = arr.shape[1] if arr.ndim == 2 else 1
        self.accessors.append({"bufferView": len(self.views) - 1, "componentType": component_type,
                               "count": rows, "type": {1: "SCALAR", 2: "VEC2", 3: "VEC3"}[width]})
        return len(self.accessors) - 1

    def bytes(self) -> bytes:
        if not self.extra:
            return self.base
        return b"".join([self.base, *self.extra])

    # -- reading

    def _view_data(self, view_index, what: str) -> tuple[dict, bytes, int, int]:
        return view_data(self.asset, view_index, what)

    def native_ok(self, acc_index, types: tuple[int, ...], width: int, rows: int, what: str) -> bool:
        """Can the extractor read `rows` elements of this accessor straight from the chunk?"""
        acc = _item(self.accessors, acc_index, f"{what}: accessor")
        ct = acc.get("componentType")
        if ct not in types or acc.get("sparse") or acc.get("normalized") or "bufferView" not in acc:
            return False
        if TYPE_WIDTHS.get(acc.get("type"), width) != width:
            return False
        view, data, start, end = self._view_data(acc.get("bufferView"), what)
        size = np.dtype(COMPONENT_DTYPES[ct]).itemsize
        elem = size * width
        stride = int(view.get("byteStride") or 0)
        if stride and (ct != FLOAT or stride % 4 or stride < elem):
            return False
        off = start + int(acc.get("byteOffset", 0))
        if off % size:
            return False
        if off < start or (rows > 0 and off + (rows - 1) * (stride or elem) + elem > end):
            raise ConversionError(f"{what}: accessor {acc_index} runs past the end of its bufferView")
        return True

    def read(self, acc_index, what: str) -> np.ndarray:
        """Decode any accessor to a (count, width) array (float64 for normalized or
        float data, the stored integer type otherwise); sparse values applied."""
        acc = _item(_get_list(self.asset.doc, "accessors"), acc_index, f"{what}: accessor")
        ct = acc.get("componentType")
        if ct not in COMPONENT_DTYPES:
            raise ConversionError(f"{what}: accessor {acc_index} has unknown componentType {ct!r}")
        width = TYPE_WIDTHS.get(acc.get("type"))
        if width is None:
            raise ConversionError(f"{what}: accessor {acc_index} has unknown type {acc.get('type')!r}")
        count = int(acc.get("count", 0))
        if count < 0:
            raise ConversionError(f"{what}: accessor {acc_index} has a negative count")
        dt = np.dtype(COMPONENT_DTYPES[ct])
        if "bufferView" in acc:
            view, data, start, end = self._view_data(acc["bufferView"], what)
            elem = dt.itemsize * width
            stride = int(view.get("byteStride") or 0) or elem
            off = start + int(acc.get("byteOffset", 0))
            if count and (off < start or off + (count - 1) * stride + elem > end):
                raise ConversionError(f"{what}: accessor {acc_index} runs past the end of its bufferView")
            arr = np.ndarray((count, width), dtype=dt, buffer=data, offset=off,
                             strides=(stride, dt.itemsize)) if count else np.zeros((0, width), dt)
            arr = arr.copy()
        else:
            arr = np.zeros((count, width), dtype=dt)
        sparse = acc.get("sparse")
        if sparse:
            n = int(sparse.get("count", 0))
            ind, val = sparse.get("indices") or {}, sparse.get("values") or {}
            idt = np.dtype(COMPONENT_DTYPES.get(ind.get("componentType"), "<u4"))
            _, idata, istart, iend = self._view_data(ind.get("bufferView"), f"{what} (sparse indices)")
            ioff = istart + int(ind.get("byteOffset", 0))
            _, vdata, vstart, vend = self._view_data(val.get("bufferView"), f"{what} (sparse values)")
            voff = vstart + int(val.get("byteOffset", 0))
            if ioff + n * idt.itemsize > iend or voff + n * width * dt.itemsize > vend:
                raise ConversionError(f"{what}: sparse data of accessor {acc_index} runs past its bufferView")
            where = np.frombuffer(idata, dtype=idt, count=n, offset=ioff).astype(np.int64)
            if n and (where.min() < 0 or where.max() >= count):
                raise ConversionError(f"{what}: sparse index out of range in accessor {acc_index}")
            arr[where] = np.frombuffer(vdata, dtype=dt, count=n * width, offset=voff).reshape(n, width)
        if acc.get("normalized") and ct != FLOAT:
            scale = float(np.iinfo(dt).max)
            arr = np.maximum(arr.astype(np.float64) / scale, -1.0)
        return arr


def _triangles_from(mode: int, idx: np.ndarray) -> np.ndarray:
    """Triangle-list indices (M, 3) from a list, strip or fan index sequence."""
    idx = idx.astype(np.int64).ravel()
    if mode == TRIANGLES:
        n = len(idx) // 3
        return idx[: n * 3].reshape(n, 3)
    n = len(idx) - 2
    if n <= 0:
        return np.zeros((0, 3), dtype=np.int64)
    k = np.arange(n)
    if mode == TRIANGLE_STRIP:
        even = (k % 2) == 0
        a = np.where(even, idx[k], idx[k + 1])
        b = np.where(even, idx[k + 1], idx[k])
        return np.stack([a, b, idx[k + 2]], axis=1)
    return np.stack([np.full(n, idx[0]), idx[k + 1], idx[k + 2]], axis=1)


# ---------------------------------------------------------------- materials

def _uv_matrix(tex_info: dict) -> np.ndarray | None:
    tt = (tex_info.get("extensions") or {}).get("KHR_texture_transform")
    if not isinstance(tt, dict):
        return None
    ox, oy = (float(v) for v in tt.get("offset", (0, 0)))
    r = float(tt.get("rotation", 0.0))
    sx, sy = (float(v) for v in tt.get("scale", (1, 1)))
    c, s = math.cos(r), math.sin(r)
    t = np.array([[1, 0, ox], [0, 1, oy], [0, 0, 1]], dtype=np.float64)
    rot = np.array([[c, s, 0], [-s, c, 0], [0, 0, 1]], dtype=np.float64)
    sc = np.diag([sx, sy, 1.0])
    m = t @ rot @ sc
    return None if np.array_equal(m, np.eye(3)) else m


def image_of_texture(doc: dict, tex_index) -> int:
    tex = _item(_get_list(doc, "textures"), tex_index, "texture")
    src = tex.get("source")
    if src is not None:
        return src
    for ext in (tex.get("extensions") or {}):
        if ext in UNREADABLE_EXTENSIONS:
            raise ConversionError(f"texture {tex_index}: {UNREADABLE_EXTENSIONS[ext]}")
    raise ConversionError(f"texture {tex_index} has no image source")


def material_info(doc: dict, index) -> Material:
    if index is None:
        return Material(index=-1, name="default")
    mat = _item(_get_list(doc, "materials"), index, "material")
    pbr = mat.get("pbrMetallicRoughness") or {}
    rgba = pbr.get("baseColorFactor")
    tex_info = pbr.get("baseColorTexture")
    sg = (mat.get("extensions") or {}).get("KHR_materials_pbrSpecularGlossiness")
    if isinstance(sg, dict):
        rgba = rgba or sg.get("diffuseFactor")
        tex_info = tex_info or sg.get("diffuseTexture")
    try:
        rgba = tuple(float(v) for v in (rgba or (1, 1, 1, 1)))[:4]
    except (TypeError, ValueError):
        rgba = (1.0, 1.0, 1.0, 1.0)
    if len(rgba) < 4:
        rgba = (1.0, 1.0, 1.0, 1.0)
    if str(mat.get("alphaMode", "OPAQUE")).upper() == "OPAQUE":
        rgba = rgba[:3] + (1.0,)  # glTF ignores the alpha of opaque materials
    out = Material(index=index, name=f"mat{index}", rgba=rgba)  # type: ignore[arg-type]
    if isinstance(tex_info, dict) and tex_info.get("index") is not None:
        out.image = image_of_texture(doc, tex_info["index"])
        tt = (tex_info.get("extensions") or {}).get("KHR_texture_transform") or {}
        out.texcoord = int(tt.get("texCoord", tex_info.get("texCoord", 0)))
        out.uv_matrix = _uv_matrix(tex_info)
    return out


def image_bytes(asset: GltfAsset, image_index: int) -> bytes:
    """Encoded bytes of a glTF image, refusing the formats the decoder cannot read."""
    doc = asset.doc
    img = _item(_get_list(doc, "images"), image_index, "image")
    mime = str(img.get("mimeType") or "")
    if "bufferView" in img:
        _, data, start, end = view_data(asset, img["bufferView"], f"image {image_index}")
        raw = bytes(memoryview(data)[start:end])
    elif img.get("uri") is not None:
        raw = read_uri(str(img["uri"]), asset.base_dir, f"image {image_index}")
    else:
        raise ConversionError(f"image {image_index} has neither a bufferView nor a uri")
    head = raw[:16]
    if mime in ("image/ktx2",) or head.startswith(b"\xabKTX 20\xbb"):
        raise ConversionError(f"image {image_index}: KTX2 / Basis Universal images cannot be decoded")
    if mime == "image/webp" or (head[:4] == b"RIFF" and head[8:12] == b"WEBP"):
        raise ConversionError(f"image {image_index}: WebP images cannot be decoded")
    return raw


# ---------------------------------------------------------------- the plan

def _draco_decode(chunk: _Chunk, ext: dict, tc_name: str, what: str):
    try:
        import DracoPy  # noqa: N813
    except ImportError:
        raise ConversionError(f"{what} {DRACO_MISSING}") from None
    view, data, start, end = chunk._view_data(ext.get("bufferView"), what)
    try:
        mesh = DracoPy.decode(bytes(memoryview(data)[start:end]))
    except Exception as exc:  # DracoPy raises its own error types
        raise ConversionError(f"{what}: Draco data could not be decoded ({exc})") from None
    ids = ext.get("attributes") or {}

    def attribute(name: str, fallback: str):
        # The extension names Draco attributes by unique id; older DracoPy releases
        # only expose the decoded points and texture coordinates.
        if name in ids and hasattr(mesh, "get_attribute_by_unique_id"):
            att = mesh.get_attribute_by_unique_id(int(ids[name]))
            if att is not None:
                return att["data"] if isinstance(att, dict) else att
        return getattr(mesh, fallback, None) if name in ids else None

    pos = np.asarray(attribute("POSITION", "points"), dtype=np.float32).reshape(-1, 3)
    faces = np.asarray(mesh.faces, dtype=np.int64).reshape(-1, 3)
    tc = attribute(tc_name, "tex_coord")
    tc = None if tc is None or len(tc) == 0 else np.asarray(tc, dtype=np.float32).reshape(-1, 2)
    return pos, faces, tc


def plan_tile(asset: GltfAsset, draco_available: bool) -> Plan:
    """Build the extractor sub-document for a tile (see the module docstring)."""
    doc = asset.doc
    check_extensions(doc, draco_available)
    chunk = _Chunk(asset)
    meshes = _get_list(doc, "meshes")
    materials: dict[int, Material] = {}
    sub_meshes = []
    prims: list[PrimSlot] = []
    instances = []
    skipped: list[str] = []
    total_v = total_f = 0
    # Decoding the same primitive again for a second instance would only repeat work.
    decoded_cache: dict[tuple[int, int], dict] = {}
    for mesh_index, matrix in mesh_instances(doc):
        mesh = meshes[mesh_index]
        sub_prims = []
        inst_v0 = total_v
        for pi, prim in enumerate(mesh.get("primitives") or []):
            what = f"mesh {mesh_index} primitive {pi}"
            if not isinstance(prim, dict):
                raise ConversionError(f"{what} is not an object")
            mode = prim.get("mode", TRIANGLES)
            if mode not in (TRIANGLES, TRIANGLE_STRIP, TRIANGLE_FAN):
                skipped.append(f"{what}: {MODE_NAMES.get(mode, f'mode {mode}')} primitive left out (no triangles)")
                continue
            mat_key = prim.get("material")
            mat_key = -1 if mat_key is None else mat_key
            if mat_key not in materials:
                materials[mat_key] = material_info(doc, None if mat_key == -1 else mat_key)
            mat = materials[mat_key]
            cached = decoded_cache.get((mesh_index, pi))
            if cached is None:
                cached = _plan_primitive(chunk, prim, mode, mat, draco_available, what)
                decoded_cache[(mesh_index, pi)] = cached
            if cached["sub"] is None:
                continue
            sub_prims.append(cached["sub"])
            vcount, fcount = cached["vcount"], cached["fcount"]
            prims.append(PrimSlot(v0=total_v, vcount=vcount, f0=total_f, fcount=fcount,
                                  material=mat_key, has_texcoord="TEXCOORD_0" in cached["sub"]["attributes"]))
            total_v += vcount
            total_f += fcount
        if sub_prims:
            sub_meshes.append({"primitives": sub_prims})
            instances.append((inst_v0, total_v, matrix))
    subdoc = {"accessors": chunk.accessors, "bufferViews": chunk.views, "meshes": sub_meshes}
    return Plan(subdoc=subdoc, bin_chunk=chunk.bytes(), prims=prims, instances=instances,
                materials=materials, total_vertices=total_v, total_faces=total_f, skipped=skipped)


def _plan_primitive(chunk: _Chunk, prim: dict, mode: int, mat: Material, draco_available: bool,
                    what: str) -> dict:
    attrs = prim.get("attributes") or {}
    if not isinstance(attrs, dict):
        raise ConversionError(f"{what}: attributes is not an object")
    draco = (prim.get("extensions") or {}).get(DRACO)
    tc_name = f"TEXCOORD_{mat.texcoord}"
    sub_attrs: dict = {}
    if isinstance(draco, dict):
        if not draco_available:
            raise ConversionError(f"{what} {DRACO_MISSING}")
        pos, tris, tc = _draco_decode(chunk, draco, tc_name, what)
        if len(pos) == 0:
            return {"sub": None}
        sub_attrs["POSITION"] = chunk.add(pos, FLOAT)
        if tc is not None and len(tc) == len(pos):
            sub_attrs["TEXCOORD_0"] = chunk.add(tc, FLOAT)
        vcount = len(pos)
        if mode != TRIANGLES:
            tris = _triangles_from(mode, tris.ravel())
        _check_index_range(tris, vcount, what)
        sub = {"attributes": sub_attrs, "indices": chunk.add(tris.astype(np.uint32).ravel(), UINT)}
        return {"sub": sub, "vcount": vcount, "fcount": len(tris)}

    if "POSITION" not in attrs:
        return {"sub": None}
    pos_acc = attrs["POSITION"]
    acc = _item(chunk.accessors, pos_acc, f"{what}: POSITION accessor")
    vcount = int(acc.get("count", 0))
    if vcount <= 0:
        return {"sub": None}
    if chunk.native_ok(pos_acc, (FLOAT,), 3, vcount, f"{what} POSITION"):
        sub_attrs["POSITION"] = pos_acc
    else:
        arr = chunk.read(pos_acc, f"{what} POSITION")
        if arr.shape[1] != 3:
            raise ConversionError(f"{what}: POSITION is not VEC3")
        sub_attrs["POSITION"] = chunk.add(arr.astype(np.float32), FLOAT)

    tc_acc = attrs.get(tc_name)
    if tc_acc is not None:
        tacc = _item(chunk.accessors, tc_acc, f"{what}: {tc_name} accessor")
        if int(tacc.get("count", 0)) < vcount:
            raise ConversionError(f"{what}: {tc_name} has fewer elements than POSITION")
        if chunk.native_ok(tc_acc, (FLOAT,), 2, vcount, f"{what} {tc_name}"):
            sub_attrs["TEXCOORD_0"] = tc_acc
        else:
            arr = chunk.read(tc_acc, f"{what} {tc_name}")[:vcount]
            if arr.shape[1] != 2:
                raise ConversionError(f"{what}: {tc_name} is not VEC2")
            sub_attrs["TEXCOORD_0"] = chunk.add(arr.astype(np.float32), FLOAT)

    sub = {"attributes": sub_attrs}
    idx_acc = prim.get("indices")
    if mode == TRIANGLES and idx_acc is None:
        return {"sub": sub, "vcount": vcount, "fcount": vcount // 3}
    if mode == TRIANGLES:
        iacc = _item(chunk.accessors, idx_acc, f"{what}: indices accessor")
        icount = int(iacc.get("count", 0))
        if chunk.native_ok(idx_acc, (USHORT, UINT), 1, icount - icount % 3, f"{what} indices"):
            # Range checked after extraction, on the faces array itself.
            sub["indices"] = idx_acc
            return {"sub": sub, "vcount": vcount, "fcount": icount // 3}
        seq = chunk.read(idx_acc, f"{what} indices")
    elif idx_acc is None:
        seq = np.arange(vcount, dtype=np.int64)
    else:
        seq = chunk.read(idx_acc, f"{what} indices")
    tris = _triangles_from(mode, seq)
    _check_index_range(tris, vcount, what)
    sub["indices"] = chunk.add(tris.astype(np.uint32).ravel(), UINT)
    return {"sub": sub, "vcount": vcount, "fcount": len(tris)}


def _check_index_range(tris: np.ndarray, vcount: int, what: str) -> None:
    if tris.size and (tris.min() < 0 or tris.max() >= vcount):
        raise ConversionError(f"{what}: index {int(tris.max())} is beyond its {vcount} vertices")


def check_faces(plan: Plan, faces: np.ndarray) -> None:
    """Every face of a primitive must index that primitive's own vertices (the
    extractor copies index values as they are stored)."""
    for k, p in enumerate(plan.prims):
        if not p.fcount:
            continue
        f = faces[p.f0:p.f0 + p.fcount]
        lo, hi = int(f.min()), int(f.max())
        if lo < p.v0 or hi >= p.v0 + p.vcount:
            bad = hi if hi >= p.v0 + p.vcount else lo
            raise ConversionError(f"primitive slot {k}: index {bad - p.v0} is outside its {p.vcount} vertices")

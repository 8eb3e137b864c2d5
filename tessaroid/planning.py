"""From a parsed glTF asset to the request the native mesh extractor understands.

`extract_mesh_arrays` reads every primitive of every mesh listed under `meshes`, in
order, from one binary chunk: float or integer (optionally normalised) POSITION and
TEXCOORD_0, byte/short/int indices, triangle lists, strips and fans, with every read
and index value checked. What it does not know about is the rest of a glTF tile:
meshes placed by a node hierarchy (one mesh may be drawn by several nodes), the
texture-coordinate set a material samples, sparse or Draco-compressed data, and data
spread over several buffers.

So each tile gets a *sub-document* built here: its `meshes` list holds one entry per
node instance of a mesh (in scene order), each listing only the primitives that make
triangles, with the texture-coordinate set the material samples renamed TEXCOORD_0.
The tile's buffers are laid end to end in one chunk, and accessors keep pointing at
their original bytes; only data the extractor cannot read (sparse accessors, accessors
without a buffer view, Draco) is decoded with NumPy and appended to the chunk. The
plan records where each primitive and each instance lands in the concatenated arrays,
so the caller can place every instance with its own matrix and split faces by material.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from . import images
from .decoding import meshopt
from .decoding.gltf import GltfAsset, read_uri
from .errors import ConversionError
from .instancing import GPU_INSTANCING, gpu_instance_matrices

FLOAT, UINT = 5126, 5125
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
    GPU_INSTANCING,
}
# Image extensions refused unless textures are left out (see `images`).
UNREADABLE_EXTENSIONS = {ext: images.refused_message(ext) for ext in images.REFUSED_IMAGE_EXTENSIONS}
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


def check_extensions(doc: dict, draco_available: bool, textures: bool = True) -> None:
    """Refuse documents that require an extension whose data this code cannot read
    (image extensions only matter when textures are written)."""
    required = doc.get("extensionsRequired") or []
    if not isinstance(required, list):
        raise ConversionError("glTF 'extensionsRequired' is not a list")
    for ext in required:
        if ext == DRACO:
            if not draco_available:
                raise ConversionError(f"the tile {DRACO_MISSING}")
        elif ext in meshopt.EXTENSIONS:
            if not meshopt.available():
                raise ConversionError(meshopt.missing_message(ext))
        elif ext == images.WEBP:
            if textures and not images.webp_available():
                raise ConversionError(images.WEBP_MISSING)
        elif ext in UNREADABLE_EXTENSIONS:
            if textures:
                raise ConversionError(UNREADABLE_EXTENSIONS[ext])
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


def mesh_instances(doc: dict, read=None) -> list[tuple[int, np.ndarray]]:
    """(mesh index, node-to-glTF-root matrix) for every mesh drawn by the default scene,
    in depth-first scene order. Without scenes or nodes every mesh is drawn once.
    A node with EXT_mesh_gpu_instancing draws its mesh once per instance, at
    node_global * T * R * S; `read(accessor, what)` decodes the instance accessors
    (without it, such a node is refused)."""
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
            gpu = (node.get("extensions") or {}).get(GPU_INSTANCING)
            if gpu is None:
                out.append((mi, world))
            elif read is None:
                raise ConversionError(f"node {ni} uses {GPU_INSTANCING}, whose accessors were not given")
            else:
                out += [(mi, world @ m) for m in gpu_instance_matrices(gpu, read, f"node {ni}")]
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
        for name in meshopt.EXTENSIONS:
            if name in ext:
                raise ConversionError(meshopt.missing_message(name))
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
        base_offsets: dict[int, int] = {}
        if len(present) <= 1:
            self.base = bufs[present[0]] if present else b""
            rebase = False
        else:
            parts, pos = [], 0
            for i in present:
                pad = (-pos) % 8
                if pad:
                    parts.append(b"\0" * pad)
                    pos += pad
                base_offsets[i] = pos
                parts.append(bufs[i])
                pos += len(bufs[i])
            self.base = b"".join(parts)
            rebase = True
        self.extra: list[bytes] = []
        self.end = len(self.base)
        doc = asset.doc
        self.accessors = list(_get_list(doc, "accessors"))
        views = _get_list(doc, "bufferViews")
        if rebase:
            self.views = [dict(v, byteOffset=int(v.get("byteOffset", 0)) + base_offsets.get(v.get("buffer", 0), 0))
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

    def _view_data(self, view_index, what: str) -> tuple[dict, bytes, int, int]:
        return view_data(self.asset, view_index, what)

    def accessor(self, acc_index, width: int, what: str, indices: bool = False) -> int:
        """The accessor index to put in the sub-document: `acc_index` itself when the
        extractor can read it from the chunk, else a decoded copy. The accessor must have
        `width` components and lie inside its buffer view (the extractor only sees the
        chunk, so a range running into the next view would go unnoticed there)."""
        acc = _item(self.accessors, acc_index, f"{what}: accessor")
        kind = acc.get("type")
        if kind is not None and TYPE_WIDTHS.get(kind) != width:
            raise ConversionError(f"{what}: accessor {acc_index} is {kind!r}, {width} components expected")
        ct = acc.get("componentType")
        if "bufferView" not in acc or acc.get("sparse") or ct not in COMPONENT_DTYPES:
            return self._decoded(acc_index, width, what, indices)
        view, _, start, end = self._view_data(acc.get("bufferView"), what)
        size = np.dtype(COMPONENT_DTYPES[ct]).itemsize
        stride = int(view.get("byteStride") or 0)
        # The extractor steps by whole components and reads indices tightly packed.
        if stride % size or (indices and stride not in (0, size)):
            return self._decoded(acc_index, width, what, indices)
        count = int(acc.get("count", 0))
        off = start + int(acc.get("byteOffset", 0))
        if off < start or (count > 0 and off + (count - 1) * (stride or size * width) + size * width > end):
            raise ConversionError(f"{what}: accessor {acc_index} runs past the end of its bufferView")
        return acc_index

    def _decoded(self, acc_index, width: int, what: str, indices: bool) -> int:
        arr = self.read(acc_index, what)
        if indices:
            if arr.dtype.kind != "u":
                raise ConversionError(f"{what}: accessor {acc_index} does not hold unsigned indices")
            return self.add(arr.astype(np.uint32).ravel(), UINT)
        return self.add(arr.astype(np.float32), FLOAT)

    def read(self, acc_index, what: str) -> np.ndarray:
        """Decode any accessor to a (count, width) array (float64 for normalized
        data, the stored type otherwise); sparse values applied."""
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
    """The image a texture samples: its own `source` (a fallback the decoder reads),
    else the WebP image of EXT_texture_webp; other image extensions are refused."""
    tex = _item(_get_list(doc, "textures"), tex_index, "texture")
    src = tex.get("source")
    if src is not None:
        return src
    exts = tex.get("extensions") or {}
    webp = exts.get(images.WEBP)
    if isinstance(webp, dict) and webp.get("source") is not None:
        if not images.webp_available():
            raise ConversionError(images.WEBP_MISSING)
        return webp["source"]
    for ext in exts:
        if ext in UNREADABLE_EXTENSIONS:
            raise ConversionError(UNREADABLE_EXTENSIONS[ext])
    raise ConversionError(f"texture {tex_index} has no image source")


def material_info(doc: dict, index, textures: bool = True) -> Material:
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
        # Without textures the texture coordinates are still written; no image is looked at.
        out.image = image_of_texture(doc, tex_info["index"]) if textures else None
        tt = (tex_info.get("extensions") or {}).get("KHR_texture_transform") or {}
        out.texcoord = int(tt.get("texCoord", tex_info.get("texCoord", 0)))
        out.uv_matrix = _uv_matrix(tex_info)
    return out


def image_bytes(asset: GltfAsset, image_index: int) -> bytes:
    """Encoded bytes of a glTF image the native decoder reads: WebP handed on as PNG,
    KTX2 refused."""
    raw = stored_image_bytes(asset, image_index)
    img = _item(_get_list(asset.doc, "images"), image_index, "image")
    if images.is_webp(raw[:16], str(img.get("mimeType") or "")):
        return images.webp_to_png(raw, f"image {image_index}")
    return raw


def stored_image_bytes(asset: GltfAsset, image_index: int) -> bytes:
    """The bytes of a glTF image as the tile stores them; KTX2 / Basis Universal is
    refused (no decoder reads it, and no OBJ viewer would read it as written)."""
    doc = asset.doc
    img = _item(_get_list(doc, "images"), image_index, "image")
    mime = str(img.get("mimeType") or "")
    if "bufferView" in img:
        _, data, start, end = view_data(asset, img["bufferView"], f"image {image_index}")
        raw = bytes(memoryview(data)[start:end])
    elif img.get("uri") is not None:
        raw = read_uri(str(img["uri"]), asset.base, f"image {image_index}")
    else:
        raise ConversionError(f"image {image_index} has neither a bufferView nor a uri")
    if images.is_ktx2(raw[:16], mime):
        raise ConversionError(images.refused_message(images.BASISU))
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


def plan_tile(asset: GltfAsset, draco_available: bool, textures: bool = True) -> Plan:
    """Build the extractor sub-document for a tile (see the module docstring).
    Meshopt-compressed buffer views of the asset are decoded first, in place."""
    check_extensions(asset.doc, draco_available, textures)
    meshopt.decode_asset(asset)
    doc = asset.doc
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
    for mesh_index, matrix in mesh_instances(doc, chunk.read):
        mesh = meshes[mesh_index]
        sub_prims = []
        inst_v0 = total_v
        for pi, prim in enumerate(mesh.get("primitives") or []):
            what = f"mesh {mesh_index} primitive {pi}"
            if not isinstance(prim, dict):
                raise ConversionError(f"{what} is not an object")
            mode = prim.get("mode", TRIANGLES)
            # Points and lines would only add vertices that no face uses.
            if mode not in (TRIANGLES, TRIANGLE_STRIP, TRIANGLE_FAN):
                skipped.append(f"{what}: {MODE_NAMES.get(mode, f'mode {mode}')} primitive left out (no triangles)")
                continue
            mat_key = prim.get("material")
            mat_key = -1 if mat_key is None else mat_key
            if mat_key not in materials:
                materials[mat_key] = material_info(doc, None if mat_key == -1 else mat_key, textures)
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


def _face_count(mode: int, n: int) -> int:
    """Triangles the extractor forms from a list of n indices (or vertices)."""
    return n // 3 if mode == TRIANGLES else max(n - 2, 0)


def _plan_primitive(chunk: _Chunk, prim: dict, mode: int, mat: Material, draco_available: bool,
                    what: str) -> dict:
    attrs = prim.get("attributes") or {}
    if not isinstance(attrs, dict):
        raise ConversionError(f"{what}: attributes is not an object")
    draco = (prim.get("extensions") or {}).get(DRACO)
    tc_name = f"TEXCOORD_{mat.texcoord}"
    sub_attrs: dict = {}
    sub = {"attributes": sub_attrs, "mode": mode}
    if isinstance(draco, dict):
        if not draco_available:
            raise ConversionError(f"{what} {DRACO_MISSING}")
        pos, tris, tc = _draco_decode(chunk, draco, tc_name, what)
        if len(pos) == 0:
            return {"sub": None}
        sub_attrs["POSITION"] = chunk.add(pos, FLOAT)
        if tc is not None and len(tc) == len(pos):
            sub_attrs["TEXCOORD_0"] = chunk.add(tc, FLOAT)
        # The decoded faces, flattened, are the primitive's index list in its own mode.
        sub["indices"] = chunk.add(tris.astype(np.uint32).ravel(), UINT)
        return {"sub": sub, "vcount": len(pos), "fcount": _face_count(mode, tris.size)}

    if "POSITION" not in attrs:
        return {"sub": None}
    acc = _item(chunk.accessors, attrs["POSITION"], f"{what}: POSITION accessor")
    vcount = int(acc.get("count", 0))
    if vcount <= 0:
        return {"sub": None}
    sub_attrs["POSITION"] = chunk.accessor(attrs["POSITION"], 3, f"{what} POSITION")
    if attrs.get(tc_name) is not None:
        sub_attrs["TEXCOORD_0"] = chunk.accessor(attrs[tc_name], 2, f"{what} {tc_name}")
    idx_acc = prim.get("indices")
    if idx_acc is None:
        return {"sub": sub, "vcount": vcount, "fcount": _face_count(mode, vcount)}
    iacc = _item(chunk.accessors, idx_acc, f"{what}: indices accessor")
    sub["indices"] = chunk.accessor(idx_acc, 1, f"{what} indices", indices=True)
    return {"sub": sub, "vcount": vcount, "fcount": _face_count(mode, int(iacc.get("count", 0)))}

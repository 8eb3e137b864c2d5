"""High-performance OBJ formatting and mesh extraction without the interpreter lock."""

from typing import Any

import numpy as np
from numpy.typing import ArrayLike

def format_vertex_lines(positions: ArrayLike) -> bytes:
    """Format positions as 'v x y z\\n' lines. Returns bytes."""

def format_texcoord_lines(texcoords: ArrayLike) -> bytes:
    """Format texcoords as 'vt u v\\n' lines. Returns bytes."""

def format_face_lines(faces: ArrayLike, with_vt: object) -> bytes:
    """Format faces as 'f a b c\\n' or 'f a/a b/b c/c\\n' lines. Returns bytes."""

def extract_mesh_arrays(
    gltf: Any, bin_chunk: bytes | None, feature_ids: Any = None
) -> (
    tuple[
        np.ndarray,
        np.ndarray,
        np.ndarray | None,
        np.ndarray | None,
        np.ndarray | None,
    ]
    | None
):
    """Extract mesh geometry from decompressed glTF into pre-allocated arrays.

    Returns (positions, indices, tex_coord, uvr, feature_ids_out) or None.
    """

def quantize_uvr(uvr: ArrayLike) -> np.ndarray:
    """Quantize UVR to 1/32 grid."""

def ecef_to_webmercator(positions: ArrayLike) -> None:
    """Convert ECEF (x,y,z) to Web Mercator EPSG:3857 (x,y,z) in-place."""

def ecef_to_wgs84_geo(positions: ArrayLike) -> None:
    """Convert ECEF (x,y,z) to WGS84 geographic EPSG:4326 (lon,lat,h) in-place."""

def convert_crs(positions: ArrayLike, crs: str | None) -> None:
    """Dispatch CRS conversion based on crs string. Modifies positions in-place."""

def compute_obj_extent(
    obj_path: str | None,
) -> tuple[float, float, float, float, float, float] | None:
    """Scan an OBJ file for 'v' lines, return (min_x, min_y, min_z, max_x, max_y, max_z) or None."""

def shift_obj_file(obj_path: str | None, dx: float, dy: float, dz: float) -> int:
    """Read OBJ file, shift all 'v' lines by (dx,dy,dz), write back."""

class DecodedTexture:
    """Natively backed image decoder built on stb_image: decode once, crop many times."""

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def decode(self, data: bytes | None) -> bool:
        """Decode image from PNG/JPEG bytes. Returns True on success."""
    def crop_and_save(
        self,
        x0: int,
        y0: int,
        x1: int,
        y1: int,
        path: str | None,
        as_png: object = True,
        jpeg_quality: int = 90,
    ) -> bool:
        """Crop region [x0,y0)-[x1,y1), flip vertically, save to file."""
    def flip_and_save(self, path: str | None, as_png: object = True, jpeg_quality: int = 90) -> bool:
        """Flip full image vertically, save to file."""
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def channels(self) -> int: ...

np: Any

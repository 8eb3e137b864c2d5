"""Image formats: telling them by their first bytes, and turning the ones the native
texture decoder does not read into ones it does.

WebP images (EXT_texture_webp, or a WebP image without the extension) are decoded
with Pillow and handed on as PNG bytes; KTX2 / Basis Universal stays refused, with
a message that says how to convert the geometry without textures.
"""

from __future__ import annotations

import io

from .errors import ConversionError

WEBP = "EXT_texture_webp"
BASISU = "KHR_texture_basisu"
WEBP_MISSING = f"textures use WebP images ({WEBP}); install 'tessaroid[webp]' to convert them"
NO_TEXTURES_HINT = "pass --no-textures (textures=False) to convert the geometry without them"
REFUSED_IMAGE_EXTENSIONS = {
    BASISU: "KTX2 / Basis Universal",
    "EXT_texture_avif": "AVIF",
    "MSFT_texture_dds": "DDS",
}


def refused_message(ext: str) -> str:
    return (f"textures use {ext} ({REFUSED_IMAGE_EXTENSIONS[ext]} images), which tessaroid cannot decode; "
            + NO_TEXTURES_HINT)


def webp_available() -> bool:
    try:
        from PIL import WebPImagePlugin  # noqa: F401
    except ImportError:
        return False
    return True


PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
JPEG_MAGIC = b"\xff\xd8\xff"


def image_kind(data: bytes) -> str | None:
    """'png' or 'jpg' for the formats written as stored, None for the others."""
    if data[:8] == PNG_MAGIC:
        return "png"
    if data[:3] == JPEG_MAGIC:
        return "jpg"
    return None


def is_webp(head: bytes, mime: str = "") -> bool:
    return mime == "image/webp" or (head[:4] == b"RIFF" and head[8:12] == b"WEBP")


def is_ktx2(head: bytes, mime: str = "") -> bool:
    return mime == "image/ktx2" or head.startswith(b"\xabKTX 20\xbb")


def webp_to_png(raw: bytes, what: str) -> bytes:
    """PNG bytes of a WebP image (colour and alpha kept)."""
    try:
        from PIL import Image
    except ImportError:
        raise ConversionError(WEBP_MISSING) from None
    try:
        with Image.open(io.BytesIO(raw), formats=["WEBP"]) as img:
            img.load()
            mode = "RGBA" if ("A" in img.getbands() or "transparency" in img.info) else "RGB"
            out = io.BytesIO()
            img.convert(mode).save(out, format="PNG", compress_level=1)
    except (OSError, ValueError, SyntaxError) as exc:
        raise ConversionError(f"{what}: the WebP image could not be decoded ({exc})") from None
    return out.getvalue()

"""DecodedTexture: decoding, flipped regions written as PNG and JPEG, real textures."""

import ctypes
import io
import os
import random
import shutil
import struct
import subprocess
import zlib
from pathlib import Path

import numpy as np
import pytest
from PIL import Image, JpegImagePlugin

from conftest import test_seed

MODES = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}


def encode(arr, fmt, **kw):
    buf = io.BytesIO()
    Image.fromarray(arr).save(buf, fmt, **kw)
    return buf.getvalue()


def smooth_image(h, w, c):
    """Gradients plus mild noise: compresses like a texture, JPEG-friendly."""
    y, x = np.mgrid[0:h, 0:w]
    ramps = (x * 160 // max(w - 1, 1), y * 160 // max(h - 1, 1))
    planes = [ramps[i % 2] + i * 25 for i in range(c)]
    img = np.stack(planes, axis=-1) if c > 1 else planes[0]
    return np.clip(img + np.random.default_rng(0).integers(0, 3, img.shape), 0, 255).astype(np.uint8)


def read(path):
    im = Image.open(path)
    im.load()  # reads and closes the file; format and JPEG layers stay known
    return im


def as_samples(arr):
    """(h, w) -> (h, w, 1) so that grey and colour compare alike."""
    return arr[..., None] if arr.ndim == 2 else arr


def pixels(path):
    return as_samples(np.asarray(read(path)))


def decoded(ow, data):
    t = ow.DecodedTexture()
    assert t.decode(data) is True
    return t


# --- decoding ---------------------------------------------------------------

def lossless(channels, fmt, **kw):
    img = smooth_image(19, 23, channels)
    return lambda: (encode(img, fmt, **kw), img, 0)


def gif():
    img = np.zeros((8, 12, 3), np.uint8)
    img[:4], img[4:] = (255, 0, 0), (0, 0, 255)
    return encode(img, "GIF"), np.dstack([img, np.full((8, 12), 255, np.uint8)]), 0  # RGBA


def png16():
    img16 = (np.arange(7 * 9, dtype=np.uint16).reshape(7, 9) * 997 + 0x1234).astype(np.uint16)
    return encode(img16, "PNG"), (img16 >> 8).astype(np.uint8), 0  # the high byte kept


ICC = bytes([0xFF, 0xC4, 0x00, 0x20, 0x00] + [255] * 16) * 20  # marker-like bytes inside a segment


def jpeg(channels, **kw):
    """Compared with Pillow's decode of the same stream, within rounding."""
    data = encode(smooth_image(40, 56, channels).squeeze(), "JPEG", quality=95, **kw)
    return lambda: (data, np.asarray(Image.open(io.BytesIO(data))), 16)


@pytest.mark.parametrize("make", [
    lossless(4, "PNG"), lossless(3, "PNG"), lossless(2, "PNG"), lossless(1, "PNG"),
    lossless(3, "BMP"), lossless(1, "PNG", optimize=True), gif, png16,
    jpeg(1), jpeg(3), jpeg(1, progressive=True), jpeg(3, progressive=True),
    # The header walk must take an ICC profile full of 0xFF 0xC4 pairs as segment data, not a table.
    jpeg(3, icc_profile=ICC), jpeg(3, icc_profile=ICC, progressive=True),
], ids=["rgba", "rgb", "la", "grey", "bmp", "grey-palette", "gif", "16-bit", "jpeg-grey", "jpeg-rgb",
        "jpeg-grey-progressive", "jpeg-rgb-progressive", "jpeg-icc", "jpeg-icc-progressive"])
def test_formats_decode_to_the_source_pixels(ow, tmp_path, make):
    data, want, tolerance = make()
    want = as_samples(want)
    # Decoded over an earlier image of another size: nothing of that one may remain.
    t = decoded(ow, encode(smooth_image(5, 3, 2), "PNG"))
    assert t.decode(data) is True and (t.height, t.width, t.channels) == want.shape
    out = tmp_path / "o.png"
    assert t.flip_and_save(str(out)) is True
    err = np.abs(pixels(out).astype(int) - want[::-1].astype(int))
    assert err.max() <= tolerance and (tolerance == 0 or err.mean() < 1.5)


def _psd(w=4, h=2):
    # Header, then empty colour data, resources and layers, raw compression (0) and the samples.
    return b"8BPS" + struct.pack(">H6xHIIHH", 1, 3, h, w, 8, 3) + bytes(14 + 3 * w * h)


def _jpeg_with_oversized_huffman_table():
    data = bytearray(encode(smooth_image(16, 16, 3), "JPEG"))
    i = data.find(b"\xff\xc4")
    data[i + 5:i + 21] = bytes([255] * 16)  # 16 code counts adding up to 4080
    return bytes(data)


def _png_claiming_32768_squared():
    png = bytearray(encode(smooth_image(4, 4, 3), "PNG"))
    png[16:24] = struct.pack(">II", 32768, 32768)
    png[29:33] = struct.pack(">I", zlib.crc32(bytes(png[12:29])))
    return bytes(png)


# The last three are hostile headers: the decoder would write past its Huffman
# tables, or allocate (and for BMP, report as success) hundreds of megabytes.
@pytest.mark.parametrize("make", [
    _psd, lambda: b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 2\n" + bytes([128, 64, 32, 129] * 2),
    lambda: encode(smooth_image(6, 5, 3), "TGA"), lambda: encode(smooth_image(6, 5, 3), "PPM"),
    lambda: b"", lambda: b"definitely not an image",
    lambda: encode(smooth_image(30, 30, 3), "PNG")[:60], lambda: encode(smooth_image(30, 30, 3), "JPEG")[:20],
    _jpeg_with_oversized_huffman_table, _png_claiming_32768_squared,
    lambda: (b"BM" + struct.pack("<IHHI", 58, 0, 0, 54)
             + struct.pack("<IiiHHIIiiII", 40, 4096, 65536, 1, 24, 0, 0, 0, 0, 0, 0) + bytes(4)),
], ids=["psd", "hdr", "tga", "pnm", "empty", "garbage", "truncated-png", "truncated-jpeg",
        "jpeg-huffman-overflow", "png-bomb-header", "bmp-without-pixels"])
def test_failed_decode_returns_false_and_drops_previous_image(ow, tmp_path, make):
    t = decoded(ow, encode(smooth_image(4, 4, 4), "PNG"))
    assert t.decode(make()) is False and (t.width, t.height, t.channels) == (0, 0, 0)
    out = tmp_path / "o.png"
    assert t.flip_and_save(str(out)) is False and not out.exists()


def test_decode_refuses_length_wrapping_past_32_bits(ow):
    # A valid PNG followed by zeros up to 2**32 + len(png) bytes: passed to
    # the decoder as a 32-bit length it would read as just the PNG.
    png = encode(smooth_image(4, 4, 3), "PNG")
    try:
        data = bytes(2**32 + len(png))  # calloc'd: untouched pages cost nothing
    except MemoryError:
        pytest.skip("cannot reserve a 4 GiB bytes object")
    ctypes.memmove(id(data) + bytes.__basicsize__ - 1, png, len(png))
    assert data[: len(png)] == png
    t = ow.DecodedTexture()
    ok = t.decode(data)
    del data  # keep a failure report from printing 4 GiB
    assert ok is False and (t.width, t.height, t.channels) == (0, 0, 0)


# --- cropping, flipping, clamping -------------------------------------------

def test_random_regions_match_numpy_crop_and_flip(ow, tmp_path):
    rng = random.Random(seed := test_seed("texture regions"))
    for channels in (1, 2, 3, 4):
        img = np.random.default_rng(seed).integers(0, 256, (32, 64, channels), np.uint8)
        t = decoded(ow, encode(img.squeeze(), "PNG"))
        for _ in range(6):
            x0, x1 = sorted(rng.randint(-20, 84) for _ in range(2))
            y0, y1 = sorted(rng.randint(-20, 52) for _ in range(2))
            out = tmp_path / f"r{channels}.png"
            ok = t.crop_and_save(x0, y0, x1, y1, str(out))
            ys, ye, xs, xe = max(y0, 0), min(y1, 32), max(x0, 0), min(x1, 64)
            assert ok is (ye > ys and xe > xs), (x0, y0, x1, y1)
            if ok:
                assert np.array_equal(pixels(out), img[ys:ye, xs:xe][::-1])
                out.unlink()


@pytest.fixture
def tex64x32(ow):
    return decoded(ow, encode(smooth_image(32, 64, 4), "PNG"))


@pytest.mark.parametrize("rect", [
    (5, 0, 5, 10), (10, 0, 5, 10), (70, 0, 80, 10), (0, 40, 10, 50), (-5, -5, 0, 0),
    (2**31 - 1, 0, -(2**31), 10), (-(2**31), -(2**31), -(2**31), 2**31 - 1),
])
def test_empty_region_returns_false_and_leaves_path_alone(tex64x32, tmp_path, rect):
    out = tmp_path / "o.png"
    assert tex64x32.crop_and_save(*rect, str(out)) is False
    assert not out.exists()
    out.write_bytes(b"keep")
    assert tex64x32.crop_and_save(*rect, str(out), False) is False
    assert out.read_bytes() == b"keep"


def test_flip_and_save_equals_full_crop_and_png_is_the_default(tex64x32, tmp_path):
    def save(call, *args):
        out = tmp_path / "o.jpg"  # the extension does not choose the format
        assert call(str(out), *args)
        return out.read_bytes()

    flip, crop = tex64x32.flip_and_save, lambda p, *a: tex64x32.crop_and_save(0, 0, 64, 32, p, *a)
    png = save(flip)
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    assert save(flip, True, 3) == save(crop) == save(crop, True, 3) == png  # PNG ignores the quality
    jpeg = save(flip, False)
    assert jpeg[:2] == b"\xff\xd8" and save(crop, False) == jpeg


# --- JPEG output ------------------------------------------------------------

@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_jpeg_drops_alpha_and_stays_close(ow, tmp_path, channels):
    img = smooth_image(48, 40, channels)
    t = decoded(ow, encode(img.squeeze(), "PNG"))
    out = tmp_path / "o.jpg"
    assert t.crop_and_save(0, 0, 40, 48, str(out), False)
    im = read(out)
    assert im.format == "JPEG" and im.size == (40, 48) and im.layers == 3
    colour = as_samples(img)[::-1, :, : 3 if channels >= 3 else 1].astype(int)
    got = np.asarray(im.convert("RGB" if channels >= 3 else "L")).astype(int)
    assert np.abs(as_samples(got) - colour).mean() < 3.0


def test_jpeg_quality_clamping_and_subsampling(tex64x32, tmp_path):
    def save(q):
        out = tmp_path / f"q{q}.jpg"
        assert tex64x32.flip_and_save(str(out), False, q)
        return out

    assert save(0).read_bytes() == save(90).read_bytes()
    assert save(150).read_bytes() == save(100).read_bytes()
    assert save(-7).read_bytes() == save(1).read_bytes()
    assert JpegImagePlugin.get_sampling(read(save(90))) == 2  # 4:2:0
    assert JpegImagePlugin.get_sampling(read(save(95))) == 0  # 4:4:4


def test_jpeg_side_over_65535_is_refused(ow, tmp_path):
    t = decoded(ow, encode(np.zeros((1, 65536), np.uint8), "PNG"))
    out = tmp_path / "wide.jpg"
    assert t.flip_and_save(str(out), False) is False and not out.exists()
    assert t.crop_and_save(0, 0, 65535, 1, str(out), False) is True
    back = decoded(ow, out.read_bytes())  # wider than common JPEG readers accept
    assert (back.width, back.height) == (65535, 1)


def test_output_matches_bare_stb_program_byte_for_byte(ow, tmp_path):
    # The C floor of the bench makes the same stb calls with PNG level 1; an
    # identical stream pins the level set at load (a zlib stream at level 5),
    # the flip, the channel drop and the JPEG settings.
    cc = shutil.which(os.environ.get("CC", "cc"))
    source = Path(__file__).resolve().parent.parent / "bench" / "texture_baseline.c"
    if cc is None or not os.path.exists("/usr/include/stb/stb_image.h"):
        pytest.skip("no C compiler or stb headers")
    exe = tmp_path / "floor"
    subprocess.run([cc, "-O1", "-w", "-I/usr/include/stb", str(source), "-o", str(exe), "-lm"],
                   check=True)
    # Few distinct values: long hash chains, where the compression level
    # decides which matches the deflate finds.
    img = np.random.default_rng(7).integers(0, 4, (60, 70, 4), np.uint8)
    (tmp_path / "in.png").write_bytes(encode(img, "PNG"))
    t = decoded(ow, (tmp_path / "in.png").read_bytes())
    rect = (5, 7, 66, 58)
    subprocess.run([str(exe), str(tmp_path), "85", str(tmp_path / "in.png"),
                    ",".join(map(str, rect))], check=True, capture_output=True)
    assert t.crop_and_save(*rect, str(tmp_path / "o.png"))
    assert t.crop_and_save(*rect, str(tmp_path / "o.jpg"), False, 85)
    assert (tmp_path / "o.png").read_bytes() == (tmp_path / "c_0.png").read_bytes()
    assert (tmp_path / "o.jpg").read_bytes() == (tmp_path / "c_1.jpg").read_bytes()


# --- real textures ----------------------------------------------------------

REAL_PNG = [f"khronos/textures/{p}.png" for p in (
    "BoxTextured/CesiumLogoFlat", "Cube/Cube_MetallicRoughness", "TextureEncodingTest/SlotLabels",
    "TextureTransformTest/UV", "ToyCar/ToyCar_clearcoat")] + [f"pngsuite/{p}.png" for p in (
    "ftbbn3p08", "ibasn6a08", "basn0g16", "basn2c16", "basn4a16", "basn6a16")]
REAL_JPEG = [f"khronos/textures/{p}.jpg" for p in (
    "TransmissionTest/texture14184", "CesiumMilkTruck/CesiumMilkTruck")]


def pillow_samples(data, channels):
    im = Image.open(io.BytesIO(data))
    if im.mode in ("I", "I;16"):
        return (np.asarray(im).astype(np.uint32) >> 8).astype(np.uint8)
    return np.asarray(im.convert(MODES[channels]))


@pytest.mark.parametrize("rel", REAL_PNG + REAL_JPEG)
def test_real_textures_match_pillow(ow, shared_data, tmp_path, rel):
    # PNG exactly (16-bit samples by their high byte), JPEG within rounding.
    path = shared_data / rel
    if not path.exists():
        pytest.skip(f"{rel} not in the sample data")
    data = path.read_bytes()
    t = decoded(ow, data)
    out = tmp_path / "o.png"
    assert t.flip_and_save(str(out))
    ref = pillow_samples(data, t.channels)
    assert (t.height, t.width) == ref.shape[:2]
    got, want = pixels(out), as_samples(ref)[::-1]
    if rel.endswith(".png"):
        assert np.array_equal(got, want)
    else:
        assert t.channels == 3 and np.abs(got.astype(int) - want.astype(int)).mean() < 2.0

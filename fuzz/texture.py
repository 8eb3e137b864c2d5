"""Fuzz harness: DecodedTexture.decode, then crop_and_save / flip_and_save.

The input is 24 control bytes (rectangles, formats, qualities) followed by
the encoded image. Seeds are real PNG and JPEG textures from the shared
sample data (read at run time, never copied) and small PNG, JPEG, GIF and
BMP images made with Pillow in every channel layout.

Checks: a failed decode leaves the instance empty (0, 0, 0) and every save
then returns False without creating a file; a successful decode reports
1 to 4 channels; flip_and_save writes a PNG that Pillow reads back as the
image upside down; every crop equals the flipped region of that image exactly
(PNG) or is a readable JPEG of the clamped size; empty regions return False
and create no file; saving never changes the decoded image.
"""

from __future__ import annotations

import io
import os
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _common import SHARED_DATA, Provider, main, not_implemented, signal, work_folder  # noqa: E402

from tessaroid import _obj_writer as ow  # noqa: E402

CONTROL = 24
MODES = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}
QUALITIES = [0, 1, 50, 90, 95, 100, 150, -5, 2**31 - 1]
BIG = 1 << 22  # samples; above this only a few small regions are checked


def read_image(path: str) -> "np.ndarray":
    from PIL import Image

    with Image.open(path) as im:
        im.load()
        return im.mode, im.size, np.asarray(im)


def as_hwc(a: "np.ndarray") -> "np.ndarray":
    return a[:, :, None] if a.ndim == 2 else a


def image_format(data: bytes) -> str:
    for magic, name in ((b"\x89PNG", "png"), (b"\xff\xd8", "jpeg"), (b"GIF8", "gif"), (b"BM", "bmp"),
                        (b"\x53\x80\xf6\x34", "pic")):
        if data.startswith(magic):
            return name
    return "other"


def coordinate(p: Provider, size: int) -> int:
    r = p.int_in(0, 7)
    if r == 0:
        return p.pick([-2**31, 2**31 - 1, -1, 0, size, size + 1, 10**6])
    return p.int_in(-3, size + 3)


def generate(data: bytes):
    return data[:CONTROL], data[CONTROL:]


def one_input(data: bytes) -> None:
    check_case(generate(data))


def check_case(case) -> None:
    ctrl, image = Provider(case[0]), case[1]
    folder = work_folder("tex")
    for name in os.listdir(folder):
        os.unlink(os.path.join(folder, name))

    t = ow.DecodedTexture()
    ok = t.decode(image)
    assert ok is True or ok is False, f"decode returned {ok!r}"
    w, h, c = t.width, t.height, t.channels
    signal(("decode", image_format(image), ok, c, min(w, 9), min(h, 9)))
    if not ok:
        assert (w, h, c) == (0, 0, 0), f"failed decode left {(w, h, c)}"
        path = os.path.join(folder, "none.png")
        assert t.crop_and_save(0, 0, 8, 8, path) is False
        assert t.flip_and_save(path) is False
        assert not os.path.exists(path), "a save without an image created a file"
        return
    assert w > 0 and h > 0 and c in MODES, f"decoded {(w, h, c)}"

    big = w * h * c > BIG
    full = None
    if not big:
        full_path = os.path.join(folder, "full.png")
        assert t.flip_and_save(full_path) is True, "flip_and_save failed on a decoded image"
        mode, size, flipped = read_image(full_path)
        assert mode == MODES[c] and size == (w, h), f"full image read back as {mode} {size}, decoded {(w, h, c)}"
        full = as_hwc(flipped)[::-1]  # the decoded image, top row first
        full_bytes = Path(full_path).read_bytes()

    for i in range(ctrl.int_in(1, 4)):
        x0, y0, x1, y1 = coordinate(ctrl, w), coordinate(ctrl, h), coordinate(ctrl, w), coordinate(ctrl, h)
        if big:  # keep regions small on huge images
            x1, y1 = min(x1, max(x0, 0) + 64), min(y1, max(y0, 0) + 64)
        as_png = ctrl.boolean()
        quality = ctrl.pick(QUALITIES)
        path = os.path.join(folder, f"r{i}.{'png' if as_png else 'jpg'}")
        res = t.crop_and_save(x0, y0, x1, y1, path, as_png, quality)
        cx0, cy0, cx1, cy1 = max(x0, 0), max(y0, 0), min(x1, w), min(y1, h)
        rw, rh = cx1 - cx0, cy1 - cy0
        signal(("crop", as_png, rw > 0, rh > 0, res))
        label = f"crop {(x0, y0, x1, y1)} of {(w, h, c)} as {'PNG' if as_png else f'JPEG q{quality}'}"
        if rw < 1 or rh < 1 or (not as_png and (rw > 65535 or rh > 65535)):
            assert res is False, f"{label}: empty region gave {res!r}"
            assert not os.path.exists(path), f"{label}: refused save created a file"
            continue
        assert res is True, f"{label}: returned {res!r}"
        mode, size, got = read_image(path)
        assert size == (rw, rh), f"{label}: written size {size}"
        if as_png:
            assert mode == MODES[c], f"{label}: written as {mode}"
            if full is not None:
                want = full[cy0:cy1, cx0:cx1][::-1]
                assert np.array_equal(as_hwc(got), want), f"{label}: pixels differ"
        else:
            assert mode == "RGB", f"{label}: JPEG read back as {mode}"
            if full is not None and quality in (0, 90, 95, 100, 150, 2**31 - 1):
                region = full[cy0:cy1, cx0:cx1][::-1].astype(np.float64)
                grey = region[:, :, 0] if c <= 2 else region[:, :, :3].mean(axis=2)
                err = abs(got.astype(np.float64).mean(axis=2).mean() - grey.mean())
                assert err < 12, f"{label}: mean level off by {err:.1f}"

    if full is not None:
        again = os.path.join(folder, "again.png")
        assert t.flip_and_save(again) is True
        assert Path(again).read_bytes() == full_bytes, "saving changed the decoded image"

    assert t.decode(b"") is False and (t.width, t.height, t.channels) == (0, 0, 0)




def generated_images():
    """Small images in every layout the decoder handles, made with Pillow."""
    from PIL import Image

    rng = np.random.default_rng(7)
    out = []
    for mode, shape in (("L", ()), ("LA", (2,)), ("RGB", (3,)), ("RGBA", (4,))):
        for w, h in ((1, 1), (7, 5), (33, 17)):
            arr = rng.integers(0, 256, (h, w) + shape, dtype=np.uint8)
            im = Image.fromarray(arr, mode)
            for fmt, kw in (("PNG", {}), ("PNG", {"optimize": True})):
                buf = io.BytesIO()
                im.save(buf, fmt, **kw)
                out.append(buf.getvalue())
            if mode in ("L", "RGB"):
                for kw in ({"quality": 90}, {"quality": 30, "progressive": True}):
                    buf = io.BytesIO()
                    im.save(buf, "JPEG", **kw)
                    out.append(buf.getvalue())
            if mode in ("L", "RGB", "RGBA"):
                for fmt in ("GIF", "BMP"):
                    buf = io.BytesIO()
                    (im.convert("P") if fmt == "GIF" else im.convert("RGB" if mode == "RGBA" else mode)).save(buf, fmt)
                    out.append(buf.getvalue())
    buf = io.BytesIO()
    Image.fromarray(rng.integers(0, 65536, (6, 9), dtype=np.uint16)).save(buf, "PNG")  # 16-bit grey
    out.append(buf.getvalue())
    return out


def sample_images():
    """Real textures from the shared sample data, when it is present."""
    if not SHARED_DATA.is_dir():
        return []
    files = sorted(p for ext in ("*.png", "*.jpg", "*.jpeg", "*.gif", "*.bmp")
                   for p in SHARED_DATA.rglob(ext) if p.stat().st_size <= 64 * 1024)
    return [p.read_bytes() for p in files]


def seeds():
    out = []
    for i, img in enumerate(generated_images() + sample_images()):
        ctrl = bytes((i * 37 + k * 11) & 0xFF for k in range(CONTROL))
        out.append(ctrl + img)
    return out


def available() -> bool:
    return not not_implemented(lambda: ow.DecodedTexture().decode(b"x"))


if __name__ == "__main__":
    main(globals())

"""DecodedTexture: class surface, argument handling and failed saves that leave no file."""

import copy
import gc
import io
import os
import pickle
import subprocess

import numpy as np
import pytest
from PIL import Image

def png_bytes(h=16, w=16, c=4, seed=0):
    img = np.random.default_rng(seed).integers(0, 256, (h, w, c), np.uint8)
    buf = io.BytesIO()
    Image.fromarray(img.squeeze()).save(buf, "PNG")
    return buf.getvalue()


@pytest.fixture
def tex(ow):
    t = ow.DecodedTexture()
    assert t.decode(png_bytes())
    return t


# --- class surface ----------------------------------------------------------

def test_constructor_ignores_arguments_starts_empty_and_sizes_are_read_only(ow, tmp_path):
    t = ow.DecodedTexture(1, 2, k=3)
    assert (t.width, t.height, t.channels) == (0, 0, 0)
    out = tmp_path / "o.png"
    assert t.crop_and_save(0, 0, 1, 1, str(out)) is False
    assert t.flip_and_save(str(out)) is False
    assert not out.exists()
    for name in ("width", "height", "channels", "anything"):  # read-only, and no __dict__
        with pytest.raises(AttributeError):
            setattr(t, name, 3)


def test_subclass_works_like_the_base(ow, tmp_path):
    class Sub(ow.DecodedTexture):
        def __init__(self, tag):
            super().__init__()
            self.tag = tag

    s = Sub("x")
    assert s.tag == "x" and s.decode(png_bytes())
    assert s.flip_and_save(str(tmp_path / "o.png"))
    del s
    gc.collect()


@pytest.mark.parametrize("act", [pickle.dumps, lambda t: pickle.dumps(t, protocol=0), copy.copy,
                                 lambda t: t.__setstate__({})])
def test_pickling_and_copying_are_refused(ow, act):
    with pytest.raises(TypeError) as e:
        act(ow.DecodedTexture())
    assert str(e.value) == "no default __reduce__ due to non-trivial __cinit__"


# --- argument handling ------------------------------------------------------

# Counts, integer conversion and exact types go through the shared binder (test_module.py);
# these are the path and data checks of the texture methods themselves.
@pytest.mark.parametrize("call, exc, message", [
    (lambda t, d: t.decode(None), TypeError, "expected bytes, NoneType found"),
    (lambda t, d: t.crop_and_save(0, 0, 8, 8, None), AttributeError,
     "'NoneType' object has no attribute 'encode'"),
    (lambda t, d: t.flip_and_save(None), AttributeError, "'NoneType' object has no attribute 'encode'"),
    (lambda t, d: t.flip_and_save(str(d / "\udc80.png")), UnicodeEncodeError, None),
    (lambda t, d: t.flip_and_save(str(d / "a.png\0.txt")), ValueError, "embedded null character"),  # not truncated
])
def test_argument_errors_write_nothing(tex, tmp_path, call, exc, message):
    with pytest.raises(exc) as e:
        call(tex, tmp_path)
    if message is not None:
        assert str(e.value) == message
    assert os.listdir(tmp_path) == []


def test_keywords_floats_and_utf8_names(tex, tmp_path):
    out = tmp_path / "ünïcode région.png"
    assert tex.crop_and_save(y1=8.9, x1=8, y0=0, x0=0.9, path=str(out), jpeg_quality=5)
    with Image.open(out) as im:
        assert im.size == (8, 8) and im.format == "PNG"


# --- failed saves leave no file ---------------------------------------------

@pytest.mark.parametrize("as_png", [True, False])
def test_unwritable_targets_return_false(tex, tmp_path, as_png):
    out = tmp_path / "missing" / "o.png"
    assert tex.flip_and_save(str(out), as_png) is False
    assert not out.parent.exists()
    if os.path.exists("/dev/full"):  # the failed write must not remove the device node
        assert tex.flip_and_save("/dev/full", as_png) is False
        assert os.path.exists("/dev/full")


@pytest.fixture
def mounted(tmp_path):
    """Mounts tmpfs file systems (root only); skips when not permitted."""
    mounts = []

    def mount(options):
        where = tmp_path / f"mnt{len(mounts)}"
        where.mkdir()
        cmd = ["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(where)]
        if subprocess.run(cmd, capture_output=True).returncode:
            pytest.skip("cannot mount a tmpfs here")
        mounts.append(where)
        return where

    yield mount
    for where in mounts:
        subprocess.run(["umount", str(where)], capture_output=True)


def test_read_only_or_full_filesystem_returns_false_and_leaves_no_file(ow, mounted):
    ro, small = mounted("ro,size=64k"), mounted("size=64k")
    t = ow.DecodedTexture()
    assert t.decode(png_bytes(256, 256, 4, seed=1))  # noise: about 260 kB as PNG or JPEG
    for as_png in (True, False):
        assert t.flip_and_save(str(ro / "o.img"), as_png) is False
        assert t.flip_and_save(str(small / "big.img"), as_png, 100) is False  # partial file removed
        assert os.listdir(ro) == [] and os.listdir(small) == []
    assert t.crop_and_save(0, 0, 16, 16, str(small / "small.png")) is True
    assert os.listdir(small) == ["small.png"]

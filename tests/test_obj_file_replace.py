"""shift_obj_file replaces the file atomically: on failure the original stays as it
was and no temporary is left behind; on success the file keeps its mode, and a
symbolic link keeps pointing at the rewritten file. Reading goes through the `open`
found at import."""

import errno
import os
import stat
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TEXT = b"# tile\nv 1 2 3\nvt 0.5 0.5\nf 1/1 1/1 1/1\n"
SHIFTED = b"# tile\nv 0.000000 1.000000 2.000000\nvt 0.5 0.5\nf 1/1 1/1 1/1\n"


def test_shift_keeps_mode_and_leaves_only_the_file(ow, tmp_path):
    p = tmp_path / "a.obj"
    p.write_bytes(TEXT)
    p.chmod(0o640)
    assert ow.shift_obj_file(str(p), 1, 1, 1) == 1
    assert p.read_bytes() == SHIFTED
    assert stat.S_IMODE(p.stat().st_mode) == 0o640
    assert os.listdir(tmp_path) == ["a.obj"]


def test_shift_through_symlink_rewrites_its_target(ow, tmp_path):
    (tmp_path / "real").mkdir()
    target = tmp_path / "real" / "a.obj"
    target.write_bytes(TEXT)
    link = tmp_path / "link.obj"
    link.symlink_to(target)
    assert ow.shift_obj_file(str(link), 1, 1, 1) == 1
    assert link.is_symlink() and target.read_bytes() == SHIFTED
    assert os.listdir(tmp_path / "real") == ["a.obj"]


def test_missing_file_creates_nothing(ow, tmp_path):
    with pytest.raises(FileNotFoundError):
        ow.shift_obj_file(str(tmp_path / "no.obj"), 0, 0, 0)
    assert os.listdir(tmp_path) == []


@pytest.fixture
def readonly_dir(tmp_path):
    """A folder where no file can be created, holding a writable a.obj."""
    d = tmp_path / "ro"
    d.mkdir()
    (d / "a.obj").write_bytes(TEXT)
    if os.geteuid() == 0:  # root ignores mode bits; an immutable folder stops it too
        if subprocess.run(["chattr", "+i", str(d)], capture_output=True).returncode != 0:
            pytest.skip("cannot make a folder immutable here")
        yield d
        subprocess.run(["chattr", "-i", str(d)], check=True)
    else:
        d.chmod(0o555)
        yield d
        d.chmod(0o755)


def test_failed_rewrite_in_readonly_folder_leaves_original(ow, readonly_dir):
    with pytest.raises(PermissionError):
        ow.shift_obj_file(str(readonly_dir / "a.obj"), 1, 1, 1)
    assert (readonly_dir / "a.obj").read_bytes() == TEXT
    assert os.listdir(readonly_dir) == ["a.obj"]


@pytest.fixture
def small_tmpfs(tmp_path):
    d = tmp_path / "mnt"
    d.mkdir()
    if os.geteuid() != 0 or subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=1536k", "tmpfs", str(d)],
            capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    yield d
    subprocess.run(["umount", str(d)], check=True)


# 0.5 MB grows to 1.8 MB (fails when the output is complete); 1.1 MB leaves too
# little room even for the first megabyte written.
@pytest.mark.parametrize("lines", [60_000, 140_000])
def test_failed_rewrite_on_full_disk_leaves_original(ow, small_tmpfs, lines):
    p = small_tmpfs / "a.obj"
    text = b"v 1 2 3\n" * lines
    p.write_bytes(text)
    with pytest.raises(OSError) as info:
        ow.shift_obj_file(str(p), 1, 1, 1)
    assert info.value.errno == errno.ENOSPC and info.value.filename == str(p)
    assert p.read_bytes() == text
    assert os.listdir(small_tmpfs) == ["a.obj"]


READ_NOT_BYTES = textwrap.dedent("""
    import builtins, sys
    real_open, calls = builtins.open, []
    class Fake:
        def __enter__(self): return self
        def __exit__(self, *exc): calls.append(exc[0]); return False
        def read(self): return 'text'
    builtins.open = lambda *a: Fake()
    from tessaroid import _obj_writer as ow
    builtins.open = real_open   # the module keeps the open it found at import
    for fn, args in ((ow.compute_obj_extent, ()), (ow.shift_obj_file, (0, 0, 0))):
        try:
            fn(sys.argv[1], *args)
        except TypeError as e:
            print(e)
    print([c.__name__ for c in calls])
""")


def test_read_result_must_be_bytes(tmp_path):
    p = tmp_path / "a.obj"
    p.write_bytes(TEXT)
    res = subprocess.run([sys.executable, "-c", READ_NOT_BYTES, str(p)], capture_output=True,
                         text=True, env=dict(os.environ, PYTHONPATH=str(ROOT)))
    assert res.returncode == 0, res.stderr
    assert res.stdout.splitlines() == ["Expected bytes, got str"] * 2 + ["['TypeError', 'TypeError']"]
    assert p.read_bytes() == TEXT

"""Shared test fixtures: the real sample data beside the project, and the module."""

import os
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SHARED_DATA = Path(os.environ.get("TESSAROID_SHARED_DATA", ROOT.parent / "shared" / "data"))


@pytest.fixture(scope="session")
def shared_data() -> Path:
    """The folder of real glTF / 3D Tiles samples; tests using it skip when absent."""
    if not SHARED_DATA.is_dir():
        pytest.skip(f"sample data not found at {SHARED_DATA}")
    return SHARED_DATA


@pytest.fixture(scope="session")
def ow():
    """The native module."""
    from tessaroid import _obj_writer

    return _obj_writer


def test_seed(name: str) -> int:
    """The seed of a random test: TESSAROID_SEED when set (to replay a run),
    a fresh one when TESSAROID_RANDOM_SEEDS=1 (longer hunts by hand),
    otherwise a fixed seed per test so that CI runs are repeatable."""
    import random
    import zlib

    if "TESSAROID_SEED" in os.environ:
        seed = int(os.environ["TESSAROID_SEED"])
    elif os.environ.get("TESSAROID_RANDOM_SEEDS") == "1":
        seed = random.randrange(2**32)
    else:
        seed = zlib.crc32(name.encode())
    print(f"{name}: seed {seed} (set TESSAROID_SEED to repeat)")
    return seed


test_seed.__test__ = False  # a helper, not a test

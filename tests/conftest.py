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

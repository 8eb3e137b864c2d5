"""The lazy traversal: selection decided on the way down, external tile sets and
subtrees read only where the selection reaches, and `inspect`."""

from __future__ import annotations

import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

import tessaroid
from tessaroid.demo import make_demo_tileset

# Quadrant 0 of the demo quadtree is its south-west child.
DEMO_W, DEMO_S, DEMO_E, DEMO_N = 138.6474, 35.2806, 138.8074, 35.4406
SOUTH_WEST = (DEMO_W + 0.005, DEMO_S + 0.005, DEMO_W + 0.01, DEMO_S + 0.01)


def _external_demo(root: Path, refine: str = "REPLACE") -> Path:
    """The 3-level demo quadtree with each depth-1 branch moved into its own external
    tile set ext<k>.json, referenced by a tile without a transform."""
    make_demo_tileset(root, levels=3, grid=3, texture_size=4)
    ts = json.loads((root / "tileset.json").read_text())
    kids = []
    for k, ch in enumerate(ts["root"]["children"]):
        (root / f"ext{k}.json").write_text(json.dumps({"asset": {"version": "1.0"}, "geometricError": 1000,
                                                       "root": ch}))
        kids.append({"boundingVolume": ch["boundingVolume"], "geometricError": 1000.0,
                     "content": {"uri": f"ext{k}.json"}})
    ts["root"]["children"] = kids
    ts["root"]["refine"] = refine
    (root / "tileset.json").write_text(json.dumps(ts))
    return root / "tileset.json"


def _names(summary) -> list[str]:
    return sorted(Path(f).stem for f in summary.obj_files)


@pytest.mark.parametrize("refine,kwargs,expected", [
    ("REPLACE", {}, ["L1_tile_0", "L1_tile_1", "L1_tile_2", "L1_tile_3", "tile_root"]
     + [f"L2_tile_{a}_{b}" for a in range(4) for b in range(4)]),
    # A branch within the error ends at the first fine-enough tile; the referencing
    # tile (within the error too) continues into its external tile set's root.
    ("REPLACE", {"max_error": 1000}, ["L1_tile_0", "L1_tile_1", "L1_tile_2", "L1_tile_3"]),
    ("ADD", {"max_error": 1000}, ["L1_tile_0", "L1_tile_1", "L1_tile_2", "L1_tile_3", "tile_root"]),
    # Nothing is fine enough: the leaves are taken whatever their error.
    ("REPLACE", {"max_error": 0}, [f"L2_tile_{a}_{b}" for a in range(4) for b in range(4)]),
    # An external tile set's root is one deeper than the tile referencing it: L1 is at depth 2.
    ("REPLACE", {"max_depth": 1}, ["tile_root"]),
    ("REPLACE", {"max_depth": 2}, ["L1_tile_0", "L1_tile_1", "L1_tile_2", "L1_tile_3", "tile_root"]),
    ("REPLACE", {"leaves": True, "max_depth": 2}, ["L1_tile_0", "L1_tile_1", "L1_tile_2", "L1_tile_3"]),
])
def test_selection_across_external_tile_sets(tmp_path, refine, kwargs, expected):
    ts = _external_demo(tmp_path / "src", refine)
    s = tessaroid.convert(ts, tmp_path / "out", workers=2, **kwargs)
    assert s.ok and _names(s) == sorted(expected)


def test_branches_outside_the_selection_are_never_read(tmp_path):
    ts = _external_demo(tmp_path / "src")
    # Were they read, these would be reported as failures.
    for k in (1, 2, 3):
        (tmp_path / "src" / f"ext{k}.json").unlink()
    s = tessaroid.convert(ts, tmp_path / "out", bbox=SOUTH_WEST)
    assert s.ok and _names(s) == ["L1_tile_0", "L2_tile_0_0", "tile_root"]
    (tmp_path / "src" / "ext0.json").unlink()
    s = tessaroid.convert(ts, tmp_path / "out2", max_depth=0)
    assert s.ok and _names(s) == ["tile_root"]


@pytest.mark.parametrize("self_reference", ["tileset.json", "./sub/../tileset.json"])
def test_tile_set_that_includes_itself_is_stopped(tmp_path, self_reference):
    make_demo_tileset(tmp_path, levels=1, grid=3, texture_size=4)
    ts = json.loads((tmp_path / "tileset.json").read_text())
    ts["root"]["children"] = [{"boundingVolume": ts["root"]["boundingVolume"], "geometricError": 1,
                               "content": {"uri": self_reference}}]
    (tmp_path / "tileset.json").write_text(json.dumps(ts))
    s = tessaroid.convert(tmp_path / "tileset.json", tmp_path / "out")
    assert s.converted == 1 and s.failed == 1
    assert "never ends" in s.failures[0][1]


def test_implicit_tiles_named_and_pruned(shared_data, tmp_path):
    src = shared_data / "tiles/3d-tiles-samples/SparseImplicitQuadtree/tileset.json"
    s = tessaroid.convert(src, tmp_path / "all")
    assert s.ok and s.converted == 32 and all(re_name(n) for n in _names(s))
    # The region spans 0..90 degrees; the south-west eighth holds fewer tiles.
    part = tessaroid.convert(src, tmp_path / "part", bbox=(0, 0, 10, 10))
    assert part.ok and 0 < part.converted < 32 and set(_names(part)) <= set(_names(s))
    coarse = tessaroid.convert(src, tmp_path / "coarse", max_error=1)
    assert coarse.ok and _names(coarse) == _names(s)  # contents only at the last level


def re_name(name: str) -> bool:
    import re

    return re.fullmatch(r"content_\d+__\d+_\d+", name) is not None


def test_inspect_reads_no_content(tmp_path):
    ts = _external_demo(tmp_path)
    for glb in tmp_path.rglob("*.glb"):
        glb.unlink()
    from tessaroid.inspection import inspect

    ins = inspect(ts).as_dict()
    assert (ins["tiles"], ins["contents"], ins["selected_contents"]) == (25, 21, 21) and not ins["errors"]
    assert [(d["depth"], d["tiles"], d["contents"]) for d in ins["depths"]] == [(0, 1, 1), (1, 4, 0),
                                                                                 (2, 4, 4), (3, 16, 16)]
    assert ins["depths"][3]["geometric_error"] == [500.0, 500.0] and ins["content_kinds"] == {".glb": 21}
    w, s, e, n = ins["depths"][0]["extent"]
    assert math.isclose(w, DEMO_W, abs_tol=1e-6) and math.isclose(n, DEMO_N, abs_tol=1e-6)
    # The selection reaches one branch: the other external tile sets are not read.
    for k in (1, 2, 3):
        (tmp_path / f"ext{k}.json").unlink()
    part = inspect(ts, bbox=SOUTH_WEST).as_dict()
    assert (part["tiles"], part["selected_contents"], part["errors"]) == (4, 3, [])
    assert [d["tiles"] for d in part["depths"]] == [1, 1, 1, 1]


def test_inspect_command_json_and_text(tmp_path):
    ts = _external_demo(tmp_path)
    run = lambda *a: subprocess.run([sys.executable, "-m", "tessaroid", "inspect", str(ts), *a],  # noqa: E731
                                    capture_output=True, text=True, timeout=120,
                                    cwd=Path(tessaroid.__file__).parents[1])
    js = run("--json", "--max-error", "1000")
    assert js.returncode == 0, js.stderr
    assert json.loads(js.stdout)["selected_contents"] == 4
    text = run("--bbox=0,0,1,1")
    conv = subprocess.run([sys.executable, "-m", "tessaroid", "convert", str(ts), "-o", str(tmp_path / "o"),
                           "--bbox=0,0,1,1"], capture_output=True, text=True, timeout=120,
                          cwd=Path(tessaroid.__file__).parents[1])
    assert conv.returncode == 0 and conv.stdout.startswith("nothing was selected"), conv
    assert text.returncode == 0 and "the selection keeps 0 contents" in text.stdout
    bad = run("--max-error", "-1")
    assert bad.returncode == 2 and bad.stderr.count("\n") == 1 and "max_error" in bad.stderr

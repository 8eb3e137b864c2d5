"""Implicit tiling: subtrees decoded into tiles lazily, volumes split exactly, hostile subtrees refused."""

import json
import random
import re
import struct
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

from tessaroid.errors import ConversionError
from tessaroid.implicit import ImplicitError, expand_template, implicit_root, subtree_from_bytes, tile_volume

SAMPLE = "tiles/3d-tiles-samples/SparseImplicitQuadtree"


class Missing(ConversionError):
    status = 404


class Loc:
    """The three members of a source location, over local files, logging every read."""

    def __init__(self, path, log):
        self.path, self.log = Path(path), log

    def join(self, uri):
        return Loc(self.path.parent / uri, self.log)

    def read(self):
        self.log.append(self.path.name)
        if not self.path.is_file():
            raise Missing(f"{self.display}: not found")
        return self.path.read_bytes()

    @property
    def display(self):
        return str(self.path)


def coords_of(morton, dims):
    """De-interleaves a Morton index: bit 3k + d (2k + d for a quadtree) is bit k of axis d."""
    out = [0, 0, 0]
    for bit in range(40):
        out[bit % dims] |= (morton >> bit & 1) << (bit // dims)
    return out


def walk(tile):
    yield tile
    for child in tile.children():
        yield from walk(child)


def key(tile):
    return tuple(int(v) for v in re.findall(r"/[Lxyz](\d+)", tile.id))


def root_for(tileset: Path, errors, log, **kw):
    doc = json.loads(tileset.read_text())
    args = dict(tile_id="root", depth=2, matrix=np.eye(4), refine="ADD", y_up=True) | kw
    return implicit_root(doc["root"], base=Loc(tileset, log), errors=errors, **args)


# ------------------------------------------------------------------ real sample


def decode_sample(folder: Path):
    """An independent reading of the sample's subtrees: (available tiles, tiles with content)."""
    tiles, content, pending = set(), set(), [(0, 0, 0)]
    while pending:
        level0, x0, y0 = pending.pop()
        data = (folder / f"subtrees/{level0}.{x0}.{y0}.subtree").read_bytes()
        json_len, bin_len = struct.unpack_from("<QQ", data, 8)
        doc = json.loads(data[24:24 + json_len])
        binary = data[24 + json_len:]

        def bits(avail, count):
            if "constant" in avail:
                return [avail["constant"]] * count
            view = doc["bufferViews"][avail["bitstream"]]
            raw = np.frombuffer(binary[view["byteOffset"]:view["byteOffset"] + view["byteLength"]], np.uint8)
            return np.unpackbits(raw, bitorder="little")[:count].tolist()

        t, c = bits(doc["tileAvailability"], 21), bits(doc["contentAvailability"][0], 21)
        for i in range(21):
            level = next(lv for lv in range(3) if i < (4 ** (lv + 1) - 1) // 3)
            dx, dy, _ = coords_of(i - (4 ** level - 1) // 3, 2)
            k = (level0 + level, (x0 << level) + dx, (y0 << level) + dy)
            tiles |= {k} if t[i] else set()
            content |= {k} if c[i] else set()
        for m, bit in enumerate(bits(doc["childSubtreeAvailability"], 64)):
            if bit:
                dx, dy, _ = coords_of(m, 2)
                pending.append((level0 + 3, (x0 << 3) + dx, (y0 << 3) + dy))
    return tiles, content


def test_sample_tiles_and_contents_match_an_independent_decoding(shared_data):
    folder = shared_data / SAMPLE
    errors, log = [], []
    tiles = list(walk(root_for(folder / "tileset.json", errors, log)))
    assert not errors
    want_tiles, want_content = decode_sample(folder)
    assert {key(t) for t in tiles} == want_tiles and len(tiles) == len(want_tiles) == 63
    with_content = {key(t): t for t in tiles if t.contents}
    assert set(with_content) == want_content
    names = {f"content_{lv}__{x}_{y}.glb" for lv, x, y in want_content}
    assert names == {p.name for p in (folder / "content").iterdir()}
    for (lv, x, y), t in with_content.items():
        (c,) = t.contents
        assert c.location.path == folder / f"content/content_{lv}__{x}_{y}.glb" and c.bounding_volume is None
        assert t.depth == 2 + lv and t.geometric_error == 32.0 / 2 ** lv and t.refine == "ADD"
        assert t.leaf and not t.children()
    assert all(not t.leaf for t in tiles if key(t)[0] < 5)
    assert sorted(log) == sorted(f"{a}.{b}.{c}.subtree" for a, b, c in
                                 [(0, 0, 0)] + [k for k in want_tiles if k[0] == 3])


def test_sample_reads_a_child_subtree_only_when_its_root_is_loaded(shared_data):
    errors, log = [], []
    root = root_for(shared_data / SAMPLE / "tileset.json", errors, log)
    assert log == []
    level2 = [g for c in root.children() for g in c.children()]
    assert log == ["0.0.0.subtree"] and all(not t.leaf for t in level2)
    level3 = [t for g in level2 for t in g.children()]
    assert log == ["0.0.0.subtree"] and len(level3) == 8
    target = next(t for t in level3 if key(t) == (3, 5, 0))
    target.load()
    target.children()
    assert log == ["0.0.0.subtree", "3.5.0.subtree"]


# ------------------------------------------------------------------ volumes


@pytest.mark.parametrize("volume,scheme", [
    ({"region": [-1.2, 0.3, -1.1, 0.35, -10.0, 250.0]}, "QUADTREE"),
    ({"region": [-1.2, 0.3, -1.1, 0.35, -10.0, 250.0]}, "OCTREE"),
    ({"box": [10.0, -3.0, 7.0, 4.0, 1.0, 0.0, -1.0, 3.0, 0.5, 0.0, 0.2, 2.0]}, "QUADTREE"),
    ({"box": [10.0, -3.0, 7.0, 4.0, 1.0, 0.0, -1.0, 3.0, 0.5, 0.0, 0.2, 2.0]}, "OCTREE"),
])
def test_children_tile_their_parent_exactly(volume, scheme):
    dims = 3 if scheme == "OCTREE" else 2
    rng = random.Random(5)
    for _ in range(30):
        level = rng.randrange(0, 12)
        p = [rng.randrange(1 << level) if d < dims else 0 for d in range(3)]
        parent = tile_volume(volume, scheme, level, *p)
        kids = [tile_volume(volume, scheme, level + 1, *[2 * p[d] + c[d] for d in range(3)])
                for c in (coords_of(m, dims) for m in range(2 ** dims))]
        if "region" in volume:
            for lo, hi in [(0, 2), (1, 3)] + ([(4, 5)] if dims == 3 else []):
                edges = sorted({k["region"][lo] for k in kids} | {k["region"][hi] for k in kids})
                assert edges[0] == parent["region"][lo] and edges[-1] == parent["region"][hi] and len(edges) == 3
                assert edges[1] == pytest.approx((edges[0] + edges[2]) / 2, rel=1e-14)
            if dims == 2:
                assert all(k["region"][4:] == parent["region"][4:] for k in kids)
        else:
            def points(box, steps):
                b = np.array(box["box"])
                return b[:3] + (np.array(steps, float) - 1) @ b[3:].reshape(3, 3)
            corners = [s for s in np.ndindex(3, 3, 3) if 1 not in s]
            union = np.concatenate([points(k, corners) for k in kids])
            # The children's corners are the parent's corners plus the midpoints of the split axes.
            lattice = points(parent, [s for s in np.ndindex(3, 3, 3) if dims == 3 or s[2] != 1])
            dist = np.linalg.norm(union[:, None] - lattice[None], axis=2)
            assert dist.min(axis=1).max() < 1e-9 and dist.min(axis=0).max() < 1e-9


def test_region_across_the_antimeridian_splits_the_short_way_round():
    volume = {"region": [3.0, -0.1, -3.0, 0.1, 0.0, 1.0]}  # 0.28 rad wide, across longitude 180
    tiles = [tile_volume(volume, "QUADTREE", 2, x, 0)["region"] for x in range(4)]
    widths = [(e - w) % (2 * np.pi) for w, _, e, *_ in tiles]
    assert tiles[0][0] == 3.0 and tiles[3][2] == -3.0 and widths == pytest.approx([(2 * np.pi - 6) / 4] * 4)
    assert all(-np.pi <= v <= np.pi for t in tiles for v in (t[0], t[2]))
    assert all(a[2] == b[0] for a, b in zip(tiles, tiles[1:]))


# ------------------------------------------------------------------ generated trees


def pack(bits):
    return np.packbits(np.array(bits, np.uint8), bitorder="little").tobytes()


def subtree_file(avail, form, ext_name="b.bin"):
    """A subtree holding `avail` = {name: constant or bit list}, binary or JSON with an external buffer."""
    blob, views, doc = b"", [], {}
    for name, value in avail.items():
        if isinstance(value, int):
            entry = {"constant": value}
        else:
            data = pack(value)
            views.append({"buffer": 0, "byteOffset": len(blob), "byteLength": len(data)})
            entry = {"bitstream": len(views) - 1, "availableCount": sum(value)}
            blob += data + b"\0" * (-len(data) % 8)
        if name.startswith("content"):
            doc.setdefault("contentAvailability", []).append(entry)
        else:
            doc[name] = entry
    if views:
        doc["buffers"] = [{"byteLength": len(blob)} | ({} if form == "binary" else {"uri": ext_name})]
        doc["bufferViews"] = views
    text = json.dumps(doc).encode()
    if form == "json":
        return text, blob
    text += b" " * (-len(text) % 8)
    return struct.pack("<4sIQQ", b"subt", 1, len(text), len(blob)) + text + blob, None


def write_tree(folder: Path, truth, contents, scheme, levels, available, form, volume):
    """Writes subtrees encoding `truth` (a set of available (level, x, y, z)) and `contents`
    (per content index, the set of tiles carrying it); returns the tile set path."""
    n, dims = (8, 3) if scheme == "OCTREE" else (4, 2)
    ext = "json" if form == "json" else "subtree"
    xyz = "{x}.{y}.{z}" if dims == 3 else "{x}.{y}"
    for root in [t for t in truth if t[0] % levels == 0]:
        def at(level, m):
            c = coords_of(m, dims)
            return (root[0] + level, *[(root[1 + d] << level) + c[d] for d in range(3)])
        tiles = [at(lv, m) for lv in range(levels) for m in range(n ** lv)]
        avail = {"tileAvailability": [int(t in truth) for t in tiles]}
        avail |= {f"content{i}": [int(t in s) for t in tiles] for i, s in enumerate(contents)}
        avail["childSubtreeAvailability"] = [int(at(levels, m) in truth) for m in range(n ** levels)]
        name = "sub/" + expand_template(f"{{level}}.{xyz}.{ext}", root[0], root[1], root[2],
                                        root[3] if dims == 3 else None)
        data, ext_buffer = subtree_file(avail, form, ext_name=Path(name).stem + ".bin")
        (folder / name).parent.mkdir(exist_ok=True)
        (folder / name).write_bytes(data)
        if ext_buffer is not None:
            (folder / name).with_suffix(".bin").write_bytes(ext_buffer)
    root = {"boundingVolume": volume, "geometricError": 100.0,
            "contents": [{"uri": f"c{i}/{{level}}/{xyz.replace('.', '/')}.glb"} for i in range(len(contents))],
            "implicitTiling": {"subdivisionScheme": scheme, "subtreeLevels": levels, "availableLevels": available,
                               "subtrees": {"uri": f"sub/{{level}}.{xyz}.{ext}"}}}
    (folder / "tileset.json").write_text(json.dumps({"asset": {"version": "1.1"}, "root": root}))
    return folder / "tileset.json"


def random_truth(rng, scheme, available, contents):
    n, dims = (8, 3) if scheme == "OCTREE" else (4, 2)
    truth, frontier = {(0, 0, 0, 0)}, [(0, 0, 0, 0)]
    while frontier:
        lv, *p = frontier.pop()
        for m in range(n) if lv + 1 < available else ():
            c = coords_of(m, dims)
            if rng.random() < 0.3:
                t = (lv + 1, *[2 * p[d] + c[d] for d in range(3)])
                truth.add(t)
                frontier.append(t)
    return truth, [{t for t in truth if rng.random() < 0.5} for _ in range(contents)]


BOX = {"box": [0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 0, 8]}


@pytest.mark.parametrize("scheme,levels,available,form,ncontents", [
    ("OCTREE", 2, 5, "binary", 1), ("OCTREE", 1, 4, "json", 2), ("OCTREE", 3, 5, "json", 0),
    ("QUADTREE", 2, 7, "json", 3), ("QUADTREE", 4, 6, "binary", 2),
])
def test_generated_trees_decode_to_their_availability(tmp_path, scheme, levels, available, form, ncontents):
    rng = random.Random(f"{scheme}{levels}{form}")
    truth, contents = random_truth(rng, scheme, available, ncontents)
    while max(t[0] for t in truth) < available - 1:  # reach the last level, through child subtrees
        truth, contents = random_truth(rng, scheme, available, ncontents)
    path = write_tree(tmp_path, truth, contents, scheme, levels, available, form, BOX)
    errors, log = [], []
    tiles = list(walk(root_for(path, errors, log)))
    assert not errors
    dims = 3 if scheme == "OCTREE" else 2
    got = {key(t) + (0,) * (3 - dims): t for t in tiles}
    assert set(got) == truth and len(tiles) == len(truth)
    for k, t in got.items():
        want = [tmp_path / (f"c{i}/{k[0]}/" + "/".join(map(str, k[1:dims + 1])) + ".glb")
                for i in range(ncontents) if k in contents[i]]
        assert [c.location.path for c in t.contents] == want
        assert t.bounding_volume == tile_volume(BOX, scheme, *k)
        assert t.leaf == (not any(c in truth for c in
                                  [(k[0] + 1, *[2 * k[1 + d] + coords_of(m, 3)[d] * (d < dims) for d in range(3)])
                                   for m in range(2 ** dims)]))
        kids = [key(c) for c in t.children()]
        assert kids == sorted(kids, key=lambda c: sum(((c[1 + d] & 1) << d) for d in range(dims)))


# ------------------------------------------------------------------ hostile input


def small_tree(tmp_path, form="binary", **tiling):
    truth = {(0, 0, 0, 0), (1, 1, 0, 0), (2, 2, 1, 0), (2, 3, 1, 0), (3, 5, 2, 0)}
    path = write_tree(tmp_path, truth, [truth], "QUADTREE", 2, 4, form,
                      {"region": [-1.0, 0.5, -0.9, 0.6, 0.0, 100.0]})
    doc = json.loads(path.read_text())
    doc["root"]["implicitTiling"] |= tiling
    path.write_text(json.dumps(doc))
    return path


def patch_root(key_, value):
    def f(path):
        doc = json.loads(path.read_text())
        if value is None:
            doc["root"].pop(key_)
        else:
            doc["root"][key_] = value
        path.write_text(json.dumps(doc))
    return f


def edit(name, fn):
    def f(path):
        p = path.parent / "sub" / name
        p.write_bytes(fn(p.read_bytes()))
    return f


def edit_json(name, fn):
    def g(data):
        json_len = struct.unpack_from("<Q", data, 8)[0]
        doc = json.loads(data[24:24 + json_len])
        fn(doc)
        text = json.dumps(doc).encode()
        return struct.pack("<4sIQQ", b"subt", 1, len(text), len(data) - 24 - json_len) + text + data[24 + json_len:]
    return edit(name, g)


def header(version=1, json_delta=0, bin_delta=0):
    def g(data):
        _, _, j, b = struct.unpack_from("<4sIQQ", data)
        return struct.pack("<4sIQQ", b"subt", version, j + json_delta, b + bin_delta) + data[24:]
    return g


S2 = {"extensions": {"3DTILES_bounding_volume_S2": {"token": "1", "minimumHeight": 0, "maximumHeight": 1}}}
HOSTILE = {  # name: (change, where, expected message); "root" raises, anything else is the failing file
    "missing root subtree": (lambda p: (p.parent / "sub/0.0.0.subtree").unlink(), "0.0.0.subtree", "not found"),
    "missing child subtree": (lambda p: (p.parent / "sub/2.3.1.subtree").unlink(), "2.3.1.subtree", "not found"),
    "truncated header": (edit("0.0.0.subtree", lambda d: d[:20]), "0.0.0.subtree", "truncated: 20 bytes"),
    "truncated binary": (edit("2.2.1.subtree", lambda d: d[:-3]), "2.2.1.subtree", "binary chunk"),
    "bad magic": (edit("0.0.0.subtree", lambda d: b"glTF" + d[4:]), "0.0.0.subtree", "not a subtree"),
    "version 2": (edit("0.0.0.subtree", header(version=2)), "0.0.0.subtree", "version 2"),
    "JSON chunk past the end": (edit("0.0.0.subtree", header(json_delta=1 << 40)), "0.0.0.subtree", "JSON chunk"),
    "binary chunk past the end": (edit("0.0.0.subtree", header(bin_delta=1 << 62)), "0.0.0.subtree",
                                  "binary chunk"),
    "short bitstream": (edit_json("0.0.0.subtree", lambda d: d["bufferViews"][0].update(byteLength=0)),
                        "0.0.0.subtree", "bitstream holds 0 bytes, 5 tiles need 1"),
    "view beyond buffer": (edit_json("0.0.0.subtree", lambda d: d["bufferViews"][1].update(byteOffset=1 << 50)),
                           "0.0.0.subtree", "runs past the end of buffer 0"),
    "buffer byteLength beyond data": (edit_json("0.0.0.subtree", lambda d: d["buffers"][0].update(
        byteLength=1 << 60)), "0.0.0.subtree", "declares 1152921504606846976 bytes"),
    "bitstream index out of range": (edit_json("0.0.0.subtree", lambda d: d["tileAvailability"].update(
        bitstream=9)), "0.0.0.subtree", "bufferView 9"),
    "constant 2": (edit_json("0.0.0.subtree", lambda d: d.update(childSubtreeAvailability={"constant": 2})),
                   "0.0.0.subtree", "constant 0 or 1"),
    "no content availability": (edit_json("0.0.0.subtree", lambda d: d.pop("contentAvailability")),
                                "0.0.0.subtree", "contentAvailability has 0 entries"),
    "JSON garbage": (edit("0.0.0.subtree", lambda d: b"{\"buffers\": [" + b"\xff" * 8), "0.0.0.subtree",
                     "not readable"),
    "missing external buffer": (lambda p: (p.parent / "sub/2.2.1.bin").unlink(), "2.2.1.json", "buffer .*2.2.1.bin"),
    "subtreeLevels 20": (None, "root", "subtreeLevels must be .* 1 to 19, not 20"),
    "subtreeLevels 0": (None, "root", "subtreeLevels must be an integer from 1 to 19, not 0"),
    "availableLevels 0": (None, "root", "availableLevels must be an integer from 1 to 30, not 0"),
    "availableLevels 31": (None, "root", "availableLevels must be an integer from 1 to 30, not 31"),
    "S2 volume": (patch_root("boundingVolume", S2), "root", re.escape(
        "tile root: implicit tiling needs a region or box bounding volume to subdivide, not "
        "3DTILES_bounding_volume_S2")),
    "sphere volume": (patch_root("boundingVolume", {"sphere": [0, 0, 0, 1]}), "root", "to subdivide, not sphere"),
    "z in a quadtree template": (patch_root("contents", [{"uri": "{level}/{x}/{y}/{z}.glb"}]), "root",
                                 "uses {z}"),
}
TILING = {"subtreeLevels 20": {"subtreeLevels": 20}, "subtreeLevels 0": {"subtreeLevels": 0},
          "availableLevels 0": {"availableLevels": 0}, "availableLevels 31": {"availableLevels": 31}}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_hostile_input_gives_one_clear_error(tmp_path, name):
    change, where, message = HOSTILE[name]
    path = small_tree(tmp_path, form="json" if "external" in name else "binary", **TILING.get(name, {}))
    if change is not None:
        change(path)
    errors, log = [], []
    if where == "root":
        with pytest.raises(ImplicitError, match=message):
            root_for(path, errors, log)
        return
    tracemalloc.start()
    try:
        root = root_for(path, errors, log)
        for _ in range(2):  # a second pass reports nothing new
            tiles = list(walk(root))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20
    assert len(errors) == 1, errors
    assert Path(errors[0].source).name == where and re.search(message, errors[0].reason), errors[0]
    assert "{" not in "".join(log)  # no template was ever read
    if name == "missing child subtree":  # the other branches are still walked
        assert {key(t) for t in tiles} == {(0, 0, 0), (1, 1, 0), (2, 2, 1), (2, 3, 1), (3, 5, 2)}


def test_tiles_below_available_levels_are_ignored(tmp_path):
    # The files say level 3 exists; the tile set says there are 3 levels only.
    errors, log = [], []
    tiles = list(walk(root_for(small_tree(tmp_path, availableLevels=3), errors, log)))
    assert not errors and {key(t) for t in tiles} == {(0, 0, 0), (1, 1, 0), (2, 2, 1), (2, 3, 1)}
    assert all(t.leaf for t in tiles if key(t)[0] == 2) and sorted(log) == ["0.0.0.subtree", "2.2.1.subtree",
                                                                           "2.3.1.subtree"]


@pytest.mark.parametrize("data", [b"", b"subt", b"[1]", b"{}", b"\x00" * 24, b'{"tileAvailability": {"constant": 1},'
                                  b' "childSubtreeAvailability": {"bitstream": -1}}'])
def test_subtree_from_bytes_refuses_malformed_bytes(data):
    with pytest.raises(ImplicitError):
        subtree_from_bytes(data, subtree_levels=3)

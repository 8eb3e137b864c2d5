"""Fuzz harness: subtree_from_bytes on generated and damaged subtrees.

The first input byte picks the mode. Generated mode builds a subtree from the
input: QUADTREE or OCTREE, a few levels, tile / content / child-subtree
availability each a constant or a bitstream (random bits, level by level),
binary (``subt``) or JSON with external buffers or data URIs; then, now and
then, damages it (truncation, byte changes, header lengths, out-of-range
offsets, lengths, indices and byteLengths, odd subtreeLevels). Raw mode feeds
the rest of the input as the subtree bytes of a 3-level quadtree; seeds there
are the real sample subtrees, read at run time.

Checks: an undamaged subtree decodes to exactly the bits it was built from,
tile by tile per level and Morton index; anything else either raises
ImplicitError or decodes to availabilities that answer every query with a
bool; no other exception; memory stays within a small multiple of the input.
"""

from __future__ import annotations

import base64
import json
import struct
import sys
import tracemalloc
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _common import SHARED_DATA, Provider, main, not_implemented, signal  # noqa: E402

from tessaroid.implicit import ImplicitError, subtree_from_bytes  # noqa: E402

SCHEMES = {"QUADTREE": 4, "OCTREE": 8}
HUGE = [1 << 31, 1 << 32, 1 << 40, 1 << 62, (1 << 64) - 1, 2**70]
HUGE64 = [h for h in HUGE if h < 1 << 64]  # fits a header length


def gen_availability(p: Provider, per_level: list[int]):
    """A constant, or a bitstream: one list of bits per level (the model's view)."""
    if p.chance(3):
        return p.int_in(0, 1)
    return [[p.int_in(0, 1) for _ in range(count)] for count in per_level]


def pack(levels: list[list[int]]) -> bytes:
    bits = [b for level in levels for b in level]
    out = bytearray((len(bits) + 7) // 8)
    for i, b in enumerate(bits):
        out[i >> 3] |= b << (i & 7)
    return bytes(out)


def damage(p: Provider, doc: dict, blob: bytes) -> tuple[dict, bytes, str]:
    """One change that may break the subtree; returns the new JSON, binary and what changed."""
    op = p.int_in(0, 6)
    views, buffers = doc.get("bufferViews", []), doc.get("buffers", [])
    if op == 0 and views:
        p.pick(views)["byteOffset"] = p.pick(HUGE + [p.int_in(0, 64)])
    elif op == 1 and views:
        p.pick(views)["byteLength"] = p.pick(HUGE + [0, p.int_in(0, 64)])
    elif op == 2 and buffers:
        p.pick(buffers)["byteLength"] = p.pick(HUGE + [0, p.int_in(0, 64)])
    elif op == 3:
        key = p.pick(["tileAvailability", "childSubtreeAvailability"])
        doc[key] = p.pick([{"bitstream": p.int_in(0, 9)}, {"constant": p.pick([2, -1, 0.5, True, "1"])}, {}, 7,
                           {"bitstream": -1}, {"bitstream": 1.0}])
    elif op == 4:
        blob = blob[:p.int_in(0, len(blob))]
    elif op == 5:
        doc.pop(p.pick(["buffers", "bufferViews", "tileAvailability", "childSubtreeAvailability"]), None)
    else:
        doc["contentAvailability"] = p.pick([{"constant": 1}, "x", [None], [{"bitstream": 5}]])
    return doc, blob, f"op{op}"


def serialise(p: Provider, doc: dict, blob: bytes, binary: bool, damaged: bool) -> bytes:
    text = json.dumps(doc).encode()
    if not binary:
        return text
    text += b" " * (-len(text) % 8)
    json_len, bin_len, version = len(text), len(blob), 1
    data_cut = None
    if damaged and p.chance(3):
        which = p.int_in(0, 3)
        if which == 0:
            json_len = p.pick(HUGE64 + [json_len + 1, max(0, json_len - 1)])
        elif which == 1:
            bin_len = p.pick(HUGE64 + [bin_len + 1])
        elif which == 2:
            version = p.pick([0, 2, 0xFFFFFFFF])
        else:
            data_cut = p.int_in(0, 24)
    out = struct.pack("<4sIQQ", b"subt", version, json_len, bin_len) + text + blob
    if damaged and p.chance(4):
        pos = p.int_in(0, len(out) - 1)
        out = out[:pos] + bytes([p.uint(1)]) + out[pos + 1:]
    return out[:data_cut] if data_cut is not None else out


def generate(data: bytes):
    p = Provider(data)
    if p.uint(1) % 8 == 0:  # raw mode
        return p.rest(), "QUADTREE", 3, {}, None
    scheme = p.pick(list(SCHEMES))
    n = SCHEMES[scheme]
    levels = p.int_in(1, 3 if n == 8 else 4)
    tiles_per_level = [n ** lv for lv in range(levels)]
    model = {"tiles": gen_availability(p, tiles_per_level),
             "contents": [gen_availability(p, tiles_per_level) for _ in range(p.int_in(0, 3))],
             "children": gen_availability(p, [n ** levels])}
    binary = p.boolean()
    blob, views = b"", []
    external: dict[str, bytes] = {}

    def entry(value):
        nonlocal blob
        if isinstance(value, int):
            return {"constant": value}
        raw = pack(value)
        views.append({"buffer": 0, "byteOffset": len(blob), "byteLength": len(raw)})
        blob += raw + b"\0" * p.int_in(0, 9)
        return {"bitstream": len(views) - 1}

    doc = {"tileAvailability": entry(model["tiles"]),
           "contentAvailability": [entry(c) for c in model["contents"]],
           "childSubtreeAvailability": entry(model["children"])}
    if views:
        buffer = {"byteLength": len(blob)}
        if not binary or p.chance(4):
            if p.boolean():
                buffer["uri"] = "data:application/octet-stream;base64," + base64.b64encode(blob).decode()
            else:
                buffer["uri"] = "buffers/b.bin"
                external["buffers/b.bin"] = blob
        doc["buffers"], doc["bufferViews"] = [buffer], views
    if "uri" in doc.get("buffers", [{}])[0]:
        blob = b""  # the binary chunk stays empty
    damaged = p.chance(3)
    if damaged:
        doc, blob, _ = damage(p, doc, blob)
        if p.chance(6):
            levels = p.pick([0, -1, 19, 20, 25, levels + 1])
    out = serialise(p, doc, blob, binary, damaged)
    return out, scheme, levels, external, None if damaged else model


def one_input(data: bytes) -> None:
    check_case(generate(data))


def bit(avail, level: int, morton: int) -> bool:
    return bool(avail) if isinstance(avail, int) else bool(avail[level][morton])


def check_case(case) -> None:
    data, scheme, levels, external, model = case

    def read_buffer(uri: str) -> bytes:
        if uri not in external:
            raise ImplicitError(f"{uri}: not found")
        return external[uri]

    size = len(data) + sum(len(b) for b in external.values())
    tracemalloc.start()
    try:
        try:
            sub = subtree_from_bytes(data, subtree_levels=levels, scheme=scheme, read_buffer=read_buffer)
        except ImplicitError as e:
            assert model is None, f"a well-formed subtree was refused: {e}"
            signal(("refused", str(e).split(" ")[0]))
            return
        finally:
            peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak <= 8 * size + (1 << 16), f"parsing {size} bytes took {peak} bytes of memory"
    n = SCHEMES[scheme]
    assert sub.branching == n and sub.levels == levels
    if model is None:
        signal("accepted-damaged")
        for k in range(min(4096, (n ** min(levels, 4) - 1) // (n - 1))):
            assert sub.tiles(k) in (True, False) and sub.child_subtrees(k) in (True, False)
            assert all(c(k) in (True, False) for c in sub.contents)
        return
    signal(("decoded", scheme, levels))
    assert len(sub.contents) == len(model["contents"])
    for level in range(levels):
        for morton in range(n ** level):
            assert sub.tile_available(level, morton) is bit(model["tiles"], level, morton), (level, morton)
            for k, c in enumerate(model["contents"]):
                assert sub.content_available(k, level, morton) is bit(c, level, morton), (k, level, morton)
    for morton in range(n ** levels):
        assert sub.child_subtree_available(morton) is bit(model["children"], 0, morton), morton


def seeds():
    out = [bytes([1 + k, k, 2 * k, 3, k * 7 % 256]) * (4 + 3 * k) for k in range(12)]
    folder = SHARED_DATA / "tiles" / "3d-tiles-samples" / "SparseImplicitQuadtree" / "subtrees"
    if folder.is_dir():
        out += [b"\0" + p.read_bytes() for p in sorted(folder.glob("*.subtree"))]
    return out


def available() -> bool:
    return not not_implemented(lambda: subtree_from_bytes(b"{}", subtree_levels=1))


if __name__ == "__main__":
    main(globals())

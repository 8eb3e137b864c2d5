"""Random documents: extract_mesh_arrays equals the NumPy model of tests/gltf_reference.py."""

from __future__ import annotations

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from gltf_reference import COMPONENTS, assert_same, extract

INDEX_TYPES = {5121: "u1", 5123: "<u2", 5125: "<u4"}


@st.composite
def documents(draw):
    chunks, accessors, views = [], [], []

    def add(data: bytes, acc: dict, stride: int = 0) -> int:
        views.append({"byteOffset": sum(map(len, chunks))} | ({"byteStride": stride} if stride else {}))
        chunks.append(data + b"\0" * draw(st.integers(0, 3)))
        accessors.append({"bufferView": len(views) - 1, **acc})
        return len(accessors) - 1

    def attribute(ncomp: int, count: int) -> int:
        """Random bytes for `count` elements of a random type, stride and offset split."""
        ctype = draw(st.sampled_from(sorted(COMPONENTS)))
        size = COMPONENTS[ctype][0].itemsize
        stride = draw(st.sampled_from([0, 0, ncomp * size, ncomp * size + size, 16, 1, 7, 13]))
        span = (max(count, 1) - 1) * (stride or ncomp * size) // size * size + ncomp * size
        off = draw(st.integers(0, 8))
        acc = {"componentType": ctype, "count": count} | ({"byteOffset": off} if off else {})
        acc |= {"normalized": True} if ctype != 5126 and draw(st.booleans()) else {}
        return add(draw(st.binary(min_size=span + off, max_size=span + off)), acc, stride)

    meshes, counts = [], []
    for _ in range(draw(st.integers(1, 2))):
        prims = []
        for _ in range(draw(st.integers(0, 3))):
            vcount = draw(st.integers(0, 9))
            prim = {"attributes": {"POSITION": attribute(3, vcount)}}
            for name in ("TEXCOORD_0", "TEXCOORD_1", "TEXCOORD_2"):
                if draw(st.booleans()):
                    prim["attributes"][name] = attribute(2, vcount + draw(st.integers(0, 2)))
            prim |= draw(st.sampled_from([{}, {}] + [{"mode": m} for m in (4, 5, 6, 0, 1, 2, 3)]))
            if vcount and draw(st.booleans()):
                itype = draw(st.sampled_from(sorted(INDEX_TYPES)))
                values = draw(st.lists(st.integers(0, vcount - 1), max_size=14))
                data = np.asarray(values, dtype=INDEX_TYPES[itype]).tobytes()
                prim["indices"] = add(data, {"componentType": itype, "count": len(values)})
            prims.append(prim)
            counts += [vcount] if vcount else []
        meshes.append({"primitives": prims})
    total = sum(counts)
    fid_len = draw(st.sampled_from([None, 0, 3, counts[0] if counts else 1, total, total + 2]))
    fids = None if fid_len is None else list(range(100, 100 + fid_len))
    return {"meshes": meshes, "accessors": accessors, "bufferViews": views}, b"".join(chunks), fids


@settings(max_examples=300, deadline=None, print_blob=True, suppress_health_check=[HealthCheck.too_slow])
@given(documents(), st.data())
def test_random_documents_match_model_and_truncated_chunks_are_refused(ow, doc, data):
    gltf, bin_chunk, fids = doc
    cut = data.draw(st.one_of(st.just(len(bin_chunk)), st.integers(0, len(bin_chunk))))
    with np.errstate(all="ignore"):
        want = extract(gltf, bin_chunk, fids)
    try:
        got = ow.extract_mesh_arrays(gltf, bin_chunk[:cut], fids)
    except ValueError as e:  # only a cut chunk may be refused, never read past its end
        assert cut < len(bin_chunk) and "outside bin_chunk" in str(e)
        return
    assert_same(got, want)

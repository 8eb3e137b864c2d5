"""Random documents: extract_mesh_arrays equals the NumPy model of tests/gltf_reference.py."""

from __future__ import annotations

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from gltf_reference import COMPONENTS, extract

ATTRIBUTE_TYPES = [5126, 5120, 5121, 5122, 5123, 5125]
INDEX_TYPES = {5121: "u1", 5123: "<u2", 5125: "<u4"}
SETTINGS = settings(max_examples=150, deadline=None, print_blob=True,
                    suppress_health_check=[HealthCheck.too_slow])


@st.composite
def attribute(draw, chunks, accessors, views, ncomp, count):
    """Random bytes for `count` elements of a random type, stride and offset split."""
    ctype = draw(st.sampled_from(ATTRIBUTE_TYPES))
    size = COMPONENTS[ctype][0].itemsize
    stride = draw(st.sampled_from([0, 0, ncomp * size, ncomp * size + size, 16, 1, 7, 13]))
    step = stride if stride > 0 else ncomp * size
    span = (max(count, 1) - 1) * step // size * size + ncomp * size
    acc_off = draw(st.integers(0, 8))
    payload = draw(st.binary(min_size=span + acc_off, max_size=span + acc_off))
    view = {"byteOffset": sum(map(len, chunks))}
    if stride:
        view["byteStride"] = stride
    chunks.append(payload + b"\0" * draw(st.integers(0, 3)))
    views.append(view)
    acc = {"bufferView": len(views) - 1, "componentType": ctype, "count": count}
    if acc_off:
        acc["byteOffset"] = acc_off
    if ctype != 5126 and draw(st.booleans()):
        acc["normalized"] = True
    accessors.append(acc)
    return len(accessors) - 1


@st.composite
def documents(draw):
    chunks, accessors, views = [b""], [], []
    meshes = []
    total = 0
    for _ in range(draw(st.integers(1, 2))):
        prims = []
        for _ in range(draw(st.integers(0, 3))):
            vcount = draw(st.integers(0, 9))
            attrs = {"POSITION": draw(attribute(chunks, accessors, views, 3, vcount))}
            for name in ("TEXCOORD_0", "TEXCOORD_1", "TEXCOORD_2"):
                if draw(st.booleans()):
                    attrs[name] = draw(attribute(chunks, accessors, views, 2, vcount + draw(st.integers(0, 2))))
            prim = {"attributes": attrs}
            mode = draw(st.sampled_from([None, None, 4, 5, 6, 0, 1, 2, 3]))
            if mode is not None:
                prim["mode"] = mode
            if vcount and draw(st.booleans()):
                itype = draw(st.sampled_from(sorted(INDEX_TYPES)))
                values = draw(st.lists(st.integers(0, vcount - 1), max_size=14))
                data = np.asarray(values, dtype=INDEX_TYPES[itype]).tobytes()
                views.append({"byteOffset": sum(map(len, chunks))})
                chunks.append(data + b"\0" * draw(st.integers(0, 3)))
                accessors.append({"bufferView": len(views) - 1, "componentType": itype, "count": len(values)})
                prim["indices"] = len(accessors) - 1
            prims.append(prim)
            total += vcount
        meshes.append({"primitives": prims})
    gltf = {"meshes": meshes, "accessors": accessors, "bufferViews": views}
    fid_len = draw(st.sampled_from([None, 0, 3, total, total + 2]))
    fids = None if fid_len is None else list(range(100, 100 + fid_len))
    return gltf, b"".join(chunks), fids


def assert_same(got, want):
    if want is None:
        assert got is None
        return
    assert len(got) == 5
    for g, w in zip(got, want):
        if w is None:
            assert g is None
            continue
        assert g.dtype == w.dtype and g.shape == w.shape and g.flags.c_contiguous
        if g.dtype == np.float32:  # UVR: bit for bit
            np.testing.assert_array_equal(g.view(np.uint32), w.view(np.uint32))
        else:
            np.testing.assert_array_equal(g, w)


@SETTINGS
@given(documents())
def test_random_documents_match_model(ow, doc):
    gltf, bin_chunk, fids = doc
    with np.errstate(all="ignore"):
        want = extract(gltf, bin_chunk, fids)
    assert_same(ow.extract_mesh_arrays(gltf, bin_chunk, fids), want)
    if want is not None:
        assert (want[1] >= 0).all() and (want[1] < len(want[0])).all()


@SETTINGS
@given(documents(), st.data())
def test_truncated_chunk_never_read_past_its_end(ow, doc, data):
    gltf, bin_chunk, fids = doc
    cut = data.draw(st.integers(0, len(bin_chunk)))
    with np.errstate(all="ignore"):
        want = extract(gltf, bin_chunk, fids)
    try:
        got = ow.extract_mesh_arrays(gltf, bin_chunk[:cut], fids)
    except ValueError as e:
        assert "outside bin_chunk" in str(e)
        return
    assert_same(got, want)


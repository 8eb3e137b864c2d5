"""quantize_uvr: clip to [0, 1], round to the 1/32 grid with halves going up, NaN kept."""

from __future__ import annotations

import numpy as np
import pytest

from conftest import test_seed


def model(x: np.ndarray) -> np.ndarray:
    """floor(32 * clip(x) + 0.5) / 32 elementwise, NaN kept."""
    with np.errstate(invalid="ignore"):
        q = np.floor(np.clip(x, 0.0, 1.0) * 32.0 + 0.5) / 32.0
    return np.where(np.isnan(x), x, q)


GRID_HALVES = np.arange(-2, 68) / 64.0
SPECIAL = np.concatenate([GRID_HALVES, np.nextafter(GRID_HALVES, -1), np.nextafter(GRID_HALVES, 2),
                          [np.nan, np.inf, -np.inf, -0.0, 5e-324, 1e-300, 1e308, -1e308]])


def assert_quantized(out, x):
    """Bit for bit (so +0.0, never -0.0, and the NaN kept as it was)."""
    np.testing.assert_array_equal(out.view(np.uint64), model(x).view(np.uint64))


def test_examples(ow):  # pins the model too: halves go up, clipped, 1/32 grid
    assert ow.quantize_uvr([[-0.2, 1 / 64, 3 / 64, 1.7, 0.3]]).tolist() == [[0.0, 0.03125, 0.0625, 1.0, 0.3125]]


def test_every_special_value_through_vector_loop_and_scalar_tail(ow):
    # A row of 9: the first 8 go through the vector loop, the last through the scalar tail.
    for v in SPECIAL:
        x = np.full((1, 9), v)
        assert_quantized(ow.quantize_uvr(x.copy()), x)


@pytest.mark.parametrize("shape", [(1, 1), (7, 3), (1000, 4), (333, 5)])
def test_matches_model_on_random_and_special_values(ow, shape):
    rng = np.random.default_rng(test_seed(f"quantize-{shape}"))
    x = rng.uniform(-0.5, 1.5, size=shape)
    flat = x.reshape(-1)
    if flat.size >= 2 * len(SPECIAL):  # every special value once, then more at random places
        flat[:len(SPECIAL)] = SPECIAL
    pick = rng.integers(0, flat.size, size=min(flat.size, len(SPECIAL)))
    flat[pick] = rng.choice(SPECIAL, size=len(pick))
    assert_quantized(ow.quantize_uvr(x.copy()), x)


@pytest.mark.parametrize("make,in_place", [
    (lambda: np.array([[0.3, 2.0]]), True),
    (lambda: np.array([[0.3, 2.0]], dtype=np.float32), False),
    (lambda: np.asfortranarray(np.array([[0.3, 2.0], [0.1, 0.2]])), False),
    (lambda: np.array([[0.3, 0.0, 2.0, 0.0]])[:, ::2], False),
    (lambda: np.broadcast_to(np.float32(0.3), (2, 2)), False),  # the copy of a read-only view is writable
], ids=["float64", "float32", "fortran", "strided", "read-only-float32"])
def test_float64_c_contiguous_changed_in_place_others_copied(ow, make, in_place):
    x = make()
    before = x.copy()
    out = ow.quantize_uvr(x)
    assert (out is x) is in_place and out.dtype == np.float64 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, model(np.asarray(before, dtype=np.float64)))
    if not in_place:
        np.testing.assert_array_equal(x, before)


@pytest.mark.parametrize("value,expected", [
    ([0.37, 2.0], [0.37, 2.0]), (0.37, [0.37]),  # one-dimensional: converted, not quantised
    (np.zeros((0, 4)), None), (np.zeros((5, 0)), None), (np.zeros((0, 2, 2)), None),  # empty: as is
])
def test_one_dimensional_and_empty_inputs_returned_unquantised(ow, value, expected):
    out = ow.quantize_uvr(value)
    assert out is value if expected is None else (out.dtype == np.float64 and out.tolist() == expected)


def test_refusals(ow):
    with pytest.raises(ValueError, match=r"Buffer has wrong number of dimensions \(expected 2, got 3\)"):
        ow.quantize_uvr(np.zeros((2, 2, 2)))
    for bad in ([["a"]], [[1.0], [1.0, 2.0]]):  # NumPy's conversion errors come through
        with pytest.raises(ValueError):
            ow.quantize_uvr(bad)
    x = np.array([[0.3]])
    x.flags.writeable = False
    with pytest.raises(ValueError):
        ow.quantize_uvr(x)
    assert x[0, 0] == 0.3

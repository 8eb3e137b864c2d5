"""quantize_uvr: clip to [0, 1], round to the 1/32 grid with halves going up, NaN kept."""

from __future__ import annotations

import numpy as np
import pytest


def model(x: np.ndarray) -> np.ndarray:
    """floor(32 * clip(x) + 0.5) / 32 elementwise, NaN kept."""
    with np.errstate(invalid="ignore"):
        q = np.floor(np.clip(x, 0.0, 1.0) * 32.0 + 0.5) / 32.0
    return np.where(np.isnan(x), x, q)


def test_examples(ow):
    assert ow.quantize_uvr([[-0.2, 0.5, 1.7, 0.3]]).tolist() == [[0.0, 0.5, 1.0, 0.3125]]


@pytest.mark.parametrize("x,expected", [
    (1 / 64, 0.03125), (3 / 64, 0.0625), (5 / 64, 0.09375), (63 / 64, 1.0),
    (np.inf, 1.0), (-np.inf, 0.0), (-0.0, 0.0), (1e-300, 0.0),
    # 32 * y + 0.5 = 1 - 2**-54 rounds to 1.0 before the truncation, as the NumPy expression does.
    (np.nextafter(1 / 64, 0), 0.03125),
])
def test_half_steps_go_up_and_limits(ow, x, expected):
    # Every position of a row of 9, so both the vector loop and the scalar tail see the value.
    out = ow.quantize_uvr(np.full((3, 9), x))
    assert (out == expected).all()
    assert not np.signbit(out).any()


@pytest.mark.parametrize("cols", range(1, 10))
def test_nan_stays_nan(ow, cols):
    x = np.full((3, cols), np.nan)
    x[1, 0] = 0.3
    out = ow.quantize_uvr(x)
    assert np.isnan(out[0]).all() and np.isnan(out[2]).all() and out[1, 0] == 0.3125


@pytest.mark.parametrize("shape", [(1, 1), (7, 3), (1000, 4), (333, 5)])
def test_matches_model_on_random_and_special_values(ow, shape):
    seed = int(np.random.SeedSequence().entropy % 2**32)
    print("seed", seed)
    rng = np.random.default_rng(seed)
    x = rng.uniform(-0.5, 1.5, size=shape)
    grid_halves = (np.arange(-2, 68) / 64.0)
    special = np.concatenate([grid_halves, np.nextafter(grid_halves, -1), np.nextafter(grid_halves, 2),
                              [np.nan, np.inf, -np.inf, -0.0, 5e-324, 1e308, -1e308]])
    flat = x.reshape(-1)
    if flat.size >= 2 * len(special):  # every special value once, then more at random places
        flat[:len(special)] = special
    pick = rng.integers(0, flat.size, size=min(flat.size, len(special)))
    flat[pick] = rng.choice(special, size=len(pick))
    out = ow.quantize_uvr(x.copy())
    np.testing.assert_array_equal(out, model(x))


@pytest.mark.parametrize("make,in_place", [
    (lambda: np.array([[0.3, 2.0]]), True),
    (lambda: np.array([[0.3, 2.0]], dtype=np.float32), False),
    (lambda: np.asfortranarray(np.array([[0.3, 2.0], [0.1, 0.2]])), False),
    (lambda: np.array([[0.3, 0.0, 2.0, 0.0]])[:, ::2], False),
], ids=["float64", "float32", "fortran", "strided"])
def test_float64_c_contiguous_changed_in_place_others_copied(ow, make, in_place):
    x = make()
    before = x.copy()
    out = ow.quantize_uvr(x)
    assert (out is x) is in_place and out.dtype == np.float64 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, model(np.asarray(before, dtype=np.float64)))
    if not in_place:
        np.testing.assert_array_equal(x, before)


@pytest.mark.parametrize("value,expected", [([0.37, 2.0], [0.37, 2.0]), (0.37, [0.37])])
def test_one_dimensional_input_returned_unquantised(ow, value, expected):
    out = ow.quantize_uvr(value)
    assert out.dtype == np.float64 and out.tolist() == expected


@pytest.mark.parametrize("shape", [(0, 4), (5, 0), (0, 2, 2)])
def test_empty_inputs_returned_unchanged(ow, shape):
    x = np.zeros(shape)
    assert ow.quantize_uvr(x) is x


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
    # A read-only array that needs converting is copied, and that copy is writable.
    y = x.astype(np.float32)
    y.flags.writeable = False
    assert ow.quantize_uvr(y).tolist() == [[0.3125]]

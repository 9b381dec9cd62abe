"""The smooth fill and the split of damage into holes and thin damage, as
the compiled core offers them."""
import numpy as np
import pytest

from patchwell import _core


def test_smooth_fill_gives_a_16_bit_quadratic_back_across_a_scratch():
    y, x = np.mgrid[0:24, 0:30]
    ramp = 90 * ((x - 15) ** 2 + 2 * (y - 12) ** 2) + 3 * x + 50
    want = np.dstack([ramp + 1000 * c for c in range(3)]).astype(np.uint16)
    scratch = ((x - y == 3) | (x - y == 4)) & (y >= 2) & (y < 22) & (x < 28)
    picture = want.copy()
    picture[scratch] = 0
    fill = scratch.copy()
    assert _core._smooth_fill(picture, fill) == scratch.sum()
    np.testing.assert_array_equal(picture, want)
    assert not fill.any()


def test_hole_part_keeps_what_holds_a_disc_of_radius_3():
    mask = np.zeros((30, 40), bool)
    mask[5:14, 5:14] = True  # 9 x 9: a hole
    mask[20:23, 2:38] = True  # 3 px line: thin
    mask[3:9, 25:31] = True  # 6 x 6 speck: thin
    hole = np.zeros_like(mask)
    hole[5:14, 5:14] = True
    np.testing.assert_array_equal(_core._hole_part(mask), hole)


@pytest.mark.parametrize("picture, fill, error, words", [
    (np.zeros((4, 5), np.float32), np.zeros((4, 5), bool), TypeError, "uint8 or uint16"),
    (np.zeros((4, 5, 2), np.uint8), np.zeros((4, 5), bool), ValueError, "3 or 4 channels"),
    (np.zeros((4, 5), ">u2"), np.zeros((4, 5), bool), TypeError, "byte order"),
    (np.zeros((4, 5, 3), np.uint8)[:, ::-1], np.zeros((4, 5), bool), ValueError, "C-contiguous"),
    (np.zeros((4, 5), np.uint8), np.zeros((4, 5), np.uint8), TypeError, "bool"),
    (np.zeros((4, 5), np.uint8), np.zeros((5, 4), bool), ValueError, "(4, 5)"),
])
def test_smooth_fill_names_what_is_wrong_with_its_arrays(picture, fill, error, words):
    with pytest.raises(error, match=words.replace("(", r"\(").replace(")", r"\)")):
        _core._smooth_fill(picture, fill)

"""Argument checks: the documented errors, and refusal of unsafe buffers."""
import numpy as np
import pytest

import patchwell
from conftest import HAS_CUDA

GPU = patchwell.InpaintGPU


def blank(h=6, w=7):
    return np.zeros((h, w, 3), np.uint8), np.zeros((h, w), np.uint8)


def test_two_dimensional_image_raises_index_error_for_axis_2():
    img, mask = blank()
    with pytest.raises(IndexError, match=r"^invalid axis: 2 \(ndim = 2\)$"):
        patchwell.inpaint(img[:, :, 0].copy(), mask, 1, GPU)


def test_one_dimensional_mask_raises_index_error_for_axis_1():
    img, mask = blank()
    with pytest.raises(IndexError, match=r"^invalid axis: 1 \(ndim = 1\)$"):
        patchwell.inpaint(img, mask.ravel().copy(), 1, GPU)


def test_mask_of_another_size_prints_and_returns_false(capfd):
    img = np.zeros((4, 5, 3), np.uint8)
    mask = np.full((5, 4), 255, np.uint8)
    assert patchwell.inpaint(img, mask, 1, GPU) is False
    out, err = capfd.readouterr()
    assert out == "Mask size do not match!"
    assert (mask == 255).all()  # nothing changed


def test_mask_is_binarised_in_place(capfd):
    img, _ = blank(3, 2)
    mask = np.array([[200, 100], [129, 128], [0, 255]], np.uint8)
    patchwell.inpaint(img, mask, 0, GPU)
    # Radius 0 has candidates here; whatever was filled ends 0.
    assert set(np.unique(mask)) <= {0, 1}
    mask = np.array([[128, 100], [3, 0], [0, 1]], np.uint8)
    assert patchwell.inpaint(img, mask, 1, GPU) is False
    assert capfd.readouterr().out == "Nothing to inpaint!"
    assert (mask == 0).all()


def test_radius_must_be_an_int():
    img, mask = blank()
    with pytest.raises(TypeError):
        patchwell.inpaint(img, mask, 2.0, GPU)


def test_method_must_be_the_enumeration():
    img, mask = blank()
    with pytest.raises(TypeError):
        patchwell.inpaint(img, mask, 1, 1)


@pytest.mark.parametrize("rad", [-1, 128, 10**6, 2**40, -2**70])
def test_radius_outside_0_to_127_is_refused(rad):
    img, mask = blank()
    mask[2, 2] = 255
    with pytest.raises(ValueError, match="rad"):
        patchwell.inpaint(img, mask, rad, GPU)
    assert mask[2, 2] == 255  # refused before any work


def test_image_third_axis_must_be_3():
    img = np.zeros((6, 7, 4), np.uint8)
    with pytest.raises(ValueError, match="3 channels"):
        patchwell.inpaint(img, np.zeros((6, 7), np.uint8), 1, GPU)
    with pytest.raises(ValueError, match="axes"):
        patchwell.inpaint(np.zeros((6, 7, 3, 1), np.uint8),
                          np.zeros((6, 7), np.uint8), 1, GPU)


def test_mask_element_count_must_match():
    img, _ = blank()
    with pytest.raises(ValueError, match="mask must hold"):
        patchwell.inpaint(img, np.zeros((6, 7, 3), np.uint8), 1, GPU)


def test_non_contiguous_uint8_arrays_are_refused():
    big = np.zeros((6, 14, 3), np.uint8)
    mask = np.zeros((6, 7), np.uint8)
    with pytest.raises(ValueError, match="C-contiguous"):
        patchwell.inpaint(big[:, ::2], mask, 1, GPU)
    img, _ = blank()
    with pytest.raises(ValueError, match="C-contiguous"):
        patchwell.inpaint(img, np.zeros((6, 14), np.uint8)[:, ::2], 1, GPU)
    with pytest.raises(ValueError, match="C-contiguous"):
        patchwell.inpaint(np.asfortranarray(img), mask, 1, GPU)


def test_read_only_arrays_are_refused():
    img, mask = blank()
    img.setflags(write=False)
    with pytest.raises(ValueError, match="read-only"):
        patchwell.inpaint(img, mask, 1, GPU)
    img, mask = blank()
    mask.setflags(write=False)
    with pytest.raises(ValueError, match="read-only"):
        patchwell.inpaint(img, mask, 1, GPU)


def test_other_element_types_work_on_a_copy(capfd):
    rng = np.random.default_rng(3)
    img = rng.integers(0, 256, (12, 12, 3)).astype(np.float64)
    before = img.copy()
    mask = np.zeros((12, 12), np.uint8)
    mask[6, 6] = 255
    assert patchwell.inpaint(img, mask, 1, GPU) is True
    np.testing.assert_array_equal(img, before)
    assert mask[6, 6] == 0  # the mask was uint8: changed in place
    # Fortran-ordered input of another type is converted to a packed copy.
    assert patchwell.inpaint(np.asfortranarray(before), mask.astype(np.int32),
                             1, GPU) is False
    # Lists are converted too.
    assert patchwell.inpaint(before.tolist(), [[0] * 12] * 12, 1, GPU) is False


def test_unconvertible_argument_is_a_type_error():
    _, mask = blank()
    with pytest.raises(TypeError):
        patchwell.inpaint("not an image", mask, 1, GPU)


def test_device_argument():
    img, mask = blank()
    mask[3, 3] = 255
    with pytest.raises(ValueError, match="device"):
        patchwell.inpaint(img, mask, 1, GPU, device="tpu")
    with pytest.raises(TypeError):
        patchwell.inpaint(img, mask, 1, GPU, False, "cpu")  # keyword-only
    if not HAS_CUDA:
        with pytest.raises(RuntimeError, match="CUDA"):
            patchwell.inpaint(img, mask, 1, GPU, device="cuda")
        assert mask[3, 3] == 255


def test_progress_must_be_callable():
    img, mask = blank()
    with pytest.raises(TypeError, match="progress"):
        patchwell.inpaint(img, mask, 1, GPU, progress=42)


def test_gpu_fast_takes_the_device_argument():
    for device in ("auto", "cpu"):
        img, mask = blank()
        mask[3, 3] = 255
        assert patchwell.inpaint(img, mask, 1, patchwell.InpaintGPUfast,
                                 device=device) is True
        assert mask[3, 3] == 0
    if not HAS_CUDA:
        img, mask = blank()
        mask[3, 3] = 255
        with pytest.raises(RuntimeError, match="CUDA"):
            patchwell.inpaint(img, mask, 1, patchwell.InpaintGPUfast,
                              device="cuda")
        assert mask[3, 3] == 255


def test_empty_image_has_nothing_to_inpaint(capfd):
    img = np.zeros((0, 0, 3), np.uint8)
    assert patchwell.inpaint(img, np.zeros((0, 0), np.uint8), 3, GPU) is False
    assert capfd.readouterr().out == "Nothing to inpaint!"


@pytest.mark.parametrize("kwargs, error, words", [
    ({"search_radius": -1}, ValueError, "search_radius must be 0 or more"),
    ({"search_radius": 2.5}, TypeError, "search_radius must be an int or None"),
    ({"search_radius": "3"}, TypeError, "search_radius must be an int or None"),
    ({"source_mask": np.ones((6, 6), bool)}, ValueError, r"shape \(height, width\) = \(6, 7\), got \(6, 6\)"),
    ({"source_mask": np.ones((6, 7, 1), bool)}, ValueError, r"got \(6, 7, 1\)"),
    ({"source_mask": np.ones((7, 6), bool).T}, ValueError, "C-contiguous"),
    ({"source_mask": np.ones((6, 7), np.float32)}, TypeError, "dtype bool or uint8"),
    ({"source_mask": [[1] * 7] * 6}, TypeError, "numpy array"),
])
def test_search_domain_arguments_are_checked(kwargs, error, words):
    img, mask = blank()
    mask[2, 3] = 255
    with pytest.raises(error, match=words):
        patchwell.inpaint(img, mask, 1, GPU, **kwargs)
    assert mask[2, 3] == 255  # refused before anything changed

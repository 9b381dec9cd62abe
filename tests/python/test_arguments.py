"""Arguments of inpaint: the documented errors, the mask conventions, and
refusal of unsafe buffers, always before anything is changed."""
import numpy as np
import pytest

import patchwell
from conftest import HAS_CUDA, photo_like, speckled_mask

GPU = patchwell.InpaintGPU


def blank(h=6, w=7):
    return np.zeros((h, w, 3), np.uint8), np.zeros((h, w), np.uint8)


@pytest.mark.parametrize("image, mask, error, text", [
    ((6, 7), (6, 7), IndexError, r"^invalid axis: 2 \(ndim = 2\)$"),
    ((6, 7, 3), (42,), IndexError, r"^invalid axis: 1 \(ndim = 1\)$"),
    ((6, 7, 4), (6, 7), ValueError, "3 channels"),
    ((6, 7, 3, 1), (6, 7), ValueError, "axes"),
    ((6, 7, 3), (6, 7, 3), ValueError, "mask must hold"),
])
def test_arrays_of_other_shapes_are_refused(image, mask, error, text):
    with pytest.raises(error, match=text):
        patchwell.inpaint(np.zeros(image, np.uint8), np.zeros(mask, np.uint8), 1, GPU)


def test_mask_of_another_size_prints_a_line_and_returns_false(capfd):
    img = np.zeros((4, 5, 3), np.uint8)
    mask = np.full((5, 4), 255, np.uint8)
    assert patchwell.inpaint(img, mask, 1, GPU) is False
    assert capfd.readouterr().out == "Mask size do not match!\n"
    assert (mask == 255).all()  # nothing changed


def test_uint8_mask_is_binarised_in_place_and_a_low_mask_warns(capfd):
    img, _ = blank(3, 2)
    mask = np.array([[200, 100], [129, 128], [0, 255]], np.uint8)
    patchwell.inpaint(img, mask, 0, GPU)
    assert set(np.unique(mask)) <= {0, 1}  # whatever was filled ends 0
    # 0/1 masks (the OpenCV habit) fill nothing: the line stays, and a
    # warning says why.
    mask = np.array([[1, 100], [3, 0], [0, 1]], np.uint8)
    with pytest.warns(UserWarning, match="above 128"):
        assert patchwell.inpaint(img, mask, 1, GPU) is False
    assert capfd.readouterr().out == "Nothing to inpaint!\n"
    assert (mask == 0).all()


@pytest.mark.parametrize("width", [30, 4])  # at width 4 no window fits
def test_bool_mask_marks_holes_with_true_and_keeps_unfilled_ones(width):
    img = photo_like(30, width)
    holes = speckled_mask(30, width, 12) > 128
    bytes_mask = np.where(holes, 255, 0).astype(np.uint8)
    expected = img.copy()
    patchwell.inpaint(expected, bytes_mask, 2, GPU)

    mask = holes.copy()
    assert patchwell.inpaint(img, mask, 2, GPU) is True
    assert mask.dtype == bool
    np.testing.assert_array_equal(img, expected)
    np.testing.assert_array_equal(mask, bytes_mask == 1)
    np.testing.assert_array_equal(mask, holes if width == 4 else False)


class Index:
    def __index__(self):
        return 2


@pytest.mark.parametrize("rad", [np.int64(2), np.uint8(2), Index(), np.array(2)])
def test_radius_takes_integer_like_objects(rad):
    img, mask = photo_like(20, 20), speckled_mask(20, 20, 10)
    expected, expected_mask = img.copy(), mask.copy()
    patchwell.inpaint(expected, expected_mask, 2, GPU)
    assert patchwell.inpaint(img, mask, rad, GPU) is True
    np.testing.assert_array_equal(img, expected)


@pytest.mark.parametrize("rad", [-1, 128, 10**6, 2**40, -2**70, np.int64(300)])
def test_radius_outside_0_to_127_is_refused(rad):
    img, mask = blank()
    mask[2, 2] = 255
    with pytest.raises(ValueError, match="rad"):
        patchwell.inpaint(img, mask, rad, GPU)
    assert mask[2, 2] == 255  # refused before any work


# Each wrong call names the argument at fault in a short message, never
# the repr of the arrays.
@pytest.mark.parametrize("args, kwargs, names", [
    ((), {"mask": 1, "rad": 1, "method": GPU}, "unexpected keyword argument 'mask'"),
    ((7.5, GPU), {}, "rad"),
    (("7", GPU), {}, "rad"),
    ((1, 1), {}, "method"),
    ((1, "exhaustive"), {}, "method"),
    ((1,), {}, "'method'"),
    ((1, GPU, False, "cpu"), {}, "positional"),
    ((1, GPU), {"verbose": "yes"}, "verbose"),
    ((1, GPU), {"device": 3}, "device"),
    ((1, GPU), {"progress": 42}, "progress"),
    ((1, GPU), {"rad": 2}, "multiple values for argument 'rad'"),
])
def test_wrong_arguments_give_a_short_type_error(args, kwargs, names):
    img = np.arange(2000 * 3, dtype=np.uint8).reshape(20, 100, 3)
    mask = np.full((20, 100), 255, np.uint8)
    mask_arg = () if "mask" in kwargs else (mask,)
    with pytest.raises(TypeError, match=names) as raised:
        patchwell.inpaint(img, *mask_arg, *args, **kwargs)
    text = str(raised.value)
    assert len(text) < 300 and "array(" not in text and "Invoked" not in text
    assert (mask == 255).all()


@pytest.mark.parametrize("image, dtype_name", [
    (np.zeros((12, 12, 3), np.float64), "float64"),
    (np.zeros((12, 12, 3), np.uint16), "uint16"),
    (np.zeros((12, 12, 3), np.uint8).tolist(), "list"),
    ("not an image", "str"),
])
def test_image_of_another_type_is_refused_before_any_change(image, dtype_name):
    mask = np.zeros((12, 12), np.uint8)
    mask[6, 6] = 255
    with pytest.raises(TypeError, match=dtype_name) as raised:
        patchwell.inpaint(image, mask, 1, GPU)
    assert "uint8" in str(raised.value)
    assert mask[6, 6] == 255


def test_masks_of_other_element_types_work_on_a_copy():
    img = photo_like(12, 12)
    mask = np.zeros((12, 12), np.int32)
    mask[6, 6] = 255
    assert patchwell.inpaint(img, mask, 1, GPU) is True
    assert mask[6, 6] == 255  # the caller's int32 array is untouched
    with pytest.raises(TypeError, match="mask_file"):
        patchwell.inpaint(img, "no mask", 1, GPU)


@pytest.mark.parametrize("which", ["image", "mask"])
@pytest.mark.parametrize("spoil", ["strided", "fortran", "read-only"])
def test_unsafe_buffers_are_refused(which, spoil):
    arrays = dict(zip(("image", "mask"), blank()))
    a = arrays[which]
    if spoil == "strided":
        a = np.repeat(a, 2, axis=1)[:, ::2]
    elif spoil == "fortran":
        a = np.asfortranarray(a)
    else:
        a.setflags(write=False)
    arrays[which] = a
    with pytest.raises(ValueError, match="C-contiguous" if spoil != "read-only" else "read-only"):
        patchwell.inpaint(arrays["image"], arrays["mask"], 1, GPU)


@pytest.mark.parametrize("method", [GPU, patchwell.InpaintGPUfast])
def test_device_argument(method):
    img, mask = blank()
    mask[3, 3] = 255
    for bad in ("tpu", "CUDA", "cuda:", "cuda:x", "cuda:-1", "cuda: 1", "cuda:1.0"):
        with pytest.raises(ValueError, match="device must be 'auto', 'cpu', 'cuda' or 'cuda:N'"):
            patchwell.inpaint(img, mask, 1, method, device=bad)
    if not HAS_CUDA:
        for device in ("cuda", "cuda:0"):
            with pytest.raises(RuntimeError, match="CUDA"):
                patchwell.inpaint(img, mask, 1, method, device=device)
        assert mask[3, 3] == 255
    for device in ("auto", "cpu"):
        img, mask = blank()
        mask[3, 3] = 255
        assert patchwell.inpaint(img, mask, 1, method, device=device) is True
        assert mask[3, 3] == 0


def test_empty_image_has_nothing_to_inpaint(capfd):
    img = np.zeros((0, 0, 3), np.uint8)
    assert patchwell.inpaint(img, np.zeros((0, 0), np.uint8), 3, GPU) is False
    assert capfd.readouterr().out == "Nothing to inpaint!\n"


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

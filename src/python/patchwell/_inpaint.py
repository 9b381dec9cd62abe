"""inpaint and inpaint_file, the in-place and file entries: their argument
conventions here, the work in the compiled core."""
from __future__ import annotations

import enum
import operator
import os
import warnings
from typing import Callable, Literal, Optional, SupportsIndex, Union, overload

import numpy as np
import numpy.typing as npt

from . import _core
from ._arguments import (as_bool, as_device, as_method, as_path,
                         as_quality, as_radius, as_search_radius, check_progress,
                         conversion_hint)
from ._core import InpaintMethod
from ._repair import UnfilledWarning
from ._typing import ImageArray, MaskArray, MaskLike


class _Required(enum.Enum):
    """The default of inpaint_file's rad and method, which come after
    out_file's default but have none: they are passed positionally after
    out_file, or by keyword."""

    REQUIRED = "required"

    def __repr__(self) -> str:
        return "<required>"


_REQUIRED = _Required.REQUIRED


def inpaint(
    image_file: ImageArray,
    mask_file: MaskLike,
    rad: SupportsIndex,
    method: InpaintMethod,
    verbose: bool = False,
    *,
    device: str = "auto",
    progress: Optional[Callable[[int], object]] = None,
    search_radius: Optional[SupportsIndex] = None,
    source_mask: Optional[MaskArray] = None,
) -> bool:
    """Inpaint an RGB image in place.

    Fills the pixels that the mask marks, one at a time in a fixed onion-peel
    order, each with the centre of the best-matching window of the image. The
    result is the same on every device, byte for byte. For a call that leaves
    its inputs alone and takes gray, RGBA and any mask, see patchwell.repair.

    Parameters
    ----------
    image_file : numpy.ndarray of uint8, shape (height, width, 3)
        The picture, changed in place: a C-contiguous, writable uint8 array.
        Any other element type is a TypeError (convert it first, or use
        patchwell.repair).
    mask_file : numpy.ndarray, shape (height, width)
        The pixels to fill. uint8: bytes above 128 mark them; the array is
        binarised in place to 1/0, filled pixels end 0 and pixels that found no
        source stay 1. bool: True marks them and stays True where a pixel is
        left unfilled. Other element types are converted to a temporary uint8
        copy (bytes above 128 mark pixels) and the caller's array is untouched.
    rad : int
        Window radius, 0 to 127 (any integer-like object); windows are
        2 * rad + 1 pixels square.
    method : InpaintMethod
        InpaintGPU (exhaustive search), InpaintCPU (the same search, always on
        the CPU) or InpaintGPUfast (pruned search).
    verbose : bool, default False
        Print statistics, progress marks and the elapsed time to sys.stdout.
    device : {'auto', 'cpu', 'cuda', 'cuda:N'}, keyword-only
        Where the fill runs; 'auto' and 'cuda' use the first usable CUDA device
        ('auto' the CPU when there is none), 'cuda:N' CUDA device N.
    progress : callable or None, keyword-only
        Called on the calling thread with the percent done (0 first, 100 last);
        before each call the image array holds the pixels filled so far. An
        exception raised by it stops the run and is re-raised. It must not wait
        for an inpaint running in another thread: runs take turns, and that one
        waits for this one to end.
    search_radius : int or None, keyword-only
        Take sources only from windows centred within this many pixels of the
        pixel being filled, in both axes (``|cx - x| <= S`` and ``|cy - y| <= S``).
        None searches the whole image.
    source_mask : numpy.ndarray of bool or uint8, shape (height, width), or None, keyword-only
        Take sources only from pixels where it is non-zero (True): a
        C-contiguous array, never changed.

    Returns
    -------
    bool
        False when nothing was to be filled ("Nothing to inpaint!"; a uint8 mask
        with non-zero bytes but none above 128 also warns) or the mask's size
        differs from the image's ("Mask size do not match!"), True otherwise.

    Raises
    ------
    TypeError
        An argument of the wrong type, an image that is not uint8.
    IndexError, ValueError
        Missing axes; a third axis other than 3; a non-contiguous or read-only
        array; a radius outside 0..127; an unknown device.
    RuntimeError
        device='cuda' without a usable device, a CUDA error, or a call from a
        progress callback.
    KeyboardInterrupt
        Ctrl+C stops the run; the arrays hold the pixels filled so far.

    Notes
    -----
    The interpreter lock is released while the fill runs. Calls from several
    threads take turns (one run at a time per process); a waiting call does
    not hold the interpreter lock.
    """
    image = _in_place_image(image_file)
    mask = _in_place_mask(mask_file)
    radius = as_radius(rad, "rad")
    fill_method = as_method(method)
    loud = as_bool(verbose, "verbose")
    kind, number = as_device(device)
    check_progress(progress)
    domain = as_search_radius(search_radius)
    allowed = _source_mask(source_mask)
    _require_axes(image, 3)
    _require_axes(mask, 2)
    if mask.shape[:2] != image.shape[:2]:
        print("Mask size do not match!", flush=True)
        return False
    # Bytes of 1 to 128 mark nothing: a 0/1 mask (the OpenCV habit) fills
    # nothing, and a warning says why.
    low_marks = mask.dtype != np.bool_ and bool(mask.any())
    filled = _core._inpaint_array(image, mask, radius, fill_method, loud, device=kind,
                                  cuda_device=number, progress=progress,
                                  search_radius=domain, source_mask=allowed)
    if not filled and low_marks:
        warnings.warn(
            "the mask has non-zero bytes but none above 128, so nothing was "
            "filled: inpaint fills the pixels whose mask byte is above 128 "
            "(mark holes with 255, or pass a bool mask with True for holes)",
            UserWarning, stacklevel=2)
    return filled


def _in_place_image(value: object) -> npt.NDArray[np.uint8]:
    """The caller's own uint8 array: a converted copy would be filled and
    thrown away."""
    if not isinstance(value, np.ndarray):
        raise TypeError(f"image_file must be a numpy uint8 array, not {type(value).__name__} "
                        "(numpy.asarray(image, dtype=numpy.uint8))")
    if value.dtype != np.uint8:
        raise TypeError(f"image_file must be a uint8 array, not {value.dtype}; convert it "
                        f"first, {conversion_hint(value.dtype)}")
    return value


def _in_place_mask(value: object) -> npt.NDArray[Union[np.uint8, np.bool_]]:
    """A uint8 or bool array is the caller's own, changed in place; anything
    else NumPy can convert becomes a new uint8 array."""
    if isinstance(value, np.ndarray) and value.dtype in (np.uint8, np.bool_):
        return value
    try:
        return np.array(value, dtype=np.uint8)
    except (TypeError, ValueError, OverflowError):
        raise TypeError(f"mask_file must be an array of numbers or bools, not "
                        f"{type(value).__name__}") from None


def _source_mask(value: object) -> Optional[npt.NDArray[Union[np.uint8, np.bool_]]]:
    if value is None:
        return None
    if not isinstance(value, np.ndarray):
        raise TypeError("source_mask must be a numpy array of bool or uint8, or None")
    if value.dtype not in (np.uint8, np.bool_):
        raise TypeError(f"source_mask must be of dtype bool or uint8, not {value.dtype} "
                        "(use source_mask.astype(bool))")
    return value


def _require_axes(array: npt.NDArray[np.generic], count: int) -> None:
    if array.ndim < count:
        raise IndexError(f"invalid axis: {array.ndim} (ndim = {array.ndim})")


@overload
def inpaint_file(
    image_file: Union[str, os.PathLike[str]],
    mask_file: Union[str, os.PathLike[str], None],
    out_file: Union[str, os.PathLike[str], None],
    rad: SupportsIndex,
    method: InpaintMethod,
    verbose: bool = False,
    *,
    device: str = "auto",
    progress: Optional[Callable[[int], object]] = None,
    search_radius: Optional[SupportsIndex] = None,
    source_mask: Union[str, os.PathLike[str], None] = None,
    quality: Union[SupportsIndex, Literal["keep"]] = 80,
) -> bool: ...
@overload
def inpaint_file(
    image_file: Union[str, os.PathLike[str]],
    mask_file: Union[str, os.PathLike[str], None],
    *,
    out_file: Union[str, os.PathLike[str], None] = None,
    rad: SupportsIndex,
    method: InpaintMethod,
    verbose: bool = False,
    device: str = "auto",
    progress: Optional[Callable[[int], object]] = None,
    search_radius: Optional[SupportsIndex] = None,
    source_mask: Union[str, os.PathLike[str], None] = None,
    quality: Union[SupportsIndex, Literal["keep"]] = 80,
) -> bool: ...
def inpaint_file(
    image_file: Union[str, os.PathLike[str]],
    mask_file: Union[str, os.PathLike[str], None],
    out_file: Union[str, os.PathLike[str], None] = None,
    rad: Union[SupportsIndex, _Required] = _REQUIRED,
    method: Union[InpaintMethod, _Required] = _REQUIRED,
    verbose: bool = False,
    *,
    device: str = "auto",
    progress: Optional[Callable[[int], object]] = None,
    search_radius: Optional[SupportsIndex] = None,
    source_mask: Union[str, os.PathLike[str], None] = None,
    quality: Union[SupportsIndex, Literal["keep"]] = 80,
) -> bool:
    """Inpaint an image file and write the result to another file.

    Parameters
    ----------
    image_file : str or os.PathLike
        The picture to repair. Its extension picks the format: .png, .jpg,
        .jpeg, .tif, .tiff, .webp, .bmp, .ppm, .txt or .dat.
    mask_file : str, os.PathLike or None
        A picture of the same size; pixels whose gray value is above 128 are
        filled. Any readable format. None takes the holes from the image's
        alpha channel (alpha below 128) and writes the result without alpha.
    out_file : str, os.PathLike or None, default None
        Where to write the result; its extension picks the format (.png, .jpg,
        .jpeg, .tif, .tiff, .webp, .bmp, .ppm, .pgm, .pbm, .txt, .dat, .cpp,
        .cxx). None or ""
        writes next to image_file with "_inpaint" before the extension. A name
        that cannot be written fails before the run.
    rad : int
        Window radius, 0 to 127; windows are 2 * rad + 1 pixels square. Pass it
        by keyword when out_file is left out.
    method : InpaintMethod
        InpaintGPU (exhaustive search), InpaintCPU (the same search, always on
        the CPU) or InpaintGPUfast (pruned search). Pass it by keyword when
        out_file is left out.
    verbose : bool, default False
        Print statistics, progress marks, the elapsed time and the output name
        to sys.stdout.
    device : {'auto', 'cpu', 'cuda', 'cuda:N'}, keyword-only
        Where the fill runs; 'auto' and 'cuda' use the first usable CUDA device
        ('auto' the CPU when there is none), 'cuda:N' CUDA device N.
    progress : callable or None, keyword-only
        Called with the percent done (0 first, 100 last). An exception raised by
        it stops the run and is re-raised; nothing is written then. It must not
        wait for an inpaint running in another thread.
    search_radius : int or None, keyword-only
        Take sources only from windows centred within this many pixels of the
        pixel being filled, in both axes. None searches the whole image.
    source_mask : str, os.PathLike or None, keyword-only
        A picture of the image's size; sources are taken only from pixels
        whose gray value is above 128.
    quality : int or "keep", default 80, keyword-only
        JPEG quality of the output, 1 to 100; "keep" writes a JPEG input's
        quantisation tables and chroma subsampling again (80 for other
        inputs).

    Returns
    -------
    bool
        True when the image was inpainted and written. False, with a message,
        when a file could not be read ("Error openning image: ...", "Error
        openning mask: ..."; a file over the pixel limit of
        set_max_image_pixels also gets the reason on standard error), the
        mask's size differs, nothing was to be filled ("Nothing to inpaint!")
        or the output could not be written ("Error saving image: ...").
        A reader's reason for refusing a file ("cannot read image '...':
        ...") goes to standard error. True also when some pixels found no
        source; an UnfilledWarning then says how many and why.

    Warns
    -----
    UnfilledWarning
        When some pixels found no source within search_radius or the source
        mask; they keep their old values.

    Raises
    ------
    TypeError, ValueError, RuntimeError, KeyboardInterrupt
        As for inpaint; ValueError also when mask_file is None and the image
        has no alpha channel, or for a quality outside 1..100. Ctrl+C also
        ends a long decode.
    """
    for name, value in (("rad", rad), ("method", method)):
        if value is _REQUIRED:
            raise TypeError(f"inpaint_file() missing required argument '{name}' "
                            f"(pass it by keyword: {name}=...)")
    image = as_path(image_file, "image_file")
    mask = None if mask_file is None else as_path(mask_file, "mask_file")
    out = None if out_file is None else as_path(out_file, "out_file")
    radius = as_radius(rad, "rad")
    fill_method = as_method(method)
    loud = as_bool(verbose, "verbose")
    kind, number = as_device(device)
    check_progress(progress)
    domain = as_search_radius(search_radius)
    allowed = None if source_mask is None else as_path(source_mask, "source_mask")
    written, holes, left, causes = _core._inpaint_file(
        image, mask, out, radius, fill_method, loud, device=kind, cuda_device=number,
        progress=progress, search_radius=domain, source_mask=allowed,
        quality=as_quality(quality))
    if written and left:
        reason = _core._no_source_reason(radius, domain,
                                         allowed is not None, causes)
        warnings.warn(UnfilledWarning(
            f"{left} of {holes} pixels found no source ({reason}); they keep their "
            "pixels in the file written"), stacklevel=2)
    return bool(written)


def set_max_image_pixels(pixels: Optional[SupportsIndex]) -> None:
    """Set the most pixels (width x height) an input file may declare.

    inpaint_file refuses larger files from their header, before it decodes
    them, as a guard against decompression bombs (a few bytes of PNG or JPEG
    can declare gigapixels), like Pillow's Image.MAX_IMAGE_PIXELS. The limit
    holds for the whole process.

    Parameters
    ----------
    pixels : int or None
        The limit, 1 or more; the default is 2**28 = 268435456. None removes
        it (a picture still has to stay below 2**31 - 1 bytes).
    """
    if pixels is None:
        _core._set_max_image_pixels(None)
        return
    try:
        limit = operator.index(pixels)
    except TypeError:
        raise TypeError(
            f"pixels must be an integer or None, not {type(pixels).__name__}") from None
    if limit < 1:
        raise ValueError(f"pixels must be at least 1, got {limit}")
    # Beyond 64 bits it is as good as no limit.
    _core._set_max_image_pixels(None if limit >= 2**63 - 1 else limit)

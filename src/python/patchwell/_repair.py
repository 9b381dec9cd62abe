"""repair(): the functional form of inpaint, with the conventions of image
libraries. It converts and checks here, and leaves the fill to inpaint."""
from __future__ import annotations

import operator
import warnings
from typing import (Any, Callable, Dict, Literal, Optional, Sequence, SupportsIndex, Tuple,
                    Union, overload)

import numpy as np
import numpy.typing as npt

from . import _core
from ._arguments import as_device, as_radius, as_search_radius, check_progress, conversion_hint
from ._typing import Image, ImageLike, Mask, MaskLike, SourceMap

_METHODS = {"exhaustive": _core.InpaintGPU, "fast": _core.InpaintGPUfast}
#: The names of repair's methods: method auto is no InpaintMethod member
#: (inpaint and inpaint_file run exactly one search).
METHOD_NAMES = ("auto", "exhaustive", "fast")
AUTO = "auto"

#: The window radius when none is given: the best repair of real photos
#: overall (bench/radius_quality.py). Only inpaint and inpaint_file, whose
#: signatures are fixed, take no default.
DEFAULT_RADIUS = 3


class UnfilledWarning(UserWarning):
    """Some holes found no source and were left as they were.

    Issued by ``repair`` (and carried by a batch's status record); the
    message says how many pixels and why. ``warnings.simplefilter("error",
    patchwell.UnfilledWarning)`` turns it into an exception.
    """


@overload
def repair(
    image: ImageLike,
    mask: MaskLike,
    radius: SupportsIndex = ...,
    *,
    method: Union[str, _core.InpaintMethod] = ...,
    device: str = ...,
    search_radius: Union[SupportsIndex, None, str] = ...,
    source_mask: Optional[MaskLike] = ...,
    progress: Optional[Callable[[float], object]] = ...,
    verbose: bool = ...,
    return_sources: Literal[False] = ...,
) -> Tuple[Image, Mask]: ...


@overload
def repair(
    image: ImageLike,
    mask: MaskLike,
    radius: SupportsIndex = ...,
    *,
    method: Union[str, _core.InpaintMethod] = ...,
    device: str = ...,
    search_radius: Union[SupportsIndex, None, str] = ...,
    source_mask: Optional[MaskLike] = ...,
    progress: Optional[Callable[[float], object]] = ...,
    verbose: bool = ...,
    return_sources: Literal[True],
) -> Tuple[Image, Mask, SourceMap]: ...


def repair(
    image: ImageLike,
    mask: MaskLike,
    radius: SupportsIndex = DEFAULT_RADIUS,
    *,
    method: Union[str, _core.InpaintMethod] = "auto",
    device: str = "auto",
    search_radius: Union[SupportsIndex, None, str] = "auto",
    source_mask: Optional[MaskLike] = None,
    progress: Optional[Callable[[float], object]] = None,
    verbose: bool = False,
    return_sources: bool = False,
) -> Union[Tuple[Image, Mask], Tuple[Image, Mask, SourceMap]]:
    """Repair the holes of a picture and return the result.

    By default each kind of damage gets the fill that suits it: thin damage
    (dust, scratches: no disc of radius 3 fits in it) is filled smoothly,
    continuing edges and shading across it, and holes are filled from the
    best-matching windows found nearby. With ``method="exhaustive"`` or
    ``"fast"`` and ``search_radius=None`` the fill is that of ``inpaint``,
    byte for byte. Unlike ``inpaint`` the inputs are never modified, any
    strides and read-only arrays are accepted, and the mask follows OpenCV
    and scikit-image (non-zero or True marks a hole).

    Parameters
    ----------
    image : array_like of uint8 or uint16, shape (H, W), (H, W, 3) or (H, W, 4)
        The picture. The search compares 8-bit RGB: gray is searched as
        three equal channels, 16-bit samples by their high byte, and alpha
        is not compared. Every sample of a filled pixel (all 16 bits, and
        alpha) is then copied from the pixel its colour came from, so the
        high bytes of a 16-bit result are the result of the 8-bit picture
        and the alpha of RGBA is repaired along with the colour.
    mask : array_like of numbers or bools, shape (H, W)
        Non-zero (True) marks a pixel to fill.
    radius : int, default 3
        Window radius, 0 to 127; windows are 2 * radius + 1 pixels square.
        Small radii suit scratches and dust, larger ones textures.
    method : {'auto', 'exhaustive', 'fast'}, default 'auto'
        'auto' fills thin damage by a smooth (biharmonic) fill and holes
        (the damage a disc of radius 3 fits in, with a rim of one pixel) by
        the exhaustive search; the smooth fill gives the same bytes on
        every device. 'exhaustive' searches for every damaged pixel and
        scores every candidate; 'fast' ranks candidates by their window
        mean and stops early (a slightly rougher result, built for the
        GPU). InpaintMethod members are accepted too. 'auto' needs a radius
        of 1 or more.
    device : {'auto', 'cpu', 'cuda', 'cuda:N'}, default 'auto'
        Where the fill runs; 'auto' and 'cuda' use the first usable CUDA
        device ('auto' the CPU when there is none), 'cuda:N' device N.
    search_radius : int, None or 'auto', default 'auto'
        Take sources only within this many pixels of each hole pixel (in
        both axes); None searches the whole picture (slow on large photos,
        and it brings in sources from far away). 'auto' takes 48, or more
        where a hole is deep: the largest distance from a searched pixel
        to the nearest undamaged one (in both axes), plus twice `radius`,
        plus 16, so that the middle of a large hole still reaches real
        texture. It must be above
        `radius`: the windows within the radius contain the hole pixel.
    source_mask : array_like of numbers or bools, shape (H, W), optional
        Non-zero (True) marks the pixels that may serve as sources.
    progress : callable or None
        Called with the share of the holes done, a float from 0.0 (first)
        to 1.0 (last), at most about every 0.4 s; an exception it raises
        stops the run and is re-raised. It must not wait for a run in
        another thread. Ctrl+C stops the run with KeyboardInterrupt; the
        Escape key does not (unlike inpaint).
    verbose : bool, default False
        Print statistics, progress marks and the elapsed time to sys.stdout.
    return_sources : bool, default False
        Also return the source map (below).

    Returns
    -------
    result : numpy.ndarray of uint8 or uint16
        A new array of the image's shape and type with the holes filled.
    unfilled : numpy.ndarray of bool, shape (H, W)
        True for the holes that no source could fill; they keep their
        pixels, and an UnfilledWarning says how many and why. All False
        with nothing to fill, when ``result`` is a plain copy.
    sources : numpy.ndarray of int32, shape (H, W)
        Only with ``return_sources=True``: for each filled pixel the flat
        index (``y * W + x``) of the pixel it was copied from, the centre
        of the window chosen for it; -1 for every other pixel. A source
        may itself be a filled pixel, filled earlier, so
        ``result.reshape(H * W, -1)[sources[filled]]`` equals the filled
        pixels. A record of what was invented, and from where.

    Warns
    -----
    UnfilledWarning
        Some holes found no source (every window of the search domain that
        could serve holds damage).

    Raises
    ------
    TypeError
        An image that is not uint8 or uint16 (the message says how to
        convert it), a
        mask that is not numeric, an argument of the wrong type.
    ValueError
        Shapes that do not fit, a radius outside 0..127, an unknown method
        or device, and a job in which no hole can find a source, before any
        work: a search radius not above the radius, a window larger than
        the picture, a mask that marks every pixel, a source mask that
        allows no window centre. The message names the cause and the value
        that would work.

    Examples
    --------
    >>> import numpy as np, patchwell
    >>> gray = np.tile(np.arange(32, dtype=np.uint8) * 8, (32, 1))
    >>> scratch = np.zeros(gray.shape, bool)
    >>> scratch[10:13, 10:13] = True
    >>> result, unfilled = patchwell.repair(gray, scratch, radius=2)
    >>> result.shape, result.dtype, bool(unfilled.any())
    ((32, 32), dtype('uint8'), False)
    >>> bool((result == gray).all())  # a ramp repairs exactly
    True
    """
    picture = _as_image(image)
    height, width = picture.shape[0], picture.shape[1]
    holes = _as_flags(mask, height, width, "mask")
    rad = as_radius(radius)
    fill_method = _as_method(method)
    kind, number = as_device(device)
    check_progress(progress)
    wanted = as_search_radius(search_radius, allow_auto=True)
    allowed = (None if source_mask is None
               else _as_flags(source_mask, height, width, "source_mask"))
    automatic = fill_method == AUTO
    check_method_radius(method_number(fill_method), rad)
    # Method auto searches the hole part only; the rest is filled smoothly.
    targets = _core._hole_part(holes) if automatic else None
    domain = (_core._default_search_radius(holes.view(np.uint8), _bytes(targets), rad)
              if wanted == "auto" else wanted)
    searched = fill_method if not automatic else _core.InpaintGPU

    count = int(np.count_nonzero(holes))
    # The search's 8-bit RGB needs no copy back when it is the picture.
    plain = picture.dtype == np.uint8 and picture.ndim == 3 and picture.shape[2] == 3
    sources = (np.full((height, width), -1, np.int32)
               if return_sources or (count and not plain) else None)
    if count == 0:
        return _outputs(picture.copy(), holes, sources if return_sources else None)

    # A packed 8-bit RGB working copy; the bool mask comes back True where
    # unfilled.
    eight = (picture >> 8).astype(np.uint8) if picture.dtype == np.uint16 else picture
    if eight.ndim == 2:
        rgb = np.repeat(eight[:, :, np.newaxis], 3, axis=2)
    else:
        rgb = np.array(eight[:, :, :3], dtype=np.uint8, order="C")
    search = targets is None or bool(targets.any())
    if not search:
        # Thin damage alone: no source is needed, but the arguments must hold.
        check_search_radius(rad, domain)
        if progress is not None:
            progress(0.0)  # the smooth fill alone is the run
    if search:
        _core._repair_array(rgb, holes, rad, searched, bool(verbose), device=kind,
                            cuda_device=number, progress=progress, search_radius=domain,
                            source_mask=allowed, sources=sources, targets=targets)
    if plain:
        result = rgb
    else:
        # Everything the search did not see comes from the same sources.
        result = np.array(picture, order="C", copy=True)
        assert sources is not None
        _core._copy_from_sources(result, sources)
    if targets is not None:
        # The thin damage, leaning on every known pixel; unfilled hole
        # pixels are neither filled nor leant on.
        searched_left = holes & targets
        thin = holes & ~targets
        smooth = _core._smooth_fill(result, thin, searched_left)
        holes = searched_left | thin
        if verbose:
            print(f"{'Smooth Pixels: ':<20}{smooth}")
        if not search and progress is not None:
            progress(1.0)
    left = int(np.count_nonzero(holes))
    if left:
        causes = _core._no_source_causes(holes, rad, searched, domain, allowed)
        reason = _core._no_source_reason(rad, domain, allowed is not None, causes)
        warnings.warn(UnfilledWarning(
            f"{left} of {count} pixels found no source ({reason}); they keep "
            "their pixels and are True in `unfilled`"), stacklevel=2)
    return _outputs(result, holes, sources if return_sources else None)


def _outputs(result: npt.NDArray[Any], unfilled: npt.NDArray[np.bool_],
             sources: Optional[npt.NDArray[np.int32]]) -> Any:
    return (result, unfilled) if sources is None else (result, unfilled, sources)


def _as_image(image: npt.ArrayLike) -> npt.NDArray[Any]:
    picture = np.asarray(image)
    if picture.dtype != np.uint8 and picture.dtype != np.uint16:
        raise TypeError(
            f"image must be uint8 or uint16, not {picture.dtype}; convert it first, "
            f"{conversion_hint(picture.dtype)}")
    if not (picture.ndim == 2 or (picture.ndim == 3 and picture.shape[2] in (3, 4))):
        raise ValueError(
            "image must have shape (height, width), (height, width, 3) or "
            f"(height, width, 4), got {picture.shape}")
    return picture


def _as_flags(flags: npt.ArrayLike, height: int, width: int,
              name: str) -> npt.NDArray[np.bool_]:
    """A new C-contiguous bool array: True where `flags` is non-zero."""
    array = np.asarray(flags)
    if array.dtype != np.bool_ and not np.issubdtype(array.dtype, np.number):
        raise TypeError(f"{name} must hold numbers or bools, not {array.dtype}")
    if array.shape != (height, width):
        hint = (" (one channel: take mask[..., 0] or mask.any(axis=-1))"
                if array.ndim == 3 and array.shape[:2] == (height, width) else "")
        raise ValueError(
            f"{name} must have the image's height and width {(height, width)}, "
            f"got shape {array.shape}{hint}")
    return np.ascontiguousarray(array != 0)


def _as_method(method: Union[str, _core.InpaintMethod]) -> Union[str, _core.InpaintMethod]:
    """An InpaintMethod member, or AUTO."""
    if isinstance(method, _core.InpaintMethod):
        return method
    if not isinstance(method, str):
        raise TypeError(
            f"method must be 'auto', 'exhaustive' or 'fast', not {type(method).__name__}")
    if method == AUTO:
        return AUTO
    if method not in _METHODS:
        raise ValueError(f"method must be 'auto', 'exhaustive' or 'fast', not {method!r}")
    return _METHODS[method]


def method_number(method: Union[str, _core.InpaintMethod]) -> int:
    """The core's number of a method as repair takes it (auto included)."""
    checked = _as_method(method)
    return int(_core._METHOD_AUTO) if checked == AUTO else int(checked)


def check_method_radius(method: int, radius: int) -> None:
    """Refuses a radius method auto cannot work with (method numbered as
    method_number gives it)."""
    if method == int(_core._METHOD_AUTO):
        problem = _core._auto_radius_problem(radius)
        if problem is not None:
            raise ValueError(problem)


def _bytes(flags: Optional[npt.NDArray[np.bool_]]) -> Optional[npt.NDArray[np.uint8]]:
    return None if flags is None else flags.view(np.uint8)


def check_search_radius(radius: int, search_radius: Optional[int]) -> None:
    """Refuses a search radius at or below the window radius, as repair does
    for one picture: every window within it contains the pixel being filled."""
    problem = _core._search_radius_problem(radius, search_radius)
    if problem is not None:
        raise ValueError(problem)


def estimate_seconds(
    shape: Sequence[int],
    mask: MaskLike,
    radius: SupportsIndex = DEFAULT_RADIUS,
    *,
    search_radius: Union[SupportsIndex, None, str] = "auto",
    method: Union[str, _core.InpaintMethod] = "auto",
    device: str = "auto",
) -> float:
    """Forecast how long ``repair`` will take, before running it.

    The forecast counts the (hole, candidate window) pairs the search will
    compare and multiplies them by a cost per pair measured on the CPU
    backend (with the current thread count), or by a cost model of a
    current data-centre GPU for CUDA, and adds the smooth fill of method
    auto's thin damage. It is rough, within a factor of two on photos;
    what it is good for is telling seconds from hours, and what a search
    radius saves. The defaults are repair's: method auto and the search
    radius derived from the mask.

    Parameters
    ----------
    shape : tuple of int
        The picture's shape, (H, W) or (H, W, C).
    mask : array_like, shape (H, W)
        Non-zero (True) marks a hole, as for ``repair``.
    radius, search_radius, method, device :
        As for ``repair``.

    Returns
    -------
    float
        Seconds.

    Examples
    --------
    >>> import numpy as np, patchwell
    >>> holes = np.zeros((3000, 4000), bool)
    >>> holes[::50, ::50] = True
    >>> whole = patchwell.estimate_seconds(holes.shape, holes, 7, method="exhaustive",
    ...                                    search_radius=None, device="cpu")
    >>> bounded = patchwell.estimate_seconds(holes.shape, holes, 7, method="exhaustive",
    ...                                      device="cpu")
    >>> bool(bounded < whole / 100)
    True
    """
    dims = tuple(operator.index(n) for n in shape)
    if len(dims) not in (2, 3) or min(dims) < 0:
        raise ValueError(f"shape must be (height, width) or (height, width, channels), got {shape}")
    holes = _as_flags(mask, dims[0], dims[1], "mask")
    rad = as_radius(radius)
    fill_method = _as_method(method)
    kind, _ = as_device(device)
    wanted = as_search_radius(search_radius, allow_auto=True)
    check_method_radius(method_number(fill_method), rad)
    targets = _bytes(_core._hole_part(holes)) if fill_method == AUTO else None
    domain = (_core._default_search_radius(holes.view(np.uint8), targets, rad)
              if wanted == "auto" else wanted)
    cuda = kind == "cuda" or (kind == "auto" and _core._cuda_usable())
    forecast = _core._forecast(holes.view(np.uint8), rad, method_number(fill_method), domain,
                               cuda, targets)
    return float(forecast["seconds"])

"""find_damage(): dust, scratches and fibres found in a picture, and dust
and hairs in a film scanner's infrared channel; the result is a mask for
repair. The work is the compiled core's; this module checks arguments."""
from __future__ import annotations

from typing import Iterable, Optional, Union

import numpy as np
import numpy.typing as npt

from . import _core
from ._arguments import as_index_in_range
from ._repair import _as_image
from ._typing import ImageLike, Mask

#: The kinds of damage find_damage knows, and their flags in the core.
KINDS = {"dust": _core._FIND_DUST, "scratches": _core._FIND_SCRATCHES,
         "infrared": _core._FIND_INFRARED}


def find_damage(
    image: ImageLike,
    kinds: Union[str, Iterable[str]] = ("dust", "scratches"),
    *,
    infrared: Optional[npt.ArrayLike] = None,
    sensitivity: float = 1.0,
    max_size: int = 15,
    max_width: int = 4,
    min_length: int = 15,
    dilation: int = 1,
    infrared_dilation: int = 1,
) -> Mask:
    """Find dust, hairs and scratches, and return them as a mask.

    Each kind looks for what stands out from the picture's own local grain
    and texture, so that fur, grass and hair are left alone while a speck
    or a fibre of the same contrast on a smooth sky is found. A model
    (boosted decision trees) weighs how each pixel stands out from rings
    around it, in the luminance and in its brightest and darkest colour
    channels, against the texture around it; the regions it finds likely
    are then judged whole by a second model (their size and shape, their
    contrast against their background, and how many like them are near,
    since a texture repeats what dust does once). The lines that the
    scratch finder proposes are judged whole by a third (their length,
    shape, contrast, the grain around them). All were trained on synthetic
    damage over grainy photographs (``bench/train_dust_model.py``,
    ``bench/train_dust_region_model.py`` and ``bench/train_line_model.py``).
    A higher `sensitivity` keeps everything a lower one finds. What is
    found is marked out to its soft
    edge and then widened by `dilation` pixels, ready for ``repair``. The
    result depends on nothing but the arguments.

    Parameters
    ----------
    image : array_like of uint8 or uint16, shape (H, W), (H, W, 3) or (H, W, 4)
        The picture; colour is looked at through its luminance, alpha not
        at all.
    kinds : str or iterable of str, default ("dust", "scratches")
        What to look for, any of:

        - ``"dust"``: small compact specks, dark (dust on a print) or
          bright (dust on a negative), up to `max_size` pixels across;
        - ``"scratches"``: thin lines and fibres, straight or curved, dark
          or bright, up to `max_width` pixels wide and at least
          `min_length` long;
        - ``"infrared"``: where the `infrared` channel drops clearly below
          its local level (dust and hairs block infrared light, the dyes
          of colour film hardly do), widened by `infrared_dilation`.

        A string names one kind, or several separated by commas.
    infrared : array_like of uint8 or uint16, shape (H, W), optional
        The infrared channel of a film scan (the fourth sample of an RGBI
        TIFF); required by ``"infrared"``.
    sensitivity : float, default 1.0
        Above 1 finds fainter damage (and mistakes more texture for it),
        below 1 only the clearest: the odds the models need are divided by
        it, and so is the contrast the infrared finder needs.
    max_size : int, default 15
        The largest speck looked for, in pixels across (1 to 64).
    max_width : int, default 4
        The widest scratch or fibre, in pixels (1 to 16).
    min_length : int, default 15
        The shortest scratch or fibre, in pixels (1 to 100000).
    dilation : int, default 1
        Pixels added around the dust and scratches found (0 to 16), for
        the soft edges that the thresholds do not reach.
    infrared_dilation : int, default 1
        The same for the infrared damage: its edges scatter light.

    Returns
    -------
    numpy.ndarray of bool, shape (H, W)
        True marks damage.

    Raises
    ------
    TypeError
        An image or infrared channel that is not uint8 or uint16, kinds that
        are not strings.
    ValueError
        An unknown kind, ``"infrared"`` without `infrared` (or `infrared`
        without ``"infrared"``), shapes that do not fit, a knob out of range.

    Examples
    --------
    >>> import numpy as np, patchwell
    >>> gray = np.full((64, 64), 180, np.uint8)
    >>> gray[30:33, 40:43] = 40  # a dark speck
    >>> mask = patchwell.find_damage(gray, "dust")
    >>> bool(mask[31, 41]), bool(mask[:, :20].any())
    (True, False)
    >>> result, unfilled = patchwell.repair(gray, mask)
    >>> int(result[31, 41])
    180
    """
    picture = np.ascontiguousarray(_as_image(image))
    flags = _as_kinds(kinds)
    ir = None
    if flags & _core._FIND_INFRARED:
        if infrared is None:
            raise ValueError("kind 'infrared' needs the infrared channel: pass infrared=")
        ir = np.ascontiguousarray(np.asarray(infrared))
        if ir.dtype != np.uint8 and ir.dtype != np.uint16:
            raise TypeError(f"infrared must be uint8 or uint16, not {ir.dtype}")
        if ir.shape != picture.shape[:2]:
            raise ValueError(
                f"infrared must have the image's height and width {picture.shape[:2]}, "
                f"got shape {ir.shape}")
    elif infrared is not None:
        raise ValueError("infrared= is given but 'infrared' is not among kinds")
    try:
        # float() would also read a string: "2" is not a sensitivity.
        if isinstance(sensitivity, (str, bytes)):
            raise TypeError
        level = float(sensitivity)
    except (TypeError, ValueError):
        raise TypeError(
            f"sensitivity must be a number, not {type(sensitivity).__name__}") from None
    if not 0 < level <= 100:
        raise ValueError(f"sensitivity must be above 0 and at most 100, got {sensitivity}")
    return _core._find_damage(
        picture, ir, flags, sensitivity=level,
        max_speck=as_index_in_range(max_size, "max_size", 1, 64),
        max_width=as_index_in_range(max_width, "max_width", 1, 16),
        min_length=as_index_in_range(min_length, "min_length", 1, 100000),
        dilation=as_index_in_range(dilation, "dilation", 0, 16),
        infrared_dilation=as_index_in_range(infrared_dilation, "infrared_dilation", 0, 16))


def _as_kinds(kinds: Union[str, Iterable[str]]) -> int:
    if isinstance(kinds, str):
        names = kinds.split(",")
    else:
        try:
            names = list(kinds)
        except TypeError:
            raise TypeError("kinds must be a string or an iterable of strings, "
                            f"not {type(kinds).__name__}") from None
    flags = 0
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"kinds must be strings, not {type(name).__name__}")
        key = name.strip()
        if key not in KINDS:
            raise ValueError(
                f"unknown kind {name!r}: choose from 'dust', 'scratches', 'infrared'")
        flags |= KINDS[key]
    if not flags:
        raise ValueError("kinds names nothing to find")
    return flags

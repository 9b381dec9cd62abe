"""The argument conventions of the package's functions, written once: each
function converts an argument or raises a short TypeError or ValueError
that names it. The compiled core takes the converted values."""
from __future__ import annotations

import operator
import os
import re
from typing import Any, Optional, SupportsIndex, Tuple, Union

import numpy as np

from . import _core

#: The largest window radius (the core's); windows are 2 * radius + 1
#: pixels square.
MAX_RADIUS: int = _core._MAX_RADIUS

_NUMBERED_DEVICE = re.compile(r"cuda:[0-9]{1,9}")


def _type_name(value: object) -> str:
    return type(value).__name__


def as_index_in_range(value: Any, name: str, low: int, high: int) -> int:
    """An integer-like object (int, numpy.int64, anything with __index__)
    in [low, high]; a ValueError outside, however large."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {_type_name(value)}") from None
    if not low <= number <= high:
        raise ValueError(f"{name} must be between {low} and {high}, got {number}")
    return number


def as_radius(value: object, name: str = "radius") -> int:
    return as_index_in_range(value, name, 0, MAX_RADIUS)


def as_bool(value: object, name: str) -> bool:
    """True, False, None (False), numpy.bool_ or a number; not a str or a
    list, whose truth is their length."""
    if value is None or hasattr(type(value), "__bool__"):
        return bool(value)
    raise TypeError(f"{name} must be a bool, not {_type_name(value)}")


def as_device(device: object) -> Tuple[str, int]:
    """'auto', 'cpu', 'cuda' or 'cuda:N' as the core's (device, cuda_device):
    the kind and the CUDA device number, -1 for the first usable one."""
    if not isinstance(device, str):
        raise TypeError(f"device must be a str, not {_type_name(device)}")
    if device in ("auto", "cpu", "cuda"):
        return device, -1
    if not _NUMBERED_DEVICE.fullmatch(device):
        raise ValueError(
            f"device must be 'auto', 'cpu', 'cuda' or 'cuda:N', not {device!r}")
    return "cuda", int(device[5:])


def check_progress(progress: object) -> None:
    if progress is not None and not callable(progress):
        raise TypeError(
            f"progress must be None or a callable, not {_type_name(progress)}")


def as_search_radius(value: object, allow_auto: bool = False) -> Union[int, None, str]:
    """A search radius: None, or an integer of 0 or more; values past the
    32-bit range search the whole image as None does. With `allow_auto`,
    also "auto": the default, derived from the mask."""
    kinds = "an int, None or 'auto'" if allow_auto else "an int or None"
    if value is None:
        return None
    if isinstance(value, str):
        if allow_auto and value == "auto":
            return "auto"
        problem = ValueError if allow_auto else TypeError
        raise problem(f"search_radius must be {kinds}, not {value!r}")
    if isinstance(value, bool):
        raise TypeError(f"search_radius must be {kinds}, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"search_radius must be {kinds}, not {_type_name(value)}") from None
    if number < 0:
        raise ValueError(f"search_radius must be 0 or more, got {number}")
    return min(number, 2**31 - 1)


def as_quality(value: object) -> int:
    """A JPEG quality, 1 to 100, or "keep" (given to the core as 0): the
    quantisation of a JPEG input."""
    if isinstance(value, str) and value == "keep":
        return 0
    if isinstance(value, bool):
        raise TypeError("quality must be an int, not bool")
    return as_index_in_range(value, "quality", 1, 100)


def as_path(value: Any, name: str) -> bytes:
    """A str or os.PathLike file name, as bytes in the file system's
    encoding (names that are not valid UTF-8 on disk still open)."""
    try:
        return os.fsencode(value)
    except TypeError:
        raise TypeError(
            f"{name} must be a str or os.PathLike, not {_type_name(value)}") from None


def as_method(value: object, name: str = "method") -> _core.InpaintMethod:
    if not isinstance(value, _core.InpaintMethod):
        raise TypeError(
            f"{name} must be a patchwell.InpaintMethod member (InpaintGPU, "
            f"InpaintGPUfast or InpaintCPU), not {_type_name(value)}")
    return value


def conversion_hint(dtype: np.dtype[Any]) -> str:
    """How to turn pixels of another element type into uint8."""
    if dtype.kind == "f":
        return ("for floats in [0, 1]: "
                "numpy.clip(numpy.rint(image * 255), 0, 255).astype(numpy.uint8)")
    if dtype == np.uint16:
        return "for 16-bit samples: (image >> 8).astype(numpy.uint8)"
    if dtype.kind == "b":
        return "for bools: image.astype(numpy.uint8) * 255"
    return "for example numpy.clip(image, 0, 255).astype(numpy.uint8)"

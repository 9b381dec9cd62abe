"""Repair photographs by exemplar-based inpainting.

A mask marks the damaged pixels. patchwell fills them one at a time in a
fixed onion-peel order (from the edges of each hole inwards), copying into
each the centre of the best-matching window found elsewhere in the picture.
It runs on an NVIDIA GPU through CUDA when one is usable and on every CPU
core otherwise, with byte-identical results.

Functions
---------
repair(image, mask, radius=3, *, method="exhaustive", ...)
    The functional form: gray, RGB or RGBA pictures of uint8 or uint16
    (16 bits and alpha repaired along with the 8-bit colour), a mask of any
    numeric or bool type where non-zero (True) marks a hole, as in OpenCV
    and scikit-image. Leaves its inputs alone and returns
    ``(result, unfilled)``; warns (UnfilledWarning) when holes are left.
find_damage(image, kinds=("dust", "scratches"), *, infrared=None, ...)
    A mask of the dust, hairs and scratches found in a picture (or in a
    film scan's infrared channel), ready for repair.
estimate_seconds(shape, mask, radius=3, *, search_radius=None, ...)
    How long repair will take, before running it.
inpaint(image_file, mask_file, rad, method, verbose=False, *, ...)
    In place on an RGB uint8 array; a uint8 mask marks holes with bytes
    above 128 (a bool mask with True). Returns True or False.
inpaint_file(image_file, mask_file, out_file=None, rad, method, ...)
    From one image file to another (mask_file=None: the image's
    transparent pixels are the holes).
set_max_image_pixels(n), max_image_pixels()
    The most pixels an input file of inpaint_file may declare (2**28 by
    default), a guard against decompression bombs.
version(), device_info()
    The version text; the device that device="auto" uses.
set_num_threads(n), get_num_threads()
    The CPU backend's thread count (default: PATCHWELL_NUM_THREADS, else
    every core).

Modules
-------
patchwell.batch
    Many picture files at once, in worker processes (also the command
    ``patchwell batch``).
patchwell.dask
    The same on a Dask cluster (needs ``pip install "patchwell[dask]"``).

InpaintMethod (also exported as InpaintGPU, InpaintGPUfast, InpaintCPU)
picks the search of inpaint and inpaint_file.

Example
-------
>>> import numpy as np, patchwell
>>> image = np.zeros((64, 64, 3), np.uint8)
>>> mask = np.zeros((64, 64), bool)
>>> mask[30:34, 30:34] = True
>>> result, unfilled = patchwell.repair(image, mask, radius=3)
>>> bool(unfilled.any())
False
"""
import importlib.metadata

from . import _core
from ._core import (
    InpaintMethod as InpaintMethod,
    InpaintCPU as InpaintCPU,
    InpaintGPU as InpaintGPU,
    InpaintGPUfast as InpaintGPUfast,
    version as version,
)

# The version is written once, in pyproject.toml: the installed package's
# metadata carries it, and the core was built from the same line.
try:
    __version__ = importlib.metadata.version("patchwell")
except importlib.metadata.PackageNotFoundError:  # a build tree, not installed
    __version__ = _core.__version__
from ._inpaint import (
    inpaint_file as inpaint_file,
    inpaint as inpaint,
    set_max_image_pixels as set_max_image_pixels,
)
from ._core import (
    _last_run_stats as _last_run_stats,
    device_info as device_info,
    max_image_pixels as max_image_pixels,
    get_num_threads as get_num_threads,
)
from ._repair import (
    UnfilledWarning as UnfilledWarning,
    estimate_seconds as estimate_seconds,
    repair as repair,
)
from ._detect import find_damage as find_damage
from ._threads import (
    set_num_threads as set_num_threads,
    warn_if_unusable as _warn_if_unusable,
)

_warn_if_unusable()

__all__ = [
    "InpaintCPU",
    "InpaintGPU",
    "InpaintGPUfast",
    "InpaintMethod",
    "UnfilledWarning",
    "device_info",
    "estimate_seconds",
    "find_damage",
    "get_num_threads",
    "inpaint",
    "inpaint_file",
    "max_image_pixels",
    "repair",
    "set_max_image_pixels",
    "set_num_threads",
    "version",
]

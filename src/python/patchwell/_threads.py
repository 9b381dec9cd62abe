"""The CPU backend's thread count: set_num_threads, and the
PATCHWELL_NUM_THREADS environment variable as the compiled core reads it."""
from __future__ import annotations

import os
import warnings
from typing import Optional, SupportsIndex

from . import _core
from ._arguments import as_index_in_range

VARIABLE = "PATCHWELL_NUM_THREADS"


def set_num_threads(threads: Optional[SupportsIndex]) -> None:
    """Set how many threads the CPU backend runs from the next run on.

    Parameters
    ----------
    threads : int or None
        1 to 256; None returns to the default: the environment variable
        PATCHWELL_NUM_THREADS when it holds a whole number above 0, else every
        core. Processes that share a machine's cores (batch workers, cluster
        workers) each take their part.
    """
    _core._set_num_threads(
        0 if threads is None else as_index_in_range(threads, "threads", 1, _core._MAX_THREADS))


def thread_variable() -> Optional[int]:
    """The thread count the variable sets, or None."""
    return _core._thread_variable()


def warn_if_unusable() -> None:
    """Warns once when the variable is set to something the core ignores."""
    text = os.environ.get(VARIABLE, "")
    if text and thread_variable() is None:
        warnings.warn(
            f"{VARIABLE}={text!r} is not a whole number above 0 and is ignored: "
            "the CPU backend runs one thread per core",
            RuntimeWarning, stacklevel=3)

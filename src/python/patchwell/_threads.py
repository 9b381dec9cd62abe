"""The PATCHWELL_NUM_THREADS environment variable, read as the compiled
core reads it: a whole number above 0 (at most 256), else not set."""
from __future__ import annotations

import os
import re
import warnings
from typing import Optional

VARIABLE = "PATCHWELL_NUM_THREADS"


def thread_variable() -> Optional[int]:
    """The thread count the variable sets, or None."""
    text = os.environ.get(VARIABLE, "")
    if re.fullmatch(r"[0-9]+", text) and int(text) > 0:
        return min(int(text), 256)
    return None


def warn_if_unusable() -> None:
    """Warns once when the variable is set to something the core ignores."""
    text = os.environ.get(VARIABLE, "")
    if text and thread_variable() is None:
        warnings.warn(
            f"{VARIABLE}={text!r} is not a whole number above 0 and is ignored: "
            "the CPU backend runs one thread per core",
            RuntimeWarning, stacklevel=3)

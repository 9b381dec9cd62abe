"""The status record of one picture of a batch."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

#: The picture was repaired and written.
REPAIRED = "repaired"
#: Written, but some holes found no source and kept their pixels; ``error``
#: says how many and why. A later batch without ``overwrite`` repairs the
#: picture again rather than skipping it.
INCOMPLETE = "incomplete"
#: Its mask marks no pixel: the output is a copy of the input.
UNCHANGED = "unchanged"
#: The output was already there (a batch run before): left alone.
SKIPPED = "skipped"
#: Something went wrong; ``error`` says what, and nothing was written.
FAILED = "failed"


@dataclass(frozen=True)
class BatchRecord:
    """What became of one picture of a batch.

    Attributes
    ----------
    input : str
        The picture's file.
    output : str
        Where its repair goes (written unless the record failed or skipped).
    status : str
        'repaired', 'incomplete' (written, but some holes found no source),
        'unchanged' (the mask marks nothing; the output is a copy of the
        input), 'skipped' (the output was already there) or 'failed'.
    filled : int
        Pixels filled.
    unfilled : int
        Pixels of the mask that found no source (left as they were).
    seconds : float
        Time spent on the picture.
    error : str or None
        Why it failed, or for 'incomplete' how many pixels found no source
        and why (the text of ``patchwell.UnfilledWarning``); None otherwise.
    mask : str or None
        The mask used.
    """

    input: str
    output: str
    status: str
    filled: int = 0
    unfilled: int = 0
    seconds: float = 0.0
    error: Optional[str] = None
    mask: Optional[str] = None

    @property
    def ok(self) -> bool:
        """True when the picture is done: repaired whole, copied unchanged
        or skipped; False when it failed or is incomplete."""
        return self.status not in (FAILED, INCOMPLETE)

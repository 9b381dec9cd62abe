"""The status record of one picture of a batch."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

#: The picture was repaired and written.
REPAIRED = "repaired"
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
        'repaired', 'unchanged' (the mask marks nothing; the output is a
        copy of the input), 'skipped' (the output was already there) or
        'failed'.
    filled : int
        Pixels filled.
    unfilled : int
        Pixels of the mask that found no source (left as they were).
    seconds : float
        Time spent on the picture.
    error : str or None
        Why it failed; None otherwise.
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
        """True unless the picture failed."""
        return self.status != FAILED

"""One picture of a batch, from its files to its status record. The same
function runs in batch worker processes, in the calling process and on
Dask workers."""
from __future__ import annotations

import os
import secrets
import shutil
import time
from dataclasses import dataclass
from typing import Optional, Tuple

from .. import _core
from ._items import Task
from ._record import FAILED, REPAIRED, SKIPPED, UNCHANGED, BatchRecord


@dataclass(frozen=True)
class Options:
    """The fill options of every picture of a batch."""

    radius: int = 7
    method: int = int(_core.InpaintGPU)
    device: str = "auto"
    search_radius: Optional[int] = None
    source_mask: Optional[str] = None
    overwrite: bool = False


_UNREADABLE = "(missing, unreadable, damaged or not a supported format)"


def repair_picture(task: Task, options: Options) -> BatchRecord:
    """Repairs one picture into its output file and says how it went.

    The output appears whole or not at all: the picture is written to a
    temporary file beside it, which then replaces the output. A mask that
    marks nothing gives a copy of the input. Every failure becomes a record;
    only KeyboardInterrupt (and other exceptions that are not errors) pass
    through, with nothing written."""
    start = time.perf_counter()

    def record(status: str, error: Optional[str] = None, filled: int = 0,
               unfilled: int = 0) -> BatchRecord:
        return BatchRecord(task.image, task.output, status, filled, unfilled,
                           time.perf_counter() - start, error, task.mask)

    if not options.overwrite and os.path.lexists(task.output):
        return record(SKIPPED)
    temporary = None
    try:
        # Through a link the output's target is replaced, not the link.
        final = os.path.realpath(task.output)
        folder, name = os.path.split(final)
        os.makedirs(folder, exist_ok=True)
        temporary = os.path.join(folder, temporary_name(name, os.getpid(),
                                                        secrets.token_hex(4)))
        outcome = _core._repair_file(
            task.image, task.mask, temporary, options.radius,
            _core.InpaintMethod(options.method), device=options.device,
            search_radius=options.search_radius, source_mask=options.source_mask)
        status = outcome["status"]
        if status == "saved":
            os.replace(temporary, final)
            holes, unfilled = outcome["holes"], outcome["unfilled"]
            return record(REPAIRED, filled=holes - unfilled, unfilled=unfilled)
        if status == "nothing_to_inpaint":
            shutil.copyfile(task.image, temporary)
            os.replace(temporary, final)
            return record(UNCHANGED)
        return record(FAILED, _failure_text(status, outcome, task, options))
    except Exception as error:
        return record(FAILED, _exception_text(error))
    finally:
        if temporary is not None:
            try:
                os.remove(temporary)
            except OSError:
                pass  # gone already (renamed), or the output is whole anyway


def _temporary_parts(name: str, pid: object) -> Tuple[str, str]:
    stem, ext = os.path.splitext(name)
    return f".{stem}.{pid}-", f".partial{ext}"


def temporary_name(name: str, pid: object, tag: str) -> str:
    """The name under which a process writes an output before renaming it:
    hidden, and with the output's extension last, which picks the format."""
    prefix, suffix = _temporary_parts(name, pid)
    return prefix + tag + suffix


def remove_temporaries(output: str, pid: int) -> None:
    """Removes what a worker process that died left of `output`."""
    folder, name = os.path.split(os.path.realpath(output))
    prefix, suffix = _temporary_parts(name, pid)
    try:
        leftovers = [n for n in os.listdir(folder)
                     if n.startswith(prefix) and n.endswith(suffix)]
        for leftover in leftovers:
            os.remove(os.path.join(folder, leftover))
    except OSError:
        pass


def _size(size: Tuple[int, int]) -> str:
    return f"{size[0]}x{size[1]}"


def _failure_text(status: str, outcome: "_core._FileOutcome", task: Task,
                  options: Options) -> str:
    image_size = _size(outcome["size"])
    mask_size = _size(outcome["mask_size"])
    texts = {
        "image_unreadable": f"cannot read the image {_UNREADABLE}",
        "image_empty": "the image holds no pixels",
        "mask_unreadable": f"cannot read mask '{task.mask}' {_UNREADABLE}",
        "mask_size_differs": (f"mask '{task.mask}' is {mask_size} pixels but the "
                              f"image is {image_size}"),
        "mask_unusable": f"cannot build a mask from '{task.mask}'",
        "source_mask_unreadable": (f"cannot read source mask '{options.source_mask}' "
                                   f"{_UNREADABLE}"),
        "source_mask_size_differs": (f"source mask '{options.source_mask}' is "
                                     f"{mask_size} pixels but the image is {image_size}"),
        "not_saved": (f"cannot write '{task.output}' (unknown extension, or a "
                      "folder that is missing or not writable)"),
        "output_unusable": (f"cannot write '{task.output}' (unknown extension, or a "
                            "folder that is missing or not writable)"),
        "abandoned": "stopped",
    }
    too_large = {"image_too_large": "the image", "mask_too_large": f"mask '{task.mask}'",
                 "source_mask_too_large": f"source mask '{options.source_mask}'"}
    if status in too_large:
        return (f"{too_large[status]} declares {_size(outcome['declared_size'])} pixels, "
                f"more than the limit of {_core.max_image_pixels()} "
                "(patchwell.set_max_image_pixels raises it)")
    return texts.get(status, f"failed ({status})")


def _exception_text(error: BaseException) -> str:
    if isinstance(error, MemoryError):
        return f"out of memory{': ' + str(error) if str(error) else ''}"
    if isinstance(error, OSError) and error.strerror:
        name = f" '{error.filename}'" if error.filename else ""
        return f"{error.strerror}{name}"
    return str(error) or type(error).__name__

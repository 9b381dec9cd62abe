"""One picture of a batch, from its files to its status record. The same
function runs in batch worker processes, in the calling process and on
Dask workers."""
from __future__ import annotations

import errno
import fcntl
import hashlib
import os
import re
import stat
import time
from dataclasses import dataclass
from typing import Optional, Tuple, Union

from .. import _core
from .._arguments import as_device
from .._inpaint import set_max_image_pixels
from .._repair import DEFAULT_RADIUS
from .._threads import set_num_threads
from ._items import Task
from ._record import FAILED, INCOMPLETE, REPAIRED, SKIPPED, UNCHANGED, BatchRecord

#: The default pixel limit of the readers (set_max_image_pixels).
DEFAULT_MAX_PIXELS = 2**28


@dataclass(frozen=True)
class Options:
    """The fill options of every picture of a batch, and the settings of
    the calling process that every worker takes on."""

    radius: int = DEFAULT_RADIUS
    method: int = int(_core._METHOD_AUTO)
    device: str = "auto"
    search_radius: Union[int, None, str] = "auto"  # "auto": derived from each mask
    source_mask: Optional[str] = None
    overwrite: bool = False
    quality: int = 0  # 0: "keep" (that of a JPEG input, 80 for others)
    max_pixels: Optional[int] = DEFAULT_MAX_PIXELS  # None: no limit
    threads: Optional[int] = None  # set_num_threads of the caller, if any
    find: int = 0  # the kinds of damage found and filled (find_damage's flags)


# Every temporary file is ".NAME.PID-TAG.tmp" beside NAME (the core's saves
# name theirs so, NAME shortened when the whole would be too long), and its
# writer holds an fcntl lock on it while the file is open.
_TEMPORARY = re.compile(r"\..+\.([0-9]+)-[0-9A-Za-z]+\.tmp")

# The longest file name most file systems take (NAME_MAX), and what is kept
# of a longer name's start.
_NAME_MAX = 255
_KEPT_BYTES = 200


def incomplete_marker(output: str) -> str:
    """The file beside an output that records that the output may not be
    whole: some holes found no source, or its repair had not ended (a
    marker is put in place before each picture is written). A resumed batch
    repairs such a picture again. A name too long for a file gives way to
    its first 200 bytes, "~" and a digest of the whole."""
    folder, name = os.path.split(output)
    marker = os.fsencode(f".{name}.incomplete")
    if len(marker) > _NAME_MAX:
        raw = os.fsencode(name)
        keep = _KEPT_BYTES
        while keep and raw[keep] & 0xC0 == 0x80:  # not inside a UTF-8 character
            keep -= 1
        digest = hashlib.sha256(raw).hexdigest()[:16].encode()
        marker = b"." + raw[:keep] + b"~" + digest + b".incomplete"
    return os.path.join(folder, os.fsdecode(marker))


def not_regular(path: str) -> Optional[str]:
    """What stands at `path` when it is neither a regular file nor a
    symbolic link (which would be replaced): "a folder", "a pipe" and so
    on; None otherwise, and when nothing is there."""
    try:
        mode = os.lstat(path).st_mode
    except OSError:
        return None
    if stat.S_ISREG(mode) or stat.S_ISLNK(mode):
        return None
    kinds = [(stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a pipe"),
             (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a device"),
             (stat.S_ISBLK, "a device")]
    return next((text for test, text in kinds if test(mode)), "a special file")


def apply_settings(options: Options) -> None:
    """Takes on the caller's pixel limit and thread count in this process."""
    set_max_image_pixels(options.max_pixels)
    if options.threads is not None:
        set_num_threads(options.threads)


def repair_picture(task: Task, options: Options) -> BatchRecord:
    """Repairs one picture into its output file and says how it went.

    The output appears whole or not at all, as a regular file: a symbolic
    link in its place is replaced, never followed, and without `overwrite`
    an output that appears meanwhile is left alone (the picture is then
    skipped). A mask that marks nothing gives a copy of the input. Every
    failure becomes a record; only KeyboardInterrupt (and other exceptions
    that are not errors) pass through, with nothing written."""
    start = time.perf_counter()

    def record(status: str, error: Optional[str] = None, filled: int = 0,
               unfilled: int = 0) -> BatchRecord:
        return BatchRecord(task.image, task.output, status, filled, unfilled,
                           time.perf_counter() - start, error, task.mask)

    marker = incomplete_marker(task.output)
    redo = os.path.lexists(marker)
    if not options.overwrite and not redo and os.path.lexists(task.output):
        return record(SKIPPED)
    for path in (task.output, marker):
        kind = not_regular(path)
        if kind is not None:
            return record(FAILED, f"cannot write '{path}': {kind} is in its place, "
                                  "not a regular file")
    before = _identity(task.output)
    try:
        apply_settings(options)
        os.makedirs(os.path.dirname(task.output) or ".", exist_ok=True)
        # In place before the output: whatever stops the repair from here
        # on, a resumed batch does the picture again.
        _write_marker(marker, "being repaired")
        kind, number = as_device(options.device)
        outcome = _core._repair_file(
            os.fsencode(task.image), os.fsencode(task.mask), os.fsencode(task.output),
            options.radius, options.method, device=kind, cuda_device=number,
            search_radius=None if options.search_radius == "auto" else options.search_radius,
            default_search_radius=options.search_radius == "auto",
            source_mask=(None if options.source_mask is None
                         else os.fsencode(options.source_mask)),
            overwrite=options.overwrite or redo, quality=options.quality,
            find=options.find)
        status = outcome["status"]
        if status == "saved":
            holes, left = outcome["holes"], outcome["no_source"]
            if left:
                text = os.fsdecode(outcome["message"])
                _write_marker(marker, text)
                return record(INCOMPLETE, text, filled=holes - left, unfilled=left)
            _remove(marker)
            return record(REPAIRED, filled=holes)
        if status == "copied":
            _remove(marker)
            return record(UNCHANGED)
        _unmark(marker, redo, before, task.output)
        if status == "output_exists":
            return record(SKIPPED)
        # The core's words for the outcome, as the command says them.
        return record(FAILED, os.fsdecode(outcome["message"]))
    except Exception as error:
        _unmark(marker, redo, before, task.output)
        return record(FAILED, _exception_text(error))
    except BaseException:
        _unmark(marker, redo, before, task.output)
        raise


def _identity(path: str) -> Optional[Tuple[int, int, int]]:
    try:
        info = os.lstat(path)
    except OSError:
        return None
    return info.st_ino, info.st_dev, info.st_mtime_ns


def _unmark(marker: str, redo: bool, before: Optional[Tuple[int, int, int]],
            output: str) -> None:
    """Takes back this run's marker when the output is as it was: nothing
    was written. A marker of an earlier batch stays."""
    if not redo and _identity(output) == before:
        try:
            _remove(marker)
        except OSError:
            pass


def _write_marker(path: str, text: str) -> None:
    # A new file, never through a link or into another file's links: a file
    # or a link in its place is replaced; anything else fails.
    kind = not_regular(path)
    if kind is not None:
        raise OSError(errno.EEXIST, f"{kind} is in the place of '{path}'")
    _remove(path)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                 0o666)
    with os.fdopen(fd, "w") as f:
        f.write(text + "\n")


def _remove(path: str) -> None:
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def remove_temporaries(output: str, pid: int) -> None:
    """Removes what a worker process that died left beside `output`: its
    temporary files (whatever their names were shortened to), and the
    marker of a picture whose output it did not write."""
    sweep_temporaries(os.path.dirname(output) or ".", pid)
    if not os.path.lexists(output):
        try:
            _remove(incomplete_marker(output))
        except OSError:
            pass


def sweep_temporaries(folder: str, pid: Optional[int] = None) -> None:
    """Removes the temporary files that no process writes any more from an
    output folder: what a killed batch left behind (with `pid`, those named
    by that process only). A file whose writer lives holds a lock on it,
    whatever PID namespace or machine the writer runs in; only a file that
    can be locked is taken for a leftover."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        found = _TEMPORARY.fullmatch(name)
        if found is None or (pid is not None and int(found.group(1)) != pid):
            continue
        if int(found.group(1)) == os.getpid():
            continue  # this process's own saves (a lock would not tell)
        _remove_if_unlocked(os.path.join(folder, name))


def _remove_if_unlocked(path: str) -> None:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            return
        try:
            fcntl.lockf(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except OSError:
            return  # a writer holds it, or locks cannot tell here: keep it
        # Removed while locked: a writer that opened it meanwhile waits for
        # the lock, then finds it gone and takes another name.
        now = os.lstat(path)
        if (now.st_ino, now.st_dev) == (info.st_ino, info.st_dev):
            os.remove(path)
    except OSError:
        pass
    finally:
        os.close(fd)


def _exception_text(error: BaseException) -> str:
    if isinstance(error, MemoryError):
        return f"out of memory{': ' + str(error) if str(error) else ''}"
    if isinstance(error, OSError) and error.strerror:
        name = f" '{error.filename}'" if error.filename else ""
        return f"{error.strerror}{name}"
    return str(error) or type(error).__name__


__all__ = ["Options", "repair_picture", "incomplete_marker", "remove_temporaries",
           "sweep_temporaries", "apply_settings"]

"""Many pictures at once: folders, frame sequences, rolls of scanned film.

``repair_files`` repairs a list of picture files (folders and globs
included) into an output folder, in worker processes that share the
machine's cores, and yields one status record per picture; a picture that
fails is reported and the batch goes on. Outputs already present are
skipped unless ``overwrite=True``, so a batch that was stopped resumes
where it stopped. The command ``patchwell batch`` runs it from a shell;
``patchwell.dask`` does the same on a Dask cluster.

Example
-------
A script that repairs a folder of scans, each with its mask beside it. The
worker processes import the script, hence the guard::

    from patchwell.batch import repair_files

    if __name__ == "__main__":
        for record in repair_files(["scans/"], "repaired",
                                   mask_pattern="{stem}_mask.png"):
            if not record.ok:
                print(record.input, record.status, record.error)
"""
from __future__ import annotations

import errno
import os
from typing import Generator, Iterable, Iterator, List, Literal, Optional, SupportsIndex, Tuple, Union

from .. import _core
from .._arguments import as_device, as_quality, as_radius, as_search_radius
from .._detect import _as_kinds
from .._repair import DEFAULT_RADIUS, check_method_radius, check_search_radius, method_number
from .._threads import thread_variable
from ._items import Item, PathLike, Task, plan
from ._picture import (Options, incomplete_marker, repair_picture,
                       sweep_temporaries)
from ._record import FAILED, INCOMPLETE, REPAIRED, SKIPPED, UNCHANGED, BatchRecord
from ._workers import run_in_workers

__all__ = ["BatchRecord", "repair_files", "plan_batch", "REPAIRED", "INCOMPLETE",
           "UNCHANGED", "SKIPPED", "FAILED"]


def repair_files(
    items: Iterable[Item],
    out_dir: PathLike,
    *,
    mask: Optional[PathLike] = None,
    mask_dir: Optional[PathLike] = None,
    mask_pattern: Optional[str] = None,
    radius: SupportsIndex = DEFAULT_RADIUS,
    method: Union[str, _core.InpaintMethod] = "auto",
    device: str = "auto",
    search_radius: Union[SupportsIndex, None, str] = "auto",
    source_mask: Optional[PathLike] = None,
    overwrite: bool = False,
    quality: Union[SupportsIndex, Literal["keep"]] = "keep",
    jobs: Optional[int] = None,
    find: Union[str, Iterable[str], None] = None,
) -> Iterator[BatchRecord]:
    """Repair many picture files; yield one status record per picture.

    Each picture is repaired as ``inpaint_file`` would repair it, byte for
    byte, and written under its own file name into `out_dir` (created when
    missing), whole or not at all, as a regular file: a symbolic link in
    its place is replaced, never followed. The records come in the order
    the pictures finish. Worker processes take on the caller's pixel limit
    (``set_max_image_pixels``) and thread count (``set_num_threads``).

    Worker processes import the calling script's main module: call this
    under ``if __name__ == "__main__":`` in a script.

    Parameters
    ----------
    items : iterable of str, os.PathLike or (picture, mask) pairs
        Picture files, folders (their files of every picture format that
        is read, by extension: .png, .jpg, .tif, .webp and so on; not those
        of subfolders) and globs (``scans/*.png``, ``roll/**/*.jpg``). A pair names a
        picture's mask itself.
    out_dir : str or os.PathLike
        The output folder. An output may not replace its own input, and two
        pictures may not share an output name (ValueError, before any work).
    mask : str or os.PathLike, optional
        One mask for every picture (a scratch in the same place on every
        frame).
    mask_dir : str or os.PathLike, optional
        The folder of the masks; a picture's mask has its file name (or the
        name that `mask_pattern` gives).
    mask_pattern : str, optional
        The mask's file name made from the picture's: ``{stem}`` (the name
        without extension), ``{name}`` and ``{ext}`` (with its dot), in the
        picture's folder unless `mask_dir` is given; for example
        ``'{stem}_mask.png'``. Masks found in the input folders are not
        taken for pictures.
    radius, method, device, search_radius :
        As for ``patchwell.repair`` (radius 3 by default). A search radius
        not above the radius is a ValueError, before any work.
    source_mask : str or os.PathLike, optional
        A picture whose pixels above gray 128 are the only allowed sources,
        for every picture of the batch.
    overwrite : bool, default False
        Repair pictures whose output is already there; by default they are
        skipped (status 'skipped'), so that a stopped batch resumes. An
        output left 'incomplete' by an earlier batch, or whose repair was
        stopped while it was written (a hidden ``.NAME.incomplete`` file
        beside it says so), is repaired again.
        Without it, an output that another process writes meanwhile is
        left alone and the picture skipped. A replaced output keeps its
        owner, group and mode as far as the caller may.
    quality : int or "keep", default "keep"
        JPEG quality of JPEG outputs, 1 to 100; "keep": that of each JPEG
        input (its quantisation tables and chroma subsampling), 80 for
        other inputs.
    find : str or iterable of str, optional
        Also fill the damage that ``find_damage`` finds in each picture:
        any of "dust", "scratches" and "infrared" (from the fourth sample
        of an RGBI TIFF). With it the mask rule may be left out: the damage
        found is then the whole mask; a mask given adds to it.
    jobs : int, optional
        Worker processes: by default one per CPU core on the CPU (each with
        one thread) and one per GPU on CUDA. Each worker runs
        ``PATCHWELL_NUM_THREADS`` threads when that is set, else its share
        of the cores. 0 repairs in the calling process, one picture at a
        time with the process's own thread count.

    Yields
    ------
    BatchRecord
        input, output, status ('repaired', 'incomplete', 'unchanged',
        'skipped' or 'failed'), filled and unfilled pixel counts, seconds,
        error.

    Raises
    ------
    ValueError, TypeError
        Bad options, no mask rule, no pictures, clashing outputs, an output
        that is an input picture, a mask or the source mask of the batch.
    FileNotFoundError
        A glob or a folder that gives no picture.
    RuntimeError
        device='cuda' without a usable CUDA device.
    OSError
        An output folder that cannot be made.

    All of these come from the call itself, before any picture is touched;
    a missing or unreadable picture or mask only fails its own record.
    """
    tasks, options = _prepare(items, out_dir, mask=mask, mask_dir=mask_dir,
                              mask_pattern=mask_pattern, radius=radius,
                              method=method, device=device,
                              search_radius=search_radius,
                              source_mask=source_mask, overwrite=overwrite,
                              quality=quality, find=find)
    workers = _check_jobs(jobs)
    if device == "cuda" and not _core._cuda_usable():
        raise RuntimeError("device='cuda', but no CUDA device is usable here "
                           f"(patchwell.device_info(): {_core.device_info()})")
    _make_output_folder(out_dir)
    return _run(tasks, options, workers)


def plan_batch(items: Iterable[Item], out_dir: PathLike, *,
               mask: Optional[PathLike] = None, mask_dir: Optional[PathLike] = None,
               mask_pattern: Optional[str] = None,
               source_mask: Optional[PathLike] = None) -> List[Tuple[str, str, str]]:
    """The (picture, mask, output) files that ``repair_files`` would use
    for the same arguments, in its order of work; raises as it does."""
    return [(t.image, t.mask, t.output)
            for t in plan(items, out_dir, mask=mask, mask_dir=mask_dir,
                          mask_pattern=mask_pattern, source_mask=source_mask)]


def _prepare(items: Iterable[Item], out_dir: PathLike, *,
             mask: Optional[PathLike], mask_dir: Optional[PathLike],
             mask_pattern: Optional[str], radius: SupportsIndex,
             method: Union[str, _core.InpaintMethod], device: str,
             search_radius: Union[SupportsIndex, None, str],
             source_mask: Optional[PathLike],
             overwrite: bool,
             quality: Union[SupportsIndex, Literal["keep"]] = "keep",
             find: Union[str, Iterable[str], None] = None) -> Tuple[List[Task], Options]:
    """Checks everything and plans the work, before any picture is read."""
    as_device(device)
    options = Options(
        radius=as_radius(radius),
        method=method_number(method),
        device=device,
        search_radius=as_search_radius(search_radius, allow_auto=True),
        source_mask=None if source_mask is None else os.fspath(source_mask),
        overwrite=bool(overwrite),
        quality=as_quality(quality),
        max_pixels=_core.max_image_pixels(),
        threads=_core._thread_override(),
        find=0 if find is None else _as_kinds(find))
    check_method_radius(options.method, options.radius)
    if options.search_radius != "auto":
        check_search_radius(options.radius, options.search_radius)
    tasks = plan(items, out_dir, mask=mask, mask_dir=mask_dir,
                 mask_pattern=mask_pattern, source_mask=source_mask,
                 find=bool(options.find))
    return tasks, options


def _run(tasks: List[Task], options: Options,
         jobs: Optional[int]) -> Generator[BatchRecord, None, None]:
    # Outputs already there are reported at once, without a worker; an
    # incomplete one is repaired again.
    todo = []
    for task in tasks:
        if (not options.overwrite and os.path.lexists(task.output)
                and not os.path.lexists(incomplete_marker(task.output))):
            yield BatchRecord(task.image, task.output, SKIPPED, mask=task.mask)
        else:
            todo.append(task)
    if not todo:
        return
    if jobs == 0:
        for task in todo:
            yield repair_picture(task, options)
        return
    count, gpus = _default_workers(options.device)
    if jobs is not None:
        count = jobs
    yield from run_in_workers(todo, options, count, _threads_per_worker(count, options),
                              gpus)


def _make_output_folder(out_dir: PathLike) -> None:
    folder = os.fspath(out_dir)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise type(error)(error.errno, f"cannot make the output folder '{folder}': "
                                       f"{error.strerror or error}") from None
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(f"cannot write into the output folder '{folder}': "
                              f"{_not_writable_reason(folder)}")
    # What killed batches left behind goes before this one starts.
    sweep_temporaries(os.fspath(out_dir))


def _not_writable_reason(folder: str) -> str:
    """The system's reason that a folder cannot be written into."""
    try:
        if os.statvfs(folder).f_flag & os.ST_RDONLY:
            return os.strerror(errno.EROFS)
    except OSError as error:
        return error.strerror or str(error)
    return os.strerror(errno.EACCES)


def _check_jobs(jobs: Optional[int]) -> Optional[int]:
    if jobs is None:
        return None
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be an int or None, not {type(jobs).__name__}")
    if jobs < 0:
        raise ValueError(f"jobs must be 0 or more, got {jobs}")
    return jobs


def _cores() -> int:
    """The CPUs this process may use, as the core counts them: affinity and
    a container's CPU quota narrow the machine's cores."""
    return _core._usable_cpus()


def _threads_per_worker(workers: int, options: Options) -> int:
    """The count set_num_threads gave the caller, else PATCHWELL_NUM_THREADS
    (both count per process), else the worker's share of the cores."""
    return (options.threads or thread_variable()
            or max(1, _cores() // max(1, workers)))


def _default_workers(device: str) -> Tuple[int, List[str]]:
    """How many workers by default, and the GPUs to give them in turn: on
    CUDA one worker per GPU, each seeing only its own; on the CPU one per
    core. A device named by number keeps one worker, on that device."""
    if device == "cpu":
        return _cores(), []
    if device.startswith("cuda:"):
        return 1, []
    if device == "cuda" or _core._cuda_usable():
        gpus = _gpus()
        return max(1, len(gpus)), gpus
    return _cores(), []


def _gpus() -> List[str]:
    """The GPUs a worker may be given: those CUDA_VISIBLE_DEVICES lists, or
    as many as the driver shows (numbered from 0)."""
    visible = os.environ.get("CUDA_VISIBLE_DEVICES")
    if visible is not None:
        return [d.strip() for d in visible.split(",") if d.strip()]
    try:
        count = len(os.listdir("/proc/driver/nvidia/gpus"))
    except OSError:
        count = 0
    return [str(k) for k in range(max(count, 1))]

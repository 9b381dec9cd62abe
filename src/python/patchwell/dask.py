"""Batch repair on a Dask cluster (``pip install "patchwell[dask]"``).

``repair_files(client, items, out_dir, ...)`` plans the batch as
``patchwell.batch.repair_files`` does, maps the same per-picture function
over the cluster's workers (``client.map``) and yields one status record
per picture as they finish; a picture that fails, or whose worker dies,
comes back as a failed record, never as an exception.

The files are read and written by the workers: every worker must see them
under the names given here, made absolute (a shared file system). Folders
and globs are expanded here, on the client.

Threads: a Dask worker runs one repair at a time (patchwell runs one per
process) with as many CPU threads as the worker has (its ``nthreads``),
unless PATCHWELL_NUM_THREADS is set on the worker.

GPUs: run one worker process per GPU. ``dask_cuda.LocalCUDACluster`` does
that on one machine and sets each worker's CUDA_VISIBLE_DEVICES, so the
default ``device="auto"`` finds the worker's own GPU. With other schedulers,
give each worker its GPU through CUDA_VISIBLE_DEVICES, or with
``device="cuda:N"`` where patchwell accepts a device number.
"""
from __future__ import annotations

import dataclasses
import os
from typing import Any, Dict, Iterable, Iterator, List, Literal, Optional, SupportsIndex, Union

from distributed import Client, as_completed, get_worker

from . import _core
from ._repair import DEFAULT_RADIUS
from ._threads import set_num_threads, thread_variable
from .batch import _prepare
from .batch._items import Item, PathLike, Task
from .batch._picture import Options, repair_picture
from .batch._record import FAILED, BatchRecord

__all__ = ["repair_files"]


def repair_files(
    client: Client,
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
) -> Iterator[BatchRecord]:
    """Repair many picture files on a Dask cluster; yield a status record
    per picture, in the order they finish.

    The arguments are those of ``patchwell.batch.repair_files`` (without
    `jobs`: the cluster's workers do the work), with the client of the
    cluster first. Each picture is repaired exactly as on one machine, byte
    for byte, under the caller's pixel limit (``set_max_image_pixels``) and,
    when set, thread count (``set_num_threads``). Bad arguments raise at
    once, before anything is sent.

    Closing the generator early (``break``) cancels the pictures not yet
    started.
    """
    tasks, options = _prepare(items, out_dir, mask=mask, mask_dir=mask_dir,
                              mask_pattern=mask_pattern, radius=radius,
                              method=method, device=device,
                              search_radius=search_radius,
                              source_mask=source_mask, overwrite=overwrite,
                              quality=quality)
    # Workers have working folders of their own.
    tasks = [Task(os.path.abspath(t.image), os.path.abspath(t.mask), os.path.abspath(t.output))
             for t in tasks]
    if options.source_mask is not None:
        options = dataclasses.replace(options, source_mask=os.path.abspath(options.source_mask))
    return _gather(client, tasks, options)


def _gather(client: Client, tasks: List[Task],
            options: Options) -> Iterator[BatchRecord]:
    futures: List[Any] = client.map(_repair_on_worker, tasks, options=options, pure=False)
    task_of: Dict[Any, Task] = dict(zip(futures, tasks))
    try:
        for future in as_completed(futures):  # type: ignore[no-untyped-call]
            task = task_of[future]
            try:
                record = future.result()
            except Exception as error:  # the worker died, or the task was lost
                record = BatchRecord(task.image, task.output, FAILED,
                                     error=f"{type(error).__name__}: {error}",
                                     mask=task.mask)
            yield record
    finally:
        client.cancel([f for f in futures if not f.done()])  # type: ignore[no-untyped-call]


def _repair_on_worker(task: Task, options: Options) -> BatchRecord:
    if options.threads is None and thread_variable() is None:
        worker = get_worker()
        threads = getattr(getattr(worker, "state", worker), "nthreads", 1)
        set_num_threads(max(1, int(threads)))
    return repair_picture(task, options)

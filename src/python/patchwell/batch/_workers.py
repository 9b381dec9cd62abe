"""Worker processes of a batch: each repairs one picture at a time, with
its share of the CPU cores (or its own GPU). The parent knows which picture
every worker holds, so a worker that dies (killed, out of memory) costs
that picture alone: it is reported failed and a new worker takes over."""
from __future__ import annotations

import multiprocessing
import os
import signal
from multiprocessing.connection import Connection, wait
from typing import Any, Dict, Iterator, List, Optional, Sequence

from ._items import Task
from ._picture import Options, remove_temporaries, repair_picture
from ._record import FAILED, BatchRecord

# Spawned, not forked: a fork would copy the parent's threads' state (a
# run lock, the CUDA context) into a child that lacks those threads.
_CONTEXT = multiprocessing.get_context("spawn")
_STOP_WAIT_SECONDS = 10.0


def _worker_main(conn: Connection, threads: int, gpu: Optional[str]) -> None:
    # Ctrl+C reaches the whole process group. During a picture it stops the
    # run, which then writes nothing; between pictures it is only noted, and
    # a worker that saw it starts no other picture.
    stopped: List[bool] = []
    signal.signal(signal.SIGINT, lambda *_: stopped.append(True))
    if gpu is not None:
        os.environ["CUDA_VISIBLE_DEVICES"] = gpu  # before CUDA starts
    from .. import _core
    _core.set_num_threads(threads)
    while True:
        try:
            message = conn.recv()
        except (EOFError, OSError):
            return
        if message is None:
            return
        task, options = message
        result: Optional[BatchRecord] = None
        try:
            signal.signal(signal.SIGINT, signal.default_int_handler)
            if not stopped:
                result = repair_picture(task, options)
        except KeyboardInterrupt:
            stopped.append(True)
        finally:
            signal.signal(signal.SIGINT, lambda *_: stopped.append(True))
        try:
            conn.send(result)  # None: stopped
        except (OSError, ValueError):
            return


class _Worker:
    def __init__(self, threads: int, gpu: Optional[str]) -> None:
        self.threads, self.gpu = threads, gpu
        self.conn, child_conn = _CONTEXT.Pipe()
        self.process = _CONTEXT.Process(
            target=_worker_main, args=(child_conn, threads, gpu),
            name="patchwell-batch-worker", daemon=True)
        self.process.start()
        child_conn.close()
        self.task: Optional[Task] = None

    def death_text(self) -> str:
        self.process.join(1.0)
        code = self.process.exitcode
        if code is not None and code < 0:
            try:
                name = signal.Signals(-code).name
            except ValueError:
                name = f"signal {-code}"
            cause = f"was killed by {name}"
            if -code == signal.SIGKILL:
                cause += " (out of memory?)"
        else:
            cause = f"ended with exit status {code}"
        return f"the worker process repairing it {cause}"


def run_in_workers(tasks: Sequence[Task], options: Options, jobs: int,
                   threads: int, gpus: Sequence[str] = ()) -> Iterator[BatchRecord]:
    """Yields one record per task, in the order they finish, from `jobs`
    worker processes of `threads` CPU threads each; with `gpus`, worker k
    sees only GPU gpus[k % len(gpus)]."""
    pending = list(reversed(tasks))
    slots: List[Optional[_Worker]] = [None] * max(1, min(jobs, len(tasks)))

    def assign(k: int) -> None:
        worker = slots[k]
        if worker is None or not worker.process.is_alive():
            if worker is not None:
                worker.conn.close()
            worker = slots[k] = _Worker(threads, gpus[k % len(gpus)] if gpus else None)
        worker.task = pending.pop()
        try:
            worker.conn.send((worker.task, options))
        except OSError:
            pass  # it has died: its end shows below, as for a death at work

    try:
        while True:
            for k, worker in enumerate(slots):
                if pending and (worker is None or worker.task is None):
                    assign(k)
            busy: Dict[Any, _Worker] = {}  # its pipe and its process sentinel
            for worker in slots:
                if worker is not None and worker.task is not None:
                    busy[worker.conn] = worker
                    busy[worker.process.sentinel] = worker
            if not busy:
                return
            for ready in wait(list(busy)):
                worker = busy[ready]
                task = worker.task
                if task is None:
                    continue  # its answer came through its other handle
                worker.task = None
                try:
                    answered = worker.conn.poll()
                    answer = worker.conn.recv() if answered else None
                except (EOFError, OSError):
                    answered = False
                if answered and isinstance(answer, BatchRecord):
                    yield answer
                elif answered:
                    raise KeyboardInterrupt  # Ctrl+C stopped the worker's run
                else:
                    death = worker.death_text()
                    if worker.process.pid is not None:
                        remove_temporaries(task.output, worker.process.pid)
                    worker.conn.close()
                    slots[slots.index(worker)] = None
                    yield BatchRecord(task.image, task.output, FAILED, error=death,
                                      mask=task.mask)
    finally:
        _stop(slots)


def _stop(slots: Sequence[Optional[_Worker]]) -> None:
    workers = [w for w in slots if w is not None]
    for worker in workers:
        pid = worker.process.pid
        if worker.task is not None and pid is not None and worker.process.is_alive():
            try:
                os.kill(pid, signal.SIGINT)  # stops its run
            except OSError:
                pass
        try:
            worker.conn.send(None)
        except (OSError, ValueError):
            pass
    for worker in workers:
        worker.process.join(_STOP_WAIT_SECONDS)
        if worker.process.is_alive():
            worker.process.kill()
            worker.process.join()
            if worker.task is not None and worker.process.pid is not None:
                remove_temporaries(worker.task.output, worker.process.pid)
        worker.conn.close()

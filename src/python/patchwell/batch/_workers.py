"""Worker processes of a batch: each repairs one picture at a time, with
its share of the CPU cores (or its own GPU). The parent knows which picture
every worker holds, so a worker that dies (killed, out of memory) costs
that picture alone: it is reported failed and a new worker takes over."""
from __future__ import annotations

import multiprocessing
import os
import resource
import signal
import sys
from multiprocessing.connection import Connection, wait
from typing import Any, Dict, Iterator, List, Optional, Sequence

from ._items import Task
from ._picture import Options, apply_settings, remove_temporaries, repair_picture
from ._record import FAILED, BatchRecord

# Spawned, not forked: a fork would copy the parent's threads' state (a
# run lock, the CUDA context) into a child that lacks those threads.
_CONTEXT = multiprocessing.get_context("spawn")
_STOP_WAIT_SECONDS = 10.0
# A worker's first word to its parent: it has started.
_READY = "ready"
# A worker's last word when a signal stopped it: (_STOPPED, the signal,
# whether it had started the picture).
_STOPPED = "stopped"
# The exit status of a worker that found itself starting workers while it
# imported the caller's main module: a script without a __main__ guard.
_UNGUARDED_EXIT = 87
# Signals that stop a worker's picture the way Ctrl+C does.
_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Files a worker keeps open in the parent (its pipe and its sentinel), and
# those the parent needs for itself, its pictures and the start of a worker.
_FILES_PER_WORKER = 4
_FILES_SPARE = 8

_UNGUARDED_TEXT = (
    "the worker processes could not start: they import the script that calls "
    "repair_files, which then starts workers again; put that call under "
    "'if __name__ == \"__main__\":' (or pass jobs=0)")


def _worker_main(conn: Connection, threads: int, gpu: Optional[str]) -> None:
    # Ctrl+C (and SIGTERM, SIGHUP) reach the whole process group, or this
    # worker alone. During a picture they stop the run, which then writes
    # nothing; between pictures they are only noted. Either way the worker
    # tells its parent which signal stopped it (_STOPPED) and ends: the
    # parent stops the batch when the signal reached it too, else counts
    # the picture failed and goes on with a new worker.
    stopped: List[int] = []

    def note(number: int, _: Any) -> None:
        stopped.append(number)

    def stop(number: int, _: Any) -> None:
        stopped.append(number)
        raise KeyboardInterrupt

    for number in _STOP_SIGNALS:
        signal.signal(number, note)
    if gpu is not None:
        os.environ["CUDA_VISIBLE_DEVICES"] = gpu  # before CUDA starts
    from .._threads import set_num_threads
    set_num_threads(threads)
    try:
        conn.send(_READY)
    except (OSError, ValueError):
        return
    while True:
        try:
            message = conn.recv()
        except (EOFError, OSError):
            return
        if message is None:
            return
        task, options = message
        result: Any = None
        started = not stopped
        try:
            for number in _STOP_SIGNALS:
                signal.signal(number, stop)
            if started:
                apply_settings(options)
                result = repair_picture(task, options)
        except KeyboardInterrupt:
            if not stopped:
                stopped.append(signal.SIGINT)
        finally:
            for number in _STOP_SIGNALS:
                signal.signal(number, note)
        if result is None:
            result = (_STOPPED, stopped[0], started)
        try:
            conn.send(result)
        except (OSError, ValueError):
            return
        if isinstance(result, tuple):
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
        self.ready = False

    def death_text(self) -> str:
        self.process.join(1.0)
        code = self.process.exitcode
        if code is not None and code < 0:
            cause = f"was killed by {_signal_name(-code)}"
            if -code == signal.SIGKILL:
                cause += " (out of memory?)"
        else:
            cause = f"ended with exit status {code}"
        return f"the worker process repairing it {cause}"


def _signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


def run_in_workers(tasks: Sequence[Task], options: Options, jobs: int,
                   threads: int, gpus: Sequence[str] = ()) -> Iterator[BatchRecord]:
    """Yields one record per task, in the order they finish, from `jobs`
    worker processes of `threads` CPU threads each; with `gpus`, worker k
    sees only GPU gpus[k % len(gpus)]."""
    if getattr(multiprocessing.current_process(), "_inheriting", False):
        # This is a worker importing a main module that starts a batch at
        # import: end quietly, and let the parent say why.
        sys.exit(_UNGUARDED_EXIT)
    pending = list(reversed(tasks))
    count = max(1, min(jobs, len(tasks)))
    _check_file_limit(count)
    slots: List[Optional[_Worker]] = [None] * count
    start_failure: Optional[str] = None

    def assign(k: int) -> None:
        worker = slots[k]
        if worker is None or not worker.process.is_alive():
            if worker is not None:
                worker.conn.close()
            try:
                worker = slots[k] = _Worker(threads, gpus[k % len(gpus)] if gpus else None)
            except OSError as error:
                raise OSError(error.errno, "cannot start a batch worker process: "
                              f"{error.strerror}") from None
        worker.task = pending.pop()
        try:
            worker.conn.send((worker.task, options))
        except OSError:
            pass  # it has died: its end shows below, as for a death at work

    try:
        while True:
            if start_failure is not None:
                # Workers cannot start: every picture left fails for that
                # reason alone, with no new worker tried.
                while pending:
                    left = pending.pop()
                    yield BatchRecord(left.image, left.output, FAILED,
                                      error=start_failure, mask=left.mask)
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
                if answered and answer == _READY:
                    worker.ready = True
                    worker.task = task  # still at work on it
                    continue
                if answered and isinstance(answer, BatchRecord):
                    yield answer
                elif answered:
                    # A signal stopped the worker, which now ends. Had it
                    # reached this process too, the batch would be stopping:
                    # this worker alone was stopped, so it costs its picture
                    # (one it had not started goes to another worker).
                    _, number, started = answer
                    worker.process.join(_STOP_WAIT_SECONDS)
                    worker.conn.close()
                    slots[slots.index(worker)] = None
                    if not started:
                        pending.append(task)
                        continue
                    yield BatchRecord(task.image, task.output, FAILED,
                                      error="the worker process repairing it was "
                                            f"stopped by {_signal_name(number)}",
                                      mask=task.mask)
                else:
                    death = worker.death_text()
                    if worker.process.pid is not None:
                        remove_temporaries(task.output, worker.process.pid)
                    worker.conn.close()
                    slots[slots.index(worker)] = None
                    if not worker.ready:
                        start_failure = (
                            _UNGUARDED_TEXT if worker.process.exitcode == _UNGUARDED_EXIT
                            else death.replace("the worker process repairing it",
                                               "the worker processes could not start:"
                                               " the first one", 1))
                        death = start_failure
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
        # A worker ended by a signal during a save may leave its file.
        if worker.task is not None and worker.process.pid is not None:
            remove_temporaries(worker.task.output, worker.process.pid)
        worker.conn.close()


def _check_file_limit(workers: int) -> None:
    """Fails up front, in one line, when the limit of open files cannot
    hold the workers' pipes."""
    try:
        soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    except (OSError, ValueError):
        return
    if soft == resource.RLIM_INFINITY:
        return
    need = workers * _FILES_PER_WORKER + _FILES_SPARE
    if need > soft:
        fits = max(0, (soft - _FILES_SPARE) // _FILES_PER_WORKER)
        raise OSError(
            f"cannot start {workers} worker processes: the limit of open files "
            f"({soft}, see ulimit -n) allows about {fits}; ask for fewer jobs "
            "or raise the limit")

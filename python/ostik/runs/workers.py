"""Files handled by worker processes, results back in the order of the files.

`ostik test` and `ostik coverage` both send each trace file to a pool of worker
processes and take the results back in the order the files were named;
standard input is always handled in the calling process. A worker that dies
(a crash, or killed) loses what it had not sent back: those files come back
as `lost` results instead of hanging the run. After an interruption the
workers finish the files in hand, and no more.
"""

from __future__ import annotations

import signal
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

from ostik.formats.trace_files import STDIN

if TYPE_CHECKING:
    import multiprocessing.context

__all__ = ["ignore_interrupts", "map_files", "worker_context"]

R = TypeVar("R")


def worker_context() -> multiprocessing.context.BaseContext:
    """How to start worker processes: fork when it is safe, else a fork server."""
    import multiprocessing
    import threading

    # A forked worker starts at once, with the modules already imported. A
    # process with other threads (ostik used as a library) must not fork: a
    # lock held by one of them at that moment would stay held in the child.
    if "fork" in multiprocessing.get_all_start_methods() and threading.active_count() == 1:
        return multiprocessing.get_context("fork")
    if "forkserver" in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("forkserver")
    return multiprocessing.get_context("spawn")


def ignore_interrupts() -> None:
    """For a worker's initializer: Ctrl-C is the parent's to handle, and it stops the workers."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def map_files(paths: Sequence[str], jobs: int, *, here: Callable[[int, str], R],
              in_worker: Callable[[tuple[int, str]], R], start: Callable[..., None], start_args: tuple[Any, ...],
              lost: Callable[[int, str], R], max_chunk: int) -> Iterator[R]:
    """The result of every path, in the order given: `here(index, path)` in this process
    for standard input, and for everything when one process is enough; otherwise
    `in_worker((index, path))` in up to `jobs` processes started with `start(*start_args)`
    (both module-level functions, so that they reach the workers), and `lost(index,
    path)` for the files of a worker that died."""
    files = [(index, path) for index, path in enumerate(paths) if path != STDIN]
    workers = min(jobs, len(files))
    if workers <= 1:
        for index, path in enumerate(paths):
            yield here(index, path)
        return
    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    # Enough files per task that sending them costs little, few enough that
    # the workers finish together.
    chunk = max(1, min(max_chunk, len(files) // (workers * 8)))
    executor = ProcessPoolExecutor(workers, mp_context=worker_context(), initializer=start, initargs=start_args)
    try:
        results = executor.map(in_worker, files, chunksize=chunk)
        broken = False
        for index, path in enumerate(paths):
            if path == STDIN:
                yield here(index, path)
                continue
            if not broken:
                try:
                    yield next(results)
                    continue
                except BrokenProcessPool:
                    broken = True
            yield lost(index, path)
    finally:
        executor.shutdown(wait=True, cancel_futures=True)

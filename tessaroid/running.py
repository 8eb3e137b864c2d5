"""Running tiles: on a thread pool (the native loops release the interpreter lock),
with downloads overlapped on threads of their own, or on a Dask cluster whose workers
fetch their own tiles. Tasks arrive from the lazy traversal as an iterator; only a
bounded window of them is in flight at a time, and results are small (counts, names,
errors), so a job of any size holds little per tile."""

from __future__ import annotations

import itertools
import queue
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Callable, Iterable, Iterator

from .errors import ConversionError
from .pipeline import convert_tile
from .records import Options, TileResult, TileTask


def _remote(task: TileTask) -> bool:
    loc = task.location
    return loc is None or bool(getattr(loc, "is_remote", True))


def _fetch(task: TileTask) -> tuple[bytes | None, TileResult | None]:
    """The content's bytes, or a failed result saying why they could not be had."""
    from .pipeline import _location

    try:
        return _location(task).read(), None
    except ConversionError as exc:
        error = str(exc)
    except MemoryError:
        error = "out of memory"
    except Exception as exc:  # noqa: BLE001 - a failed download fails its tile only
        error = f"{type(exc).__name__}: {exc}"
    return None, TileResult(index=task.index, source=task.source, name=task.name, error=error)


def run_threads(tasks: Iterable[TileTask], opts: Options, out_dir: str, workers: int,
                on_result: Callable[[TileResult], None], downloads: int = 16) -> None:
    """Convert on `workers` threads while up to `downloads` contents of remote
    sources are fetched on threads of their own. A bounded number of tasks is in
    flight (fetching, fetched and waiting, converting), so neither the fetched bytes
    nor the results pile up however many tasks the iterator yields. Local contents
    skip the download threads and are read by the converting thread."""
    workers = max(1, workers)
    downloads = max(1, downloads)
    limit = downloads + 2 * workers
    finished: queue.SimpleQueue = queue.SimpleQueue()
    cpu = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="tessaroid-convert")
    net = ThreadPoolExecutor(max_workers=downloads, thread_name_prefix="tessaroid-fetch")

    def convert(task: TileTask, data: bytes | None) -> None:
        cpu.submit(convert_tile, task, opts, out_dir, data).add_done_callback(finished.put)

    def fetch_then_convert(task: TileTask) -> None:
        data, failed = _fetch(task)
        if failed is not None:
            done: Future = Future()
            done.set_result(failed)
            finished.put(done)
        else:
            convert(task, data)

    def lost(fut: Future) -> None:
        if fut.exception() is not None:  # only when the pool was shut down under it
            finished.put(fut)

    it: Iterator[TileTask] = iter(tasks)
    in_flight = 0
    more = True
    try:
        while True:
            while more and in_flight < limit:
                task = next(it, None)
                if task is None:
                    more = False
                    break
                in_flight += 1
                if _remote(task):
                    net.submit(fetch_then_convert, task).add_done_callback(lost)
                else:
                    convert(task, None)
            if not in_flight:
                break
            fut = finished.get()
            in_flight -= 1
            on_result(fut.result())
    finally:
        net.shutdown(wait=True, cancel_futures=True)
        cpu.shutdown(wait=True, cancel_futures=True)


def run_dask(tasks: Iterable[TileTask], opts: Options, out_dir: str, scheduler,
             on_result: Callable[[TileResult], None]) -> None:
    try:
        from distributed import Client, as_completed as dask_completed
    except ImportError:
        raise ImportError("--dask needs Dask's distributed scheduler: pip install 'tessaroid[dask]'") from None
    own = not isinstance(scheduler, Client)
    client = Client(scheduler) if own else scheduler
    try:
        it = iter(tasks)
        window = max(8, 4 * sum((client.nthreads() or {1: 1}).values()))
        by_key: dict[str, TileTask] = {}

        def submit(t: TileTask):
            f = client.submit(convert_tile, t, opts, out_dir, pure=False)
            by_key[f.key] = t
            return f

        ac = dask_completed([submit(t) for t in itertools.islice(it, window)])
        for fut in ac:
            t = by_key.pop(fut.key)
            try:
                res = fut.result()
            except Exception as exc:  # noqa: BLE001 - a lost worker fails its tile only
                res = TileResult(index=t.index, source=t.source, name=t.name,
                                 error=f"Dask task failed: {type(exc).__name__}: {exc}")
            fut.release()
            on_result(res)
            for nt in itertools.islice(it, 1):
                ac.add(submit(nt))
    finally:
        if own:
            client.close()

"""Running tiles: on a thread pool (the native loops release the interpreter lock) or
on a Dask cluster. Tasks arrive from the lazy traversal as an iterator; only a bounded
window of them is in flight at a time, so a job of any size holds only its results."""

from __future__ import annotations

import itertools
import sys
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from typing import Callable, Iterable, Iterator

from .pipeline import convert_tile
from .records import Options, TileResult, TileTask


class NoBar:
    total = None

    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


def progress_bar(enabled: bool):
    if not (enabled and sys.stderr.isatty()):
        return NoBar()
    from tqdm import tqdm

    return tqdm(total=None, unit="tile", file=sys.stderr, leave=False)


def run_threads(tasks: Iterable[TileTask], opts: Options, out_dir: str, workers: int,
                on_result: Callable[[TileResult], None]) -> None:
    workers = max(1, workers)
    window = 4 * workers
    it: Iterator[TileTask] = iter(tasks)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        pending = {pool.submit(convert_tile, t, opts, out_dir) for t in itertools.islice(it, window)}
        while pending:
            done, pending = wait(pending, return_when=FIRST_COMPLETED)
            for fut in done:
                on_result(fut.result())
            for t in itertools.islice(it, len(done)):
                pending.add(pool.submit(convert_tile, t, opts, out_dir))


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

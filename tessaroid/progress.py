"""The progress line of a conversion on stderr: tiles done of those selected so far
(the lazy traversal keeps adding to the selection while the job runs), tiles per
second, bytes downloaded and retries. Shown only when asked and stderr is a terminal."""

from __future__ import annotations

import sys
import time

from .sources import fetch_stats

REFRESH_SECONDS = 0.5


def _size(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} GB"  # pragma: no cover


class Progress:
    """Counts selected and done tiles; draws them with tqdm when enabled."""

    def __init__(self, enabled: bool, stream=None):
        stream = sys.stderr if stream is None else stream
        self.selected = 0
        self.done = 0
        self.bar = None
        self._base = fetch_stats()
        self._shown = 0.0
        if enabled and getattr(stream, "isatty", lambda: False)():
            from tqdm import tqdm

            self.bar = tqdm(total=0, unit="tile", file=stream, leave=False, dynamic_ncols=True)

    def add_selected(self, n: int = 1) -> None:
        self.selected += n
        if self.bar is not None:
            self.bar.total = self.selected
            self._refresh()

    def add_done(self, n: int = 1) -> None:
        self.done += n
        if self.bar is not None:
            self.bar.update(n)
            self._refresh()

    def fetched(self) -> dict:
        """Downloads of this run so far: the source layer's counters less those at the start."""
        now = fetch_stats()
        return {k: now.get(k, 0) - self._base.get(k, 0) for k in now}

    def _refresh(self, force: bool = False) -> None:
        t = time.monotonic()
        if not force and t - self._shown < REFRESH_SECONDS:
            return
        self._shown = t
        f = self.fetched()
        post = {"downloaded": _size(f.get("bytes", 0))}
        if f.get("retries"):
            post["retries"] = f["retries"]
        if f.get("failed"):
            post["failed"] = f["failed"]
        self.bar.set_postfix(post, refresh=True)

    def close(self) -> None:
        if self.bar is not None:
            self._refresh(force=True)
            self.bar.close()
            self.bar = None

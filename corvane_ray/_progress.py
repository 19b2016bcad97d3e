"""Progress of loads and exports that take a while: a tqdm bar in a terminal
or a notebook, shown once the work has run for SHOW_AFTER seconds, and only
where someone watches (a terminal, or a notebook) unless asked for."""

from __future__ import annotations

import sys
import threading
from collections.abc import Callable
from typing import Any

SHOW_AFTER = 2.0  # seconds of work before a bar is shown
WATCH_EVERY = 0.5  # seconds between looks at what finished


def wanted(progress: bool | None) -> bool:
    """Whether to show progress: as asked, or (None) when someone watches."""
    if progress is not None:
        return bool(progress)
    return "ipykernel" in sys.modules or bool(getattr(sys.stderr, "isatty", lambda: False)())


class Progress:
    """A bar of `total` steps (None: steps counted as they come), or nothing
    when not wanted or when tqdm is not installed."""

    def __init__(self, what: str, total: int | None, progress: bool | None) -> None:
        self._bar: Any = None
        self._lock = threading.Lock()
        if wanted(progress):
            try:
                from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
            except ImportError:
                return
            self._bar = tqdm(total=total, desc=what, unit="", delay=SHOW_AFTER, leave=False)

    def advance(self, steps: int = 1) -> None:
        if self._bar is not None and steps:
            with self._lock:
                self._bar.update(steps)

    def note(self, text: str) -> None:
        if self._bar is not None:
            with self._lock:
                self._bar.set_postfix_str(text)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


class Watcher:
    """Advances a Progress as the Ray objects it is given are made, from a
    thread of its own, until stopped."""

    def __init__(self, progress: Progress, ready: Callable[[list[Any]], list[Any]]) -> None:
        self.progress = progress
        self._ready = ready  # of some refs, those made by now
        self._waiting: list[Any] = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="corvane-progress", daemon=True)
        self._thread.start()

    def add(self, ref: Any) -> None:
        with self._lock:
            self._waiting.append(ref)

    def _watch(self) -> None:
        while not self._stop.wait(WATCH_EVERY):
            with self._lock:
                waiting = list(self._waiting)
            if not waiting:
                continue
            made = self._ready(waiting)
            if made:
                done = {id(ref) for ref in made}
                with self._lock:
                    self._waiting = [ref for ref in self._waiting if id(ref) not in done]
                self.progress.advance(len(made))

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()
        self.progress.close()

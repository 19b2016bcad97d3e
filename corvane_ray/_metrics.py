"""What a shard reports through Ray's metrics API, so that it shows wherever
the cluster's metrics go (Prometheus, Ray's dashboard):

    corvane_shard_calls            calls answered, by kind (read, edit, ...)
    corvane_shard_call_seconds     how long calls took, by kind
    corvane_shard_log_bytes        the size of the shard's log
    corvane_shard_keys             the keys it holds
    corvane_shard_folds            folds of its log into a snapshot
    corvane_shard_restarts         times Ray started it again from its folder

each tagged with the store (its name, or its identity) and the shard's
index. A call only counts (a lock and two dict updates); a thread hands the
counts to Ray every FLUSH_EVERY seconds, with at most SAMPLES latencies of
each kind, so that no call waits for Ray's metrics.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable

FLUSH_EVERY = 5.0  # seconds between hand-overs to Ray
SAMPLES = 256  # latencies of each kind handed over at most per flush
LATENCY_BOUNDS = [1e-5, 3e-5, 1e-4, 3e-4, 1e-3, 3e-3, 1e-2, 3e-2, 0.1, 0.3, 1.0, 3.0, 10.0]


class ShardMetrics:
    """A shard's counts, and the thread that reports them. `state` gives the
    shard's log size, key count and folds so far, read at each flush."""

    def __init__(self, store: str, index: int, state: Callable[[], tuple[int, int, int]], *,
                 restarted: bool) -> None:
        from ray.util import metrics

        tags = ("store", "shard", "kind")
        self._tags = {"store": store, "shard": str(index)}
        self._calls = metrics.Counter("corvane_shard_calls", "Calls a shard answered, by kind", tag_keys=tags)
        self._latency = metrics.Histogram("corvane_shard_call_seconds", "Seconds a shard took to answer a call",
                                          boundaries=LATENCY_BOUNDS, tag_keys=tags)
        self._log_bytes = metrics.Gauge("corvane_shard_log_bytes", "Bytes in a shard's log", tag_keys=tags[:2])
        self._keys = metrics.Gauge("corvane_shard_keys", "Keys a shard holds", tag_keys=tags[:2])
        self._folds = metrics.Counter("corvane_shard_folds", "Folds of a shard's log", tag_keys=tags[:2])
        self._restarts = metrics.Counter("corvane_shard_restarts", "Restarts of a shard", tag_keys=tags[:2])
        self._state = state
        self._lock = threading.Lock()
        self._counts: dict[str, int] = {}
        self._samples: dict[str, list[float]] = {}
        self._folds_seen = 0
        if restarted:
            self._restarts.inc(1, tags=self._tags)
        threading.Thread(target=self._report, name="corvane-metrics", daemon=True).start()

    def count(self, kind: str, seconds: float) -> None:
        """One call of `kind` answered in `seconds`."""
        with self._lock:
            self._counts[kind] = self._counts.get(kind, 0) + 1
            samples = self._samples.setdefault(kind, [])
            if len(samples) < SAMPLES:
                samples.append(seconds)

    def _report(self) -> None:
        while True:
            time.sleep(FLUSH_EVERY)
            self.flush()

    def flush(self) -> None:
        with self._lock:
            counts, self._counts = self._counts, {}
            samples, self._samples = self._samples, {}
        for kind, calls in counts.items():
            tags = {**self._tags, "kind": kind}
            self._calls.inc(calls, tags=tags)
            for seconds in samples.get(kind, ()):
                self._latency.observe(seconds, tags=tags)
        log_bytes, keys, folds = self._state()
        self._log_bytes.set(log_bytes, tags=self._tags)
        self._keys.set(keys, tags=self._tags)
        if folds > self._folds_seen:
            self._folds.inc(folds - self._folds_seen, tags=self._tags)
            self._folds_seen = folds


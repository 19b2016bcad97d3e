"""One shard as a Ray actor: a ShardCore in a worker process of its own,
with two ways in, Ray's actor calls and the direct line, both answered by
the core one call at a time.

Ray restarts a shard whose process died and runs its constructor again,
which rebuilds the core from its folder and opens a new direct line (on a
new port: handles ask for it again through Ray). Imports Ray only inside
the calls that need it, so that the driver can load this module without it.
"""

from __future__ import annotations

import sys
import time
import warnings
from collections.abc import Sequence
from typing import Any

from . import _line, _wire
from ._core import ShardCore
from ._metrics import ShardMetrics
from ._wire import Call


class Shard:
    """The actor."""

    def __init__(self, spec: dict[str, Any]) -> None:
        restarted = _restarted()
        self.core = ShardCore(spec, restarted=restarted)
        self.line: _line.Listener | None = None
        self.metrics: ShardMetrics | None = None
        if _actor_context() is not None:
            self.line = _line.Listener(_node_address(), self.core.line_key, self.answer_all, _wire.encode_answers)
            self.metrics = ShardMetrics(spec["name"] or spec["store"], self.core.index, self.core.figures,
                                        restarted=restarted)

    def call(self, call: Call) -> Any:
        """Answers one call; a load's chunks are fetched from Ray's object store first."""
        if call.kind == _wire.LOAD:
            call = Call(call.kind, call.method, tuple(fetch(call.args)), call.stamp)
        elif call.kind == _wire.LINE:
            return self.line_address()
        elif call.kind == _wire.RETIRE and self.line is not None:
            self.line.close()
        return self.answer(call)

    def batch(self, calls: Sequence[Call]) -> list[Any]:
        """Several calls of one asyncio handle in one round trip, in order, each answered as if sent alone."""
        return self.answer_all(calls)

    def answer(self, call: Call) -> Any:
        started = time.perf_counter()
        answer = self.core.serve(call)
        self._counted(call, answer, time.perf_counter() - started)
        return answer

    def answer_all(self, calls: Sequence[Call]) -> list[Any]:
        started = time.perf_counter()
        answers = self.core.serve_all(calls)
        each = (time.perf_counter() - started) / max(1, len(calls))
        for call, answer in zip(calls, answers):
            self._counted(call, answer, each)
        return answers

    def _counted(self, call: Call, answer: Any, seconds: float) -> None:
        """Counts a call for the metrics; an operator's view of the shard gets its node and line."""
        if self.metrics is not None:
            self.metrics.count(call.kind, seconds)
        if call.kind == _wire.INFO:
            answer["node"] = _node()
            answer["line"] = self.line and list(self.line.address)

    def line_address(self) -> tuple[str, int, bytes] | None:
        """Where this shard's direct line listens, and the key that proves a
        caller: given only through Ray, to callers Ray let in."""
        key = self.core.line_key()
        if self.line is None or key is None:
            return None
        host, port = self.line.address
        return host, port, key


def fetch(refs: Sequence[Any]) -> list[Any]:
    """Objects from Ray's object store."""
    import ray

    return ray.get(list(refs))


def _actor_context() -> Any:
    """Ray's view of this process when it runs an actor, else None."""
    ray = sys.modules.get("ray")
    if ray is None or not ray.is_initialized():
        return None
    context = ray.get_runtime_context()
    return context if context.worker.mode == ray.WORKER_MODE else None


def _restarted() -> bool:
    context = _actor_context()
    if context is None:
        return False
    with warnings.catch_warnings():  # Ray's property reads one of Ray's own deprecated ones
        warnings.simplefilter("ignore", DeprecationWarning)
        return bool(context.was_current_actor_reconstructed)


def _node() -> str | None:
    context = _actor_context()
    return None if context is None else context.get_node_id()


def _node_address() -> str:
    """This node's address as Ray knows it: the direct line listens there, and on no other interface."""
    import ray

    return str(ray.util.get_node_ip_address())  # type: ignore[no-untyped-call]

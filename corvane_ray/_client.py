"""A handle's line to a store's shards: it sends calls, waits for them within
the handle's timeout, numbers edits so that each is applied once, and takes
no call once closed.

Ray restarts a shard that died and sends it again the calls it had not
answered; the line only waits. An edit carries the handle's client id, its
number, and the number below which every edit of this handle has been
answered (its floor), so that the shard can drop the replies it will not
be asked for again.
"""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Mapping
from typing import Any

from . import _cluster
from ._errors import ClosedError, Failure, ShardUnavailableError

RESEND_PAUSE = 0.05  # seconds between sends to a shard Ray reports as briefly unavailable


Plan = Mapping[int, tuple[str, tuple[Any, ...]]]  # shard index: (actor method, arguments)


class Line:
    """Calls to the shards of one store, for one handle."""

    def __init__(self, handles: list[Any], timeout: float | None) -> None:
        self.handles = handles
        self.count = len(handles)
        self.timeout = timeout
        self.client = os.urandom(16)
        self.closed = False
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._active = 0
        self._next = 1
        self._pending: set[int] = set()

    # Sending

    def run(self, plan: Plan, *, edit: bool = False) -> dict[int, Any]:
        """Sends each planned shard its call at once, then collects the answers.

        Every shard is waited for before an error is raised, so that a caller
        who sees the error knows every shard that answered has applied an
        edit. A shard's own error (a Failure) is raised as it is.
        """
        stamp = self._enter(edit)
        try:
            deadline = None if self.timeout is None else time.monotonic() + self.timeout
            sent = {index: self._send(index, call, stamp) for index, call in plan.items()}
            answers: dict[int, Any] = {}
            problem: BaseException | None = None
            for index, ref in sent.items():
                try:
                    answers[index] = self._collect(index, plan[index], stamp, ref, deadline)
                except Exception as error:
                    problem = problem or error
            if problem is not None:
                raise problem
            for index in sorted(answers):
                if isinstance(answers[index], Failure):
                    raise answers[index].error
            return answers
        finally:
            self._leave(stamp)

    def _enter(self, edit: bool) -> tuple[int, int] | None:
        with self._lock:
            if self.closed:
                raise ClosedError()
            self._active += 1
            if not edit:
                return None
            seq = self._next
            self._next += 1
            floor = (min(self._pending) if self._pending else seq) - 1
            self._pending.add(seq)
            return seq, floor

    def _leave(self, stamp: tuple[int, int] | None) -> None:
        with self._lock:
            self._active -= 1
            if stamp is not None:
                self._pending.discard(stamp[0])
            if self._active == 0:
                self._idle.notify_all()

    def _send(self, index: int, call: tuple[str, tuple[Any, ...]], stamp: tuple[int, int] | None) -> Any:
        method, args = call
        remote = getattr(self.handles[index], method).remote
        return remote(*args) if stamp is None else remote(self.client, *stamp, *args)

    def _collect(self, index: int, call: tuple[str, tuple[Any, ...]], stamp: tuple[int, int] | None,
                 ref: Any, deadline: float | None) -> Any:
        ray = _cluster.ray_module()
        while True:
            try:
                return ray.get(ref, timeout=None if deadline is None else max(0.0, deadline - time.monotonic()))
            except ray.exceptions.GetTimeoutError:
                raise self.unavailable(index, f"did not answer within {self.timeout:g} s") from None
            except ray.exceptions.ActorUnavailableError:
                if self.closed:
                    raise ClosedError() from None
                if deadline is not None and time.monotonic() >= deadline:
                    raise self.unavailable(index, f"did not answer within {self.timeout:g} s") from None
                time.sleep(RESEND_PAUSE)  # restarting: the same edit again is answered once
                ref = self._send(index, call, stamp)
            except ray.exceptions.RayActorError as error:
                if self.closed:
                    raise ClosedError() from None
                raise self.unavailable(index, f"is gone: {why_gone(error)}") from None
            except ray.exceptions.RayError as error:
                raise self.unavailable(index, f"failed: {error}") from None

    def unavailable(self, index: int, reason: str) -> ShardUnavailableError:
        return ShardUnavailableError(index, self.count, reason)

    # Closing

    def close(self) -> None:
        """Refuses calls from now on; calls already sent go on."""
        with self._lock:
            self.closed = True

    def wait_idle(self, seconds: float | None) -> None:
        """Waits for the calls in flight to end."""
        with self._idle:
            self._idle.wait_for(lambda: self._active == 0, seconds)

    def made_edits(self) -> bool:
        return self._next > 1


def why_gone(error: Exception) -> str:
    """What ended a shard for good, in a line: a restart that failed names its
    error, as the shard's constructor raised it."""
    if getattr(error, "actor_init_failed", False):
        lines = [line.strip() for line in str(error).splitlines() if line.strip()]
        return f"it could not be restarted: {lines[-1] if lines else error}"
    return "it was stopped (the store was closed or destroyed), or its actor could not be restarted"

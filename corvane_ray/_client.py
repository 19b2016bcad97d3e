"""A handle's line to a store's shards: it sends calls, waits for them within
the handle's timeout, numbers edits so that each is applied once, and takes
no call once closed.

Ray restarts a shard that died and sends it again the calls it had not
answered; the line only waits. An edit carries the handle's client id, its
number, and the number below which every edit of this handle has been
answered (its floor), so that the shard can drop the replies it will not
be asked for again.

An asyncio handle's line (AsyncLine) keeps the numbering of a Line and
sends the calls that reach one shard during one turn of the event loop in
one batch, without waiting for the batches before them.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import threading
import time
from collections.abc import Mapping
from typing import Any

from . import _cluster
from ._errors import ClosedError, Failure, ShardUnavailableError

RESEND_PAUSE = 0.05  # seconds between sends to a shard Ray reports as briefly unavailable
LARGE_REPLY = 64  # keys or tags in an edit's reply above which the shard is told at once that it arrived


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
        stamp = self.enter(edit)
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
            return self.confirmed(self.check(answers, problem), stamp)
        finally:
            self.leave(stamp)

    def confirmed(self, answers: dict[int, Any], stamp: tuple[int, int] | None) -> dict[int, Any]:
        """The answers, after telling each shard that sent a large reply to an
        edit that it arrived, so that the shard keeps it no longer (without
        waiting: a shard takes a handle's calls in the order sent)."""
        if stamp is not None:
            for index, answer in answers.items():
                if isinstance(answer, (list, set)) and len(answer) > LARGE_REPLY:
                    with contextlib.suppress(Exception):
                        self.handles[index].confirm.remote(self.client, stamp[0])
        return answers

    def check(self, answers: dict[int, Any], problem: BaseException | None) -> dict[int, Any]:
        """The answers, or the first error: a call's own, else a shard's Failure in
        shard order. A shard that stopped because this handle closed the store
        meanwhile makes it the closed error."""
        if problem is None:
            problem = next((answers[i].error for i in sorted(answers) if isinstance(answers[i], Failure)), None)
            if problem is None:
                return answers
        if self.closed and isinstance(problem, ShardUnavailableError):
            raise ClosedError() from None
        raise problem

    def enter(self, edit: bool) -> tuple[int, int] | None:
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

    def leave(self, stamp: tuple[int, int] | None) -> None:
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
            except ray.exceptions.RayError as error:
                raise self.lost(index, error) from None

    def unavailable(self, index: int, reason: str) -> ShardUnavailableError:
        return ShardUnavailableError(index, self.count, reason)

    def lost(self, index: int, error: Exception) -> Exception:
        """This handle's error for a call Ray could not complete: the shard is gone
        for good (or this handle closed it meanwhile), or Ray failed the call."""
        if isinstance(error, _cluster.ray_module().exceptions.RayActorError):
            return ClosedError() if self.closed else self.unavailable(index, f"is gone: {why_gone(error)}")
        return self.unavailable(index, f"failed: {error}")

    # Closing

    def close(self) -> None:
        """Refuses calls from now on; calls already sent go on."""
        with self._lock:
            self.closed = True

    def wait_idle(self, seconds: float | None) -> None:
        """Waits for the calls in flight to end."""
        with self._idle:
            self._idle.wait_for(lambda: self._active == 0, seconds)

    def forget(self) -> None:
        """Tells the shards that this handle will not ask for its replies again."""
        if self._next > 1:
            for handle in self.handles:
                with contextlib.suppress(Exception):
                    handle.forget.remote(self.client)


def why_gone(error: Exception) -> str:
    """What ended a shard for good, in a line: a restart that failed names its
    error, as the shard's constructor raised it."""
    if getattr(error, "actor_init_failed", False):
        lines = [line.strip() for line in str(error).splitlines() if line.strip()]
        return f"it could not be restarted: {lines[-1] if lines else error}"
    return "it was stopped (the store was closed or destroyed), or its actor could not be restarted"


Call = tuple[str, tuple[Any, ...]]
Stamp = tuple[int, int] | None


class AsyncLine:
    """A Line's calls from coroutines: each shard gets the calls queued for it
    during one turn of the event loop as one batch, and every batch is sent
    at once, so that many awaits in flight share round trips."""

    def __init__(self, line: Line) -> None:
        self.line = line
        self._queued: dict[tuple[asyncio.AbstractEventLoop, int], list[tuple[Call, Stamp, asyncio.Future[Any]]]] = {}
        self._tasks: set[asyncio.Task[None]] = set()

    async def run(self, plan: Plan, edit: bool = False) -> dict[int, Any]:
        """As Line.run, awaited."""
        line = self.line
        stamp = line.enter(edit)
        try:
            deadline = None if line.timeout is None else time.monotonic() + line.timeout
            loop = asyncio.get_running_loop()
            waiting = {index: self._queue(loop, index, call, stamp) for index, call in plan.items()}
            answers: dict[int, Any] = {}
            problem: BaseException | None = None
            for index, future in waiting.items():
                try:
                    remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
                    answers[index] = await asyncio.wait_for(asyncio.shield(future), remaining)
                except asyncio.TimeoutError:
                    problem = problem or line.unavailable(index, f"did not answer within {line.timeout:g} s")
                except Exception as error:
                    problem = problem or error
            return line.confirmed(line.check(answers, problem), stamp)
        finally:
            line.leave(stamp)

    def _queue(self, loop: asyncio.AbstractEventLoop, index: int, call: Call, stamp: Stamp) -> asyncio.Future[Any]:
        future: asyncio.Future[Any] = loop.create_future()
        place = (loop, index)
        queued = self._queued.get(place)
        if queued is None:
            queued = self._queued[place] = []
            loop.call_soon(self._flush, place)
        queued.append((call, stamp, future))
        return future

    def _flush(self, place: tuple[asyncio.AbstractEventLoop, int]) -> None:
        calls = self._queued.pop(place)
        task = place[0].create_task(self._deliver(place[1], calls))
        self._tasks.add(task)  # held until done: the loop keeps only a weak reference
        task.add_done_callback(self._tasks.discard)

    def _send(self, index: int, calls: list[tuple[Call, Stamp, asyncio.Future[Any]]]) -> Any:
        client = self.line.client
        wire = [(method, () if stamp is None else (client, *stamp), args) for (method, args), stamp, _ in calls]
        return self.line.handles[index].batch.remote(wire)

    async def _deliver(self, index: int, calls: list[tuple[Call, Stamp, asyncio.Future[Any]]]) -> None:
        """Sends a batch and hands each caller its answer, or the batch's error."""
        try:
            answers = await self._answers(index, calls)
        except asyncio.CancelledError:
            for _, _, future in calls:
                future.cancel()
            raise
        except BaseException as error:
            for _, _, future in calls:
                if not future.done():
                    future.set_exception(error)
            return
        for (_, _, future), answer in zip(calls, answers):
            if not future.done():
                future.set_result(answer)

    async def _answers(self, index: int, calls: list[tuple[Call, Stamp, asyncio.Future[Any]]]) -> list[Any]:
        """A batch's answers; sent again while Ray restarts its shard, for as long
        as a caller waits (edits sent again are answered once)."""
        ray = _cluster.ray_module()
        line = self.line
        while True:
            try:
                return await self._send(index, calls)  # type: ignore[no-any-return]
            except ray.exceptions.ActorUnavailableError:
                if line.closed:
                    raise ClosedError() from None
                if all(future.done() for _, _, future in calls):
                    return []  # every caller stopped waiting
                await asyncio.sleep(RESEND_PAUSE)
            except ray.exceptions.RayError as error:
                raise line.lost(index, error) from None

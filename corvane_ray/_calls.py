"""A handle's calls to a store's shards: it sends them, waits for them within
the handle's timeout, numbers edits so that each is applied once, and takes
no call once closed.

Each shard is reached one of two ways. Point calls, small queries and their
batches go over the shard's direct line (see _line) when it can be reached;
everything else (loads, folds, exports, datasets), and every call when the
line cannot be reached or the handle was made with `direct=False`, goes as
a Ray actor call. Ray restarts a shard that died; a Ray call is sent again
by Ray, and one on the line is sent again by the handle once Ray says where
the new process listens. An edit carries the handle's client id, its
number, and the number below which every edit of this handle has been
answered (its floor), so that an edit that arrives twice is applied once,
whichever way each copy came.

An asyncio handle's calls (AsyncShardCalls) keep the numbering of a ShardCalls and
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

import msgspec

from . import _cluster, _line, _wire
from ._line import Address, LineBroken
from ._wire import Call, Failure, Stamp
from .errors import ClosedError, ShardUnavailableError

RESEND_PAUSE = 0.05  # seconds between sends to a shard Ray reports as briefly unavailable
LARGE_REPLY = 64  # keys or tags in an edit's reply above which the shard is told at once that it arrived
LINE_RETRY = 30.0  # seconds before a handle tries again a line it could not reach
NO_LINE = "the shard has no direct line open: its folder is not open, or it runs outside Ray"

Plan = Mapping[int, Call]  # shard index: its call


class Way:
    """How one handle's calls reach one shard: its direct line's address, or
    why they go as Ray actor calls."""

    __slots__ = ("address", "reason", "retry_at")

    def __init__(self) -> None:
        self.address: Address | None = None
        self.reason: str | None = None  # set once the way is known to be Ray's
        self.retry_at = 0.0

    def known(self) -> bool:
        return self.address is not None or (self.reason is not None and time.monotonic() < self.retry_at)

    def by_ray(self, reason: str) -> None:
        self.address, self.reason, self.retry_at = None, reason, time.monotonic() + LINE_RETRY

    def describe(self) -> str:
        if self.address is not None:
            return f"direct line to {self.address[0]}:{self.address[1]}"
        return f"Ray actor calls ({self.reason or 'no call yet'})"


class ShardCalls:
    """Calls to the shards of one store, for one handle."""

    def __init__(self, handles: list[Any], timeout: float | None, *, direct: bool = True) -> None:
        self.handles = handles
        self.count = len(handles)
        self.timeout = timeout
        self.direct = direct
        self.ways = [Way() for _ in handles]
        self.client = os.urandom(16)
        self.closed = False
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._active = 0
        self._next = 1  # the number of this handle's next edit
        self._low = 1  # the lowest number of an edit not yet answered (or not yet sent)
        self._answered_early: set[int] = set()  # answered edits above it
        if not direct:
            for way in self.ways:
                way.by_ray("the handle was made with direct=False")
                way.retry_at = float("inf")

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
            calls = {index: self.stamped(call, stamp) for index, call in plan.items()}
            sent: dict[int, Any] = {}
            for index, call in calls.items():
                try:
                    sent[index] = self._send(index, call, deadline)
                except Exception as error:  # no way to the shard: raised once every other shard answered
                    sent[index] = error
            answers: dict[int, Any] = {}
            problem: BaseException | None = None
            for index, ticket in sent.items():
                try:
                    answers[index] = self._collect(index, calls[index], ticket, deadline)
                except Exception as error:
                    problem = problem or error
            return self.confirmed(self.check(answers, problem), stamp)
        finally:
            self.leave(stamp)

    def stamped(self, call: Call, stamp: tuple[int, int] | None) -> Call:
        if stamp is None or call.kind not in (_wire.EDIT, _wire.LOAD):
            return call
        return Call(call.kind, call.method, call.args, Stamp(self.client, *stamp))

    def confirmed(self, answers: dict[int, Any], stamp: tuple[int, int] | None, *,
                  by_ray: bool = False) -> dict[int, Any]:
        """The answers, after telling each shard that sent a large reply to an
        edit that it arrived, so that the shard keeps it no longer (without
        waiting: a shard takes a handle's calls in the order sent; `by_ray`
        for an event loop, which must not wait for a connection)."""
        if stamp is not None:
            for index, answer in answers.items():
                if isinstance(answer, (list, set)) and len(answer) > LARGE_REPLY:
                    self.tell(index, Call(_wire.CONFIRM, stamp=Stamp(self.client, stamp[0], 0)), by_ray=by_ray)
        return answers

    def tell(self, index: int, call: Call, *, by_ray: bool = False) -> None:
        """Sends a call whose answer nobody waits for, over the way the shard's calls go."""
        address = None if by_ray else self.ways[index].address
        with contextlib.suppress(Exception):
            if address is not None:
                connection = _line.pool(address).take(time.monotonic() + _line.CONNECT_WAIT)
                connection.send(_line.encode_calls([call]))
                connection.unanswered += 1
                _line.pool(address).give(connection)
            else:
                self.handles[index].call.remote(call)

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
            return seq, self._low - 1

    def leave(self, stamp: tuple[int, int] | None) -> None:
        with self._lock:
            self._active -= 1
            if stamp is not None:
                self._answered_early.add(stamp[0])
                while self._low in self._answered_early:  # each number passes once: constant time on the whole
                    self._answered_early.remove(self._low)
                    self._low += 1
            if self._active == 0:
                self._idle.notify_all()

    # The two ways

    def _send(self, index: int, call: Call, deadline: float | None) -> Any:
        """Sends a call: over the shard's line (a connection and what it was
        sent) when it takes the call, else as a Ray call (its ObjectRef)."""
        if call.kind in _wire.ON_THE_LINE:
            address = self.address(index, deadline)
            if address is not None:
                payload = _line.encode_calls([call])
                if len(payload) <= _line.MAX_REQUEST:
                    return self._send_on_line(index, address, payload, deadline)
        return self.handles[index].call.remote(call)

    def _send_on_line(self, index: int, address: Address, payload: bytes, deadline: float | None) -> Any:
        try:
            connection = _line.pool(address).take(_line_deadline(deadline))
        except OSError as error:
            self.ways[index].by_ray(f"its direct line at {address[0]}:{address[1]} cannot be reached: {error}")
            return None  # sent by Ray when collected
        try:
            connection.send(payload)
        except OSError:
            connection.close()
            return (None, address, payload)  # broken before it went: sent again when collected
        return (connection, address, payload)

    def _collect(self, index: int, call: Call, ticket: Any, deadline: float | None) -> Any:
        if isinstance(ticket, Exception):
            raise ticket
        if ticket is None:
            return self._collect_ray(index, call, self.handles[index].call.remote(call), deadline)
        if isinstance(ticket, tuple):
            return self._collect_line(index, call, ticket, deadline)
        return self._collect_ray(index, call, ticket, deadline)

    def _collect_line(self, index: int, call: Call, ticket: tuple[Any, Address, bytes], deadline: float | None) -> Any:
        """The answer from the line; when the connection broke (the shard died,
        most likely), the call again, wherever Ray says the shard listens now."""
        connection, address, payload = ticket
        while True:
            if connection is not None:
                try:
                    answer = _wire.decode_answers([call], connection.receive(deadline))[0]
                except TimeoutError:
                    connection.close()
                    raise self.unavailable(index, f"did not answer within {self.timeout:g} s") from None
                except (OSError, ValueError):
                    connection.close()
                except BaseException:
                    connection.close()  # interrupted: what the connection holds next is unknown
                    raise
                else:
                    _line.pool(address).give(connection)
                    return answer
            if self.closed:
                raise ClosedError()
            self._past(index, deadline)
            time.sleep(RESEND_PAUSE)
            self.ways[index] = Way()  # asked again: a restarted shard listens elsewhere
            found = self.address(index, deadline)
            if found is None:
                return self._collect_ray(index, call, self.handles[index].call.remote(call), deadline)
            address = found
            sent = self._send_on_line(index, address, payload, deadline)
            if sent is None:
                return self._collect_ray(index, call, self.handles[index].call.remote(call), deadline)
            connection = sent[0]

    def _collect_ray(self, index: int, call: Call, ref: Any, deadline: float | None) -> Any:
        ray = _cluster.ray_module()
        while True:
            try:
                return ray.get(ref, timeout=None if deadline is None else max(0.0, deadline - time.monotonic()))
            except ray.exceptions.GetTimeoutError:
                raise self.unavailable(index, f"did not answer within {self.timeout:g} s") from None
            except ray.exceptions.ActorUnavailableError:
                if self.closed:
                    raise ClosedError() from None
                self._past(index, deadline)
                time.sleep(RESEND_PAUSE)  # restarting: the same edit again is answered once
                ref = self.handles[index].call.remote(call)
            except ray.exceptions.RayError as error:
                raise self.lost(index, error) from None

    def _past(self, index: int, deadline: float | None) -> None:
        if deadline is not None and time.monotonic() >= deadline:
            raise self.unavailable(index, f"did not answer within {self.timeout:g} s")

    def address(self, index: int, deadline: float | None) -> Address | None:
        """The shard's line, as Ray says where it listens; None when its calls go by Ray."""
        way = self.ways[index]
        if not way.known():
            found = self._collect_ray(index, Call(_wire.LINE), self.handles[index].call.remote(Call(_wire.LINE)),
                                      deadline)
            if found is None:
                way.by_ray(NO_LINE)
            else:
                way.address = (str(found[0]), int(found[1]), bytes(found[2]))
        return way.address

    def describe(self, index: int) -> str:
        return self.ways[index].describe()

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
                    handle.call.remote(Call(_wire.FORGET, args=(self.client,)))


def _line_deadline(deadline: float | None) -> float:
    return time.monotonic() + _line.CONNECT_WAIT if deadline is None else deadline


def why_gone(error: Exception) -> str:
    """What ended a shard for good, in a line: a restart that failed names its
    error, as the shard's constructor raised it."""
    if getattr(error, "actor_init_failed", False):
        lines = [calls.strip() for calls in str(error).splitlines() if calls.strip()]
        return f"it could not be restarted: {lines[-1] if lines else error}"
    return "it was stopped (the store was closed or destroyed), or its actor could not be restarted"


class Flight(msgspec.Struct, gc=False):
    """One step of an operation in flight: the answers of its shards as they
    come, and what is done with them once all have come. An asyncio handle
    may have tens of thousands at once, and every object the cyclic collector
    tracks is one more for each of its full passes to visit: this one and
    its calls are not tracked (nothing they hold refers back to them)."""

    op: Any
    result: asyncio.Future[Any]
    stamp: tuple[int, int] | None
    left: int
    answers: dict[int, Any] = {}
    problem: BaseException | None = None


class Queued(msgspec.Struct, gc=False):
    """A call waiting for its shard's batch, with the step it belongs to."""

    call: Call
    flight: Flight
    index: int


class AsyncShardCalls:
    """A ShardCalls' calls from coroutines: each shard gets the calls queued for it
    during one turn of the event loop as one batch, and every batch is sent
    at once, so that many awaits in flight share round trips. An operation's
    steps are driven by callbacks as their answers come, with no task or
    coroutine of their own."""

    def __init__(self, calls: ShardCalls) -> None:
        self.calls = calls
        self._queued: dict[tuple[asyncio.AbstractEventLoop, int], list[Queued]] = {}
        self._tasks: set[asyncio.Task[None]] = set()
        self._connections: dict[Address, _line.AsyncConnection] = {}  # each for the loop that made it

    def run(self, op: Any) -> asyncio.Future[Any]:
        """Runs an operation's steps, each with every shard it names at once;
        its result, when the last step is answered."""
        result: asyncio.Future[Any] = asyncio.get_running_loop().create_future()
        self._advance(op, result, None, None)
        return result

    def _advance(self, op: Any, result: asyncio.Future[Any], answers: dict[int, Any] | None,
                 error: BaseException | None) -> None:
        """Sends the operation its answers (or throws in its error) and starts
        its next step, or settles its result."""
        try:
            if error is not None:
                plan, edit = op.throw(error)
            else:
                plan, edit = op.send(answers)
        except StopIteration as done:
            if not result.done():
                result.set_result(done.value)
            return
        except BaseException as failed:
            if not result.done():
                result.set_exception(failed)
            return
        calls = self.calls
        try:
            stamp = calls.enter(edit)
        except BaseException as failed:
            self._advance(op, result, None, failed)
            return
        flight = Flight(op, result, stamp, len(plan), {})
        loop = result.get_loop()
        for index, call in plan.items():
            self._queue(loop, index, calls.stamped(call, stamp), flight)

    def _land(self, queued: Queued, answer: Any, error: BaseException | None) -> None:
        """One shard's answer to a step; the step goes on once every shard answered."""
        flight = queued.flight
        if error is None:
            flight.answers[queued.index] = answer
        elif flight.problem is None:
            flight.problem = error
        flight.left -= 1
        if flight.left:
            return
        calls = self.calls
        calls.leave(flight.stamp)
        if flight.result.done():  # its caller stopped waiting
            return
        try:
            answers = calls.confirmed(calls.check(flight.answers, flight.problem), flight.stamp, by_ray=True)
        except BaseException as failed:
            self._advance(flight.op, flight.result, None, failed)
        else:
            self._advance(flight.op, flight.result, answers, None)

    def _queue(self, loop: asyncio.AbstractEventLoop, index: int, call: Call, flight: Flight) -> None:
        place = (loop, index)
        queued = self._queued.get(place)
        if queued is None:
            queued = self._queued[place] = []
            loop.call_soon(self._flush, place)
        queued.append(Queued(call, flight, index))

    def _flush(self, place: tuple[asyncio.AbstractEventLoop, int]) -> None:
        calls = self._queued.pop(place)
        task = place[0].create_task(self._deliver(place[1], calls))
        self._tasks.add(task)  # held until done: the loop keeps only a weak reference
        task.add_done_callback(self._tasks.discard)

    async def _deliver(self, index: int, queued: list[Queued]) -> None:
        """Sends a batch and hands each step its shard's answer, or the batch's
        error, within the handle's timeout."""
        calls = self.calls
        try:
            if calls.timeout is None:
                answers = await self._answers(index, queued)
            else:
                answers = await asyncio.wait_for(self._answers(index, queued), calls.timeout)
        except TimeoutError:
            error: BaseException = calls.unavailable(index, f"did not answer within {calls.timeout:g} s")
        except asyncio.CancelledError:
            for entry in queued:
                entry.flight.result.cancel()
                self._land(entry, None, ClosedError())
            raise
        except BaseException as failed:
            error = failed
        else:
            for entry, answer in zip(queued, answers):
                self._land(entry, answer, None)
            return
        for entry in queued:
            self._land(entry, None, error)

    async def _answers(self, index: int, queued: list[Queued]) -> list[Any]:
        """A batch's answers, over the shard's line or as a Ray call; sent again
        while Ray restarts its shard, for as long as a caller waits (edits sent
        again are answered once)."""
        ray = _cluster.ray_module()
        shard = self.calls.handles[index]
        batch = [entry.call for entry in queued]
        batched = all(call.kind in _wire.ON_THE_LINE for call in batch)
        while True:
            if all(entry.flight.result.done() for entry in queued):
                return [None] * len(queued)  # every caller stopped waiting
            try:
                if not batched:  # folds and exports: Ray calls of their own
                    return list(await asyncio.gather(*(shard.call.remote(call) for call in batch)))
                address = await self._address(index)
                payload = _line.encode_calls(batch)
                if address is not None and len(payload) <= _line.MAX_REQUEST:
                    answered = await self._on_line(index, address, payload)
                    if answered is not None:
                        return _wire.decode_answers(batch, answered)
                    continue  # the line broke: ask again where the shard listens
                return await shard.batch.remote(batch)  # type: ignore[no-any-return]
            except ray.exceptions.ActorUnavailableError:
                if self.calls.closed:
                    raise ClosedError() from None
                await asyncio.sleep(RESEND_PAUSE)
            except ray.exceptions.RayError as error:
                raise self.calls.lost(index, error) from None

    async def _on_line(self, index: int, address: Address, payload: bytes) -> bytes | None:
        """The payload of a batch's answers, or None when the line broke (and
        the way is to be asked again)."""
        try:
            connection = self._connections.get(address)
            if connection is None or not connection.usable():
                connection = self._connections[address] = await _line.AsyncConnection.open(address)
        except (TimeoutError, OSError, LineBroken) as error:
            self.calls.ways[index].by_ray(f"its direct line at {address[0]}:{address[1]} cannot be reached: {error}")
            return None
        try:
            return await connection.send(payload)
        except LineBroken:
            self._connections.pop(address, None)
            self.calls.ways[index] = Way()
            await asyncio.sleep(RESEND_PAUSE)
            return None

    async def _address(self, index: int) -> Address | None:
        way = self.calls.ways[index]
        if not way.known():
            found = await self.calls.handles[index].call.remote(Call(_wire.LINE))
            if found is None:
                way.by_ray(NO_LINE)
            else:
                way.address = (str(found[0]), int(found[1]), bytes(found[2]))
        return way.address

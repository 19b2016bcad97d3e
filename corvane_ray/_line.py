"""The direct line: a shard's own TCP listener beside Ray's actor calls,
for point calls, small queries and their batches.

A shard listens on its node's address as Ray knows it (never on every
interface), on a port of its own. Before a connection is served anything,
both sides prove that they hold the shard's key, a random 32 bytes kept in
the shard's folder (0600) that a handle gets only through Ray, so only
callers that Ray let in can have it; the key never crosses the wire:

    shard  -> caller   MAGIC, the shard's nonce (32 bytes)
    caller -> shard    the caller's nonce, HMAC-SHA256(key, "caller" + both nonces)
    shard  -> caller   HMAC-SHA256(key, "shard" + both nonces, the other way round)

A connection that does not prove itself within PROVE_WAIT seconds, or that
sends anything else, is closed with nothing said but the challenge. Then
frames go both ways: a u64 little-endian length and a MessagePack payload,
a list of calls one way (at most MAX_REQUEST bytes) and a list of answers
the other, in the order the calls came. The traffic is not encrypted (nor is
Ray's own, by default): keep the cluster's hosts on a private network.
"""

from __future__ import annotations

import asyncio
import contextlib
import hashlib
import hmac
import os
import socket
import struct
import threading
import time
from collections import deque
from collections.abc import Callable, Sequence
from typing import Any

import msgspec

from ._wire import Call

MAGIC = b"corvane-line-1\n"
NONCE = 32
PROOF = 32  # bytes of an HMAC-SHA256
PROVE_WAIT = 1.0  # seconds a caller has to prove itself
CONNECT_WAIT = 2.0  # seconds a handle waits for a shard's line to take it
MAX_REQUEST = 64 << 20  # bytes of calls in one frame: a larger batch goes by Ray
MAX_UNPROVEN = 64  # connections a shard lets wait for their proof at once
LENGTH = struct.Struct("<Q")
BIG_FRAME = 1 << 20  # bytes above which a frame is read straight into a buffer of its size
TIMEOUT_SLACK = 0.05  # seconds by which a connection's timeout may differ from what is left of a call's
READ_SIZE = 256 << 10

_calls = msgspec.msgpack.Decoder(list[Call])
_encoder = msgspec.msgpack.Encoder()

Address = tuple[str, int, bytes]  # a line's host, port and key


def proof(key: bytes, side: bytes, first: bytes, second: bytes) -> bytes:
    return hmac.new(key, side + first + second, hashlib.sha256).digest()


def encode_calls(calls: Sequence[Call]) -> bytes:
    return _encoder.encode(calls)


class LineBroken(ConnectionError):
    """A connection that ended, or that said something a line does not say."""


# Reading frames

class Frames:
    """The frames that arrive on a socket, one at a time."""

    def __init__(self, sock: socket.socket) -> None:
        self.socket = sock
        self.buffer = bytearray()

    def next(self, limit: int | None = None) -> bytes | bytearray | memoryview | None:
        """The next frame's payload; None when the other side closed between frames."""
        if not self.buffer:  # most frames come whole, in one piece of their own
            chunk = self.socket.recv(READ_SIZE)
            if not chunk:
                return None
            if len(chunk) >= LENGTH.size:
                (length,) = LENGTH.unpack_from(chunk)
                if len(chunk) == LENGTH.size + length and (limit is None or length <= limit):
                    return memoryview(chunk)[LENGTH.size:]
            self.buffer += chunk
        head = self.take(LENGTH.size, at_start=True)
        if head is None:
            return None
        (length,) = LENGTH.unpack(head)
        if limit is not None and length > limit:
            raise LineBroken(f"a frame of {length} bytes, over the {limit} a line takes")
        return self.take(length) or b""

    def take(self, n: int, *, at_start: bool = False) -> bytes | bytearray | None:
        buffer = self.buffer
        if len(buffer) < n and n - len(buffer) > BIG_FRAME:
            return self._take_big(n)
        while len(buffer) < n:
            chunk = self.socket.recv(READ_SIZE)
            if not chunk:
                if at_start and not buffer:
                    return None
                raise LineBroken("the connection ended inside a frame")
            buffer += chunk
        taken = bytes(buffer[:n])
        del buffer[:n]
        return taken

    def _take_big(self, n: int) -> bytearray:
        taken = bytearray(n)
        have = len(self.buffer)
        taken[:have] = self.buffer
        self.buffer = bytearray()
        view = memoryview(taken)[have:]
        while view:
            got = self.socket.recv_into(view)
            if not got:
                raise LineBroken("the connection ended inside a frame")
            view = view[got:]
        return taken


def receive_exactly(sock: socket.socket, n: int, deadline: float) -> bytes:
    """n bytes, within the deadline (socket.timeout past it)."""
    got = bytearray()
    while len(got) < n:
        sock.settimeout(max(0.001, deadline - time.monotonic()))
        chunk = sock.recv(n - len(got))
        if not chunk:
            raise LineBroken("the connection ended during the handshake")
        got += chunk
    return bytes(got)


# The shard's side

class Listener:
    """A shard's direct line: a thread that accepts connections on `host`, and
    a thread for each proven one, which hands its calls to `answer_all` and
    sends back the answers. `key_of` gives the key callers prove they hold
    (None: the shard's folder is not open yet, and no caller is served)."""

    def __init__(self, host: str, key_of: Callable[[], bytes | None],
                 answer_all: Callable[[Sequence[Call]], list[Any]],
                 encode_answers: Callable[[list[Any]], bytes]) -> None:
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.socket = socket.create_server((host, 0), family=family, backlog=128)
        self.address: tuple[str, int] = self.socket.getsockname()[:2]
        self.key_of = key_of
        self.answer_all = answer_all
        self.encode_answers = encode_answers
        self._lock = threading.Lock()
        self._unproven = 0
        self._served: set[socket.socket] = set()
        threading.Thread(target=self._accept, name="corvane-line", daemon=True).start()

    def _accept(self) -> None:
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:  # the listener closed
                return
            with self._lock:
                crowded = self._unproven >= MAX_UNPROVEN
                if not crowded:
                    self._unproven += 1
            if crowded:
                connection.close()
                continue
            threading.Thread(target=self._serve, args=(connection,), name="corvane-line-call", daemon=True).start()

    def _serve(self, connection: socket.socket) -> None:
        proving = True
        try:
            proven = self._prove(connection)
            with self._lock:
                self._unproven -= 1
            proving = False
            if proven:
                with self._lock:
                    self._served.add(connection)
                self._answer(connection)
        except Exception:  # a caller that went, or broke the protocol: the connection ends, and the shard goes on
            pass
        finally:
            with self._lock:
                self._unproven -= proving
                self._served.discard(connection)
            connection.close()

    def _prove(self, connection: socket.socket) -> bool:
        """Sends the challenge; whether the caller answered it with the key's
        proof in time, in which case the shard proves itself too."""
        deadline = time.monotonic() + PROVE_WAIT
        key = self.key_of()
        nonce = os.urandom(NONCE)
        connection.settimeout(PROVE_WAIT)
        connection.sendall(MAGIC + nonce)
        if key is None:
            return False
        answer = receive_exactly(connection, NONCE + PROOF, deadline)
        theirs = answer[:NONCE]
        if not hmac.compare_digest(answer[NONCE:], proof(key, b"caller", nonce, theirs)):
            return False
        connection.sendall(proof(key, b"shard", theirs, nonce))
        return True

    def _answer(self, connection: socket.socket) -> None:
        connection.settimeout(None)
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        frames = Frames(connection)
        while True:
            payload = frames.next(MAX_REQUEST)
            if payload is None:
                return
            reply = self.encode_answers(self.answer_all(_calls.decode(payload)))
            connection.sendall(LENGTH.pack(len(reply)) + reply)

    def close(self) -> None:
        """Takes no more connections, and ends those it serves."""
        with contextlib.suppress(OSError):
            self.socket.shutdown(socket.SHUT_RDWR)  # wakes the thread in accept(), which close() alone does not
        with contextlib.suppress(OSError):
            self.socket.close()
        with self._lock:
            served = list(self._served)
        for connection in served:
            with contextlib.suppress(OSError):
                connection.shutdown(socket.SHUT_RDWR)


# A handle's side

class Connection:
    """A proven connection to a shard's line, used by one caller at a time."""

    def __init__(self, address: Address, deadline: float) -> None:
        host, port, key = address
        sock = socket.create_connection((host, port), timeout=max(0.001, min(CONNECT_WAIT,
                                                                              deadline - time.monotonic())))
        try:
            challenge = receive_exactly(sock, len(MAGIC) + NONCE, min(deadline, time.monotonic() + CONNECT_WAIT))
            if challenge[:len(MAGIC)] != MAGIC:
                raise LineBroken("not a corvane shard's line")
            theirs, mine = challenge[len(MAGIC):], os.urandom(NONCE)
            sock.sendall(mine + proof(key, b"caller", theirs, mine))
            answer = receive_exactly(sock, PROOF, min(deadline, time.monotonic() + CONNECT_WAIT))
            if not hmac.compare_digest(answer, proof(key, b"shard", mine, theirs)):
                raise LineBroken("the shard's line did not prove that it holds the key")
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except BaseException:
            sock.close()
            raise
        self.socket = sock
        self.frames = Frames(sock)
        self.unanswered = 0  # answers to calls sent without waiting, read and dropped before the next

    def send(self, payload: bytes) -> None:
        self.socket.sendall(LENGTH.pack(len(payload)) + payload)  # within the timeout of the last receive

    def receive(self, deadline: float | None) -> bytes | bytearray | memoryview:
        """The answers to the last calls sent (socket.timeout past the deadline)."""
        wait = None if deadline is None else max(0.001, deadline - time.monotonic())
        current = self.socket.gettimeout()
        if wait is None or current is None:
            if wait != current:
                self.socket.settimeout(wait)
        elif abs(wait - current) > TIMEOUT_SLACK:
            self.socket.settimeout(wait)
        while True:
            payload = self.frames.next()
            if payload is None:
                raise LineBroken("the shard's line closed")
            if not self.unanswered:
                return payload
            self.unanswered -= 1

    def close(self) -> None:
        with contextlib.suppress(OSError):
            self.socket.close()


class Pool:
    """The idle connections of this process to one shard's line, shared by its handles."""

    def __init__(self, address: Address) -> None:
        self.address = address
        self._idle: deque[Connection] = deque()
        self._lock = threading.Lock()

    def take(self, deadline: float) -> Connection:
        with self._lock:
            if self._idle:
                return self._idle.pop()
        return Connection(self.address, deadline)

    def give(self, connection: Connection) -> None:
        with self._lock:
            self._idle.append(connection)


_pools: dict[tuple[int, Address], Pool] = {}
_pools_lock = threading.Lock()


def pool(address: Address) -> Pool:
    """This process's pool for a line (a forked child makes its own)."""
    place = (os.getpid(), address)
    with _pools_lock:
        found = _pools.get(place)
        if found is None:
            found = _pools[place] = Pool(address)
        return found


class AsyncConnection(asyncio.Protocol):
    """A proven connection to a shard's line for one event loop: batches are
    written as they come, and each frame that arrives answers the oldest
    batch still waiting. Driven by the loop's callbacks: no task of its own."""

    def __init__(self, key: bytes) -> None:
        self.key = key
        self.loop = asyncio.get_running_loop()
        self.proven: asyncio.Future[None] = self.loop.create_future()
        self.waiting: deque[asyncio.Future[bytes]] = deque()
        self.broken: BaseException | None = None
        self.transport: asyncio.Transport | None = None
        self.buffer = bytearray()
        self.nonce = self.mine = b""  # the two nonces, while the handshake lasts

    @classmethod
    async def open(cls, address: Address) -> AsyncConnection:
        host, port, key = address
        loop = asyncio.get_running_loop()
        _, connection = await asyncio.wait_for(loop.create_connection(lambda: cls(key), host, port), CONNECT_WAIT)
        try:
            await asyncio.wait_for(asyncio.shield(connection.proven), CONNECT_WAIT)
        except BaseException:
            connection.close()
            raise
        return connection

    def usable(self) -> bool:
        """Whether this connection serves the running loop, unbroken."""
        return self.broken is None and self.loop is asyncio.get_running_loop()

    def send(self, payload: bytes) -> asyncio.Future[bytes]:
        """Writes a batch; its answers' payload, when they come."""
        if self.broken is not None or self.transport is None:
            raise LineBroken(f"the shard's line broke: {self.broken}")
        future: asyncio.Future[bytes] = self.loop.create_future()
        self.waiting.append(future)
        self.transport.write(LENGTH.pack(len(payload)) + payload)
        return future

    # What the loop calls

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]
        sock = transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def data_received(self, data: bytes) -> None:
        self.buffer += data
        try:
            if not self.proven.done():
                self._prove()
            if self.proven.done():
                self._hand_out()
        except LineBroken as error:
            self._break(error)

    def connection_lost(self, error: Exception | None) -> None:
        self._break(error or LineBroken("the shard's line closed"))

    def _prove(self) -> None:
        buffer = self.buffer
        if not self.nonce:
            if len(buffer) < len(MAGIC) + NONCE:
                return
            if buffer[:len(MAGIC)] != MAGIC:
                raise LineBroken("not a corvane shard's line")
            self.nonce = bytes(buffer[len(MAGIC):len(MAGIC) + NONCE])
            del buffer[:len(MAGIC) + NONCE]
            self.mine = os.urandom(NONCE)
            assert self.transport is not None
            self.transport.write(self.mine + proof(self.key, b"caller", self.nonce, self.mine))
        if len(buffer) < PROOF:
            return
        if not hmac.compare_digest(bytes(buffer[:PROOF]), proof(self.key, b"shard", self.mine, self.nonce)):
            raise LineBroken("the shard's line did not prove that it holds the key")
        del buffer[:PROOF]
        self.proven.set_result(None)

    def _hand_out(self) -> None:
        buffer = self.buffer
        while len(buffer) >= LENGTH.size:
            (length,) = LENGTH.unpack_from(buffer)
            end = LENGTH.size + length
            if len(buffer) < end:
                return
            payload = bytes(buffer[LENGTH.size:end])
            del buffer[:end]
            if not self.waiting:
                raise LineBroken("an answer to no call")
            future = self.waiting.popleft()
            if not future.done():
                future.set_result(payload)

    def _break(self, error: BaseException) -> None:
        if self.broken is None:
            self.broken = error
        if not self.proven.done():
            self.proven.set_exception(LineBroken(f"the shard's line broke: {error}"))
        while self.waiting:
            future = self.waiting.popleft()
            if not future.done():
                future.set_exception(LineBroken(f"the shard's line broke: {error}"))
        self.close()

    def close(self) -> None:
        if self.transport is not None and not self.loop.is_closed():
            self.transport.close()

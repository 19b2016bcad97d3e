"""A shard's core: a `Corvane`, durable in a folder of its own, taking each
call of each handle in turn and applying each edit exactly once. No Ray in
here: the actor (`_shard.Shard`) and the direct line (`_line`) are two ways
into one core.

Invariants, true after every call, whatever failed in it:
 1. On disk before any reply: an edit is written to the log before it is
    applied and before any answer, its own or another call's, can show it;
    so whatever a caller was told, and whatever a read showed, is in the
    folder, and a shard rebuilt from the folder holds it.
 2. Each edit of a handle (its client id and number) is applied at most
    once. One that comes again gets the reply recorded when it was applied;
    one at or below the handle's floor with no record left was given up by
    its caller and is refused unapplied (EXPIRED). A handle's records go once
    its floor passes them, when it confirms a large reply, when it closes,
    or when it has been silent for IDLE_CLIENT seconds while the core runs.
 3. A fold writes every entry and the records of the handles not idle into
    a new snapshot beside a new, empty log; it drops the log records it
    folded and the records of idle handles, and nothing a resend needs.
 4. Calls are applied one at a time, in the order each way in delivers them,
    whichever way they came: every call goes through serve() under one lock.
"""

from __future__ import annotations

import itertools
import os
import resource
import tempfile
import threading
import time
from collections.abc import Iterable, Sequence
from typing import Any, NoReturn

from corvane import Corvane

from . import _partitions, _wire
from ._convert import collector_paused
from ._durable import LOCK_WAIT, ShardFiles, Snapshot, all_packed, decode, encode, shard_folder
from ._wire import EDITS, READS, Call, Failure
from .errors import CorruptFileError, ShardUnavailableError

FOLD_FLOOR = 1 << 20  # bytes of log a shard keeps before it folds, however small its snapshot
SNAPSHOT_FRAME_ENTRIES = 50_000  # entries a snapshot frame holds
IDLE_CLIENT = 3_600.0  # seconds a handle may be silent, while its shard runs, before the shard forgets it
PRUNE_FLOOR = 1_024  # handles a shard keeps before it first looks for idle ones between folds
EXPIRED = "an edit that reached its shard after its caller stopped waiting for it was not applied"


class Ledger:
    """One handle's edits as this shard knows them: every number up to
    `floor` has been answered and received; `replies` holds the answers the
    handle may still ask for again."""

    __slots__ = ("floor", "replies", "seen")

    def __init__(self, floor: int = 0, seen: float = 0.0) -> None:
        self.floor = floor
        self.replies: dict[int, Any] = {}
        self.seen = seen

    def settle(self, floor: int, now: float) -> None:
        self.seen = now
        if floor > self.floor:
            self.floor = floor
            if self.replies:
                self.replies = {seq: reply for seq, reply in self.replies.items() if seq > floor}


def folder_of(spec: dict[str, Any]) -> str:
    """A shard's folder: under the store's path, or in a temporary root on its node."""
    root = spec["root"] or os.path.join(tempfile.gettempdir(), f"corvane-{spec['store']}")
    return shard_folder(root, spec["index"], spec["shards"])


class ShardCore:
    """One shard's store, folder and handles' records. `spec` names the store,
    this shard's place in it, where its folder is, and whether it is made or
    reopened; `restarted` when a new process takes over a shard whose
    process died, rebuilding it from the folder."""

    def __init__(self, spec: dict[str, Any], *, restarted: bool = False) -> None:
        self.spec = spec
        self.index: int = spec["index"]
        self.shards: int = spec["shards"]
        self.store = Corvane()
        self.files: ShardFiles | None = None
        self.ledgers: dict[bytes, Ledger] = {}
        self.prune_at = PRUNE_FLOOR
        self.ready = False
        self.fold_at = FOLD_FLOOR
        self.missing: OSError | None = None  # why a restarted shard found no folder
        self.retired = False
        self.folds = 0  # folds since this process took the shard over
        self.lock = threading.Lock()  # held by each call, whichever way it came
        if restarted:
            try:
                self._open(wait=LOCK_WAIT)  # any other error leaves the actor dead, with the reason
            except FileNotFoundError as missing:  # made by start() if it died before it made it
                self.missing = missing

    # The one way in

    def serve(self, call: Call) -> Any:
        """Answers a call, one at a time with every other call of this shard."""
        with self.lock:
            return self._answer(call)

    def serve_all(self, calls: Sequence[Call]) -> list[Any]:
        """Answers several calls in turn, each as if sent alone, holding the lock
        once; only calls that the direct line takes."""
        with self.lock:
            return [self._answer(call) if call.kind in _wire.ON_THE_LINE else
                    Failure(AttributeError(f"a shard takes no batched call {call.kind!r}")) for call in calls]

    def _answer(self, call: Call) -> Any:
        kind, stamp = call.kind, call.stamp
        if kind == _wire.READ:
            return self.read(call.method, call.args)
        if kind == _wire.EDIT and stamp is not None:
            return self.edit(stamp.client, stamp.seq, stamp.floor, call.method, call.args)
        if kind == _wire.READ_MANY:
            return self.read_many(call.method, call.args)
        if kind == _wire.INFO:
            return self.info()
        if kind == _wire.IDENTITY:
            return self.identity()
        if kind == _wire.CONFIRM and stamp is not None:
            return self.confirm(stamp.client, stamp.seq)
        if kind == _wire.FORGET:
            return self.forget(*call.args)
        if kind == _wire.LOAD and stamp is not None:
            return self.load(stamp.client, stamp.seq, stamp.floor, call.args)
        if kind == _wire.START:
            return self.start(*call.args)
        if kind == _wire.FOLD:
            return self.fold()
        if kind == _wire.EXPORT:
            return self.export(*call.args)
        if kind == _wire.TABLE:
            return self.table()
        if kind == _wire.RETIRE:
            return self.retire(*call.args)
        return Failure(AttributeError(f"a shard takes no call {kind!r}"))

    # Opening and closing

    def start(self, ready: bool) -> Failure | None:
        """Makes or reopens the folder: the first call of the handle that makes
        the store; `ready` unless a load is to follow."""
        try:
            if self.files is None:
                if self.spec["reopen"]:
                    self._open(wait=0.0)
                    if not self.ready:
                        self._refuse_unloaded()
                else:
                    self.ready = ready
                    self.files = ShardFiles.create(folder_of(self.spec), self.spec["durability"], self._meta())
                self.missing = None
        except Exception as error:
            return Failure(error)
        self.ready = self.ready or ready
        return None

    def _refuse_unloaded(self) -> NoReturn:
        """A folder whose load never came in is not a store to reopen."""
        assert self.files is not None
        folder = self.files.folder
        self.files.close()
        self.files = None
        raise ValueError(f"{folder}: the load that made this store never finished (the process that made it "
                         "stopped first): remove the store's folder, or choose another path")

    def _open(self, *, wait: float) -> None:
        files, snapshot, records = ShardFiles.open(folder_of(self.spec), self.spec["durability"], wait=wait)
        try:
            self._rebuild(snapshot)
            log = os.path.join(files.folder, f"log-{files.generation}")
            for number, record in enumerate(records):
                self._replay(log, number, record)
        except BaseException:
            files.close()
            raise
        self.files = files
        self.fold_at = max(FOLD_FLOOR, files.snapshot_bytes)

    def _rebuild(self, snapshot: Snapshot) -> None:
        """The entries and the handles' replies of a snapshot; what is not what a
        shard writes there, whatever its shape, is a CorruptFileError."""
        meta = snapshot.meta
        if (meta.get("shard"), meta.get("shards")) != (self.index, self.shards):
            raise CorruptFileError(snapshot.path, f"is the snapshot of shard {meta.get('shard')} of "
                                   f"{meta.get('shards')}, not of shard {self.index} of {self.shards}")
        try:
            self.store = build_packed(snapshot.chunks) if snapshot.packed() else build(snapshot.columns())
            self.ledgers = _unpack_ledgers(meta.get("clients"))
            self.ready = bool(meta.get("ready", True))  # False until the load that made the store is in
        except (CorruptFileError, MemoryError):
            raise
        except Exception as error:  # entries or replies of another shape than a shard writes
            raise CorruptFileError(snapshot.path, f"does not hold a shard's entries and replies ({error!r})") from None

    def _replay(self, log: str, number: int, record: Any) -> None:
        """Applies a logged edit again, as it was applied before it was logged."""
        try:
            client, seq, floor, method, args = decode(record)
            if method not in EDITS or type(client) is not bytes or type(seq) is not int or type(floor) is not int \
                    or type(args) is not list:
                raise ValueError(method)
            ledger = self._ledger(client, floor)
            if method == "popitem":
                ledger.replies[seq] = (args[0], self.store.erase(args[0]))
            else:
                reply = ledger.replies[seq] = self._apply(method, args, replaying=True)
                if isinstance(reply, Failure) and isinstance(reply.error, (TypeError, RuntimeError)):
                    raise reply.error  # a handle converts every argument: the store never refuses a logged one's type
        except MemoryError:
            raise
        except Exception:
            raise CorruptFileError(log, f"log record {number} is not an edit this shard logged") from None

    def retire(self, delete: bool) -> None:
        """Lets go of the folder (deleting it when asked) and takes no more calls."""
        if self.files is not None:
            if delete:
                self.files.remove()
            else:
                self.files.close()
            self.files = None
        self.store = Corvane()
        self.ready, self.retired = False, True

    # Calls

    def figures(self) -> tuple[int, int, int]:
        """The log's size, the keys held and the folds so far, for the shard's metrics."""
        files = self.files
        return (files.log_bytes if files else 0), len(self.store), self.folds

    def line_key(self) -> bytes | None:
        """The key a caller of this shard's direct line proves it holds; None
        until the folder is open."""
        return self.files.line_key if self.files is not None else None

    def identity(self) -> tuple[str, int, int]:
        """Which store this shard belongs to, and its place in it."""
        return self.spec["store"], self.index, self.shards

    def info(self) -> dict[str, Any]:
        """Which process and node hold this shard, and what its folder holds, for operators."""
        files = self.files
        return {"index": self.index, "shards": self.shards, "pid": os.getpid(), "keys": len(self.store),
                "ready": self.ready and files is not None, "folder": files.folder if files else None,
                "durability": self.spec["durability"], "root": self.spec["root"], "store": self.spec["store"],
                "name": self.spec["name"], "snapshot_bytes": files.snapshot_bytes if files else 0,
                "log_bytes": files.log_bytes if files else 0, "logged_edits": files.log_records if files else 0,
                "clients": len(self.ledgers), "rss": _resident_bytes(),
                "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}

    def read(self, method: str, args: tuple[Any, ...]) -> Any:
        if method not in READS:
            return Failure(AttributeError(f"a shard takes no call {method!r}"))
        if self.files is None:
            return self._files()
        try:
            return getattr(self.store, method)(*args)
        except Exception as error:
            return Failure(error)

    def read_many(self, method: str, arg_lists: Sequence[tuple[Any, ...]]) -> Any:
        """Several reads in one round trip; the first failure ends them."""
        if method not in READS:
            return Failure(AttributeError(f"a shard takes no batch of {method!r}"))
        if self.files is None:
            return self._files()
        bound = getattr(self.store, method)
        try:
            return [bound(*args) for args in arg_lists]
        except Exception as error:
            return Failure(error)

    def edit(self, client: bytes, seq: int, floor: int, method: str, args: tuple[Any, ...]) -> Any:
        """Applies edit `seq` of handle `client` once: logged, then applied; an
        edit that arrives again gets the reply recorded the first time."""
        if method not in EDITS:
            return Failure(AttributeError(f"a shard takes no edit {method!r}"))
        files, ledger, known = self._admit(client, seq, floor)
        if files is None or ledger is None:
            return known
        if method == "popitem":
            reply = self._popitem(files, (client, seq, floor))
        else:
            try:
                files.append(encode((client, seq, floor, method, args)))
            except OSError as error:
                return Failure(error)
            reply = self._apply(method, args, replaying=False)
        ledger.replies[seq] = reply
        if files.log_bytes > self.fold_at:
            self._fold(files)
        return reply

    def _popitem(self, files: ShardFiles, stamp: tuple[bytes, int, int]) -> Any:
        """Logged as the key it took, so that a replay takes the same one."""
        try:
            key, tags = self.store.popitem()
        except MemoryError:
            restart_from_the_files()
        except Exception as error:
            return Failure(error)
        try:
            files.append(encode((*stamp, "popitem", (key,))))
        except OSError as error:
            self.store[key] = tags  # not logged, so not applied
            return Failure(error)
        return key, tags

    def _apply(self, method: str, args: Sequence[Any], *, replaying: bool) -> Any:
        try:
            return getattr(self.store, method)(*args)
        except MemoryError:
            if replaying:
                raise
            restart_from_the_files()
        except Exception as error:
            return Failure(error)

    def _admit(self, client: bytes, seq: int, floor: int) -> tuple[ShardFiles | None, Ledger | None, Any]:
        """The folder and the handle's ledger for a new edit; for one this shard
        answered already, or cannot take, None and its answer."""
        files = self._files()
        if isinstance(files, Failure):
            return None, None, files
        ledger = self._ledger(client, floor)
        if seq in ledger.replies:
            return None, None, ledger.replies[seq]
        if seq <= ledger.floor:
            return None, None, Failure(RuntimeError(EXPIRED))
        return files, ledger, None

    def _ledger(self, client: bytes, floor: int) -> Ledger:
        now = time.time()
        ledger = self.ledgers.get(client)
        if ledger is None:
            if len(self.ledgers) >= self.prune_at:
                self._forget_idle(now)
            ledger = self.ledgers[client] = Ledger()
        ledger.settle(floor, now)
        return ledger

    def _forget_idle(self, now: float) -> None:
        """Drops what this shard keeps for handles silent for IDLE_CLIENT seconds:
        a handle resends an edit only while it waits for its answer."""
        self.ledgers = {client: ledger for client, ledger in self.ledgers.items() if now - ledger.seen < IDLE_CLIENT}
        self.prune_at = max(PRUNE_FLOOR, 2 * len(self.ledgers))

    def _files(self) -> ShardFiles | Failure:
        if self.retired:
            return Failure(ShardUnavailableError(self.index, self.shards, "is gone: the store was closed or destroyed"))
        if self.files is None:
            reason = f": {self.missing}" if self.missing else ""
            return Failure(RuntimeError(f"shard {self.index} of {self.shards} is not open{reason}"))
        return self.files

    def forget(self, client: bytes) -> None:
        """A handle that closed will not ask for its replies again."""
        self.ledgers.pop(client, None)

    def confirm(self, client: bytes, seq: int) -> None:
        """A handle has the reply to its edit `seq`, and will not ask for it
        again: sent for large replies, which are then kept no longer."""
        ledger = self.ledgers.get(client)
        if ledger is not None:
            ledger.replies.pop(seq, None)

    # Loading

    def load(self, client: bytes, seq: int, floor: int, chunks: Sequence[Any]) -> Any:
        """Replaces the store with the entries of packed chunks (or of encoded
        [keys, tag lists] chunks, or the Failure of a source that did not
        read), applied in order, and makes them the new snapshot: the chunks
        are written as they came."""
        files, ledger, known = self._admit(client, seq, floor)
        if files is None or ledger is None:
            return known
        for chunk in chunks:
            if isinstance(chunk, Failure):  # the partition it came from did not read
                return chunk
        try:
            store = build_chunks(chunks)
            ledger.replies[seq] = None
            files.fold({**self._meta(), "ready": True}, chunks)
        except Exception as error:
            ledger.replies.pop(seq, None)
            return Failure(error)
        self.store, self.ready = store, True
        self._folded(files)
        return None

    def table(self) -> Any:
        """The entries as an Arrow table of a "key" and a "tags" column, tags sorted."""
        with collector_paused():
            return _partitions.arrow_table(self.store.keys(), self.store.values())

    # Folding and exporting

    def fold(self) -> Failure | None:
        """Folds the log into a new snapshot now."""
        files = self._files()
        if isinstance(files, Failure):
            return files
        return self._fold(files)

    def _fold(self, files: ShardFiles) -> Failure | None:
        try:
            keys, values = self.store.keys(), self.store.values()
            step = SNAPSHOT_FRAME_ENTRIES
            frames = (Corvane.pack(keys[i:i + step], values[i:i + step], 1)[0] for i in range(0, len(keys), step))
            files.fold(self._meta(), frames)
        except Exception as error:  # text that is not UTF-8, or a full disk: the log goes on
            self.fold_at = 2 * files.log_bytes
            return Failure(error)
        self._folded(files)
        return None

    def _folded(self, files: ShardFiles) -> None:
        self.folds += 1
        self.fold_at = max(FOLD_FLOOR, files.snapshot_bytes)

    def _meta(self) -> dict[str, Any]:
        """What a snapshot says besides the entries: which shard it is of, whether its load is in, and what it
        keeps for the handles that were not idle."""
        self._forget_idle(time.time())
        clients = [(client, ledger.floor, ledger.seen, [(seq, _pack(reply)) for seq, reply in ledger.replies.items()])
                   for client, ledger in self.ledgers.items()]
        return {"shard": self.index, "shards": self.shards, "ready": self.ready, "clients": clients}

    def export(self, path: str) -> Any:
        """Writes every entry to one partition file (JSON lines or Parquet, by its
        suffix), whole or not at all; returns the count."""
        try:
            keys, values = self.store.keys(), self.store.values()
            _partitions.write(path, keys, values)
        except Exception as error:
            return Failure(error)
        return len(keys)


def build_chunks(chunks: Sequence[Any]) -> Corvane:
    """A store of entry chunks applied in order, all packed or all MessagePack."""
    return build_packed(chunks) if all_packed(chunks) else build(decode(chunk) for chunk in chunks)


def build_packed(chunks: Sequence[Any]) -> Corvane:
    with collector_paused():
        return Corvane.from_packed(chunks)


def build(columns: Iterable[Sequence[list[Any]]]) -> Corvane:
    """A store of [keys, tag lists] columns applied in order."""
    pairs: Iterable[tuple[Any, list[Any]]] = itertools.chain.from_iterable(
        zip(keys, values) for keys, values in columns)
    with collector_paused():
        return Corvane(pairs)


def _resident_bytes() -> int:
    try:
        with open("/proc/self/statm", "rb") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):  # not Linux
        return 0


def restart_from_the_files() -> NoReturn:
    """An edit ran out of memory part-way, after it was logged: the process
    ends, and Ray restarts the shard from its folder, where the log decides."""
    os._exit(70)


def _pack(reply: Any) -> list[Any]:
    """A recorded reply as plain data, for the snapshot."""
    if reply is None:
        return ["none"]
    if isinstance(reply, Failure):
        return ["error", *_wire.pack_error(reply.error)]
    if isinstance(reply, bool):
        return ["bool", reply]
    if isinstance(reply, set):
        return ["set", list(reply)]
    if isinstance(reply, tuple):
        return ["pair", reply[0], list(reply[1])]
    return ["list", reply]


def _unpack(packed: list[Any]) -> Any:
    kind = packed[0]
    if kind == "none":
        return None
    if kind == "error":
        return Failure(_wire.unpack_error(packed[1:]))
    if kind == "bool":
        return bool(packed[1])
    if kind == "set":
        return set(packed[1])
    if kind == "pair":
        return packed[1], set(packed[2])
    if kind == "list":
        return list(packed[1])
    raise ValueError(kind)


def _unpack_ledgers(packed: Any) -> dict[bytes, Ledger]:
    """The handles' records of a snapshot, each as if seen now: a handle that
    waited for this shard to come back sends its edit again now, however long
    the shard was away."""
    ledgers: dict[bytes, Ledger] = {}
    now = time.time()
    for client, floor, seen, replies in packed or ():
        if type(client) is not bytes or type(floor) is not int or type(seen) is not float:
            raise ValueError("not a handle's record")
        ledger = ledgers[client] = Ledger(floor, now)
        for seq, reply in replies:
            if type(seq) is not int:
                raise ValueError("not an edit's number")
            ledger.replies[seq] = _unpack(reply)
    return ledgers

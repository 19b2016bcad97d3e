"""One shard: a `Corvane` in its own Ray worker process, durable in a folder
of its own, applying each edit of each handle exactly once.

Ray restarts a shard whose process died and runs its constructor again,
which rebuilds the store from the folder. Each edit is written to the log
before it is applied and before the shard replies, so whatever a caller was
told, and whatever a read showed, is in the log. The handle numbers its
edits; the shard keeps each handle's replies until the handle says it has
them, so an edit that arrives again after a restart is answered from its
recorded reply instead of being applied twice. A handle silent for an hour
while the shard runs is forgotten: a handle sends an edit again only while
it waits for its answer.

Imports Ray only inside the calls that need it, so that the driver can load
this module without it.
"""

from __future__ import annotations

import itertools
import os
import resource
import sys
import tempfile
import time
import warnings
from collections.abc import Iterable, Sequence
from typing import Any, NoReturn

from corvane import Corvane

from . import _partitions
from ._convert import collector_paused
from ._durable import LOCK_WAIT, CorruptFileError, ShardFiles, Snapshot, decode, encode, shard_folder
from ._errors import Failure, ShardUnavailableError

# Calls a shard takes from a handle; anything else is refused.
READS = frozenset({
    "__contains__", "__getitem__", "__len__", "count", "count_any", "find", "find_any",
    "get", "has_tag", "items", "keys", "tags", "to_dict", "values",
})
EDITS = frozenset({
    "__delitem__", "__setitem__", "add_tag", "add_tags", "clear", "discard", "discard_tag",
    "erase", "erase_where", "pop", "popitem", "remove_tag", "retain_where",
    "retain_where_any", "setdefault", "update",
})
# Calls that an asyncio handle's batch may hold.
BATCHED = frozenset({"edit", "info", "read", "read_many"})
FOLD_FLOOR = 1 << 20  # bytes of log a shard keeps before it folds, however small its snapshot
CHUNK = 50_000  # entries a snapshot frame holds
IDLE_CLIENT = 3_600.0  # seconds a handle may be silent, while its shard runs, before the shard forgets it
PRUNE_FLOOR = 1_024  # handles a shard keeps before it first looks for idle ones between folds
EXPIRED = "an edit that reached its shard after its caller stopped waiting for it was not applied"
_ERRORS: dict[str, type[Exception]] = {error.__name__: error for error in (
    KeyError, ValueError, TypeError, RuntimeError, UnicodeDecodeError, OSError, AttributeError)}


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


class Shard:
    """The actor. `spec` names the store, this shard's place in it, where its
    folder is, and whether it is made or reopened."""

    def __init__(self, spec: dict[str, Any]) -> None:
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
        if _restarted():
            try:
                self._open(wait=LOCK_WAIT)  # any other error leaves the actor dead, with the reason
            except FileNotFoundError as missing:  # made by start() if it died before it made it
                self.missing = missing

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
            self.store = build(snapshot.columns())
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

    def identity(self) -> tuple[str, int, int]:
        """Which store this shard belongs to, and its place in it."""
        return self.spec["store"], self.index, self.shards

    def info(self) -> dict[str, Any]:
        """Which process and node hold this shard, and what its folder holds, for operators."""
        files = self.files
        return {"index": self.index, "shards": self.shards, "pid": os.getpid(),
                "node": _node(), "keys": len(self.store),
                "ready": self.ready and files is not None, "folder": files.folder if files else None,
                "durability": self.spec["durability"], "root": self.spec["root"], "store": self.spec["store"],
                "name": self.spec["name"], "snapshot_bytes": files.snapshot_bytes if files else 0,
                "log_bytes": files.log_bytes if files else 0, "logged_edits": files.log_records if files else 0,
                "clients": len(self.ledgers), "rss": _resident_bytes(),
                "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}

    def batch(self, calls: Sequence[tuple[str, tuple[Any, ...], tuple[Any, ...]]]) -> list[Any]:
        """Several calls of one asyncio handle in one round trip, in order: each
        (method, edit stamp or (), arguments), each answered as if sent alone."""
        answers: list[Any] = []
        for method, stamp, args in calls:
            if method not in BATCHED:
                answers.append(Failure(AttributeError(f"a shard takes no batched call {method!r}")))
            else:
                answers.append(getattr(self, method)(*stamp, *args))
        return answers

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
            _come_back_from_the_files()
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
            _come_back_from_the_files()
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

    def load(self, client: bytes, seq: int, floor: int, refs: Sequence[Any]) -> Any:
        """Replaces the store with the entries of encoded [keys, tag lists]
        chunks in Ray's object store, applied in order, and makes them the
        new snapshot: the chunks are written as they came."""
        files, ledger, known = self._admit(client, seq, floor)
        if files is None or ledger is None:
            return known
        chunks = fetch(refs)
        for chunk in chunks:
            if isinstance(chunk, Failure):  # the partition it came from did not read
                return chunk
        try:
            store = build(decode(chunk) for chunk in chunks)
            ledger.replies[seq] = None
            files.fold({**self._meta(), "ready": True}, chunks)
        except Exception as error:
            ledger.replies.pop(seq, None)
            return Failure(error)
        self.store, self.ready = store, True
        self.fold_at = max(FOLD_FLOOR, files.snapshot_bytes)
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
            files.fold(self._meta(), (encode((keys[i:i + CHUNK], values[i:i + CHUNK]))
                                      for i in range(0, len(keys), CHUNK)))
        except Exception as error:  # text that is not UTF-8, or a full disk: the log goes on
            self.fold_at = 2 * files.log_bytes
            return Failure(error)
        self.fold_at = max(FOLD_FLOOR, files.snapshot_bytes)
        return None

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


def build(columns: Iterable[Sequence[list[Any]]]) -> Corvane:
    """A store of [keys, tag lists] columns applied in order."""
    pairs: Iterable[tuple[Any, list[Any]]] = itertools.chain.from_iterable(
        zip(keys, values) for keys, values in columns)
    with collector_paused():
        return Corvane(pairs)


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


def _resident_bytes() -> int:
    try:
        with open("/proc/self/statm", "rb") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):  # not Linux
        return 0


def _node() -> str | None:
    context = _actor_context()
    return None if context is None else context.get_node_id()


def _come_back_from_the_files() -> NoReturn:
    """An edit ran out of memory part-way, after it was logged: the process
    ends, and Ray restarts the shard from its folder, where the log decides."""
    os._exit(70)


def _pack(reply: Any) -> list[Any]:
    """A recorded reply as plain data, for the snapshot."""
    if reply is None:
        return ["none"]
    if isinstance(reply, Failure):
        return ["error", type(reply.error).__name__, list(reply.error.args)]
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
        error = _ERRORS.get(packed[1], RuntimeError)
        try:
            return Failure(error(*packed[2]))
        except TypeError:
            return Failure(RuntimeError(*packed[2]))
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

"""ShardedCorvane: a handle to a store split over Ray actors."""

from __future__ import annotations

import atexit
import contextlib
import math
import os
import time
import weakref
from collections.abc import Iterable, Iterator, Mapping, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, TypeVar, overload

from . import _cluster, _durable, _partitions
from ._client import Line
from ._convert import routed_chunks
from ._errors import ShardUnavailableError, StoreNotFoundError, StoreReplacedError
from ._handle import ABSENT, Handle, Op, R, Text, remove_files
from ._shard import Shard
from ._wire import IDENTITY, INFO, LOAD, RETIRE, START, TABLE, Call

if TYPE_CHECKING:
    from ._asyncio import AsyncShardedCorvane

_Default = TypeVar("_Default")

DEFAULT_TIMEOUT = 300.0
MAX_DEFAULT_SHARDS = 4  # each shard is a worker process of about 130 MiB even when idle
NAMESPACE = "corvane"  # the Ray namespace of named stores' shards
CHUNK = 50_000  # entries a driver-fed shard receives in one object
READY_POLL = 0.1  # seconds between looks at a store that is still being made
READY_WAIT = 10.0  # seconds destroy_named() waits for a shard to say where its files are
READY = "ready"
OWN_OPTIONS = frozenset({"name", "namespace", "lifetime", "max_restarts", "max_task_retries", "get_if_exists"})
SPLIT_OPTIONS = ("runtime_env",)  # actor options that a load's split tasks take as well
_shard_class: Any = None
_split_task: Any = None
_unnamed_stores: weakref.WeakSet[ShardedCorvane] = weakref.WeakSet()  # made here, to close at exit
_closing_at_exit = False

# Where a load's entries come from: each item is the arguments of one split
# task (a partition's path, or a dataset block with its columns' names).
Sources = Iterable[tuple[Any, ...]]


class ShardedCorvane(Handle):
    """A Corvane split over Ray actors: each key lives on one shard, chosen by
    the CRC-32 of its UTF-8 bytes; queries go to every shard and merge, point
    calls to the key's shard only. Answers equal one Corvane's; lists come
    shard by shard, each in its shard's order.

    Each shard keeps its entries durable in a folder of its own (under
    `path`, or a temporary folder on its node), writes every edit to its log
    before it replies, and is restarted by Ray from that folder when its
    process dies. Edits are numbered per handle and applied once, also when
    they are sent again. A `name` makes the store outlive this process:
    `ShardedCorvane.open(name)` reaches it from any process of the cluster,
    and a handle pickles, to be passed to tasks, actors and deployments.
    """

    def __init__(
        self,
        data: object = None,
        *,
        shards: int | None = None,
        name: str | None = None,
        path: str | os.PathLike[str] | None = None,
        durability: str = "os",
        timeout: float | None = DEFAULT_TIMEOUT,
        actor_options: Mapping[str, Any] | None = None,
        init_options: Mapping[str, Any] | None = None,
        direct: bool = True,
    ) -> None:
        self._make(data, None, shards=shards, name=name, path=path, durability=durability, timeout=timeout,
                   actor_options=actor_options, init_options=init_options, direct=direct)

    @classmethod
    def from_partitions(
        cls,
        paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
        *,
        shards: int | None = None,
        name: str | None = None,
        path: str | os.PathLike[str] | None = None,
        durability: str = "os",
        timeout: float | None = DEFAULT_TIMEOUT,
        actor_options: Mapping[str, Any] | None = None,
        init_options: Mapping[str, Any] | None = None,
        direct: bool = True,
    ) -> ShardedCorvane:
        """A store of the entries in partition files: JSON lines of
        {"key": ..., "tags": [...]} objects (*.jsonl), or Parquet files of a
        string column `key` and a list-of-strings column `tags` (*.parquet).
        A folder stands for the files its export manifest lists (see
        `export`) or, without one, for its *.jsonl and *.parquet files in
        name order.

        The shards read the files themselves, each file once, parsing in C
        (msgspec, pyarrow), and pass every entry to the shard it routes to; a
        later entry for a key replaces an earlier one, in the order of
        `paths`. The files must be readable at the same path from every node.
        A line or row that is not an entry fails the load, naming its file
        and its line or row (numbered from 1).
        """
        files = _partitions.partition_files(paths)
        store = cls.__new__(cls)
        store._make(None, [(path,) for path in files], shards=shards, name=name, path=path, durability=durability, timeout=timeout,
                    actor_options=actor_options, init_options=init_options, direct=direct)
        return store

    @classmethod
    def from_dataset(
        cls,
        dataset: Any,
        *,
        key: str = "key",
        tags: str = "tags",
        shards: int | None = None,
        name: str | None = None,
        path: str | os.PathLike[str] | None = None,
        durability: str = "os",
        timeout: float | None = DEFAULT_TIMEOUT,
        actor_options: Mapping[str, Any] | None = None,
        init_options: Mapping[str, Any] | None = None,
        direct: bool = True,
    ) -> ShardedCorvane:
        """A store of the rows of a `ray.data.Dataset`, from its string column
        `key` and its list-of-strings column `tags` (other columns are
        ignored). The dataset runs as it streams its blocks, and each block
        goes from where it was made to a shard, which routes its entries by
        key: the rows never pass through this process. A later row for a key
        replaces an earlier one, in the dataset's order. A block whose
        columns are not such fails the load, naming the block (numbered from
        0) and the row in it (from 1).
        """
        if not callable(getattr(dataset, "iter_internal_ref_bundles", None)):
            raise TypeError(f"from_dataset() takes a ray.data.Dataset, not {type(dataset).__name__}")
        for role, column in (("key", key), ("tags", tags)):
            if type(column) is not str:
                raise TypeError(f"{role} must be a column name (str), not {column!r}")
        store = cls.__new__(cls)
        store._make(None, _DatasetBlocks(dataset, key, tags), shards=shards, name=name, path=path,
                    durability=durability, timeout=timeout, actor_options=actor_options, init_options=init_options, direct=direct)
        return store

    @classmethod
    def open(cls, name: str, *, timeout: float | None = DEFAULT_TIMEOUT, direct: bool = True) -> ShardedCorvane:
        """A new handle to the named store running on the cluster this process
        is connected to (or that RAY_ADDRESS names); StoreNotFoundError when
        there is none."""
        _check_name(name)
        seconds = _check_timeout(timeout)
        started = _cluster.attach()
        try:
            ray = _cluster.ray_module()
            try:
                first = ray.get_actor(f"{name}/0", namespace=NAMESPACE)
            except ValueError:
                raise StoreNotFoundError(name) from None
            store_id, _, count = Line([first], seconds, direct=False).run({0: Call(IDENTITY)})[0]
            handles = [first]
            for index in range(1, count):
                try:
                    handles.append(ray.get_actor(f"{name}/{index}", namespace=NAMESPACE))
                except ValueError:
                    raise ShardUnavailableError(index, count, "is gone: the store was destroyed") from None
            line = Line(handles, seconds, direct=direct)
            _check_identity(line, name, store_id)
            store = cls.__new__(cls)
            store._adopt(line, name=name, owner=False, started_ray=started, store_id=store_id)
        except BaseException:
            if started:
                _cluster.leave()
            raise
        store._wait_until_ready()
        return store

    # Making a store

    def _make(self, data: object, sources: Sources | None, *, shards: int | None, name: str | None,
              path: str | os.PathLike[str] | None, durability: str, timeout: float | None,
              actor_options: Mapping[str, Any] | None, init_options: Mapping[str, Any] | None,
              direct: bool) -> None:
        self._line: Line | None = None
        self._started_ray = False
        if shards is not None and (type(shards) is not int or shards < 1):
            raise ValueError(f"shards must be a positive int, not {shards!r}")
        if name is not None:
            _check_name(name)
        if durability not in _durable.DURABILITIES:
            raise ValueError(f"durability must be 'os' or 'fsync', not {durability!r}")
        seconds = _check_timeout(timeout)
        options = _actor_options(actor_options)
        root = os.path.abspath(os.fspath(path)) if path is not None else None
        loading = data is not None or sources is not None
        started = _cluster.join(dict(init_options or {}))
        handles: list[Any] = []
        made_root = False
        reopen = False
        try:
            count, reopen, made_root, store_id = _claim(root, shards, loading)
            handles = _start_shards(count, name, root, durability, reopen, options, store_id)
            line = Line(handles, seconds, direct=direct)
            line.run({i: Call(START, args=(not loading,)) for i in range(count)})
            if data is not None:
                _load_data(line, data)
            elif sources is not None:
                _load_sources(line, sources, options)
        except BaseException as error:
            _stop_shards(handles, delete=not reopen, seconds=seconds)
            if made_root and root is not None:
                _durable.remove_root(root)
            if started:
                _cluster.leave()
            if isinstance(error, ray_exceptions().ActorAlreadyExistsError):
                raise ValueError(f"a store named {name!r} runs on this Ray cluster already (if it never became "
                                 f"ready, because the process that made it stopped first, "
                                 f"ShardedCorvane.destroy_named({name!r}) frees the name)") from None
            raise
        self._adopt(line, name=name, owner=True, started_ray=started, root=root, store_id=store_id)
        if name is None:
            _close_at_exit(self)

    def _wait_until_ready(self) -> None:
        """Waits for every shard to hold its load; a store that is not ready in
        time says what each of its shards is doing."""
        line = self._open_line()
        deadline = None if line.timeout is None else time.monotonic() + line.timeout
        waiting = list(range(line.count))
        while True:
            states = _readiness(line, waiting, deadline)
            waiting = [index for index in waiting if states[index] != READY]
            if not waiting:
                return
            if deadline is not None and time.monotonic() >= deadline:
                described = "; ".join(f"shard {index} {states[index]}" for index in waiting)
                raise line.unavailable(waiting[0], (
                    f"was not ready within {line.timeout:g} s: {described}. A store is ready once the process "
                    f"that made it has loaded it; if that process stopped first, "
                    f"ShardedCorvane.destroy_named({self._name!r}) frees the name"))
            time.sleep(READY_POLL)

    # Handles: closing, destroying, pickling

    def close(self) -> None:
        """Ends this handle. An unnamed store made by this handle stops with it,
        and its temporary files go; a named store runs on for other handles,
        and files under a `path` stay, to be reopened. If this handle started
        Ray, the last handle of this process to close stops it."""
        line = self._line
        if line is None or line.closed:
            return
        line.close()
        if self._owner and self._name is None:
            _stop_shards(line.handles, delete=self._root is None, seconds=line.timeout)
        else:
            line.forget()
        self._release(line)

    @classmethod
    def destroy_named(cls, name: str, *, timeout: float | None = DEFAULT_TIMEOUT) -> None:
        """Stops the named store's shards for every handle and deletes its
        files, whatever state it is in: also a store whose maker stopped
        before it was ready, which can be neither opened nor made again.
        StoreNotFoundError when no store of that name runs."""
        _check_name(name)
        seconds = _check_timeout(timeout)
        started = _cluster.attach()
        try:
            handles = _named_shards(name)
            if not handles:
                raise StoreNotFoundError(name)
            try:
                place = Line(handles[:1], min(seconds or READY_WAIT, READY_WAIT), direct=False).run({0: Call(INFO)})[0]
            except Exception:  # busy or gone: its files cannot be found from here
                place = {"root": None, "shards": len(handles)}
            _stop_shards(handles, delete=True, seconds=seconds)
            remove_files(place["root"], place["shards"])
        finally:
            if started:
                _cluster.leave()

    def destroy(self) -> None:
        """Stops the store's shards for every handle and deletes its files."""
        root = self._run(self._root_of_store())
        line = self._open_line()
        line.close()
        _stop_shards(line.handles, delete=True, seconds=line.timeout)
        remove_files(root, line.count)  # what a shard that could not be reached left
        self._release(line)

    def _release(self, line: Line) -> None:
        if self._started_ray:
            line.wait_idle(line.timeout)  # no call may reach Ray after it stops
            self._started_ray = False
            _cluster.leave()

    def __enter__(self) -> ShardedCorvane:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        """A named store travels as its name; an unnamed one as its shards' handles."""
        return _reopen, self._reduce_args()

    def describe(self) -> list[dict[str, Any]]:
        """For each shard: its process id and node, key count, folder, the sizes of
        its snapshot and log, how many edits the log holds, how many handles'
        replies it keeps, and its resident memory now and at its peak."""
        return self._run(self._describe())

    def checkpoint(self, directory: str | os.PathLike[str] | None = None) -> None:
        """Folds every shard's log into a new snapshot now (they also fold on
        their own once a log outgrows its snapshot). With a directory, does
        what `export(directory)` does, as this method did before `export`.

        A shard holding text that is not UTF-8 cannot fold: UnicodeDecodeError,
        and its log goes on.
        """
        self._run(self._checkpoint(directory))

    def export(self, directory: str | os.PathLike[str], *, format: str = "jsonl") -> None:
        """Writes every entry to `directory`, one file per shard, JSON lines
        (`format="jsonl"`) or Parquet (`format="parquet"`), for
        `from_partitions` (with any shard count) or any other reader.

        The export is whole or absent: the files are written under names of
        their own, and a manifest listing them (`corvane-export.json`) is
        renamed into place last; the files of an older export there are then
        removed. The entries never pass through the driver, and the folder
        must be reachable at the same path from every node.
        """
        self._run(self._export(directory, format))

    def to_dataset(self) -> Any:
        """The entries as a `ray.data.Dataset` of a string column "key" and a
        list-of-strings column "tags" (sorted), one block per shard, made by
        the shards now: write it to any sink Ray Data writes to."""
        line = self._open_line()
        ray = _cluster.ray_module()
        tables = [handle.call.remote(Call(TABLE)) for handle in line.handles]
        ready, _ = ray.wait(tables, num_returns=len(tables), timeout=line.timeout, fetch_local=False)
        if len(ready) < len(tables):
            index = next(i for i, table in enumerate(tables) if table not in ready)
            raise line.unavailable(index, f"did not answer within {line.timeout:g} s")
        return ray.data.from_arrow_refs(tables)

    def asyncio(self) -> AsyncShardedCorvane:
        """An asyncio handle to the same shards (see AsyncShardedCorvane), to
        be closed on its own; this handle stays open."""
        from ._asyncio import AsyncShardedCorvane

        line = self._open_line()
        return AsyncShardedCorvane._share(line.handles, name=self._name, timeout=line.timeout, root=self._root,
                                          store_id=self._store_id, direct=line.direct)

    def _run(self, op: Op[R]) -> R:
        """Runs an operation's steps, each with every shard it names at once."""
        line = self._open_line()
        try:
            plan, edit = next(op)
            while True:
                try:
                    answers = line.run(plan, edit=edit)
                except BaseException as error:
                    plan, edit = op.throw(error)
                else:
                    plan, edit = op.send(answers)
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]

    # Queries

    def find(self, tags: Iterable[Text]) -> set[str]:
        """A new set of the keys that carry every tag; every key when `tags` is empty."""
        return self._run(self._find(tags))

    def find_any(self, tags: Iterable[Text]) -> set[str]:
        """A new set of the keys that carry at least one tag; every key when `tags` is empty."""
        return self._run(self._find_any(tags))

    def query(self, *args: Text) -> set[str]:
        """find() with the tags as arguments."""
        return self._run(self._query(args))

    def query_any(self, *args: Text) -> set[str]:
        """find_any() with the tags as arguments."""
        return self._run(self._query_any(args))

    def count(self, tags: Iterable[Text]) -> int:
        """How many keys carry every tag; all of them when `tags` is empty."""
        return self._run(self._count(tags))

    def count_any(self, tags: Iterable[Text]) -> int:
        """How many keys carry at least one tag; all of them when `tags` is empty."""
        return self._run(self._count_any(tags))

    def count_many(self, queries: Iterable[Iterable[Text]]) -> list[int]:
        """count() of each tag list, in order, in one round trip to each shard."""
        return self._run(self._count_many(queries))

    def count_any_many(self, queries: Iterable[Iterable[Text]]) -> list[int]:
        """count_any() of each tag list, in order, in one round trip to each shard."""
        return self._run(self._count_any_many(queries))

    def find_many(self, queries: Iterable[Iterable[Text]]) -> list[set[str]]:
        """find() of each tag list, in order, in one round trip to each shard."""
        return self._run(self._find_many(queries))

    def find_any_many(self, queries: Iterable[Iterable[Text]]) -> list[set[str]]:
        """find_any() of each tag list, in order, in one round trip to each shard."""
        return self._run(self._find_any_many(queries))

    def has_tag(self, key: Text, tag: Text) -> bool:
        """Whether the key carries the tag; False for an absent key."""
        return self._run(self._has_tag(key, tag))

    def tags(self) -> list[str]:
        """A new list of every tag in use, shard by shard, each tag once."""
        return self._run(self._tags_in_use())

    def __len__(self) -> int:
        return self._run(self._len())

    def __bool__(self) -> bool:
        return len(self) > 0

    def __contains__(self, key: Text) -> bool:
        return self._run(self._contains(key))

    def __getitem__(self, key: Text) -> set[str]:
        return self._run(self._getitem(key))

    @overload
    def get(self, key: Text) -> set[str] | None: ...
    @overload
    def get(self, key: Text, default: _Default) -> set[str] | _Default: ...
    def get(self, key: Text, default: object = ABSENT) -> object:
        """A new set of the key's tags, or `default` itself when the key is absent."""
        return self._run(self._get(key, default))

    def keys(self) -> list[str]:
        """A new list of the keys, shard by shard."""
        return self._run(self._keys())

    def __iter__(self) -> Iterator[str]:
        """An iterator over a snapshot of the keys."""
        return iter(self.keys())

    def values(self) -> list[set[str]]:
        """A new list of new tag sets, one per key, in the order of keys()."""
        return self._run(self._values())

    def items(self) -> list[tuple[str, set[str]]]:
        """A new list of (key, tag set) tuples, in the order of keys()."""
        return self._run(self._items())

    def to_dict(self) -> dict[str, set[str]]:
        """A new dict of each key to a new set of its tags."""
        return self._run(self._to_dict())

    # Edits

    def add_tag(self, key: Text, tag: Text) -> None:
        """Adds a tag, creating the key if absent."""
        self._run(self._add_tag(key, tag))

    def add_tags(self, key: Text, tags: Iterable[Text]) -> None:
        """Adds the tags; creates the key unless `tags` is empty."""
        self._run(self._add_tags(key, tags))

    def remove_tag(self, key: Text, tag: Text) -> None:
        """Removes a tag (the key goes with its last one); KeyError when the key or the tag is absent."""
        self._run(self._remove_tag(key, tag))

    def discard_tag(self, key: Text, tag: Text) -> None:
        """Removes a tag if the key carries it (the key goes with its last one)."""
        self._run(self._discard_tag(key, tag))

    def __setitem__(self, key: Text, tags: Iterable[Text]) -> None:
        self._run(self._setitem(key, tags))

    def __delitem__(self, key: Text) -> None:
        self._run(self._delitem(key))

    def erase(self, key: Text) -> set[str]:
        """Removes the key and returns its tags; KeyError when it is absent."""
        return self._run(self._erase(key))

    def discard(self, key: Text) -> bool:
        """Removes the key if present; returns whether it was."""
        return self._run(self._discard(key))

    @overload
    def pop(self, key: Text) -> set[str] | None: ...
    @overload
    def pop(self, key: Text, default: _Default) -> set[str] | _Default: ...
    def pop(self, key: Text, default: object = ABSENT) -> object:
        """Removes the key and returns its tags, or returns `default` when it is absent."""
        return self._run(self._pop(key, default))

    def popitem(self) -> tuple[str, set[str]]:
        """Removes and returns the first (key, tags) pair in iteration order; KeyError when empty."""
        return self._run(self._popitem())

    def setdefault(self, key: Text, default: Iterable[Text]) -> set[str]:
        """The key's tags; when it is absent, first stores `default` (an empty one stores nothing).

        `default` is read on the driver before the key's shard is asked, so a
        one-shot iterable is used up even when the key is present.
        """
        return self._run(self._setdefault(key, default))

    def update(self, d: Mapping[Text, Iterable[Text]]) -> None:
        """Sets each key of the dict to its tags, in order (an empty value removes
        the key); entries before one that does not convert are applied."""
        self._run(self._update(d))

    def retain_where(self, tags: Iterable[Text]) -> list[str]:
        """Keeps only the keys that carry every tag and returns them; an empty `tags` keeps every key."""
        return self._run(self._retain_where(tags))

    def retain_where_any(self, tags: Iterable[Text]) -> list[str]:
        """Keeps only the keys that carry at least one tag and returns them; an empty `tags` keeps every key."""
        return self._run(self._retain_where_any(tags))

    def erase_where(self, tags: Iterable[Text]) -> list[str]:
        """Removes the keys that carry every tag and returns them; an empty `tags` removes nothing."""
        return self._run(self._erase_where(tags))

    def clear(self) -> None:
        """Removes every key and tag."""
        self._run(self._clear())

# Making, loading and stopping shards

def ray_exceptions() -> Any:
    return _cluster.ray_module().exceptions


def _check_name(name: object) -> None:
    if type(name) is not str or not name:
        raise ValueError(f"a store's name must be a non-empty str, not {name!r}")


def _check_timeout(timeout: object) -> float | None:
    """Seconds to wait for a shard; None (or infinity) waits without limit."""
    if timeout is None or timeout == math.inf:
        return None
    if type(timeout) not in (int, float) or not 0 < timeout < math.inf:  # type: ignore[operator]
        raise ValueError(f"timeout must be a positive number of seconds or None, not {timeout!r}")
    seconds = float(timeout)  # type: ignore[arg-type]
    return None if seconds > 1e9 else seconds  # beyond what Ray's clock takes: no limit


def _actor_options(given: Mapping[str, Any] | None) -> dict[str, Any]:
    clashing = sorted(OWN_OPTIONS.intersection(given or {}))
    if clashing:
        raise ValueError(f"actor_options may not set {', '.join(clashing)}: the store sets them")
    return {"num_cpus": 0, "scheduling_strategy": "SPREAD", **(given or {}),
            "max_restarts": -1, "max_task_retries": -1}


def _claim(root: str | None, shards: int | None, loading: bool) -> tuple[int, bool, bool, str]:
    """The shard count, whether the store is reopened from `root`, whether
    this call made the root's manifest, and the store's identity (made with
    the store, and kept in its manifest when it has files of its own)."""
    if root is None:
        return shards or _default_shards(), False, False, _durable.new_store_id()
    os.makedirs(os.path.dirname(root), exist_ok=True)
    _durable.make_private_folder(root)
    existing = _durable.read_manifest_whole(root)
    if existing is not None:
        count, store_id = existing
        if loading:
            raise ValueError(f"{root} holds a store already: reopen it with no data, or choose another path")
        if shards is not None and shards != count:
            raise ValueError(f"{root} holds a store of {count} shards, not {shards}")
        if store_id is None:  # made by an older version
            store_id = _durable.new_store_id()
            _durable.write_manifest(root, count, store_id)
        return count, True, False, store_id
    count, store_id = shards or _default_shards(), _durable.new_store_id()
    _durable.write_manifest(root, count, store_id)
    return count, False, True, store_id


def _default_shards() -> int:
    cpus = int(_cluster.ray_module().cluster_resources().get("CPU", 1))
    return max(1, min(MAX_DEFAULT_SHARDS, cpus))


def _start_shards(count: int, name: str | None, root: str | None, durability: str, reopen: bool,
                  options: dict[str, Any], store_id: str) -> list[Any]:
    global _shard_class
    ray = _cluster.ray_module()
    if _shard_class is None:
        _shard_class = ray.remote(Shard)
    handles: list[Any] = []
    try:
        for index in range(count):
            spec = {"store": store_id, "name": name, "root": root, "index": index, "shards": count,
                    "durability": durability, "reopen": reopen}
            named = {} if name is None else {"name": f"{name}/{index}", "namespace": NAMESPACE,
                                             "lifetime": "detached"}
            handles.append(_shard_class.options(**options, **named).remote(spec))
    except BaseException:
        _stop_shards(handles, delete=not reopen, seconds=10.0)
        raise
    return handles


def _stop_shards(handles: Sequence[Any], *, delete: bool, seconds: float | None) -> None:
    """Lets each shard close (and delete) its folder, then stops its actor for good."""
    ray = _cluster.ray_module()
    refs = []
    for handle in handles:
        with contextlib.suppress(Exception):
            refs.append(handle.call.remote(Call(RETIRE, args=(delete,))))
    with contextlib.suppress(Exception):
        ray.wait(refs, num_returns=len(refs), timeout=min(seconds or 30.0, 30.0))
    for handle in handles:
        with contextlib.suppress(Exception):
            ray.kill(handle, no_restart=True)


def _load_data(line: Line, data: object) -> None:
    """Routes the data's pairs and puts them in Ray's object store in encoded
    chunks; each shard builds from its own, in order."""
    ray = _cluster.ray_module()
    refs: list[list[Any]] = [[] for _ in range(line.count)]
    for index, chunk in routed_chunks(data, line.count, CHUNK):
        refs[index].append(ray.put(chunk))
    line.run({i: Call(LOAD, args=tuple(refs[i])) for i in range(line.count)}, edit=True)


def _load_sources(line: Line, sources: Sources, options: Mapping[str, Any]) -> None:
    """Each source is split by a Ray task into a chunk for every shard; each
    shard then builds from its chunks, in source order. Splits start as the
    sources come, so a dataset's blocks are split while it runs. A split is
    a task, not a shard's call, so that a shard that died in its load finds
    its chunks again (or Ray makes them again) without waiting on a shard."""
    global _split_task
    count = line.count
    if _split_task is None:
        _split_task = _cluster.ray_module().remote(_partitions.split)
    splitter = _split_task.options(num_returns=count, max_retries=-1,
                                   **{name: options[name] for name in SPLIT_OPTIONS if name in options})
    splits: list[list[Any]] = []
    for args in sources:
        split = splitter.remote(count, *args)
        splits.append(split if count > 1 else [split])
    line.run({i: Call(LOAD, args=tuple(split[i] for split in splits)) for i in range(count)}, edit=True)


def _close_at_exit(store: ShardedCorvane) -> None:
    """An unnamed store ends with the process that made it: when that process
    exits without closing it, it is closed then, so that its temporary files
    go too (a process killed outright leaves them, see the README)."""
    global _closing_at_exit
    if not _closing_at_exit:
        atexit.register(_close_unnamed_stores)  # after Ray's own, so it runs before Ray stops
        _closing_at_exit = True
    _unnamed_stores.add(store)


def _close_unnamed_stores() -> None:
    for store in list(_unnamed_stores):
        with contextlib.suppress(Exception):
            store.close()


def _named_shards(name: str) -> list[Any]:
    """The actors of the shards named after a store, in order, up to the first missing one."""
    ray = _cluster.ray_module()
    handles: list[Any] = []
    while True:
        try:
            handles.append(ray.get_actor(f"{name}/{len(handles)}", namespace=NAMESPACE))
        except ValueError:
            return handles


def _readiness(line: Line, indices: Sequence[int], deadline: float | None) -> dict[int, str]:
    """What each of these shards is doing: ready, or why not."""
    ray = _cluster.ray_module()
    asked = {index: line.handles[index].call.remote(Call(INFO)) for index in indices}
    wait = None if deadline is None else max(0.0, deadline - time.monotonic())
    done, _ = ray.wait(list(asked.values()), num_returns=len(asked), timeout=wait)
    states: dict[int, str] = {}
    for index, ref in asked.items():
        if ref not in done:
            states[index] = "is busy (loading, or restarting)"
            continue
        try:
            info = ray.get(ref)
        except ray.exceptions.ActorUnavailableError:
            states[index] = "is restarting"
            continue
        except ray.exceptions.RayError as error:
            raise line.lost(index, error) from None
        states[index] = READY if info["ready"] else "is made, waiting for its load" if info["folder"] else \
            "is not started"
    return states


def _check_identity(line: Line, name: str, store_id: str) -> None:
    """Whether every shard of the line is a shard of store `store_id`, in its place."""
    count = line.count
    places = line.run({i: Call(IDENTITY) for i in range(count)})
    if any(places[i] != (store_id, i, count) for i in range(count)):
        raise StoreReplacedError(name)


class _DatasetBlocks:
    """A dataset's blocks as split() arguments, as its execution streams them;
    a block that only part of belongs to the dataset comes with its rows' span."""

    def __init__(self, dataset: Any, key: str, tags: str) -> None:
        self.dataset, self.key, self.tags = dataset, key, tags

    def __iter__(self) -> Iterator[tuple[Any, ...]]:
        number = 0
        for bundle in _in_order(self.dataset).iter_internal_ref_bundles():
            for entry, part in zip(bundle.blocks, bundle.slices):
                span = None if part is None else (part.start_offset, part.end_offset)
                yield entry.ref, self.key, self.tags, f"dataset block {number}", span
                number += 1


def _in_order(dataset: Any) -> Any:
    """The dataset streaming its blocks in its own order, so that a later row
    for a key comes later, as they finish otherwise; a copy, with a context
    of its own, so that the caller's dataset is left as it was."""
    ordered = type(dataset).copy(dataset, _deep_copy=True)
    ordered.context.execution_options.preserve_order = True
    return ordered


def _reopen(name: str | None, handles: list[Any] | None, count: int, timeout: float | None,
            root: str | None, store_id: str | None = None, direct: bool = True) -> ShardedCorvane:
    """A pickled handle, unpickled: a new handle to the same shards (for a
    named store, to the store of that name it was made for, and no other)."""
    started = _cluster.attach()
    try:
        if handles is None:
            assert name is not None
            ray = _cluster.ray_module()
            try:
                handles = [ray.get_actor(f"{name}/{i}", namespace=NAMESPACE) for i in range(count)]
            except ValueError:
                raise StoreNotFoundError(name) from None
            line = Line(handles, timeout, direct=direct)
            if store_id is not None:
                _check_identity(line, name, store_id)
        else:
            line = Line(handles, timeout, direct=direct)
        store = ShardedCorvane.__new__(ShardedCorvane)
        store._adopt(line, name=name, owner=False, started_ray=started, root=root, store_id=store_id)
    except BaseException:
        if started:
            _cluster.leave()
        raise
    return store

"""ShardedCorvane: a handle to a store split over Ray actors."""

from __future__ import annotations

import os
import sys
from asyncio import events as asyncio_events
from collections.abc import Iterable, Iterator, Mapping
from types import TracebackType
from typing import Any, TypeVar, overload

from . import _lifecycle, _partitions
from ._asyncio import AsyncShardedCorvane
from ._handle import ABSENT, Handle, Op, R, Text
from ._lifecycle import DEFAULT_TIMEOUT, DatasetBlocks, Sources

_Default = TypeVar("_Default")

__all__ = ["DEFAULT_TIMEOUT", "ShardedCorvane"]


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
        progress: bool | None = None,
    ) -> ShardedCorvane:
        """A store of the entries in partition files: JSON lines of
        {"key": ..., "tags": [...]} objects (*.jsonl), or Parquet files of a
        string column `key` and a list-of-strings column `tags` (*.parquet).
        A folder stands for the files its export manifest lists (see
        `export`) or, without one, for its *.jsonl and *.parquet files in
        name order.

        A Ray task per file reads it, once, parsing in C (msgspec, pyarrow),
        and passes every entry to the shard it routes to; a later entry for a
        key replaces an earlier one, in the order of `paths`. The files must
        be readable at the same path from every node. A line or row that is
        not an entry fails the load, naming its file and its line or row
        (numbered from 1). A load that runs for more than 2 s shows the files
        read as they come, in a terminal or a notebook (`progress=False`:
        never; `True`: also when nobody watches).
        """
        files = _partitions.partition_files(paths)
        store = cls.__new__(cls)
        store._make(None, [(path,) for path in files], shards=shards, name=name, path=path, durability=durability,
                    timeout=timeout, actor_options=actor_options, init_options=init_options, direct=direct,
                    progress=progress, what="reading partitions")
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
        progress: bool | None = None,
    ) -> ShardedCorvane:
        """A store of the rows of a `ray.data.Dataset`, from its string column
        `key` and its list-of-strings column `tags` (other columns are
        ignored). The dataset runs as it streams its blocks, and each block
        goes from where it was made to a shard, which routes its entries by
        key: the rows never pass through this process. A later row for a key
        replaces an earlier one, in the dataset's order. A block whose
        columns are not such fails the load, naming the block (numbered from
        0) and the row in it (from 1). A load that runs for more than 2 s
        shows the blocks taken as they come, as `from_partitions` does.
        """
        if not callable(getattr(dataset, "iter_internal_ref_bundles", None)):
            raise TypeError(f"from_dataset() takes a ray.data.Dataset, not {type(dataset).__name__}")
        for role, column in (("key", key), ("tags", tags)):
            if type(column) is not str:
                raise TypeError(f"{role} must be a column name (str), not {column!r}")
        store = cls.__new__(cls)
        store._make(None, DatasetBlocks(dataset, key, tags), shards=shards, name=name, path=path,
                    durability=durability, timeout=timeout, actor_options=actor_options, init_options=init_options,
                    direct=direct, progress=progress, what="taking dataset blocks")
        return store

    @classmethod
    def open(cls, name: str, *, timeout: float | None = DEFAULT_TIMEOUT, direct: bool = True) -> ShardedCorvane:
        """A new handle to the named store running on the cluster this process
        is connected to (or that RAY_ADDRESS names); StoreNotFoundError when
        there is none."""
        store = cls.__new__(cls)
        store._adopt(_lifecycle.open_named(name, timeout=timeout, direct=direct))
        return store

    def _make(self, data: object, sources: Sources | None, **options: Any) -> None:
        self._adopt(_lifecycle.make(data, sources, **options))
        if self._name is None:
            _lifecycle.close_at_exit(self)

    # Handles: closing, destroying, pickling

    def close(self) -> None:
        """Ends this handle. An unnamed store made by this handle stops with it,
        and its temporary files go (an asyncio handle never made one); a named
        store runs on for other handles, and files under a `path` stay, to be
        reopened. If this handle started Ray, the last handle of this process
        to close stops it."""
        calls = self._calls
        if calls is None or calls.closed:
            return
        calls.close()
        if self._owner and self._name is None:
            _lifecycle.stop_shards(calls.handles, delete=self._root is None, seconds=calls.timeout)
        else:
            calls.forget()
        self._let_go_of_ray(calls)

    @classmethod
    def destroy_named(cls, name: str, *, timeout: float | None = DEFAULT_TIMEOUT) -> None:
        """Stops the named store's shards for every handle and deletes its
        files, whatever state it is in: also a store whose maker stopped
        before it was ready, which can be neither opened nor made again.
        StoreNotFoundError when no store of that name runs."""
        _lifecycle.destroy_named(name, timeout=timeout)

    def destroy(self) -> None:
        """Stops the store's shards for every handle and deletes its files."""
        root = self._run(self._root_of_store())
        calls = self._open_calls()
        calls.close()
        _lifecycle.stop_shards(calls.handles, delete=True, seconds=calls.timeout)
        _lifecycle.remove_files(root, calls.count)  # what a shard that could not be reached left
        self._let_go_of_ray(calls)

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

    def export(self, directory: str | os.PathLike[str], *, format: str = "jsonl",
               progress: bool | None = None) -> None:
        """Writes every entry to `directory`, one file per shard, JSON lines
        (`format="jsonl"`) or Parquet (`format="parquet"`), for
        `from_partitions` (with any shard count) or any other reader.

        The export is whole or absent: the files are written under names of
        their own, and a manifest listing them (`corvane-export.json`) is
        renamed into place last; the files of an older export there are then
        removed. The entries never pass through the driver, and the folder
        must be reachable at the same path from every node. An export that
        runs for more than 2 s shows its shards written as they come, in a
        terminal or a notebook (`progress=False`: never; `True`: also when
        nobody watches).
        """
        self._run(self._export(directory, format, progress))

    def to_dataset(self) -> Any:
        """The entries as a `ray.data.Dataset` of a string column "key" and a
        list-of-strings column "tags" (sorted), one block per shard, made by
        the shards now: write it to any sink Ray Data writes to."""
        _refuse_in_a_running_loop()
        return _lifecycle.dataset_of(self._open_calls())

    def asyncio(self) -> AsyncShardedCorvane:
        """An asyncio handle to the same shards (see AsyncShardedCorvane), to
        be closed on its own; this handle stays open."""
        calls = self._open_calls()
        return AsyncShardedCorvane._share(calls.handles, name=self._name, timeout=calls.timeout, root=self._root,
                                          store_id=self._store_id, direct=calls.direct)

    def _run(self, op: Op[R]) -> R:
        """Runs an operation's steps, each with every shard it names at once."""
        _refuse_in_a_running_loop()
        calls = self._open_calls()
        try:
            plan, edit = next(op)
            while True:
                try:
                    answers = calls.run(plan, edit=edit)
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
        """How many keys the store holds (`len(store)`, or `await handle.len()`)."""
        return self._run(self._len())

    def __bool__(self) -> bool:
        return len(self) > 0

    def __contains__(self, key: Text) -> bool:
        """Whether the store holds the key (`key in store`, or `await handle.contains(key)`)."""
        return self._run(self._contains(key))

    def __getitem__(self, key: Text) -> set[str]:
        """A new set of the key's tags; KeyError when it is absent (`store[key]`, or `await handle.getitem(key)`)."""
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
        """Sets the key's tags; an empty `tags` removes the key (`store[key] = tags`, or
        `await handle.setitem(key, tags)`)."""
        self._run(self._setitem(key, tags))

    def __delitem__(self, key: Text) -> None:
        """Removes the key; KeyError when it is absent (`del store[key]`, or `await handle.delitem(key)`)."""
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

def _refuse_in_a_running_loop() -> None:
    """A blocking call would stall the event loop of the thread it is made in
    (and every coroutine waiting on it); a notebook's kernel runs each cell
    inside its loop, so there it may."""
    if asyncio_events._get_running_loop() is not None and "ipykernel" not in sys.modules:
        raise RuntimeError("a ShardedCorvane call blocks the running event loop: use store.asyncio() (an "
                           "AsyncShardedCorvane) in coroutines, or make the call in a thread of its own")


def _reopen(name: str | None, handles: list[Any] | None, count: int, timeout: float | None,
            root: str | None, store_id: str | None = None, direct: bool = True) -> ShardedCorvane:
    """A pickled handle, unpickled: a new handle to the same shards."""
    store = ShardedCorvane.__new__(ShardedCorvane)
    store._adopt(_lifecycle.reopen(name, handles, count, timeout, root, store_id, direct))
    return store

"""AsyncShardedCorvane: a handle to a sharded store for asyncio code."""

from __future__ import annotations

import asyncio
import os
from collections.abc import Iterable, Mapping
from types import TracebackType
from typing import Any, TypeVar, overload

from . import _lifecycle
from ._calls import AsyncShardCalls, ShardCalls
from ._handle import ABSENT, Handle, Op, R, Text
from ._lifecycle import DEFAULT_TIMEOUT, Adopted

_Default = TypeVar("_Default")


class AsyncShardedCorvane(Handle):
    """A handle to a ShardedCorvane's shards whose queries and edits are
    coroutines, with the names, arguments, results and errors of
    ShardedCorvane's. Get one with `store.asyncio()` or `await
    AsyncShardedCorvane.open(name)`; it pickles as a store does.

    Calls awaited at once are sent at once: those that reach one shard while
    the event loop runs other code travel in one batch, without waiting for
    the batches before them. Each shard still applies calls one at a time,
    and every edit is applied exactly once.
    """

    _async_calls: AsyncShardCalls

    def __init__(self) -> None:
        raise TypeError("use store.asyncio() or await AsyncShardedCorvane.open(name)")

    @classmethod
    def _from(cls, adopted: Adopted) -> AsyncShardedCorvane:
        handle = cls.__new__(cls)
        handle._adopt(adopted)
        handle._async_calls = AsyncShardCalls(adopted.calls)
        return handle

    @classmethod
    def _share(cls, handles: list[Any], *, name: str | None, timeout: float | None, root: str | None,
               store_id: str | None, direct: bool) -> AsyncShardedCorvane:
        """A new handle to a blocking handle's shards, with calls of its own."""
        return cls._from(Adopted(ShardCalls(handles, timeout, direct=direct), name, False, None, root, store_id))

    @classmethod
    async def open(cls, name: str, *, timeout: float | None = DEFAULT_TIMEOUT,
                   direct: bool = True) -> AsyncShardedCorvane:
        """A new handle to the named store running on the cluster this process
        is connected to (or that RAY_ADDRESS names); StoreNotFoundError when
        there is none."""
        return cls._from(await asyncio.to_thread(_lifecycle.open_named, name, timeout=timeout, direct=direct))

    @classmethod
    async def destroy_named(cls, name: str, *, timeout: float | None = DEFAULT_TIMEOUT) -> None:
        """Stops the named store's shards for every handle and deletes its
        files, whatever state it is in: also a store whose maker stopped
        before it was ready, which can be neither opened nor made again.
        StoreNotFoundError when no store of that name runs."""
        await asyncio.to_thread(_lifecycle.destroy_named, name, timeout=timeout)

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
        calls.forget()
        lease, self._lease = self._lease, None
        if lease is not None:  # without waiting for calls in flight: they may wait for this loop
            lease.release()

    async def destroy(self) -> None:
        """Stops the store's shards for every handle and deletes its files."""
        root = await self._run(self._root_of_store())
        calls = self._open_calls()
        calls.close()
        await asyncio.to_thread(_lifecycle.stop_shards, calls.handles, delete=True, seconds=calls.timeout)
        _lifecycle.remove_files(root, calls.count)
        self.close()

    async def __aenter__(self) -> AsyncShardedCorvane:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        trace: TracebackType | None) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        """A named store travels as its name; an unnamed one as its shards' handles."""
        return _reopen_async, self._reduce_args()

    def _run(self, op: Op[R]) -> asyncio.Future[R]:
        """Runs an operation's steps, each with every shard it names at once: a
        future, not a coroutine, so that a call in flight holds one object less."""
        self._open_calls()
        return self._async_calls.run(op)

    # Operators' view

    async def describe(self) -> list[dict[str, Any]]:
        """For each shard: its process id and node, key count, folder, the sizes of
        its snapshot and log, how many edits the log holds, how many handles'
        replies it keeps, and its resident memory now and at its peak."""
        return await self._run(self._describe())

    async def checkpoint(self, directory: str | os.PathLike[str] | None = None) -> None:
        """Folds every shard's log into a new snapshot now (they also fold on
        their own once a log outgrows its snapshot). With a directory, does
        what `export(directory)` does, as this method did before `export`.

        A shard holding text that is not UTF-8 cannot fold: UnicodeDecodeError,
        and its log goes on.
        """
        await self._run(self._checkpoint(directory))

    async def export(self, directory: str | os.PathLike[str], *, format: str = "jsonl",
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
        await self._run(self._export(directory, format, progress))

    async def to_dataset(self) -> Any:
        """The entries as a `ray.data.Dataset` of a string column "key" and a
        list-of-strings column "tags" (sorted), one block per shard, made by
        the shards now: write it to any sink Ray Data writes to."""
        return await asyncio.to_thread(_lifecycle.dataset_of, self._open_calls())

    # Queries

    async def find(self, tags: Iterable[Text]) -> set[str]:
        """A new set of the keys that carry every tag; every key when `tags` is empty."""
        return await self._run(self._find(tags))

    async def find_any(self, tags: Iterable[Text]) -> set[str]:
        """A new set of the keys that carry at least one tag; every key when `tags` is empty."""
        return await self._run(self._find_any(tags))

    async def query(self, *args: Text) -> set[str]:
        """find() with the tags as arguments."""
        return await self._run(self._query(args))

    async def query_any(self, *args: Text) -> set[str]:
        """find_any() with the tags as arguments."""
        return await self._run(self._query_any(args))

    async def count(self, tags: Iterable[Text]) -> int:
        """How many keys carry every tag; all of them when `tags` is empty."""
        return await self._run(self._count(tags))

    async def count_any(self, tags: Iterable[Text]) -> int:
        """How many keys carry at least one tag; all of them when `tags` is empty."""
        return await self._run(self._count_any(tags))

    async def count_many(self, queries: Iterable[Iterable[Text]]) -> list[int]:
        """count() of each tag list, in order, in one round trip to each shard."""
        return await self._run(self._count_many(queries))

    async def count_any_many(self, queries: Iterable[Iterable[Text]]) -> list[int]:
        """count_any() of each tag list, in order, in one round trip to each shard."""
        return await self._run(self._count_any_many(queries))

    async def find_many(self, queries: Iterable[Iterable[Text]]) -> list[set[str]]:
        """find() of each tag list, in order, in one round trip to each shard."""
        return await self._run(self._find_many(queries))

    async def find_any_many(self, queries: Iterable[Iterable[Text]]) -> list[set[str]]:
        """find_any() of each tag list, in order, in one round trip to each shard."""
        return await self._run(self._find_any_many(queries))

    async def has_tag(self, key: Text, tag: Text) -> bool:
        """Whether the key carries the tag; False for an absent key."""
        return await self._run(self._has_tag(key, tag))

    async def tags(self) -> list[str]:
        """A new list of every tag in use, shard by shard, each tag once."""
        return await self._run(self._tags_in_use())

    async def len(self) -> int:
        """How many keys the store holds (`len(store)`, or `await handle.len()`)."""
        return await self._run(self._len())

    async def contains(self, key: Text) -> bool:
        """Whether the store holds the key (`key in store`, or `await handle.contains(key)`)."""
        return await self._run(self._contains(key))

    async def getitem(self, key: Text) -> set[str]:
        """A new set of the key's tags; KeyError when it is absent (`store[key]`, or `await handle.getitem(key)`)."""
        return await self._run(self._getitem(key))

    @overload
    async def get(self, key: Text) -> set[str] | None: ...
    @overload
    async def get(self, key: Text, default: _Default) -> set[str] | _Default: ...
    async def get(self, key: Text, default: object = ABSENT) -> object:
        """A new set of the key's tags, or `default` itself when the key is absent."""
        return await self._run(self._get(key, default))

    async def keys(self) -> list[str]:
        """A new list of the keys, shard by shard."""
        return await self._run(self._keys())

    async def values(self) -> list[set[str]]:
        """A new list of new tag sets, one per key, in the order of keys()."""
        return await self._run(self._values())

    async def items(self) -> list[tuple[str, set[str]]]:
        """A new list of (key, tag set) tuples, in the order of keys()."""
        return await self._run(self._items())

    async def to_dict(self) -> dict[str, set[str]]:
        """A new dict of each key to a new set of its tags."""
        return await self._run(self._to_dict())

    # Edits

    async def add_tag(self, key: Text, tag: Text) -> None:
        """Adds a tag, creating the key if absent."""
        await self._run(self._add_tag(key, tag))

    async def add_tags(self, key: Text, tags: Iterable[Text]) -> None:
        """Adds the tags; creates the key unless `tags` is empty."""
        await self._run(self._add_tags(key, tags))

    async def remove_tag(self, key: Text, tag: Text) -> None:
        """Removes a tag (the key goes with its last one); KeyError when the key or the tag is absent."""
        await self._run(self._remove_tag(key, tag))

    async def discard_tag(self, key: Text, tag: Text) -> None:
        """Removes a tag if the key carries it (the key goes with its last one)."""
        await self._run(self._discard_tag(key, tag))

    async def setitem(self, key: Text, tags: Iterable[Text]) -> None:
        """Sets the key's tags; an empty `tags` removes the key (`store[key] = tags`, or
        `await handle.setitem(key, tags)`)."""
        await self._run(self._setitem(key, tags))

    async def delitem(self, key: Text) -> None:
        """Removes the key; KeyError when it is absent (`del store[key]`, or `await handle.delitem(key)`)."""
        await self._run(self._delitem(key))

    async def erase(self, key: Text) -> set[str]:
        """Removes the key and returns its tags; KeyError when it is absent."""
        return await self._run(self._erase(key))

    async def discard(self, key: Text) -> bool:
        """Removes the key if present; returns whether it was."""
        return await self._run(self._discard(key))

    @overload
    async def pop(self, key: Text) -> set[str] | None: ...
    @overload
    async def pop(self, key: Text, default: _Default) -> set[str] | _Default: ...
    async def pop(self, key: Text, default: object = ABSENT) -> object:
        """Removes the key and returns its tags, or returns `default` when it is absent."""
        return await self._run(self._pop(key, default))

    async def popitem(self) -> tuple[str, set[str]]:
        """Removes and returns the first (key, tags) pair in iteration order; KeyError when empty."""
        return await self._run(self._popitem())

    async def setdefault(self, key: Text, default: Iterable[Text]) -> set[str]:
        """The key's tags; when it is absent, first stores `default` (an empty one stores nothing).

        `default` is read on the driver before the key's shard is asked, so a
        one-shot iterable is used up even when the key is present.
        """
        return await self._run(self._setdefault(key, default))

    async def update(self, d: Mapping[Text, Iterable[Text]]) -> None:
        """Sets each key of the dict to its tags, in order (an empty value removes
        the key); entries before one that does not convert are applied."""
        await self._run(self._update(d))

    async def retain_where(self, tags: Iterable[Text]) -> list[str]:
        """Keeps only the keys that carry every tag and returns them; an empty `tags` keeps every key."""
        return await self._run(self._retain_where(tags))

    async def retain_where_any(self, tags: Iterable[Text]) -> list[str]:
        """Keeps only the keys that carry at least one tag and returns them; an empty `tags` keeps every key."""
        return await self._run(self._retain_where_any(tags))

    async def erase_where(self, tags: Iterable[Text]) -> list[str]:
        """Removes the keys that carry every tag and returns them; an empty `tags` removes nothing."""
        return await self._run(self._erase_where(tags))

    async def clear(self) -> None:
        """Removes every key and tag."""
        await self._run(self._clear())


def _reopen_async(name: str | None, handles: list[Any] | None, count: int, timeout: float | None,
                  root: str | None, store_id: str | None = None, direct: bool = True) -> AsyncShardedCorvane:
    """A pickled asyncio handle, unpickled: a new handle to the same shards."""
    return AsyncShardedCorvane._from(_lifecycle.reopen(name, handles, count, timeout, root, store_id, direct))

"""One shard: a `Corvane` in its own Ray worker process.

Imports Ray only inside the calls that fetch data from the object store, so
that the driver can load this module without it.
"""

from __future__ import annotations

import contextlib
import gc
import json
import os
import zlib
from collections.abc import Generator, Iterable, Iterator, Sequence
from typing import Any, cast

from corvane import Corvane

# Calls a shard takes from the driver; anything else is refused.
READS = frozenset({
    "__contains__", "__getitem__", "__len__", "count", "count_any", "find", "find_any",
    "get", "has_tag", "items", "keys", "tags", "to_dict", "values",
})
EDITS = frozenset({
    "__delitem__", "__setitem__", "add_tag", "add_tags", "clear", "discard", "discard_tag",
    "erase", "erase_where", "pop", "popitem", "remove_tag", "retain_where",
    "retain_where_any", "setdefault", "update",
})

# One source of a shard's entries, read in order when it is built:
# ("columns", ref): a list of keys and a list of their tags, in Ray's object store;
# ("items", ref): (key, tags) pairs in Ray's object store;
# ("files", paths): JSON-lines partitions, of which it keeps its own keys.
Source = tuple[str, Any]
Columns = tuple[list[Any], list[list[Any]]]


@contextlib.contextmanager
def collector_paused() -> Generator[None, None, None]:
    """Loads make millions of lists and tuples and no cycles: with the cyclic
    collector paused they set off none of its passes, which cost more than
    the load itself. It is left as it was found."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def shard_of(key: bytes, shards: int) -> int:
    """The shard of a key given as its UTF-8 bytes: CRC-32 modulo the shard count.

    The same in every process and every run. Changing it moves keys, so it
    only changes with a new major version and a documented migration.
    """
    return zlib.crc32(key) % shards


class Failure:
    """An exception raised by the store, sent back as a value so that the
    driver raises it as it is, not wrapped in Ray's task error."""

    __slots__ = ("error",)

    def __init__(self, error: BaseException) -> None:
        self.error = error


def read_partition(path: str) -> Iterator[tuple[str, str, list[str]]]:
    """Where each entry stands ("path:line"), its key and its tags, from a
    JSON-lines file of {"key": ..., "tags": [...]} objects."""
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            if not line.strip():
                continue
            try:
                entry = json.loads(line)
                key, tags = entry["key"], entry["tags"]
            except (ValueError, TypeError, KeyError) as error:
                raise ValueError(f"{path}:{number}: not a {{\"key\": ..., \"tags\": [...]}} object: {error}") from None
            if type(key) is not str or type(tags) is not list or not all_text(cast(list[object], tags)):
                raise ValueError(f"{path}:{number}: the key must be a string and the tags a list of strings")
            yield f"{path}:{number}", key, cast(list[str], tags)


def all_text(tags: list[object]) -> bool:
    try:
        "".join(tags)  # type: ignore[arg-type]  # JSON gives str itself, never a subclass
    except TypeError:
        return False
    return True


def route(key: str, shards: int, where: str) -> int:
    try:
        return shard_of(key.encode(), shards)
    except UnicodeEncodeError:
        raise ValueError(f"{where}: the key holds a lone surrogate, which is not text") from None


def write_partition(path: str, pairs: Iterable[tuple[str, set[str]]]) -> None:
    """Writes pairs as JSON lines, to a temporary name first, so that a file
    under `path` is always whole."""
    partial = f"{path}.partial"
    with open(partial, "w", encoding="utf-8") as out:
        for key, tags in pairs:
            out.write(json.dumps({"key": key, "tags": sorted(tags)}, ensure_ascii=False))
            out.write("\n")
    os.replace(partial, path)


class Shard:
    """The actor: the store, the calls it takes, and how it is built."""

    def __init__(self, index: int, shards: int) -> None:
        self.index = index
        self.shards = shards
        self.store = Corvane()

    def where(self) -> dict[str, Any]:
        """Which process and node hold this shard, for operators."""
        import ray

        return {"index": self.index, "pid": os.getpid(), "node": ray.get_runtime_context().get_node_id(),
                "keys": len(self.store)}

    def call(self, method: str, args: tuple[Any, ...]) -> Any:
        if method not in READS and method not in EDITS:
            return Failure(AttributeError(f"a shard takes no call {method!r}"))
        try:
            return getattr(self.store, method)(*args)
        except Exception as error:
            return Failure(error)

    def call_many(self, method: str, arg_lists: Sequence[tuple[Any, ...]]) -> Any:
        """Several reads in one round trip; the first failure ends them."""
        if method not in READS:
            return Failure(AttributeError(f"a shard takes no batch of {method!r}"))
        bound = getattr(self.store, method)
        try:
            return [bound(*args) for args in arg_lists]
        except Exception as error:
            return Failure(error)

    def restore(self, sources: Sequence[Source], log: Sequence[tuple[str, tuple[Any, ...]]]) -> Any:
        """Builds the store from its sources, then replays the edits logged since.

        An edit that failed when it was made fails the same way again, with
        the same effect, so failures are not reported twice.
        """
        keys: list[Any] = []
        values: list[list[Any]] = []
        try:
            with collector_paused():
                for source in sources:
                    self.read(source, keys, values)
                self.store = Corvane(keys, values)
                del keys[:], values[:]
        except Exception as error:
            return Failure(error)
        for method, args in log:
            self.call(method, args)
        return len(self.store)

    def read(self, source: Source, keys: list[Any], values: list[list[Any]]) -> None:
        """Appends a source's keys and their tags, in order."""
        kind, what = source
        if kind == "files":
            for key, tags in self.own_pairs(what):
                keys.append(key)
                values.append(tags)
            return
        import ray

        got = ray.get(what)
        if isinstance(got, Failure):  # the partition it came from could not be read
            raise got.error
        if kind == "columns":
            keys += got[0]
            values += got[1]
        else:
            for key, tags in got:
                keys.append(key)
                values.append(tags)

    def own_pairs(self, paths: Sequence[str]) -> Iterator[tuple[str, list[str]]]:
        for path in paths:
            for where, key, tags in read_partition(path):
                if route(key, self.shards, where) == self.index:
                    yield key, tags

    def split(self, path: str) -> Any:
        """The entries of one partition, as columns for each shard they route to."""
        columns: list[Columns] = [([], []) for _ in range(self.shards)]
        try:
            with collector_paused():
                for where, key, tags in read_partition(path):
                    keys, values = columns[route(key, self.shards, where)]
                    keys.append(key)
                    values.append(tags)
        except (OSError, ValueError) as error:
            failure = Failure(error)
            return failure if self.shards == 1 else [failure] * self.shards
        return columns[0] if self.shards == 1 else columns

    def snapshot(self) -> tuple[Failure | None, Any]:
        """Every entry, for a checkpoint in the object store; sent as two objects
        so that the driver reads whether it worked without fetching the entries."""
        try:
            return None, self.store.items()
        except Exception as error:  # text that is not UTF-8 cannot be exported
            return Failure(error), None

    def save(self, path: str) -> Any:
        """Writes every entry to one JSON-lines file, for a checkpoint on disk."""
        try:
            write_partition(path, self.store.items())
        except Exception as error:
            return Failure(error)
        return path

"""What a handle does, written once for the blocking and the asyncio handle.

Each operation converts its arguments (raising the store's own error for
one that does not convert), then yields the calls it needs, a Step, and
gets back each shard's answer; a shard's error is thrown into it. The
blocking handle runs the steps with ShardCalls.run, the asyncio one with
AsyncShardCalls.run. Most operations take one step; popitem() tries the
shards in turn, and setdefault() may read before it writes.
"""

from __future__ import annotations

import os
from collections.abc import Generator, Iterable, Mapping, Sequence
from typing import Any, TypeVar

from . import _durable, _partitions
from ._calls import Plan, ShardCalls
from ._cluster import RayLease
from ._convert import NotText, Wire, key_bytes, refuse, tag_list, text_bytes, update_pairs
from ._lifecycle import Adopted
from ._progress import Progress, Watcher
from ._routing import shard_of
from ._wire import EDIT, EXPORT, FOLD, INFO, READ, READ_MANY, Call
from .errors import ClosedError

Text = str | bytes | bytearray
R = TypeVar("R")
Step = tuple[Plan, bool]  # the calls, and whether they are edits
Op = Generator[Step, dict[int, Any], R]
ABSENT: Any = object()  # no default given, as the store's own error messages tell


class Handle:
    """The state and the operations that both kinds of handle share."""

    _calls: ShardCalls | None = None
    _name: str | None = None
    _owner = False  # the handle that made an unnamed store stops it on close
    _lease: RayLease | None = None  # on a Ray this package started or connected to for it
    _root: str | None = None
    _store_id: str | None = None  # which store the name stood for when this handle was made

    def _adopt(self, adopted: Adopted) -> None:
        self._calls, self._name, self._owner, self._lease, self._root, self._store_id = adopted

    def _let_go_of_ray(self, calls: ShardCalls) -> None:
        """Gives up this handle's lease on Ray once its calls in flight are done."""
        lease, self._lease = self._lease, None
        if lease is not None:
            calls.wait_idle(calls.timeout)  # no call may reach Ray after it stops
            lease.release()

    def _open_calls(self) -> ShardCalls:
        calls = self._calls
        if calls is None or calls.closed:
            raise ClosedError()
        return calls

    @property
    def name(self) -> str | None:
        """The store's name on the cluster, or None."""
        return self._name

    @property
    def shards(self) -> list[Any]:
        """The shards' actor handles, in shard order."""
        return list(self._open_calls().handles)

    @property
    def timeout(self) -> float | None:
        """Seconds a call waits for a shard before ShardUnavailableError (None: no limit)."""
        return self._open_calls().timeout

    def shard_of(self, key: Text) -> int:
        """The index of the shard that holds (or would hold) `key`."""
        return shard_of(self._key("__contains__", key), self._open_calls().count)

    def __repr__(self) -> str:
        kind = type(self).__name__
        calls = self._calls
        if calls is None or calls.closed:
            return f"<{kind} (closed)>"
        named = f" {self._name!r}" if self._name else ""
        return f"<{kind}{named} of {calls.count} shards>"

    def _reduce_args(self) -> tuple[Any, ...]:
        """What a pickled handle holds: a named store travels as its name, an
        unnamed one as its shards' handles."""
        calls = self._open_calls()
        return (self._name, None if self._name else calls.handles, calls.count, calls.timeout, self._root,
                self._store_id, calls.direct)

    # Conversions whose failure raises the store's own error

    def _key(self, method: str, raw: object, *rest: object) -> bytes:
        try:
            return key_bytes(raw)
        except NotText:
            refuse(method, raw, *rest)

    def _tags(self, method: str, raw: object, *before: object) -> list[Wire]:
        try:
            return tag_list(raw)
        except NotText as bad:
            refuse(method, *before, bad.stand_in)

    def _args(self, method: str, args: tuple[object, ...]) -> list[Wire]:
        try:
            return tag_list(list(args))
        except NotText as bad:
            refuse(method, *bad.stand_in)  # type: ignore[misc]

    def _tag_arg(self, method: str, key: object, tag: object) -> bytes:
        converted = text_bytes(tag)
        if converted is None:
            refuse(method, key, tag)
        return converted

    # Steps

    # Steps: what an operation yields, and gets back as each shard's answer (in_order, only)

    def _at_key(self, kind: str, method: str, key_bytes: bytes, *args: Any) -> Step:
        """One call to the key's shard: a read, or an edit."""
        index = shard_of(key_bytes, self._open_calls().count)
        return {index: Call(kind, method, (key_bytes, *args))}, kind == EDIT

    def _with_tag(self, kind: str, method: str, key: Text, tag: Text) -> Step:
        """A call of one key and one tag to the key's shard, both converted first."""
        key_bytes = self._key(method, key, tag)
        return self._at_key(kind, method, key_bytes, self._tag_arg(method, key, tag))

    def _everywhere(self, method: str, args: tuple[Any, ...], *, edit: bool = False) -> Step:
        """The same read or edit to every shard."""
        call = Call(EDIT if edit else READ, method, args)
        return {i: call for i in range(self._open_calls().count)}, edit

    def _each_shard(self, call: Call) -> Step:
        return {i: call for i in range(self._open_calls().count)}, False

    def _batch(self, method: str, queries: Iterable[Iterable[Text]]) -> Step:
        if isinstance(queries, str | bytes | bytearray):
            raise TypeError(f"{method}_many() takes an iterable of tag lists, not a single {type(queries).__name__}")
        lists = [(self._tags(method, query),) for query in queries]
        return self._each_shard(Call(READ_MANY, method, tuple(lists)))

    # Queries

    def _find(self, tags: Iterable[Text]) -> Op[set[str]]:
        return union(in_order((yield self._everywhere("find", (self._tags("find", tags),)))))

    def _find_any(self, tags: Iterable[Text]) -> Op[set[str]]:
        return union(in_order((yield self._everywhere("find_any", (self._tags("find_any", tags),)))))

    def _query(self, args: tuple[Text, ...]) -> Op[set[str]]:
        return union(in_order((yield self._everywhere("find", (self._args("query", args),)))))

    def _query_any(self, args: tuple[Text, ...]) -> Op[set[str]]:
        return union(in_order((yield self._everywhere("find_any", (self._args("query_any", args),)))))

    def _count(self, tags: Iterable[Text]) -> Op[int]:
        return sum(in_order((yield self._everywhere("count", (self._tags("count", tags),)))))

    def _count_any(self, tags: Iterable[Text]) -> Op[int]:
        return sum(in_order((yield self._everywhere("count_any", (self._tags("count_any", tags),)))))

    def _count_many(self, queries: Iterable[Iterable[Text]]) -> Op[list[int]]:
        return [sum(counts) for counts in zip(*in_order((yield self._batch("count", queries))))]

    def _count_any_many(self, queries: Iterable[Iterable[Text]]) -> Op[list[int]]:
        return [sum(counts) for counts in zip(*in_order((yield self._batch("count_any", queries))))]

    def _find_many(self, queries: Iterable[Iterable[Text]]) -> Op[list[set[str]]]:
        return [union(found) for found in zip(*in_order((yield self._batch("find", queries))))]

    def _find_any_many(self, queries: Iterable[Iterable[Text]]) -> Op[list[set[str]]]:
        return [union(found) for found in zip(*in_order((yield self._batch("find_any", queries))))]

    def _has_tag(self, key: Text, tag: Text) -> Op[bool]:
        return bool(only((yield self._with_tag(READ, "has_tag", key, tag))))

    def _tags_in_use(self) -> Op[list[str]]:
        found = in_order((yield self._everywhere("tags", ())))
        return list(dict.fromkeys(tag for part in found for tag in part))

    def _len(self) -> Op[int]:
        return sum(in_order((yield self._everywhere("__len__", ()))))

    def _contains(self, key: Text) -> Op[bool]:
        return bool(only((yield self._at_key(READ, "__contains__", self._key("__contains__", key)))))

    def _getitem(self, key: Text) -> Op[set[str]]:
        return only((yield self._at_key(READ, "__getitem__", self._key("__getitem__", key))))  # type: ignore[no-any-return]

    def _get(self, key: Text, default: object) -> Op[object]:
        given = () if default is ABSENT else (default,)
        found = only((yield self._at_key(READ, "get", self._key("get", key, *given))))
        return found if found is not None else None if default is ABSENT else default

    def _keys(self) -> Op[list[str]]:
        return concatenated(in_order((yield self._everywhere("keys", ()))))

    def _values(self) -> Op[list[set[str]]]:
        return concatenated(in_order((yield self._everywhere("values", ()))))

    def _items(self) -> Op[list[tuple[str, set[str]]]]:
        return concatenated(in_order((yield self._everywhere("items", ()))))

    def _to_dict(self) -> Op[dict[str, set[str]]]:
        merged: dict[str, set[str]] = {}
        for part in in_order((yield self._everywhere("to_dict", ()))):
            merged.update(part)
        return merged

    # Edits

    def _add_tag(self, key: Text, tag: Text) -> Op[None]:
        yield self._with_tag(EDIT, "add_tag", key, tag)

    def _add_tags(self, key: Text, tags: Iterable[Text]) -> Op[None]:
        key_bytes = self._key("add_tags", key, tags)
        yield self._at_key(EDIT, "add_tags", key_bytes, self._tags("add_tags", tags, key))

    def _remove_tag(self, key: Text, tag: Text) -> Op[None]:
        yield self._with_tag(EDIT, "remove_tag", key, tag)

    def _discard_tag(self, key: Text, tag: Text) -> Op[None]:
        yield self._with_tag(EDIT, "discard_tag", key, tag)

    def _setitem(self, key: Text, tags: Iterable[Text]) -> Op[None]:
        key_bytes = self._key("__setitem__", key, tags)
        yield self._at_key(EDIT, "__setitem__", key_bytes, self._tags("__setitem__", tags, key))

    def _delitem(self, key: Text) -> Op[None]:
        yield self._at_key(EDIT, "__delitem__", self._key("__delitem__", key))

    def _erase(self, key: Text) -> Op[set[str]]:
        return only((yield self._at_key(EDIT, "erase", self._key("erase", key))))  # type: ignore[no-any-return]

    def _discard(self, key: Text) -> Op[bool]:
        return bool(only((yield self._at_key(EDIT, "discard", self._key("discard", key)))))

    def _pop(self, key: Text, default: object) -> Op[object]:
        given = () if default is ABSENT else (default,)
        found = only((yield self._at_key(EDIT, "pop", self._key("pop", key, *given))))
        return found if found is not None else None if default is ABSENT else default

    def _popitem(self) -> Op[tuple[str, set[str]]]:
        count = self._open_calls().count
        for index in range(count):
            try:
                answers = yield {index: Call(EDIT, "popitem")}, True
                return answers[index]  # type: ignore[no-any-return]
            except KeyError:
                if index == count - 1:
                    raise
        raise AssertionError("a store has at least one shard")

    def _setdefault(self, key: Text, default: Iterable[Text]) -> Op[set[str]]:
        key_bytes = self._key("setdefault", key, default)
        try:
            converted = tag_list(default)
        except NotText as bad:
            if bad.stand_in is not default:  # iterable: the store reads it only for an absent key
                present = only((yield self._at_key(READ, "get", key_bytes)))
                if present is not None:
                    return present  # type: ignore[no-any-return]
            refuse("setdefault", key, bad.stand_in)
        return only((yield self._at_key(EDIT, "setdefault", key_bytes, converted)))  # type: ignore[no-any-return]

    def _update(self, d: Mapping[Text, Iterable[Text]]) -> Op[None]:
        converted, refused = update_pairs(d)
        count = self._open_calls().count
        parts: dict[int, dict[bytes, list[Wire]]] = {}
        for entry_key, entry_tags in converted:
            part = parts.setdefault(shard_of(entry_key, count), {})
            part.pop(entry_key, None)  # a later entry for the key comes after the others
            part[entry_key] = entry_tags
        if parts:
            yield {i: Call(EDIT, "update", (part,)) for i, part in parts.items()}, True
        if refused is not None:
            refuse("update", refused)

    def _retain_where(self, tags: Iterable[Text]) -> Op[list[str]]:
        converted = self._tags("retain_where", tags)
        return concatenated(in_order((yield self._everywhere("retain_where", (converted,), edit=True))))

    def _retain_where_any(self, tags: Iterable[Text]) -> Op[list[str]]:
        converted = self._tags("retain_where_any", tags)
        return concatenated(in_order((yield self._everywhere("retain_where_any", (converted,), edit=True))))

    def _erase_where(self, tags: Iterable[Text]) -> Op[list[str]]:
        converted = self._tags("erase_where", tags)
        return concatenated(in_order((yield self._everywhere("erase_where", (converted,), edit=True))))

    def _clear(self) -> Op[None]:
        yield self._everywhere("clear", (), edit=True)

    # Operators' calls

    def _describe(self) -> Op[list[dict[str, Any]]]:
        places = in_order((yield self._each_shard(Call(INFO))))
        calls = self._open_calls()
        for index, place in enumerate(places):
            place["calls"] = calls.describe(index)
        return places

    def _checkpoint(self, directory: str | os.PathLike[str] | None) -> Op[None]:
        if directory is not None:
            yield from self._export(directory, "jsonl", None)
        else:
            yield self._each_shard(Call(FOLD))

    def _export(self, directory: str | os.PathLike[str], format: str, progress: bool | None) -> Op[None]:
        if format not in _partitions.FORMATS:
            raise ValueError(f"format must be 'jsonl' or 'parquet', not {format!r}")
        count = self._open_calls().count
        folder = os.path.abspath(os.fspath(directory))
        os.makedirs(os.path.dirname(folder), exist_ok=True)
        _durable.make_private_folder(folder)
        export_id = _partitions.new_export_id()
        names = [_partitions.export_name(i, count, export_id, format) for i in range(count)]
        paths = [os.path.join(folder, name) for name in names]
        watcher = Watcher(Progress("exporting shards", count, progress),
                          lambda waiting: [path for path in waiting if os.path.exists(path)])
        for path in paths:
            watcher.add(path)
        with _partitions.export_lock(folder):
            try:
                counts = in_order((yield {i: Call(EXPORT, args=(path,)) for i, path in enumerate(paths)}, False))
                _partitions.commit_export(folder, export_id, names, counts)
            except BaseException:
                _partitions.discard_export_files(folder, only=export_id)
                raise
            finally:
                watcher.stop()

    def _root_of_store(self) -> Op[str | None]:
        if self._root is not None:
            return self._root
        try:
            places = yield {0: Call(INFO)}, False
        except Exception:
            return None
        return places[0]["root"]  # type: ignore[no-any-return]


def in_order(answers: dict[int, Any]) -> list[Any]:
    """The answers of the shards of a step, in shard order."""
    return [answers[i] for i in sorted(answers)]


def only(answers: dict[int, Any]) -> Any:
    """The answer of the one shard of a step."""
    for answer in answers.values():
        return answer
    raise AssertionError("a step names at least one shard")


def union(parts: Sequence[set[str]]) -> set[str]:
    """The union of disjoint sets, grown from the largest."""
    if not parts:
        return set()
    largest = max(parts, key=len)
    for part in parts:
        if part is not largest:
            largest |= part
    return largest


def concatenated(parts: Sequence[list[Any]]) -> list[Any]:
    """The shards' lists one after another; a single shard's list is already new."""
    return parts[0] if len(parts) == 1 else [item for part in parts for item in part]


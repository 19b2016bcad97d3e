"""ShardedCorvane: a handle to a store split over Ray actors."""

from __future__ import annotations

import contextlib
import math
import os
import shutil
import time
from collections.abc import Iterable, Iterator, Mapping, Sequence
from types import TracebackType
from typing import Any, TypeVar, overload

from . import _cluster, _durable, _partitions
from ._client import Line
from ._errors import ClosedError, ShardUnavailableError, StoreNotFoundError
from ._convert import NotText, Wire, key, refuse, routed_chunks, tags, text, update_pairs
from ._routing import shard_of
from ._shard import Shard

Text = str | bytes | bytearray
_Default = TypeVar("_Default")

DEFAULT_TIMEOUT = 300.0
MAX_DEFAULT_SHARDS = 4  # each shard is a worker process of about 80 MiB even when idle
NAMESPACE = "corvane"  # the Ray namespace of named stores' shards
CHUNK = 50_000  # entries a driver-fed shard receives in one object
READY_POLL = 0.1  # seconds between looks at a store that is still being made
OWN_OPTIONS = frozenset({"name", "namespace", "lifetime", "max_restarts", "max_task_retries", "get_if_exists"})
_ABSENT: Any = object()  # no default given, as the store's own error messages tell
_shard_class: Any = None


class ShardedCorvane:
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
    ) -> None:
        self._make(data, None, shards=shards, name=name, path=path, durability=durability, timeout=timeout,
                   actor_options=actor_options, init_options=init_options)

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
    ) -> ShardedCorvane:
        """A store of the entries in JSON-lines files of {"key": ..., "tags": [...]}
        objects. A folder stands for the files its export manifest lists (see
        `export`) or, without one, for its *.jsonl files in name order.

        The shards read the files themselves, each file once, and pass every
        entry to the shard it routes to; a later line for a key replaces an
        earlier one, in the order of `paths`. The files must be readable at
        the same path from every node. A line that is not such an object
        fails the load, naming its file and line.
        """
        files = _partitions.partition_files(paths)
        store = cls.__new__(cls)
        store._make(None, files, shards=shards, name=name, path=path, durability=durability, timeout=timeout,
                    actor_options=actor_options, init_options=init_options)
        return store

    @classmethod
    def open(cls, name: str, *, timeout: float | None = DEFAULT_TIMEOUT) -> ShardedCorvane:
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
            count = Line([first], seconds).run({0: ("info", ())})[0]["shards"]
            handles = [first]
            for index in range(1, count):
                try:
                    handles.append(ray.get_actor(f"{name}/{index}", namespace=NAMESPACE))
                except ValueError:
                    raise ShardUnavailableError(index, count, "is gone: the store was destroyed") from None
            store = cls.__new__(cls)
            store._adopt(Line(handles, seconds), name=name, owner=False, started_ray=started)
        except BaseException:
            if started:
                _cluster.leave()
            raise
        store._wait_until_ready()
        return store

    # Making a store

    def _make(self, data: object, partitions: list[str] | None, *, shards: int | None, name: str | None,
              path: str | os.PathLike[str] | None, durability: str, timeout: float | None,
              actor_options: Mapping[str, Any] | None, init_options: Mapping[str, Any] | None) -> None:
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
        loading = data is not None or partitions is not None
        started = _cluster.join(dict(init_options or {}))
        handles: list[Any] = []
        made_root = False
        reopen = False
        try:
            count, reopen, made_root = _claim(root, shards, loading)
            handles = _start_shards(count, name, root, durability, reopen, options)
            line = Line(handles, seconds)
            line.run({i: ("start", (not loading,)) for i in range(count)})
            if data is not None:
                _load_data(line, data)
            elif partitions is not None:
                _load_partitions(line, partitions)
        except BaseException as error:
            _stop_shards(handles, delete=not reopen, seconds=seconds)
            if made_root and root is not None:
                _durable.remove_root(root)
            if started:
                _cluster.leave()
            if isinstance(error, ray_exceptions().ActorAlreadyExistsError):
                raise ValueError(f"a store named {name!r} runs on this Ray cluster already") from None
            raise
        self._adopt(line, name=name, owner=True, started_ray=started, root=root)

    def _adopt(self, line: Line, *, name: str | None, owner: bool, started_ray: bool,
               root: str | None = None) -> None:
        self._line = line
        self._name = name
        self._owner = owner  # the handle that made an unnamed store stops it on close
        self._started_ray = started_ray
        self._root = root

    def _wait_until_ready(self) -> None:
        line = self._open_line()
        deadline = None if line.timeout is None else time.monotonic() + line.timeout
        for index in range(line.count):
            while not line.run({index: ("info", ())})[index]["ready"]:
                if deadline is not None and time.monotonic() > deadline:
                    raise line.unavailable(index, f"was not ready within {line.timeout:g} s")
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
        elif line.made_edits():
            for handle in line.handles:  # its replies will not be asked for again
                with contextlib.suppress(Exception):
                    handle.forget.remote(line.client)
        self._release(line)

    def destroy(self) -> None:
        """Stops the store's shards for every handle and deletes its files."""
        line = self._open_line()
        root = self._root
        if root is None:
            with contextlib.suppress(Exception):
                root = line.run({0: ("info", ())})[0]["root"]
        line.close()
        _stop_shards(line.handles, delete=True, seconds=line.timeout)
        if root is not None:  # what a shard that could not be reached left
            for index in range(line.count):
                shutil.rmtree(_durable.shard_folder(root, index, line.count), ignore_errors=True)
            _durable.remove_root(root)
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
        line = self._open_line()
        return _reopen, (self._name, None if self._name else line.handles, line.count, line.timeout, self._root)

    def __repr__(self) -> str:
        line = self._line
        if line is None or line.closed:
            return "<ShardedCorvane (closed)>"
        named = f" {self._name!r}" if self._name else ""
        return f"<ShardedCorvane{named} of {line.count} shards>"

    def _open_line(self) -> Line:
        line = self._line
        if line is None or line.closed:
            raise ClosedError()
        return line

    # Operators' view

    @property
    def name(self) -> str | None:
        """The store's name on the cluster, or None."""
        return self._name

    @property
    def shards(self) -> list[Any]:
        """The shards' actor handles, in shard order."""
        return list(self._open_line().handles)

    @property
    def timeout(self) -> float | None:
        """Seconds a call waits for a shard before ShardUnavailableError (None: no limit)."""
        return self._open_line().timeout

    def shard_of(self, key: Text) -> int:
        """The index of the shard that holds (or would hold) `key`."""
        return shard_of(self._key("__contains__", key), self._open_line().count)

    def describe(self) -> list[dict[str, Any]]:
        """For each shard: its process id and node, key count, folder, the sizes of
        its snapshot and log, how many edits the log holds, and how many
        handles' replies it keeps."""
        line = self._open_line()
        places = line.run({i: ("info", ()) for i in range(line.count)})
        return [places[i] for i in range(line.count)]

    def checkpoint(self, directory: str | os.PathLike[str] | None = None) -> None:
        """Folds every shard's log into a new snapshot now (they also fold on
        their own once a log outgrows its snapshot). With a directory, does
        what `export(directory)` does, as this method did before `export`.

        A shard holding text that is not UTF-8 cannot fold: UnicodeDecodeError,
        and its log goes on.
        """
        if directory is not None:
            self.export(directory)
            return
        line = self._open_line()
        line.run({i: ("fold", ()) for i in range(line.count)})

    def export(self, directory: str | os.PathLike[str]) -> None:
        """Writes every entry to `directory`, one JSON-lines file per shard, for
        `from_partitions` (with any shard count) or any other reader.

        The export is whole or absent: the files are written under names of
        their own, and a manifest listing them (`corvane-export.json`) is
        renamed into place last; the files of an older export there are then
        removed. The entries never pass through the driver, and the folder
        must be reachable at the same path from every node.
        """
        line = self._open_line()
        folder = os.path.abspath(os.fspath(directory))
        os.makedirs(folder, exist_ok=True)
        export_id = _partitions.new_export_id()
        names = [_partitions.export_name(i, line.count, export_id) for i in range(line.count)]
        try:
            counts = line.run({i: ("export", (os.path.join(folder, names[i]),)) for i in range(line.count)})
            _partitions.commit_export(folder, export_id, names, [counts[i] for i in range(line.count)])
        except BaseException:
            _partitions.discard_export_files(folder, only=export_id)
            raise

    # Conversions whose failure raises the store's own error

    def _key(self, method: str, raw: object, *rest: object) -> bytes:
        try:
            return key(raw)
        except NotText:
            refuse(method, raw, *rest)

    def _tags(self, method: str, raw: object, *before: object) -> list[Wire]:
        try:
            return tags(raw)
        except NotText as bad:
            refuse(method, *before, bad.stand_in)

    def _args(self, method: str, args: tuple[object, ...]) -> list[Wire]:
        try:
            return tags(list(args))
        except NotText as bad:
            refuse(method, *bad.stand_in)  # type: ignore[misc]

    def _tag_arg(self, method: str, key: object, tag: object) -> bytes:
        converted = text(tag)
        if converted is None:
            refuse(method, key, tag)
        return converted

    # Sending

    def _read(self, method: str, key_bytes: bytes, *args: Any) -> Any:
        line = self._open_line()
        index = shard_of(key_bytes, line.count)
        return line.run({index: ("read", (method, (key_bytes, *args)))})[index]

    def _edit(self, method: str, key_bytes: bytes, *args: Any) -> Any:
        line = self._open_line()
        index = shard_of(key_bytes, line.count)
        return line.run({index: ("edit", (method, (key_bytes, *args)))}, edit=True)[index]

    def _everywhere(self, method: str, args: tuple[Any, ...], *, edit: bool = False) -> list[Any]:
        line = self._open_line()
        actor_method = "edit" if edit else "read"
        answers = line.run({i: (actor_method, (method, args)) for i in range(line.count)}, edit=edit)
        return [answers[i] for i in range(line.count)]

    def _batch(self, method: str, queries: Iterable[Iterable[Text]]) -> list[list[Any]]:
        if isinstance(queries, str | bytes | bytearray):
            raise TypeError(f"{method}_many() takes an iterable of tag lists, not a single {type(queries).__name__}")
        lists = [(self._tags(method, query),) for query in queries]
        line = self._open_line()
        answers = line.run({i: ("read_many", (method, lists)) for i in range(line.count)})
        return [answers[i] for i in range(line.count)]

    # Queries

    def find(self, tags: Iterable[Text]) -> set[str]:
        """A new set of the keys that carry every tag; every key when `tags` is empty."""
        return _union(self._everywhere("find", (self._tags("find", tags),)))

    def find_any(self, tags: Iterable[Text]) -> set[str]:
        """A new set of the keys that carry at least one tag; every key when `tags` is empty."""
        return _union(self._everywhere("find_any", (self._tags("find_any", tags),)))

    def query(self, *args: Text) -> set[str]:
        """find() with the tags as arguments."""
        return _union(self._everywhere("find", (self._args("query", args),)))

    def query_any(self, *args: Text) -> set[str]:
        """find_any() with the tags as arguments."""
        return _union(self._everywhere("find_any", (self._args("query_any", args),)))

    def count(self, tags: Iterable[Text]) -> int:
        """How many keys carry every tag; all of them when `tags` is empty."""
        return sum(self._everywhere("count", (self._tags("count", tags),)))

    def count_any(self, tags: Iterable[Text]) -> int:
        """How many keys carry at least one tag; all of them when `tags` is empty."""
        return sum(self._everywhere("count_any", (self._tags("count_any", tags),)))

    def count_many(self, queries: Iterable[Iterable[Text]]) -> list[int]:
        """count() of each tag list, in order, in one round trip to each shard."""
        return [sum(counts) for counts in zip(*self._batch("count", queries))]

    def count_any_many(self, queries: Iterable[Iterable[Text]]) -> list[int]:
        """count_any() of each tag list, in order, in one round trip to each shard."""
        return [sum(counts) for counts in zip(*self._batch("count_any", queries))]

    def find_many(self, queries: Iterable[Iterable[Text]]) -> list[set[str]]:
        """find() of each tag list, in order, in one round trip to each shard."""
        return [_union(found) for found in zip(*self._batch("find", queries))]

    def find_any_many(self, queries: Iterable[Iterable[Text]]) -> list[set[str]]:
        """find_any() of each tag list, in order, in one round trip to each shard."""
        return [_union(found) for found in zip(*self._batch("find_any", queries))]

    def has_tag(self, key: Text, tag: Text) -> bool:
        """Whether the key carries the tag; False for an absent key."""
        key_bytes = self._key("has_tag", key, tag)
        return bool(self._read("has_tag", key_bytes, self._tag_arg("has_tag", key, tag)))

    def tags(self) -> list[str]:
        """A new list of every tag in use, shard by shard, each tag once."""
        return list(dict.fromkeys(tag for found in self._everywhere("tags", ()) for tag in found))

    def __len__(self) -> int:
        return sum(self._everywhere("__len__", ()))

    def __bool__(self) -> bool:
        return len(self) > 0

    def __contains__(self, key: Text) -> bool:
        return bool(self._read("__contains__", self._key("__contains__", key)))

    def __getitem__(self, key: Text) -> set[str]:
        return self._read("__getitem__", self._key("__getitem__", key))  # type: ignore[no-any-return]

    @overload
    def get(self, key: Text) -> set[str] | None: ...
    @overload
    def get(self, key: Text, default: _Default) -> set[str] | _Default: ...
    def get(self, key: Text, default: object = _ABSENT) -> object:
        """A new set of the key's tags, or `default` itself when the key is absent."""
        given = () if default is _ABSENT else (default,)
        found = self._read("get", self._key("get", key, *given))
        return found if found is not None else None if default is _ABSENT else default

    def keys(self) -> list[str]:
        """A new list of the keys, shard by shard."""
        return _concatenated(self._everywhere("keys", ()))

    def __iter__(self) -> Iterator[str]:
        """An iterator over a snapshot of the keys."""
        return iter(self.keys())

    def values(self) -> list[set[str]]:
        """A new list of new tag sets, one per key, in the order of keys()."""
        return _concatenated(self._everywhere("values", ()))

    def items(self) -> list[tuple[str, set[str]]]:
        """A new list of (key, tag set) tuples, in the order of keys()."""
        return _concatenated(self._everywhere("items", ()))

    def to_dict(self) -> dict[str, set[str]]:
        """A new dict of each key to a new set of its tags."""
        merged: dict[str, set[str]] = {}
        for part in self._everywhere("to_dict", ()):
            merged.update(part)
        return merged

    # Edits

    def add_tag(self, key: Text, tag: Text) -> None:
        """Adds a tag, creating the key if absent."""
        key_bytes = self._key("add_tag", key, tag)
        self._edit("add_tag", key_bytes, self._tag_arg("add_tag", key, tag))

    def add_tags(self, key: Text, tags: Iterable[Text]) -> None:
        """Adds the tags; creates the key unless `tags` is empty."""
        key_bytes = self._key("add_tags", key, tags)
        self._edit("add_tags", key_bytes, self._tags("add_tags", tags, key))

    def remove_tag(self, key: Text, tag: Text) -> None:
        """Removes a tag (the key goes with its last one); KeyError when the key or the tag is absent."""
        key_bytes = self._key("remove_tag", key, tag)
        self._edit("remove_tag", key_bytes, self._tag_arg("remove_tag", key, tag))

    def discard_tag(self, key: Text, tag: Text) -> None:
        """Removes a tag if the key carries it (the key goes with its last one)."""
        key_bytes = self._key("discard_tag", key, tag)
        self._edit("discard_tag", key_bytes, self._tag_arg("discard_tag", key, tag))

    def __setitem__(self, key: Text, tags: Iterable[Text]) -> None:
        key_bytes = self._key("__setitem__", key, tags)
        self._edit("__setitem__", key_bytes, self._tags("__setitem__", tags, key))

    def __delitem__(self, key: Text) -> None:
        self._edit("__delitem__", self._key("__delitem__", key))

    def erase(self, key: Text) -> set[str]:
        """Removes the key and returns its tags; KeyError when it is absent."""
        return self._edit("erase", self._key("erase", key))  # type: ignore[no-any-return]

    def discard(self, key: Text) -> bool:
        """Removes the key if present; returns whether it was."""
        return bool(self._edit("discard", self._key("discard", key)))

    @overload
    def pop(self, key: Text) -> set[str] | None: ...
    @overload
    def pop(self, key: Text, default: _Default) -> set[str] | _Default: ...
    def pop(self, key: Text, default: object = _ABSENT) -> object:
        """Removes the key and returns its tags, or returns `default` when it is absent."""
        given = () if default is _ABSENT else (default,)
        found = self._edit("pop", self._key("pop", key, *given))
        return found if found is not None else None if default is _ABSENT else default

    def popitem(self) -> tuple[str, set[str]]:
        """Removes and returns the first (key, tags) pair in iteration order; KeyError when empty."""
        line = self._open_line()
        for index in range(line.count):
            try:
                return line.run({index: ("edit", ("popitem", ()))}, edit=True)[index]  # type: ignore[no-any-return]
            except KeyError:
                if index == line.count - 1:
                    raise
        raise AssertionError("a store has at least one shard")

    def setdefault(self, key: Text, default: Iterable[Text]) -> set[str]:
        """The key's tags; when it is absent, first stores `default` (an empty one stores nothing).

        `default` is read on the driver before the key's shard is asked, so a
        one-shot iterable is used up even when the key is present.
        """
        key_bytes = self._key("setdefault", key, default)
        try:
            converted = tags(default)
        except NotText as bad:
            if bad.stand_in is not default:  # iterable: the store reads it only for an absent key
                present = self.get(key)
                if present is not None:
                    return present
            refuse("setdefault", key, bad.stand_in)
        return self._edit("setdefault", key_bytes, converted)  # type: ignore[no-any-return]

    def update(self, d: Mapping[Text, Iterable[Text]]) -> None:
        """Sets each key of the dict to its tags, in order (an empty value removes
        the key); entries before one that does not convert are applied."""
        converted, refused = update_pairs(d)
        line = self._open_line()
        parts: dict[int, dict[bytes, list[Wire]]] = {}
        for key_bytes, tag_list in converted:
            part = parts.setdefault(shard_of(key_bytes, line.count), {})
            part.pop(key_bytes, None)  # a later entry for the key comes after the others
            part[key_bytes] = tag_list
        if parts:
            line.run({i: ("edit", ("update", (part,))) for i, part in parts.items()}, edit=True)
        if refused is not None:
            refuse("update", refused)

    def retain_where(self, tags: Iterable[Text]) -> list[str]:
        """Keeps only the keys that carry every tag and returns them; an empty `tags` keeps every key."""
        return _concatenated(self._everywhere("retain_where", (self._tags("retain_where", tags),), edit=True))

    def retain_where_any(self, tags: Iterable[Text]) -> list[str]:
        """Keeps only the keys that carry at least one tag and returns them; an empty `tags` keeps every key."""
        return _concatenated(self._everywhere("retain_where_any", (self._tags("retain_where_any", tags),),
                                              edit=True))

    def erase_where(self, tags: Iterable[Text]) -> list[str]:
        """Removes the keys that carry every tag and returns them; an empty `tags` removes nothing."""
        return _concatenated(self._everywhere("erase_where", (self._tags("erase_where", tags),), edit=True))

    def clear(self) -> None:
        """Removes every key and tag."""
        self._everywhere("clear", (), edit=True)


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


def _claim(root: str | None, shards: int | None, loading: bool) -> tuple[int, bool, bool]:
    """The shard count, whether the store is reopened from `root`, and whether
    this call made the root's manifest."""
    if root is None:
        return shards or _default_shards(), False, False
    os.makedirs(root, exist_ok=True)
    existing = _durable.read_manifest(root)
    if existing is not None:
        if loading:
            raise ValueError(f"{root} holds a store already: reopen it with no data, or choose another path")
        if shards is not None and shards != existing:
            raise ValueError(f"{root} holds a store of {existing} shards, not {shards}")
        return existing, True, False
    count = shards or _default_shards()
    _durable.write_manifest(root, count)
    return count, False, True


def _default_shards() -> int:
    cpus = int(_cluster.ray_module().cluster_resources().get("CPU", 1))
    return max(1, min(MAX_DEFAULT_SHARDS, cpus))


def _start_shards(count: int, name: str | None, root: str | None, durability: str, reopen: bool,
                  options: dict[str, Any]) -> list[Any]:
    global _shard_class
    ray = _cluster.ray_module()
    if _shard_class is None:
        _shard_class = ray.remote(Shard)
    store_id = os.urandom(8).hex()
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
            refs.append(handle.retire.remote(delete))
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
    line.run({i: ("load", (refs[i],)) for i in range(line.count)}, edit=True)


def _load_partitions(line: Line, files: list[str]) -> None:
    """Each file is split by one shard into a chunk for every shard; each
    shard then builds from its chunks, in file order."""
    count = line.count
    splits: list[list[Any]] = []
    for number, path in enumerate(files):
        split = line.handles[number % count].split.options(num_returns=count).remote(path)
        splits.append(split if count > 1 else [split])
    line.run({i: ("load", ([split[i] for split in splits],)) for i in range(count)}, edit=True)


def _reopen(name: str | None, handles: list[Any] | None, count: int, timeout: float | None,
            root: str | None) -> ShardedCorvane:
    """A pickled handle, unpickled: a new handle to the same shards."""
    started = _cluster.attach()
    try:
        if handles is None:
            assert name is not None
            ray = _cluster.ray_module()
            try:
                handles = [ray.get_actor(f"{name}/{i}", namespace=NAMESPACE) for i in range(count)]
            except ValueError:
                raise StoreNotFoundError(name) from None
        store = ShardedCorvane.__new__(ShardedCorvane)
        store._adopt(Line(handles, timeout), name=name, owner=False, started_ray=started, root=root)
    except BaseException:
        if started:
            _cluster.leave()
        raise
    return store


def _union(parts: Sequence[set[str]]) -> set[str]:
    """The union of disjoint sets, grown from the largest."""
    if not parts:
        return set()
    largest = max(parts, key=len)
    for part in parts:
        if part is not largest:
            largest |= part
    return largest


def _concatenated(parts: Sequence[list[Any]]) -> list[Any]:
    """The shards' lists one after another; a single shard's list is already new."""
    return parts[0] if len(parts) == 1 else [item for part in parts for item in part]

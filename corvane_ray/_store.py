"""ShardedCorvane: the driver's side of a store split over Ray actors."""

from __future__ import annotations

import contextlib
import os
import threading
import time
from collections.abc import Iterable, Iterator, Mapping, Sequence
from types import TracebackType
from typing import Any, NoReturn, TypeVar, overload

from . import _cluster
from ._convert import NotText, Wire, key, pairs, refuse, tags, text, update_pairs
from ._shard import Columns, Failure, Shard, Source, collector_paused, shard_of

Text = str | bytes | bytearray
_Default = TypeVar("_Default")

DEFAULT_TIMEOUT = 300.0
CHUNK = 50_000  # pairs a driver-fed shard receives in one object
ATTEMPTS = 3  # times a call is sent to a shard that keeps dying
_ABSENT: Any = object()  # no default given, as the store's own error messages tell

# (actor method, payload): ("call", (store method, args)) or ("call_many", (store method, [args, ...]))
Plan = dict[int, tuple[str, tuple[str, Any]]]


class ShardUnavailableError(RuntimeError):
    """A shard that did not answer in time, or could not be rebuilt."""

    def __init__(self, index: int, shards: int, reason: str) -> None:
        super().__init__(f"shard {index} of {shards} {reason}")
        self.index = index


class _Slot:
    """The driver's record of one shard: its actor, what it was built from,
    and every edit it acknowledged since."""

    __slots__ = ("index", "handle", "generation", "sources", "log", "lock", "stale")

    def __init__(self, index: int, handle: Any) -> None:
        self.index = index
        self.handle = handle
        self.generation = 0
        self.sources: list[Source] = []
        self.log: list[tuple[str, tuple[Any, ...]]] = []
        self.lock = threading.RLock()  # held while an edit is in flight or the shard is rebuilt
        self.stale = False  # an edit's outcome is unknown: rebuild before the next call


class ShardedCorvane:
    """A Corvane split over Ray actors: each key lives on one shard, chosen by
    the CRC-32 of its UTF-8 bytes; queries go to every shard and merge, point
    calls to the key's shard only. Answers equal one Corvane's; lists come
    shard by shard, each in its shard's order.

    Every acknowledged edit is kept in a log on the driver, so that a shard
    whose process dies is rebuilt from its source data and the log, and the
    call in flight is sent again. `checkpoint()` folds the log.
    """

    def __init__(
        self,
        data: object = None,
        *,
        shards: int | None = None,
        timeout: float = DEFAULT_TIMEOUT,
        actor_options: Mapping[str, Any] | None = None,
        init_options: Mapping[str, Any] | None = None,
    ) -> None:
        if shards is not None and (type(shards) is not int or shards < 1):
            raise ValueError(f"shards must be a positive int, not {shards!r}")
        if type(timeout) not in (int, float) or not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
        self.timeout = float(timeout)
        self._closed = True  # until every shard is up
        self._started_ray = _cluster.join(dict(init_options or {}))
        try:
            ray = _cluster.ray_module()
            count = shards or max(1, int(ray.cluster_resources().get("CPU", 1)))
            self._actor_options = {"num_cpus": 0, "max_restarts": 0, "scheduling_strategy": "SPREAD",
                                   **(actor_options or {})}
            self._slots = [_Slot(i, None) for i in range(count)]
            for slot in self._slots:
                slot.handle = self._start_actor(slot.index)
            if data is not None:
                self._route_into_sources(data)
            self._restore_all({slot.index: slot.sources for slot in self._slots})
        except BaseException:
            self._stop()
            raise
        self._closed = False

    @classmethod
    def from_partitions(
        cls,
        paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
        *,
        shards: int | None = None,
        timeout: float = DEFAULT_TIMEOUT,
        actor_options: Mapping[str, Any] | None = None,
        init_options: Mapping[str, Any] | None = None,
    ) -> ShardedCorvane:
        """A store of the entries in JSON-lines files of {"key": ..., "tags": [...]}
        objects (a directory stands for its *.jsonl files, in name order).

        The shards read the files themselves, each file once, and pass every
        entry to the shard it routes to; a later line for a key replaces an
        earlier one, in the order of `paths`. The files must be readable at
        the same path from every node. They stay the shards' source data: a
        shard that dies is rebuilt by reading them again.
        """
        files = _partition_files(paths)
        store = cls(shards=shards, timeout=timeout, actor_options=actor_options, init_options=init_options)
        try:
            store._load_partitions(files)
        except BaseException:
            store.close()
            raise
        return store

    # Set-up and tear-down

    def _start_actor(self, index: int) -> Any:
        ray = _cluster.ray_module()
        return ray.remote(Shard).options(**self._actor_options).remote(index, len(self._slots))

    def _route_into_sources(self, data: object) -> None:
        """Routes the pairs of `data` and puts them in Ray's object store in
        chunks of columns, each becoming a source of its shard."""
        ray = _cluster.ray_module()
        count = len(self._slots)
        chunks: list[Columns] = [([], []) for _ in range(count)]
        with collector_paused():
            for key_bytes, tag_list in pairs(data):
                index = shard_of(key_bytes, count)
                keys, values = chunks[index]
                keys.append(key_bytes)
                values.append(tag_list)
                if len(keys) >= CHUNK:
                    self._slots[index].sources.append(("columns", ray.put(chunks[index])))
                    chunks[index] = ([], [])
        for slot, chunk in zip(self._slots, chunks):
            if chunk[0]:
                slot.sources.append(("columns", ray.put(chunk)))

    def _load_partitions(self, files: list[str]) -> None:
        """Each file is split by one shard into a list for every shard; each
        shard then builds from its lists, in file order."""
        count = len(self._slots)
        lists: list[list[Any]] = []
        for number, path in enumerate(files):
            reader = self._slots[number % count].handle
            split = reader.split.options(num_returns=count).remote(path)
            lists.append(split if count > 1 else [split])
        self._restore_all({i: [("columns", per_file[i]) for per_file in lists] for i in range(count)})
        for slot in self._slots:
            slot.sources = [("files", files)]

    def _restore_all(self, sources: Mapping[int, Sequence[Source]]) -> None:
        ray = _cluster.ray_module()
        refs = {i: self._slots[i].handle.restore.remote(list(sources[i]), []) for i in sources}
        deadline = time.monotonic() + self.timeout
        for i, ref in refs.items():
            try:
                built = ray.get(ref, timeout=_left(deadline))
            except ray.exceptions.GetTimeoutError:
                raise ShardUnavailableError(i, len(self._slots), f"was not built within {self.timeout:g} s") from None
            except ray.exceptions.RayActorError as error:
                raise ShardUnavailableError(i, len(self._slots), f"died while it was built: {error}") from None
            if isinstance(built, Failure):
                raise built.error

    def _stop(self) -> None:
        ray = _cluster.ray_module()
        for slot in getattr(self, "_slots", []):
            if slot.handle is not None:
                with contextlib.suppress(Exception):
                    ray.kill(slot.handle, no_restart=True)
            slot.sources, slot.log = [], []
        if self._started_ray:
            self._started_ray = False
            _cluster.leave()

    def close(self) -> None:
        """Stops the shards and, if this store started Ray, Ray. The data is gone."""
        if not self._closed:
            self._closed = True
            self._stop()

    def __enter__(self) -> ShardedCorvane:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    def __reduce__(self) -> NoReturn:
        raise TypeError("cannot pickle 'ShardedCorvane' object: its edit log lives on the driver")

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._slots)} shards"
        return f"<ShardedCorvane of {state}>"

    # Operators' view

    @property
    def shards(self) -> list[Any]:
        """The shards' actor handles, in shard order (a shard that was rebuilt has a new one)."""
        return [slot.handle for slot in self._slots]

    def shard_of(self, key: Text) -> int:
        """The index of the shard that holds (or would hold) `key`."""
        return shard_of(self._key("__contains__", key), len(self._slots))

    def describe(self) -> list[dict[str, Any]]:
        """For each shard: its index, process id, node id, key count and how many
        edits its log holds."""
        places = self._run({slot.index: ("where", ()) for slot in self._slots})
        return [{**places[slot.index], "logged_edits": len(slot.log)} for slot in self._slots]

    def checkpoint(self, directory: str | os.PathLike[str] | None = None) -> None:
        """Folds every shard's edit log into fresh source data.

        Without a directory, each shard's entries go to Ray's object store (on
        the shard's node, so they survive its process but not the node). With
        one, each shard writes `part-<i>-of-<n>.jsonl` there: on storage every
        node reaches, the checkpoint survives the node and the driver too
        (`ShardedCorvane.from_partitions(directory)`). Either way the entries
        never pass through the driver. A store holding text that is not UTF-8
        cannot be exported: UnicodeDecodeError, and the logs are kept.
        """
        self._check_open()
        with contextlib.ExitStack() as held:
            for slot in self._slots:
                held.enter_context(slot.lock)
            if directory is None:
                sources = self._snapshot_all()
            else:
                os.makedirs(directory, exist_ok=True)
                folder, count = os.path.abspath(directory), len(self._slots)
                paths = [os.path.join(folder, f"part-{i:05d}-of-{count:05d}.jsonl") for i in range(count)]
                self._run({i: ("save", (paths[i],)) for i in range(count)})
                sources = [("files", [path]) for path in paths]
            for slot, source in zip(self._slots, sources):
                slot.sources, slot.log = [source], []

    def _snapshot_all(self) -> list[Source]:
        """Each shard's entries as one object in Ray's object store, left there."""
        ray = _cluster.ray_module()
        for slot in self._slots:
            if slot.stale:
                self._revive(slot, slot.generation)
        sent = [slot.handle.snapshot.options(num_returns=2).remote() for slot in self._slots]
        deadline = time.monotonic() + self.timeout
        for slot, (status, _) in zip(self._slots, sent):
            try:
                failure = ray.get(status, timeout=_left(deadline))
            except ray.exceptions.GetTimeoutError:
                raise self._unavailable(slot, f"did not answer within {self.timeout:g} s") from None
            except ray.exceptions.RayActorError:
                raise self._unavailable(slot, "died during the checkpoint; the logs are kept") from None
            if failure is not None:
                raise failure.error
        return [("items", entries) for _, entries in sent]

    def _unavailable(self, slot: _Slot, reason: str) -> ShardUnavailableError:
        return ShardUnavailableError(slot.index, len(self._slots), reason)

    # Sending calls

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("this ShardedCorvane is closed")

    def _run(self, plan: Mapping[int, tuple[str, Any]], *, edit: bool = False) -> dict[int, Any]:
        """Sends each planned shard its call at once, then collects the answers
        in shard order.

        A shard found dead is rebuilt and sent its call again; an edit is
        logged once its shard acknowledged it. Every shard is waited for
        before any error is raised, so that no acknowledged edit goes
        unlogged.
        """
        self._check_open()
        deadline = time.monotonic() + self.timeout
        slots = [self._slots[i] for i in sorted(plan)]
        for slot in slots:
            if slot.stale:
                self._revive(slot, slot.generation)
        with contextlib.ExitStack() as held:
            if edit:
                for slot in slots:
                    held.enter_context(slot.lock)
            sent = {slot.index: self._send(slot, plan[slot.index]) for slot in slots}
            answers: dict[int, Any] = {}
            problems: list[BaseException] = []
            for slot in slots:
                try:
                    answers[slot.index] = self._collect(slot, plan[slot.index], sent[slot.index], deadline)
                except ShardUnavailableError as error:
                    slot.stale = slot.stale or edit
                    problems.append(error)
                    continue
                if edit:
                    slot.log.append(plan[slot.index][1])
        if problems:
            raise problems[0]
        for index in sorted(answers):
            if isinstance(answers[index], Failure):
                raise answers[index].error
        return answers

    def _send(self, slot: _Slot, call: tuple[str, Any]) -> tuple[int, Any]:
        method, payload = call
        return slot.generation, getattr(slot.handle, method).remote(*payload)

    def _collect(self, slot: _Slot, call: tuple[str, Any], sent: tuple[int, Any], deadline: float) -> Any:
        ray = _cluster.ray_module()
        generation, ref = sent
        for _ in range(ATTEMPTS):
            try:
                return ray.get(ref, timeout=_left(deadline))
            except ray.exceptions.GetTimeoutError:
                raise self._unavailable(slot, f"did not answer within {self.timeout:g} s") from None
            except ray.exceptions.RayActorError:
                self._revive(slot, generation)
                generation, ref = self._send(slot, call)
        raise self._unavailable(slot, f"died {ATTEMPTS} times in one call")

    def _revive(self, slot: _Slot, generation: int) -> None:
        """Rebuilds a shard from its sources and log, unless another caller
        already did since `generation`."""
        ray = _cluster.ray_module()
        with slot.lock:
            if slot.generation != generation and not slot.stale:
                return
            with contextlib.suppress(Exception):
                ray.kill(slot.handle, no_restart=True)
            slot.stale = True
            slot.handle = self._start_actor(slot.index)
            slot.generation += 1
            count = len(self._slots)
            try:
                built = ray.get(slot.handle.restore.remote(slot.sources, slot.log), timeout=self.timeout)
            except ray.exceptions.GetTimeoutError:
                raise ShardUnavailableError(slot.index, count, f"was not rebuilt within {self.timeout:g} s") from None
            except ray.exceptions.RayActorError as error:
                raise ShardUnavailableError(slot.index, count, f"died while it was rebuilt: {error}") from None
            except ray.exceptions.RayError as error:  # its source data was lost with a node
                raise ShardUnavailableError(slot.index, count, f"could not be rebuilt: {error}") from None
            if isinstance(built, Failure):
                raise ShardUnavailableError(slot.index, count, f"could not be rebuilt: {built.error!r}")
            slot.stale = False

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

    def _point(self, method: str, key_bytes: bytes, args: tuple[Any, ...], *, edit: bool) -> Any:
        index = shard_of(key_bytes, len(self._slots))
        return self._run({index: ("call", (method, (key_bytes, *args)))}, edit=edit)[index]

    def _everywhere(self, method: str, args: tuple[Any, ...], *, edit: bool) -> list[Any]:
        answers = self._run({slot.index: ("call", (method, args)) for slot in self._slots}, edit=edit)
        return [answers[i] for i in range(len(self._slots))]

    def _batch(self, method: str, queries: Iterable[Iterable[Text]]) -> list[list[Any]]:
        if isinstance(queries, str | bytes | bytearray):
            raise TypeError(f"{method}_many() takes an iterable of tag lists, not a single {type(queries).__name__}")
        lists = [(self._tags(method, query),) for query in queries]
        answers = self._run({slot.index: ("call_many", (method, lists)) for slot in self._slots})
        return [answers[i] for i in range(len(self._slots))]

    # Queries

    def find(self, tags: Iterable[Text]) -> set[str]:
        """A new set of the keys that carry every tag; every key when `tags` is empty."""
        return _union(self._everywhere("find", (self._tags("find", tags),), edit=False))

    def find_any(self, tags: Iterable[Text]) -> set[str]:
        """A new set of the keys that carry at least one tag; every key when `tags` is empty."""
        return _union(self._everywhere("find_any", (self._tags("find_any", tags),), edit=False))

    def query(self, *args: Text) -> set[str]:
        """find() with the tags as arguments."""
        return _union(self._everywhere("find", (self._args("query", args),), edit=False))

    def query_any(self, *args: Text) -> set[str]:
        """find_any() with the tags as arguments."""
        return _union(self._everywhere("find_any", (self._args("query_any", args),), edit=False))

    def _args(self, method: str, args: tuple[object, ...]) -> list[Wire]:
        try:
            return tags(list(args))
        except NotText as bad:
            refuse(method, *bad.stand_in)  # type: ignore[misc]

    def count(self, tags: Iterable[Text]) -> int:
        """How many keys carry every tag; all of them when `tags` is empty."""
        return sum(self._everywhere("count", (self._tags("count", tags),), edit=False))

    def count_any(self, tags: Iterable[Text]) -> int:
        """How many keys carry at least one tag; all of them when `tags` is empty."""
        return sum(self._everywhere("count_any", (self._tags("count_any", tags),), edit=False))

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
        return bool(self._point("has_tag", key_bytes, (self._tag_arg("has_tag", key, tag),), edit=False))

    def _tag_arg(self, method: str, key: object, tag: object) -> bytes:
        converted = text(tag)
        if converted is None:
            refuse(method, key, tag)
        return converted

    def tags(self) -> list[str]:
        """A new list of every tag in use, shard by shard, each tag once."""
        return list(dict.fromkeys(tag for found in self._everywhere("tags", (), edit=False) for tag in found))

    def __len__(self) -> int:
        return sum(self._everywhere("__len__", (), edit=False))

    def __bool__(self) -> bool:
        return len(self) > 0

    def __contains__(self, key: Text) -> bool:
        return bool(self._point("__contains__", self._key("__contains__", key), (), edit=False))

    def __getitem__(self, key: Text) -> set[str]:
        return self._point("__getitem__", self._key("__getitem__", key), (), edit=False)  # type: ignore[no-any-return]

    @overload
    def get(self, key: Text) -> set[str] | None: ...
    @overload
    def get(self, key: Text, default: _Default) -> set[str] | _Default: ...
    def get(self, key: Text, default: object = _ABSENT) -> object:
        """A new set of the key's tags, or `default` itself when the key is absent."""
        given = () if default is _ABSENT else (default,)
        found = self._point("get", self._key("get", key, *given), (), edit=False)
        return found if found is not None else None if default is _ABSENT else default

    def keys(self) -> list[str]:
        """A new list of the keys, shard by shard."""
        return _concatenated(self._everywhere("keys", (), edit=False))

    def __iter__(self) -> Iterator[str]:
        """An iterator over a snapshot of the keys."""
        return iter(self.keys())

    def values(self) -> list[set[str]]:
        """A new list of new tag sets, one per key, in the order of keys()."""
        return _concatenated(self._everywhere("values", (), edit=False))

    def items(self) -> list[tuple[str, set[str]]]:
        """A new list of (key, tag set) tuples, in the order of keys()."""
        return _concatenated(self._everywhere("items", (), edit=False))

    def to_dict(self) -> dict[str, set[str]]:
        """A new dict of each key to a new set of its tags."""
        merged: dict[str, set[str]] = {}
        for part in self._everywhere("to_dict", (), edit=False):
            merged.update(part)
        return merged

    # Edits

    def add_tag(self, key: Text, tag: Text) -> None:
        """Adds a tag, creating the key if absent."""
        key_bytes = self._key("add_tag", key, tag)
        self._point("add_tag", key_bytes, (self._tag_arg("add_tag", key, tag),), edit=True)

    def add_tags(self, key: Text, tags: Iterable[Text]) -> None:
        """Adds the tags; creates the key unless `tags` is empty."""
        key_bytes = self._key("add_tags", key, tags)
        self._point("add_tags", key_bytes, (self._tags("add_tags", tags, key),), edit=True)

    def remove_tag(self, key: Text, tag: Text) -> None:
        """Removes a tag (the key goes with its last one); KeyError when the key or the tag is absent."""
        key_bytes = self._key("remove_tag", key, tag)
        self._point("remove_tag", key_bytes, (self._tag_arg("remove_tag", key, tag),), edit=True)

    def discard_tag(self, key: Text, tag: Text) -> None:
        """Removes a tag if the key carries it (the key goes with its last one)."""
        key_bytes = self._key("discard_tag", key, tag)
        self._point("discard_tag", key_bytes, (self._tag_arg("discard_tag", key, tag),), edit=True)

    def __setitem__(self, key: Text, tags: Iterable[Text]) -> None:
        key_bytes = self._key("__setitem__", key, tags)
        self._point("__setitem__", key_bytes, (self._tags("__setitem__", tags, key),), edit=True)

    def __delitem__(self, key: Text) -> None:
        self._point("__delitem__", self._key("__delitem__", key), (), edit=True)

    def erase(self, key: Text) -> set[str]:
        """Removes the key and returns its tags; KeyError when it is absent."""
        return self._point("erase", self._key("erase", key), (), edit=True)  # type: ignore[no-any-return]

    def discard(self, key: Text) -> bool:
        """Removes the key if present; returns whether it was."""
        return bool(self._point("discard", self._key("discard", key), (), edit=True))

    @overload
    def pop(self, key: Text) -> set[str] | None: ...
    @overload
    def pop(self, key: Text, default: _Default) -> set[str] | _Default: ...
    def pop(self, key: Text, default: object = _ABSENT) -> object:
        """Removes the key and returns its tags, or returns `default` when it is absent."""
        given = () if default is _ABSENT else (default,)
        found = self._point("pop", self._key("pop", key, *given), (), edit=True)
        return found if found is not None else None if default is _ABSENT else default

    def popitem(self) -> tuple[str, set[str]]:
        """Removes and returns the first (key, tags) pair in iteration order; KeyError when empty."""
        for slot in self._slots:
            try:
                return self._run({slot.index: ("call", ("popitem", ()))}, edit=True)[slot.index]  # type: ignore[no-any-return]
            except KeyError:
                if slot.index == len(self._slots) - 1:
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
        return self._point("setdefault", key_bytes, (converted,), edit=True)  # type: ignore[no-any-return]

    def update(self, d: Mapping[Text, Iterable[Text]]) -> None:
        """Sets each key of the dict to its tags, in order (an empty value removes
        the key); entries before one that does not convert are applied."""
        converted, refused = update_pairs(d)
        count = len(self._slots)
        parts: dict[int, dict[bytes, list[Wire]]] = {}
        for key_bytes, tag_list in converted:
            part = parts.setdefault(shard_of(key_bytes, count), {})
            part.pop(key_bytes, None)  # a later entry for the key comes after the others
            part[key_bytes] = tag_list
        if parts:
            self._run({i: ("call", ("update", (part,))) for i, part in parts.items()}, edit=True)
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
        """Removes every key and tag; the shards' logs and sources go with them."""
        with contextlib.ExitStack() as held:
            for slot in self._slots:
                held.enter_context(slot.lock)
            self._everywhere("clear", (), edit=True)
            for slot in self._slots:
                slot.sources, slot.log = [], []


def _left(deadline: float) -> float:
    return max(0.0, deadline - time.monotonic())


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


def _partition_files(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    if isinstance(paths, str | os.PathLike):
        path = os.fspath(paths)
        if os.path.isdir(path):
            return sorted(os.path.join(os.path.abspath(path), name) for name in os.listdir(path)
                          if name.endswith(".jsonl"))
        return [os.path.abspath(path)]
    return [os.path.abspath(os.fspath(path)) for path in paths]

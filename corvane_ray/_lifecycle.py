"""Making, opening, loading, stopping and unpickling stores: how both kinds
of handle come by their shards, and let them go.

A store is its shards: Ray actors, each given its place, its folder and the
store's identity. A named store's shards are named `<name>/<index>` in the
namespace `corvane` and detached, so that the store outlives its maker. A
handle that made or opened a store adopts an Adopted: its calls to the
shards, the store's name and identity, whether it made an unnamed store (and
so stops it on close), and its lease on a Ray this package started.
"""

from __future__ import annotations

import atexit
import contextlib
import math
import os
import time
import weakref
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, NamedTuple

from . import _cluster, _durable, _partitions
from ._calls import ShardCalls
from ._cluster import RayLease, released_on_error
from ._convert import routed_chunks
from ._progress import Progress, Watcher
from ._shard import Shard
from ._wire import IDENTITY, INFO, LOAD, RETIRE, START, TABLE, Call
from .errors import ShardUnavailableError, StoreNotFoundError, StoreReplacedError

DEFAULT_TIMEOUT = 300.0
MAX_DEFAULT_SHARDS = 4  # each shard is a worker process of about 130 MiB even when idle
NAMESPACE = "corvane"  # the Ray namespace of named stores' shards
LOAD_CHUNK_ENTRIES = 50_000  # entries a driver-fed shard receives in one object
READY_POLL = 0.1  # seconds between looks at a store that is still being made
READY_WAIT = 10.0  # seconds destroy_named() waits for a shard to say where its files are
READY = "ready"
OWN_OPTIONS = frozenset({"name", "namespace", "lifetime", "max_restarts", "max_task_retries", "get_if_exists"})
SPLIT_OPTIONS = ("runtime_env",)  # actor options that a load's split tasks take as well
_shard_class: Any = None
_split_task: Any = None
_unnamed_stores: weakref.WeakSet[Any] = weakref.WeakSet()  # handles that made unnamed stores, closed at exit
_closing_at_exit = False

# Where a load's entries come from: each item is the arguments of one split
# task (a partition's path, or a dataset block with its columns' names).
Sources = Iterable[tuple[Any, ...]]


class Adopted(NamedTuple):
    """What a handle takes over: its calls to the shards, and what it knows of the store."""

    calls: ShardCalls
    name: str | None
    owner: bool  # made an unnamed store, which it stops when it closes
    lease: RayLease | None
    root: str | None = None
    store_id: str | None = None


# Making

def make(data: object, sources: Sources | None, *, shards: int | None, name: str | None,
         path: str | os.PathLike[str] | None, durability: str, timeout: float | None,
         actor_options: Mapping[str, Any] | None, init_options: Mapping[str, Any] | None,
         direct: bool, progress: bool | None = None, what: str = "loading") -> Adopted:
    """Makes a store (or reopens the one under `path`) and loads `data` or `sources` into it."""
    if shards is not None and (type(shards) is not int or shards < 1):
        raise ValueError(f"shards must be a positive int, not {shards!r}")
    if name is not None:
        check_name(name)
    if durability not in _durable.DURABILITIES:
        raise ValueError(f"durability must be 'os' or 'fsync', not {durability!r}")
    seconds = check_timeout(timeout)
    options = shard_options(actor_options)
    root = os.path.abspath(os.fspath(path)) if path is not None else None
    loading = data is not None or sources is not None
    with released_on_error(_cluster.join(dict(init_options or {}))) as lease:
        handles: list[Any] = []
        made_root = reopen = False
        try:
            count, reopen, made_root, store_id = claim(root, shards, loading)
            handles = start_shards(count, name, root, durability, reopen, options, store_id)
            calls = ShardCalls(handles, seconds, direct=direct)
            calls.run({i: Call(START, args=(not loading,)) for i in range(count)})
            if data is not None:
                load_data(calls, data)
            elif sources is not None:
                load_sources(calls, sources, options, Progress(what, _size_of(sources), progress))
        except BaseException as error:
            stop_shards(handles, delete=not reopen, seconds=seconds)
            if made_root and root is not None:
                _durable.remove_root(root)
            if isinstance(error, _cluster.ray_module().exceptions.ActorAlreadyExistsError):
                raise ValueError(f"a store named {name!r} runs on this Ray cluster already (if it never became "
                                 f"ready, because the process that made it stopped first, "
                                 f"ShardedCorvane.destroy_named({name!r}) frees the name)") from None
            raise
    return Adopted(calls, name, True, lease, root, store_id)


def check_name(name: object) -> None:
    if type(name) is not str or not name:
        raise ValueError(f"a store's name must be a non-empty str, not {name!r}")


def check_timeout(timeout: object) -> float | None:
    """Seconds to wait for a shard; None (or infinity) waits without limit."""
    if timeout is None or timeout == math.inf:
        return None
    if type(timeout) not in (int, float) or not 0 < timeout < math.inf:  # type: ignore[operator]
        raise ValueError(f"timeout must be a positive number of seconds or None, not {timeout!r}")
    seconds = float(timeout)  # type: ignore[arg-type]
    return None if seconds > 1e9 else seconds  # beyond what Ray's clock takes: no limit


def shard_options(given: Mapping[str, Any] | None) -> dict[str, Any]:
    """The `.options()` of each shard's actor: the caller's, and the store's own."""
    clashing = sorted(OWN_OPTIONS.intersection(given or {}))
    if clashing:
        raise ValueError(f"actor_options may not set {', '.join(clashing)}: the store sets them")
    return {"num_cpus": 0, "scheduling_strategy": "SPREAD", **(given or {}),
            "max_restarts": -1, "max_task_retries": -1}


def claim(root: str | None, shards: int | None, loading: bool) -> tuple[int, bool, bool, str]:
    """The shard count, whether the store is reopened from `root`, whether
    this call made the root's manifest, and the store's identity (made with
    the store, and kept in its manifest when it has files of its own)."""
    if root is None:
        return shards or default_shards(), False, False, _durable.new_store_id()
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
    count, store_id = shards or default_shards(), _durable.new_store_id()
    _durable.write_manifest(root, count, store_id)
    return count, False, True, store_id


def default_shards() -> int:
    cpus = int(_cluster.ray_module().cluster_resources().get("CPU", 1))
    return max(1, min(MAX_DEFAULT_SHARDS, cpus))


def start_shards(count: int, name: str | None, root: str | None, durability: str, reopen: bool,
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
        stop_shards(handles, delete=not reopen, seconds=10.0)
        raise
    return handles


def close_at_exit(handle: Any) -> None:
    """An unnamed store ends with the process that made it: when that process
    exits without closing it, it is closed then, so that its temporary files
    go too (a process killed outright leaves them, see the docs on clean-up)."""
    global _closing_at_exit
    if not _closing_at_exit:
        atexit.register(_close_unnamed_stores)  # after Ray's own, so it runs before Ray stops
        _closing_at_exit = True
    _unnamed_stores.add(handle)


def _close_unnamed_stores() -> None:
    for handle in list(_unnamed_stores):
        with contextlib.suppress(Exception):
            handle.close()


# Loading

def load_data(calls: ShardCalls, data: object) -> None:
    """Routes the data's pairs and puts them in Ray's object store in encoded
    chunks; each shard builds from its own, in order."""
    ray = _cluster.ray_module()
    refs: list[list[Any]] = [[] for _ in range(calls.count)]
    for index, chunk in routed_chunks(data, calls.count, LOAD_CHUNK_ENTRIES):
        refs[index].append(ray.put(chunk))
    calls.run({i: Call(LOAD, args=tuple(refs[i])) for i in range(calls.count)}, edit=True)


def load_sources(calls: ShardCalls, sources: Sources, options: Mapping[str, Any], progress: Progress) -> None:
    """Each source is split by a Ray task into a chunk for every shard; each
    shard then builds from its chunks, in source order. Splits start as the
    sources come, so a dataset's blocks are split while it runs. A split is
    a task, not a shard's call, so that a shard that died in its load finds
    its chunks again (or Ray makes them again) without waiting on a shard."""
    global _split_task
    count = calls.count
    if _split_task is None:
        _split_task = _cluster.ray_module().remote(_partitions.split)
    splitter = _split_task.options(num_returns=count, max_retries=-1,
                                   **{name: options[name] for name in SPLIT_OPTIONS if name in options})
    ray = _cluster.ray_module()
    watcher = Watcher(progress, lambda refs: ray.wait(refs, num_returns=len(refs), timeout=0, fetch_local=False)[0])
    try:
        splits: list[list[Any]] = []
        for args in sources:
            split = splitter.remote(count, *args)
            splits.append(split if count > 1 else [split])
            watcher.add(splits[-1][0])
        calls.run({i: Call(LOAD, args=tuple(split[i] for split in splits)) for i in range(count)}, edit=True)
    finally:
        watcher.stop()


def _size_of(sources: Sources) -> int | None:
    return len(sources) if isinstance(sources, list) else None


class DatasetBlocks:
    """A dataset's blocks as split() arguments, as its execution streams them;
    a block that only part of belongs to the dataset comes with its rows' span."""

    def __init__(self, dataset: Any, key: str, tags: str) -> None:
        self.dataset, self.key, self.tags = dataset, key, tags

    def __iter__(self) -> Iterator[tuple[Any, ...]]:
        number = 0
        for bundle in streamed_in_order(self.dataset).iter_internal_ref_bundles():
            for entry, part in zip(bundle.blocks, bundle.slices):
                span = None if part is None else (part.start_offset, part.end_offset)
                yield entry.ref, self.key, self.tags, f"dataset block {number}", span
                number += 1


def streamed_in_order(dataset: Any) -> Any:
    """The dataset streaming its blocks in its own order, so that a later row
    for a key comes later, as they finish otherwise; a copy, with a context
    of its own, so that the caller's dataset is left as it was."""
    ordered = type(dataset).copy(dataset, _deep_copy=True)
    ordered.context.execution_options.preserve_order = True
    return ordered


# Opening

def open_named(name: str, *, timeout: float | None, direct: bool) -> Adopted:
    """A new handle's view of the named store running on the cluster, once it is ready."""
    check_name(name)
    seconds = check_timeout(timeout)
    with released_on_error(_cluster.attach()) as lease:
        ray = _cluster.ray_module()
        try:
            first = ray.get_actor(f"{name}/0", namespace=NAMESPACE)
        except ValueError:
            raise StoreNotFoundError(name) from None
        store_id, _, count = ShardCalls([first], seconds, direct=False).run({0: Call(IDENTITY)})[0]
        handles = [first]
        for index in range(1, count):
            try:
                handles.append(ray.get_actor(f"{name}/{index}", namespace=NAMESPACE))
            except ValueError:
                raise ShardUnavailableError(index, count, (
                    f"is missing: the store was destroyed, or the process that made it stopped before it made "
                    f"every shard (then ShardedCorvane.destroy_named({name!r}) frees the name)")) from None
        calls = ShardCalls(handles, seconds, direct=direct)
        check_identity(calls, name, store_id)
        wait_until_ready(calls, name)
    return Adopted(calls, name, False, lease, None, store_id)


def reopen(name: str | None, handles: list[Any] | None, count: int, timeout: float | None,
           root: str | None, store_id: str | None = None, direct: bool = True) -> Adopted:
    """A pickled handle's view, unpickled: the same shards (for a named store,
    those of the store of that name it was made for, and no other)."""
    with released_on_error(_cluster.attach()) as lease:
        if handles is None:
            assert name is not None
            ray = _cluster.ray_module()
            try:
                handles = [ray.get_actor(f"{name}/{i}", namespace=NAMESPACE) for i in range(count)]
            except ValueError:
                raise StoreNotFoundError(name) from None
            calls = ShardCalls(handles, timeout, direct=direct)
            if store_id is not None:
                check_identity(calls, name, store_id)
        else:
            calls = ShardCalls(handles, timeout, direct=direct)
    return Adopted(calls, name, False, lease, root, store_id)


def named_shards(name: str) -> list[Any]:
    """The actors of the shards named after a store, in order, up to the first missing one."""
    ray = _cluster.ray_module()
    handles: list[Any] = []
    while True:
        try:
            handles.append(ray.get_actor(f"{name}/{len(handles)}", namespace=NAMESPACE))
        except ValueError:
            return handles


def check_identity(calls: ShardCalls, name: str, store_id: str) -> None:
    """Whether every shard called is one of store `store_id`, in its place."""
    count = calls.count
    places = calls.run({i: Call(IDENTITY) for i in range(count)})
    if any(places[i] != (store_id, i, count) for i in range(count)):
        raise StoreReplacedError(name)


def wait_until_ready(calls: ShardCalls, name: str | None) -> None:
    """Waits for every shard to hold its load; a store that is not ready in
    time says what each of its shards is doing."""
    deadline = None if calls.timeout is None else time.monotonic() + calls.timeout
    waiting = list(range(calls.count))
    while True:
        states = readiness(calls, waiting, deadline)
        waiting = [index for index in waiting if states[index] != READY]
        if not waiting:
            return
        if deadline is not None and time.monotonic() >= deadline:
            described = "; ".join(f"shard {index} {states[index]}" for index in waiting)
            raise calls.unavailable(waiting[0], (
                f"was not ready within {calls.timeout:g} s: {described}. A store is ready once the process "
                f"that made it has loaded it; if that process stopped first, "
                f"ShardedCorvane.destroy_named({name!r}) frees the name"))
        time.sleep(READY_POLL)


def readiness(calls: ShardCalls, indices: Sequence[int], deadline: float | None) -> dict[int, str]:
    """What each of these shards is doing: ready, or why not."""
    ray = _cluster.ray_module()
    asked = {index: calls.handles[index].call.remote(Call(INFO)) for index in indices}
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
            raise calls.lost(index, error) from None
        states[index] = READY if info["ready"] else "is made, waiting for its load" if info["folder"] else \
            "is not started"
    return states


def dataset_of(calls: ShardCalls) -> Any:
    """The shards' entries as a Ray dataset of one Arrow table per shard, made by the shards now."""
    ray = _cluster.ray_module()
    tables = [handle.call.remote(Call(TABLE)) for handle in calls.handles]
    ready, _ = ray.wait(tables, num_returns=len(tables), timeout=calls.timeout, fetch_local=False)
    if len(ready) < len(tables):
        index = next(i for i, table in enumerate(tables) if table not in ready)
        raise calls.unavailable(index, f"did not answer within {calls.timeout:g} s")
    return ray.data.from_arrow_refs(tables)


# Stopping

def stop_shards(handles: Sequence[Any], *, delete: bool, seconds: float | None) -> None:
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


def destroy_named(name: str, *, timeout: float | None) -> None:
    """Stops the named store's shards and deletes its files, whatever state it is in."""
    check_name(name)
    seconds = check_timeout(timeout)
    lease = _cluster.attach()
    try:
        handles = named_shards(name)
        if not handles:
            raise StoreNotFoundError(name)
        try:
            place = ShardCalls(handles[:1], min(seconds or READY_WAIT, READY_WAIT), direct=False).run(
                {0: Call(INFO)})[0]
        except Exception:  # busy or gone: its files cannot be found from here
            place = {"root": None, "shards": len(handles)}
        stop_shards(handles, delete=True, seconds=seconds)
        remove_files(place["root"], place["shards"])
    finally:
        if lease is not None:
            lease.release()


def remove_files(root: str | None, count: int) -> None:
    """What the shards of a destroyed store could not remove themselves."""
    import shutil

    if root is not None:
        for index in range(count):
            shutil.rmtree(_durable.shard_folder(root, index, count), ignore_errors=True)
        _durable.remove_root(root)

"""The asyncio handle: the same answers and errors as one store (the state
machine, with kills), awaits to one shard that do not wait for another's,
1,000 awaits at once while shards die, and handles that open and pickle."""

import asyncio
import contextlib
import os
import pickle
import signal

import pytest
from conftest import stop
from test_sharded_model import KilledShardMachine, ShardedMachine, run_machine

pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="the sharded store is pure Python: its tests run in the optimised pass")
corvane_ray = pytest.importorskip("corvane_ray")
AsyncShardedCorvane, ShardedCorvane = corvane_ray.AsyncShardedCorvane, corvane_ray.ShardedCorvane


class Blocking:
    """An asyncio handle driven call by call, in the shape of a ShardedCorvane,
    for the state machines: the dunders map to the coroutines named for them."""

    COROUTINES = {"__getitem__": "getitem", "__contains__": "contains", "__setitem__": "setitem",
                  "__delitem__": "delitem", "__len__": "len"}

    def __init__(self, handle, loop):
        self.handle, self.loop = handle, loop

    def __getattr__(self, name):
        method = getattr(self.handle, self.COROUTINES.get(name, name))
        return lambda *args: self.loop.run_until_complete(method(*args))

    @property
    def shards(self):
        return self.handle.shards

    def __len__(self):
        return self.__getattr__("len")()

    def __bool__(self):
        return len(self) > 0

    def __iter__(self):
        return iter(self.__getattr__("keys")())


@pytest.fixture
def handle(sharded):
    store = sharded(2)
    handle = store.asyncio()
    yield handle
    handle.close()


def test_the_asyncio_handle_answers_as_one_store(handle):
    loop = asyncio.new_event_loop()
    try:
        run_machine(ShardedMachine, Blocking(handle, loop), examples=25, steps=30)
        run_machine(KilledShardMachine, Blocking(handle, loop), examples=4, steps=30)
    finally:
        loop.close()


def test_awaits_to_one_shard_do_not_wait_for_another(sharded):
    store = sharded(2)
    store.update({"k": ["a"], "d": ["a"]})
    stopped = store.describe()[store.shard_of("k")]["pid"]

    async def main():
        handle = store.asyncio()
        waiting = [asyncio.ensure_future(handle.add_tag("k", f"t{i}")) for i in range(10)]
        others = [asyncio.ensure_future(handle.add_tag("d", f"t{i}")) for i in range(10)]
        await asyncio.wait_for(asyncio.gather(*others), 30)
        assert not any(call.done() for call in waiting)
        os.kill(stopped, signal.SIGCONT)
        await asyncio.gather(*waiting)
        handle.close()

    stop(stopped)
    try:
        asyncio.run(main())
    finally:
        os.kill(stopped, signal.SIGCONT)
    assert store.to_dict() == {key: {"a", *(f"t{i}" for i in range(10))} for key in ("k", "d")}


@pytest.mark.parametrize("direct", [True, False], ids=["direct line", "Ray calls"])
def test_a_thousand_awaits_at_once_lose_nothing_while_shards_die(sharded, direct):
    store = sharded(2, direct)
    pids = [place["pid"] for place in store.describe()]

    async def main():
        handle = store.asyncio()
        for pid in pids:  # the calls queue up at shards that then die with them in flight
            stop(pid)
        edits = [handle.add_tags(f"k{i}", ["x", f"n{i}"]) for i in range(1000)]
        counts = [handle.count(["x"]) for _ in range(100)]
        calls = asyncio.gather(*edits, *counts)
        await asyncio.sleep(0.5)
        for pid in pids:
            os.kill(pid, signal.SIGKILL)
        replies = await calls
        assert replies[:1000] == [None] * 1000 and all(0 <= n <= 1000 for n in replies[1000:])
        popped = await asyncio.gather(*(handle.pop(f"k{i}") for i in range(0, 1000, 2)))
        assert popped == [{"x", f"n{i}"} for i in range(0, 1000, 2)]
        handle.close()

    try:
        asyncio.run(main())
    finally:
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGCONT)
    assert not set(place["pid"] for place in store.describe()) & set(pids)
    assert store.to_dict() == {f"k{i}": {"x", f"n{i}"} for i in range(1, 1000, 2)}


def test_asyncio_handles_open_by_name_and_pickle(local_ray, tmp_path):
    store = ShardedCorvane({"k": ["a"]}, shards=2, name="async-handles")

    async def main():
        handle = await AsyncShardedCorvane.open("async-handles")
        copy = pickle.loads(pickle.dumps(handle))
        await copy.add_tag("k", "b")
        assert await handle.get("k") == {"a", "b"} and await handle.get("absent", 0) == 0
        await handle.checkpoint()  # calls of a shard's own, which no batch of the line takes
        await handle.export(tmp_path)
        assert [place["logged_edits"] for place in await handle.describe()] == [0, 0]
        assert isinstance(copy, AsyncShardedCorvane) and repr(copy) == "<AsyncShardedCorvane 'async-handles' of 2 shards>"
        copy.close()
        with pytest.raises(RuntimeError, match="this ShardedCorvane is closed"):
            await copy.count([])
        with pytest.raises(corvane_ray.StoreNotFoundError):
            await AsyncShardedCorvane.open("no such store")
        await handle.destroy()

    try:
        asyncio.run(main())
    finally:
        if store.name is not None:
            store.close()
    with pytest.raises(corvane_ray.StoreNotFoundError):
        ShardedCorvane.open("async-handles")


RENAMED = {"__len__": "len", "__contains__": "contains", "__getitem__": "getitem", "__setitem__": "setitem",
           "__delitem__": "delitem", "__enter__": "__aenter__", "__exit__": "__aexit__"}
BLOCKING_ONLY = {"__init__", "__iter__", "__bool__", "__reduce__", "asyncio", "from_partitions", "from_dataset"}


def test_the_blocking_and_the_asyncio_handles_offer_the_same_operations():
    import inspect

    for name, blocking in inspect.getmembers(ShardedCorvane):
        if name in BLOCKING_ONLY or (name.startswith("_") and name not in RENAMED):
            continue
        asynchronous = getattr(AsyncShardedCorvane, RENAMED.get(name, name), None)
        assert asynchronous is not None, f"the asyncio handle has no {name}"
        if isinstance(blocking, property) or asynchronous is blocking:  # shared by both
            continue
        assert list(inspect.signature(asynchronous).parameters) == list(inspect.signature(blocking).parameters), name
        if name not in ("__enter__", "__exit__"):
            assert inspect.getdoc(asynchronous) == inspect.getdoc(blocking), name
            assert inspect.iscoroutinefunction(asynchronous) or name == "close", name


def test_a_blocking_call_inside_a_running_event_loop_says_to_use_the_asyncio_handle(sharded):
    store = sharded(1)

    async def main():
        with pytest.raises(RuntimeError, match=r"blocks the running event loop: use store.asyncio\(\)"):
            store.count([])
        assert await asyncio.to_thread(store.count, []) == 0  # from a thread of its own, it may

    asyncio.run(main())

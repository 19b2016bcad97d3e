# pyright: strict
"""corvane_ray typed as a user writes it: type checkers run strict on this file and the package."""

from typing import Any

from corvane_ray import (
    DEFAULT_TIMEOUT,
    AsyncShardedCorvane,
    CorruptFileError,
    ShardedCorvane,
    ShardUnavailableError,
    StoreNotFoundError,
    shard_of,
)


def tour(folder: str) -> None:
    with ShardedCorvane({"img/1.jpg": ["paris", "sunset"]}, shards=2, timeout=DEFAULT_TIMEOUT) as store:
        store.add_tag(b"img/2.jpg", "paris")
        store.add_tags("img/3.jpg", ("food", b"paris"))
        store["img/4.jpg"] = {"sunset"}
        found: set[str] = store.find(["paris"]) | store.find_any(["food"]) | store.query("a", b"b")
        counts: list[int] = store.count_many([["paris"], ["sunset", "food"]]) + store.count_any_many([["x"]])
        sets: list[set[str]] = store.find_many([["paris"]]) + store.find_any_many([[b"x"]])
        total: int = store.count(["paris"]) + store.count_any([]) + len(store)
        tags: set[str] | None = store.get("img/1.jpg")
        fallback: set[str] | str = store.get("absent", "none")
        popped: set[str] | int = store.pop("img/4.jpg", 0)
        kept: list[str] = store.retain_where_any(["paris", "food"]) + store.erase_where(["food"])
        everything: dict[str, set[str]] = store.to_dict()
        listed: list[tuple[str, set[str]]] = store.items()
        where: int = store.shard_of("img/1.jpg") + shard_of(b"img/1.jpg", 2)
        handles: list[Any] = store.shards
        store.update({"img/5.jpg": ["new"]})
        store.checkpoint()
        store.export(folder)
        print(found, counts, sets, total, tags, fallback, popped, kept, everything, listed, where, handles,
              store.describe(), [key for key in store], "img/1.jpg" in store, store.setdefault("k", ["v"]))
    try:
        loaded = ShardedCorvane.from_partitions([folder], shards=1, timeout=5.0)
    except ShardUnavailableError as error:
        print(error.index)
    else:
        loaded.close()



def service(folder: str) -> None:
    store = ShardedCorvane(shards=2, name="photos", path=folder, durability="fsync", timeout=None)
    try:
        other = ShardedCorvane.open("photos", timeout=10.0)
    except StoreNotFoundError as error:
        print(error.name)
    except CorruptFileError as error:
        print(error.path)
    else:
        name: str | None = other.name
        limit: float | None = other.timeout
        print(name, limit)
        other.close()
    store.destroy()


async def served(store: ShardedCorvane, folder: str) -> None:
    handle: AsyncShardedCorvane = store.asyncio()
    other = await AsyncShardedCorvane.open("photos", timeout=None)
    found: set[str] = await handle.find(["paris"]) | await other.find_any([b"x"]) | await handle.query("a")
    counts: list[int] = await handle.count_many([["paris"]]) + [await handle.count([]), await handle.len()]
    tags: set[str] | None = await handle.get("k")
    fallback: set[str] | int = await handle.pop("k", 0)
    await handle.add_tags("k", ["a"])
    await handle.setitem("k", {"b"})
    present: bool = await handle.contains("k")
    await handle.export(folder, format="parquet")
    store.export(folder, format="parquet")
    copy = ShardedCorvane.from_dataset(store.to_dataset(), key="key", tags="tags", shards=2)
    print(found, counts, tags, fallback, present, copy)
    other.close()
    async with handle:
        await handle.destroy()

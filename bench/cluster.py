"""The sharded store on a local Ray against one in-process Corvane and a bare
Ray actor: loading, per-call latency by kind of call, throughput, and what
durability and recovery cost.

    python bench/cluster.py --keys 1000000

Writes the benchmark's keys as 4 JSON-lines and 4 Parquet partitions, and
times the best one-process load of each with the same parser (msgspec,
pyarrow) against loading them into 1 and 2 shards (the shards read the files
themselves), less the start of an empty store of as many shards in the same
run; likewise a load fed from the driver against building one Corvane in
process, and a load from a Ray dataset. Then the median of many calls of each
kind, beside a bare Ray actor that takes the same arguments and returns at
once (a point edit is also timed in turn with the bare call, so that the
machine's drift touches both alike); the calls per second that 1 and 4
threads get through, and 32 asyncio callers, counts and point edits mixed,
beside the bare actor's calls sent without waiting; a point edit synced to
the disk; a shard killed with
SIGKILL until it answers again; `open()` of a running store; and each
shard's resident memory at its peak while it loaded and after. Every shard is
one actor in its own process; on a 2-core machine 2 shards have a core each.
Temporary files are removed at the end.
"""

import argparse
import asyncio
import gc
import glob
import json
import os
import signal
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))

import msgspec  # noqa: E402
import pyarrow  # noqa: E402
import pyarrow.parquet  # noqa: E402
import ray  # noqa: E402

from corvane import Corvane  # noqa: E402
from corvane_ray import ShardedCorvane  # noqa: E402
from data import generate  # noqa: E402

PARTITIONS = 4
SYNCED = 'point edit, durability="fsync"'
BESIDE = "point edit, above a bare actor call timed in turn with it"
PIPED = "calls/s, the bare actor's, sent without waiting, timed beside them"


def write_partitions(data, folder):
    """The README's export, as JSON lines and as Parquet, split over files the same way."""
    items = list(data.items())
    for i in range(PARTITIONS):
        part = items[i::PARTITIONS]
        with open(os.path.join(folder, f"part-{i}.jsonl"), "w", encoding="utf-8") as f:
            f.writelines(json.dumps({"key": key, "tags": tags}) + "\n" for key, tags in part)
        pyarrow.parquet.write_table(pyarrow.table({"key": [k for k, _ in part], "tags": [t for _, t in part]}),
                                    os.path.join(folder, f"part-{i}.parquet"))


class Entry(msgspec.Struct):
    key: str
    tags: list[str]


def in_process_jsonl(files):
    """The best one-process load of JSON lines: msgspec, the collector paused."""
    decoder = msgspec.json.Decoder(Entry)
    gc.disable()
    try:
        keys, values = [], []
        for path in files:
            with open(path, "rb") as f:
                entries = decoder.decode_lines(f.read())
            keys += [e.key for e in entries]
            values += [e.tags for e in entries]
        return Corvane(keys, values)
    finally:
        gc.enable()


def in_process_parquet(files):
    gc.disable()
    try:
        keys, values = [], []
        for path in files:
            table = pyarrow.parquet.read_table(path, columns=["key", "tags"])
            keys += table.column("key").to_pylist()
            values += table.column("tags").to_pylist()
        return Corvane(keys, values)
    finally:
        gc.enable()


def timed(action):
    started = time.perf_counter()
    result = action()
    return time.perf_counter() - started, result


def best_time(action, times=3):
    best = float("inf")
    for _ in range(times):
        seconds, result = timed(action)
        del result
        best = min(best, seconds)
    return best


def median_time(action, times):
    return statistics.median(timed(action)[0] for _ in range(times))


def pick_tags(data):
    """A tag on about 10% of the keys, and a rare one on a few dozen."""
    counts = {}
    for tags in data.values():
        for tag in tags:
            counts[tag] = counts.get(tag, 0) + 1
    tenth = min(counts, key=lambda t: abs(counts[t] - len(data) / 10))
    rare = min(counts, key=lambda t: abs(counts[t] - 50))
    common = max(counts, key=counts.get)
    return common, tenth, rare, counts


def latencies(store, keys, common, tenth, rare, queries):
    """Seconds per call, median, for each kind of call."""
    edits = iter(keys)
    return {
        "point edit: add_tag": median_time(lambda: store.add_tag(next(edits), "bench"), 300),
        "point read: [key]": median_time(lambda: store[keys[0]], 300),
        "count of one tag": median_time(lambda: store.count([common]), 200),
        "small find (rare tag)": median_time(lambda: store.find([rare]), 200),
        "find returning ~10% of keys": median_time(lambda: store.find([tenth]), 10),
        "1,000 counts, one by one": median_time(lambda: [store.count(q) for q in queries], 2),
        **({"1,000 counts, count_many": median_time(lambda: store.count_many(queries), 10)}
           if hasattr(store, "count_many") else {}),
    }


def throughput(store, keys, common, callers, seconds=2.0):
    """Calls per second that `callers` threads get through together, counts and point edits mixed 1:1."""
    done = [0] * callers
    stop = time.perf_counter() + seconds

    def work(me):
        number = me
        while time.perf_counter() < stop:
            store.count([common])
            store.add_tag(keys[number % len(keys)], "busy")
            number += callers
            done[me] += 2

    threads = [threading.Thread(target=work, args=(i,)) for i in range(callers)]
    started = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(done) / (time.perf_counter() - started)


def asyncio_throughput(store, keys, common, callers=32, seconds=3.0):
    """Calls per second of `callers` coroutines of one asyncio handle, counts and point edits mixed 1:1."""
    async def main():
        handle = store.asyncio()
        done = [0]
        stop = time.perf_counter() + seconds

        async def work(me):
            number = me
            while time.perf_counter() < stop:
                await handle.count([common])
                await handle.add_tag(keys[number % len(keys)], "busy")
                number += callers
                done[0] += 2

        started = time.perf_counter()
        await asyncio.gather(*(work(me) for me in range(callers)))
        rate = done[0] / (time.perf_counter() - started)
        handle.close()
        return rate

    return asyncio.run(main())


@ray.remote(num_cpus=0)
class Echo:
    """A bare actor taking what a shard takes: what a call costs before the store does anything."""

    def edit(self, client, seq, floor, method, args):
        return None


class BareActor:
    """A bare actor taking a shard's arguments, kept for the whole run."""

    def __init__(self, keys):
        self.echo = Echo.remote()
        self.client = os.urandom(16)
        self.numbers = iter(range(1, 10**9))
        self.key = keys[1].encode()
        ray.get(self.echo.edit.remote(self.client, 0, 0, "add_tag", (self.key, "bench")))

    def point(self):
        return ray.get(self.echo.edit.remote(self.client, next(self.numbers), 0, "add_tag", (self.key, "bench")))

    def pipelined(self, keys, count=3000):
        seconds, _ = timed(lambda: ray.get([self.echo.edit.remote(self.client, next(self.numbers), 0, "add_tag",
                                                                    (keys[i].encode(), "bench"))
                                            for i in range(count)]))
        return count / seconds


def point_beside_bare(store, bare, keys, rounds=5, calls=60):
    """The medians of a store's point edit and of a bare actor call, measured in
    alternating rounds so that the machine's drift touches both alike."""
    edits = iter(keys)
    ours, theirs = [], []
    for _ in range(rounds):
        ours += [timed(lambda: store.add_tag(next(edits), "beside"))[0] for _ in range(calls)]
        theirs += [timed(bare.point)[0] for _ in range(calls)]
    return statistics.median(ours), statistics.median(theirs)


def recovery(store, keys):
    """Seconds from a SIGKILL of shard 0 until it answers again, restarted from its files."""
    pid = store.describe()[0]["pid"]
    key = next(k for k in keys if store.shard_of(k) == 0)
    os.kill(pid, signal.SIGKILL)
    seconds, _ = timed(lambda: store[key])
    return seconds


def show(value):
    if value >= 1:
        return f"{value:.2f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.3g} ms"
    return f"{value * 1e6:.3g} µs"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--callers", type=int, default=4)
    args = parser.parse_args()

    data, vocab = generate(args.keys)
    keys = list(data)
    common, tenth, rare, counts = pick_tags(data)
    queries = [[tag] for tag in vocab[:1000]]
    print(f"{args.keys:,} keys; a find of {tenth!r} returns {counts[tenth]:,} keys, of {rare!r} {counts[rare]}")

    with tempfile.TemporaryDirectory(prefix="corvane-cluster-") as folder:
        partitions = os.path.join(folder, "partitions")
        os.mkdir(partitions)
        write_partitions(data, partitions)
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
        try:
            columns = measure(args, data, keys, common, tenth, rare, queries, partitions, folder)
        finally:
            ray.shutdown()
    report(columns, counts[tenth], args.keys)


def measure(args, data, keys, common, tenth, rare, queries, partitions, folder):
    jsonl = sorted(glob.glob(os.path.join(partitions, "*.jsonl")))
    parquet = sorted(glob.glob(os.path.join(partitions, "*.parquet")))
    columns = {"in process": {
        "load, fed from the driver": best_time(lambda: Corvane(data)),
        "load, 4 JSON-lines partitions (msgspec)": best_time(lambda: in_process_jsonl(jsonl)),
        "load, 4 Parquet partitions (pyarrow)": best_time(lambda: in_process_parquet(parquet)),
    }}
    local = Corvane(data)
    columns["in process"].update(latencies(local, keys, common, tenth, rare, queries))
    for threads in (1, args.callers):
        columns["in process"][f"calls/s, {threads} caller(s)"] = throughput(local, keys, common, threads)
    del local
    bare = BareActor(keys)
    columns["bare Ray actor"] = {"point edit: add_tag": median_time(bare.point, 300),
                                 "calls/s, sent without waiting": bare.pipelined(keys)}

    for shards in (1, 2):
        column = columns[f"{shards} shard{'s' * (shards > 1)}"] = {}
        start = min(timed(lambda: ShardedCorvane(shards=shards).close())[0] for _ in range(3))
        column["start of an empty store"] = start
        loads = {
            "load, fed from the driver": lambda: ShardedCorvane(data, shards=shards),
            "load, 4 JSON-lines partitions (msgspec)": lambda: ShardedCorvane.from_partitions(jsonl, shards=shards),
            "load, 4 Parquet partitions (pyarrow)": lambda: ShardedCorvane.from_partitions(parquet, shards=shards),
            "load, a Ray dataset of the Parquet files": lambda: ShardedCorvane.from_dataset(
                ray.data.read_parquet(parquet), shards=shards),
        }
        for row, load in loads.items():
            seconds, store = timed(load)
            column[row] = seconds - start
            if row.startswith("load, 4 JSON"):
                places = store.describe()
                column["peak resident memory of a shard while it loaded / after"] = max(
                    place["peak_rss"] / place["rss"] for place in places)
            store.close()
        store = ShardedCorvane.from_partitions(jsonl, shards=shards, name="bench")
        column.update(latencies(store, keys, common, tenth, rare, queries))
        ours, theirs = point_beside_bare(store, bare, keys[len(keys) // 2:])
        column[BESIDE] = ours - theirs
        for threads in (1, args.callers):
            column[f"calls/s, {threads} caller(s)"] = throughput(store, keys, common, threads)
        column["calls/s, 32 asyncio callers"] = asyncio_throughput(store, keys, common)
        column[PIPED] = bare.pipelined(keys)
        column["restart of a killed shard, until it answers"] = recovery(store, keys)
        column["open(name) of the running store"] = median_time(lambda: ShardedCorvane.open("bench").close(), 5)
        store.destroy()
        with ShardedCorvane({k: data[k] for k in keys[:1000]}, shards=shards, durability="fsync",
                            path=os.path.join(folder, f"synced-{shards}")) as synced:
            edits = iter(keys[1000:])
            column[SYNCED] = median_time(lambda: synced.add_tag(next(edits), "x"), 300)
        print(f"  {shards} shard(s) measured", file=sys.stderr)
    return columns


def report(columns, tenth_count, n_keys):
    order = ["start of an empty store", "load, fed from the driver", "load, 4 JSON-lines partitions (msgspec)",
             "load, 4 Parquet partitions (pyarrow)", "load, a Ray dataset of the Parquet files",
             "peak resident memory of a shard while it loaded / after"]
    rows = order + [row for row in dict.fromkeys(r for c in columns.values() for r in c) if row not in order]
    print("\n| call | " + " | ".join(columns) + " |")
    print("|---|" + "---|" * len(columns))
    for row in rows:
        cells = []
        for column in columns.values():
            value = column.get(row)
            if value is None:
                cells.append("")
            elif row.startswith("calls/s"):
                cells.append(f"{value:,.0f}")
            elif row.startswith("peak"):
                cells.append(f"{value:.2f}x")
            elif row == BESIDE:
                cells.append(f"{value * 1e3:+.3f} ms")
            else:
                cells.append(show(value))
        print(f"| {row} | " + " | ".join(cells) + " |")
    local, bare, two = columns["in process"], columns["bare Ray actor"], columns["2 shards"]
    print("\nLoads on the shards are counted less the start of an empty store of as many shards (first row).")
    for row in ("load, fed from the driver", "load, 4 JSON-lines partitions (msgspec)",
                "load, 4 Parquet partitions (pyarrow)"):
        print(f"2 shards, {row[6:]}: {local[row] / two[row]:.2f}x as fast as in process "
              f"({show(two[row])} against {show(local[row])}).")
    print(f"A point edit on 2 shards takes {two[BESIDE] * 1e3:+.3f} ms beside a bare actor call with the same "
          f"arguments, the two timed in turn; synced to the disk, "
          f"{(two[SYNCED] - bare['point edit: add_tag']) * 1e3:+.3f} ms against the bare call timed first.")
    rate = two["calls/s, 32 asyncio callers"]
    print(f"32 asyncio callers on 2 shards: {rate:,.0f} calls/s, {rate / two[PIPED]:.2f}x the bare actor's calls "
          f"sent without waiting, timed beside them ({two[PIPED]:,.0f}/s).")
    per_key = two["find returning ~10% of keys"] - two["small find (rare tag)"]
    print(f"A returned key costs about {per_key / tenth_count * 1e6:.2f} µs over the wire "
          f"(find of ~10% less a small find, over {tenth_count:,} keys).")
    print(f"A shard of {n_keys // 2:,} keys killed with SIGKILL answered again after "
          f"{show(two['restart of a killed shard, until it answers'])}.")
    print("Latencies are medians. Throughput mixes a count and a point edit, from threads or coroutines of one")
    print(f"driver; on this machine the driver and the shards share {os.cpu_count()} cores.")


if __name__ == "__main__":
    main()

"""The sharded store on a local Ray against one in-process Corvane and a bare
Ray actor: loading, per-call latency by kind of call, throughput with several
callers, and what durability and recovery cost.

    python bench/cluster.py --keys 1000000

Loads the benchmark's keys into 1 and 2 shards, once fed from the driver and
once from JSON-lines partitions the shards read themselves (both made
durable: each shard writes its snapshot); then times each kind of call (the
median of many), counts the calls per second that 1 and 4 threads of the
driver get through together, times a point edit synced to the disk
(durability="fsync"), the restart of a shard killed with SIGKILL until it
answers again, and `ShardedCorvane.open` of a running named store. A bare
Ray actor that returns its argument gives the floor of a call. Every shard
is one actor in its own process; on a 2-core machine 2 shards have a core
each. Temporary files are removed at the end.
"""

import argparse
import json
import os
import signal
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))

import ray  # noqa: E402

from corvane import Corvane  # noqa: E402
from corvane_ray import ShardedCorvane  # noqa: E402
from data import generate  # noqa: E402

PARTITIONS = 4
SYNCED = "point edit, durability=\"fsync\""


def write_partitions(data, folder):
    """The README's export: one {"key": ..., "tags": [...]} object a line, split over files."""
    files = [open(os.path.join(folder, f"part-{i}.jsonl"), "w", encoding="utf-8") for i in range(PARTITIONS)]
    for number, (key, tags) in enumerate(data.items()):
        files[number % PARTITIONS].write(json.dumps({"key": key, "tags": tags}) + "\n")
    for f in files:
        f.close()


def timed(action):
    started = time.perf_counter()
    result = action()
    return time.perf_counter() - started, result


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


@ray.remote(num_cpus=0)
class Echo:
    """A bare actor: what a call costs before the store does anything."""

    def call(self, method, args):
        return None


def bare_ray(keys):
    echo = Echo.remote()
    ray.get(echo.call.remote("add_tag", (keys[0].encode(), "bench")))
    point = median_time(lambda: ray.get(echo.call.remote("add_tag", (keys[1].encode(), "bench"))), 300)
    count = 3000
    piped, _ = timed(lambda: ray.get([echo.call.remote("add_tag", (keys[i].encode(), "bench")) for i in range(count)]))
    ray.kill(echo)
    return {"point edit: add_tag": point, "calls/s, sent without waiting": count / piped}


def recovery(store, keys):
    """Seconds from a SIGKILL of shard 0 until it answers again, restarted from its files."""
    pid = store.describe()[0]["pid"]
    index_key = next(k for k in keys if store.shard_of(k) == 0)
    os.kill(pid, signal.SIGKILL)
    seconds, _ = timed(lambda: store[index_key])
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
            columns, notes = measure(args, data, keys, common, tenth, rare, queries, partitions, folder)
        finally:
            ray.shutdown()
    report(columns, notes, counts[tenth])


def measure(args, data, keys, common, tenth, rare, queries, partitions, folder):
    columns, notes = {}, {}
    build, local = timed(lambda: Corvane(data))
    columns["in process"] = {"load, fed from the driver": build,
                             **latencies(local, keys, common, tenth, rare, queries)}
    for threads in (1, args.callers):
        columns["in process"][f"calls/s, {threads} caller(s)"] = throughput(local, keys, common, threads)
    del local
    columns["bare Ray actor"] = bare_ray(keys)

    for shards in (1, 2):
        column = columns[f"{shards} shard{'s' * (shards > 1)}"] = {}
        fed, store = timed(lambda: ShardedCorvane(data, shards=shards))
        store.close()
        column["load, fed from the driver"] = fed
        read, store = timed(lambda: ShardedCorvane.from_partitions(partitions, shards=shards, name="bench"))
        column["load, from partitions"] = read
        column.update(latencies(store, keys, common, tenth, rare, queries))
        for threads in (1, args.callers):
            column[f"calls/s, {threads} caller(s)"] = throughput(store, keys, common, threads)
        column["restart of a killed shard, until it answers"] = recovery(store, keys)
        column["open(name) of the running store"] = median_time(lambda: ShardedCorvane.open("bench").close(), 5)
        store.destroy()
        with ShardedCorvane({k: data[k] for k in keys[:1000]}, shards=shards, durability="fsync",
                            path=os.path.join(folder, f"synced-{shards}")) as synced:
            edits = iter(keys[1000:])
            column[SYNCED] = median_time(lambda: synced.add_tag(next(edits), "x"), 300)
        print(f"  {shards} shard(s) measured", file=sys.stderr)
    notes["shard keys"] = args.keys // 2
    return columns, notes


def report(columns, notes, tenth_count):
    loads = ["load, fed from the driver", "load, from partitions"]
    rows = loads + [row for row in dict.fromkeys(r for c in columns.values() for r in c) if row not in loads]
    print("\n| call | " + " | ".join(columns) + " |")
    print("|---|" + "---|" * len(columns))
    for row in rows:
        cells = []
        for column in columns.values():
            value = column.get(row)
            cells.append("" if value is None else f"{value:,.0f}" if row.startswith("calls/s") else show(value))
        print(f"| {row} | " + " | ".join(cells) + " |")
    two = columns["2 shards"]
    per_key = (two["find returning ~10% of keys"] - two["small find (rare tag)"])
    print(f"\nA returned key costs about {per_key / tenth_count * 1e6:.2f} µs over the wire "
          f"(find of ~10% less a small find, over {tenth_count:,} keys).")
    bare = columns["bare Ray actor"]["point edit: add_tag"]
    print(f"A durable point edit on 2 shards takes {two['point edit: add_tag'] / bare:.2f}x a bare actor call "
          f"(+{(two['point edit: add_tag'] - bare) * 1e3:.2f} ms); synced to the disk, "
          f"{two[SYNCED] / bare:.2f}x.")
    print(f"A shard of {notes['shard keys']:,} keys killed with SIGKILL answered again after "
          f"{show(two['restart of a killed shard, until it answers'])}; the 2-shard loads took "
          f"{show(two['load, fed from the driver'])} and {show(two['load, from partitions'])}.")
    print("Latencies are medians. Loads include starting the actors and writing each shard's snapshot.")
    print("Throughput mixes a count and a point edit, from threads of one driver sharing the store;")
    print(f"on this machine the driver and the shards share {os.cpu_count()} cores.")


if __name__ == "__main__":
    main()

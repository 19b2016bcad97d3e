"""The sharded store on a local Ray against one in-process Corvane: loading,
per-call latency by kind of call, and throughput with several callers.

    python bench/cluster.py --keys 1000000

Loads the benchmark's keys into 1 and 2 shards, once fed from the driver and
once from JSON-lines partitions the shards read themselves; then times each
kind of call (the median of many) and counts the calls per second that 1 and
4 threads of the driver get through together. Every shard is one actor in its
own process; on a 2-core machine 2 shards have a core each.
"""

import argparse
import json
import os
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

    folder = tempfile.mkdtemp(prefix="corvane-cluster-")
    write_partitions(data, folder)
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, _node_ip_address="127.0.0.1")

    columns = {}
    build, local = timed(lambda: Corvane(data))
    columns["in process"] = {"load, fed from the driver": build,
                             **latencies(local, keys, common, tenth, rare, queries)}
    for threads in (1, args.callers):
        columns["in process"][f"calls/s, {threads} caller(s)"] = throughput(local, keys, common, threads)
    del local

    for shards in (1, 2):
        column = columns[f"{shards} shard{'s' * (shards > 1)}"] = {}
        fed, store = timed(lambda: ShardedCorvane(data, shards=shards))
        store.close()
        column["load, fed from the driver"] = fed
        read, store = timed(lambda: ShardedCorvane.from_partitions(folder, shards=shards))
        column["load, from partitions"] = read
        column.update(latencies(store, keys, common, tenth, rare, queries))
        for threads in (1, args.callers):
            column[f"calls/s, {threads} caller(s)"] = throughput(store, keys, common, threads)
        store.close()
        print(f"  {shards} shard(s) measured", file=sys.stderr)

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
    per_key = (columns["2 shards"]["find returning ~10% of keys"] - columns["2 shards"]["small find (rare tag)"])
    print(f"\nA returned key costs about {per_key / counts[tenth] * 1e6:.2f} µs over the wire "
          f"(find of ~10% less a small find, over {counts[tenth]:,} keys).")
    print("Latencies are medians. Loads include starting the actors. Throughput mixes a count and a point edit,")
    print(f"from threads of one driver sharing the store; on this machine the driver and the shards share {os.cpu_count()} cores.")
    ray.shutdown()


if __name__ == "__main__":
    main()

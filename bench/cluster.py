"""The sharded store on a local Ray against one in-process Corvane, a bare
Ray actor and a real Redis: loading, per-call latency by kind of call and
tag frequency, throughput, memory, and what durability and recovery cost.

    python bench/cluster.py --keys 300000 [--loads]

Writes the benchmark's keys as 4 JSON-lines and 4 Parquet partitions, and
times the best one-process load of each with the same parser (msgspec,
pyarrow) against loading them into 1 and 2 shards, less the start of an
empty store of as many shards in the same run; likewise a load fed from the
driver against building one Corvane in process, and a load from a Ray
dataset. Each load's CPU seconds are counted too, summed over every process
it ran in (the driver, the shards, Ray's own processes and its workers: all
below the driver, which starts Ray), less what a shard's process spends
starting, for each that started within the load, beside the one-process
load's. With --loads, only the loads run. Then the median of
many calls of each kind: point reads and edits, and `count` and `find` of 1
and 2 tags on a rare, a mid and a common share of the keys, beside a bare
Ray actor that takes the same arguments and returns at once, and beside
Redis (redis-server on loopback, appendonly yes, appendfsync everysec,
filled through redis-py with hiredis, each key's tags and each tag's keys as
sets, edited together in one MULTI/EXEC); point reads from a handle
unpickled in a Ray task and from one made by `open()`; the calls per second
that 1 and 4 threads, 32 coroutines of one asyncio handle (against
redis.asyncio), and 2,000 and 20,000 asyncio tasks in flight get through,
counts and point edits taken in turn; a point edit synced to the disk
(beside Redis with appendfsync always); a shard killed with SIGKILL until it
answers again; `open()` of a running store; and the shards' resident memory
beside Redis's used_memory. Every shard is one actor in its own process.
Without redis-server, the Redis column says why it is empty.
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
from data import generate  # noqa: E402
from peers import redis_store  # noqa: E402

from corvane_ray import ShardedCorvane  # noqa: E402

PARTITIONS = 4
SYNCED = 'point edit: add_tag + remove_tag, durability="fsync" (Redis: appendfsync always)'
BESIDE = "point edit, above a bare actor call timed in turn with it"
PIPED = "calls/s, the bare actor's, sent without waiting, timed beside them"
POINT_READ = "point read: has_tag"
POINT_EDIT = "point edit: add_tag + remove_tag"
FREQUENCIES = {"rare": lambda n: 50, "mid": lambda n: n / 100, "common": lambda n: n / 10}
SETTLE = 3.0  # seconds for the cluster to go quiet after a load (its task workers start) before calls are timed


def write_partitions(data, folder):
    """The recipes' export, as JSON lines and as Parquet, split over files the same way."""
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


def tree_cpu(root=None):
    """The CPU seconds (user and system) that each process at or below `root`
    (this one, by default) has used so far, by (pid, start tick). Ray's own
    processes and its workers are below the driver that started Ray."""
    root = os.getpid() if root is None else root
    ticks = os.sysconf("SC_CLK_TCK")
    stats = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    stats[int(entry)] = f.read().rsplit(b")", 1)[1].split()
            except OSError:  # ended meanwhile
                continue
    children = {}
    for pid, fields in stats.items():
        children.setdefault(int(fields[1]), []).append(pid)
    out, stack = {}, [root]
    while stack:
        pid = stack.pop()
        if pid in stats:
            fields = stats[pid]  # utime and stime; a reaped child's would count twice
            out[pid, int(fields[19])] = (int(fields[11]) + int(fields[12])) / ticks
        stack += children.get(pid, [])
    return out


def cpu_timed(action):
    """(seconds, CPU seconds spent meanwhile by the driver and every process
    below it, result, the processes that started meanwhile with what each
    used). A process that ends meanwhile (a closed store's shard) counts
    nothing: what it had used before does not leave the sum."""
    before = tree_cpu()
    seconds, result = timed(action)
    after = tree_cpu()
    cpu = sum(used - before.get(key, 0.0) for key, used in after.items())
    born = {pid: used for (pid, start), used in after.items() if (pid, start) not in before}
    return seconds, cpu, result, born


def best_cpu_time(action, times=3):
    """The best (seconds, CPU seconds) of `times` runs, the result freed each time."""
    best = (float("inf"), float("inf"))
    for _ in range(times):
        seconds, cpu, result, _ = cpu_timed(action)
        del result
        best = min(best[0], seconds), min(best[1], cpu)
    return best


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


def by_frequency(counts, n_keys):
    """Two tags near each share of the keys: rare (about 50 keys), mid (1%), common (10%)."""
    return {name: sorted(counts, key=lambda t: abs(counts[t] - share(n_keys)))[:2]
            for name, share in FREQUENCIES.items()}


def adaptive_median(action, budget=1.0, most=300, least=5):
    """The median of as many calls as fit a budget of seconds (at least `least`)."""
    times, spent = [], 0.0
    while len(times) < most and (spent < budget or len(times) < least):
        seconds = timed(action)[0]
        times.append(seconds)
        spent += seconds
    return statistics.median(times)


def point_latencies(store, keys, tag):
    """A point read and a point edit (a tag added, then removed), median seconds."""
    edits = iter(keys)

    def edit():
        key = next(edits)
        store.add_tag(key, "bench")
        store.remove_tag(key, "bench")

    return {POINT_READ: adaptive_median(lambda: store.has_tag(keys[0], tag)),
            POINT_EDIT: adaptive_median(edit)}


def query_latencies(store, tags):
    """count and find of 1 and 2 tags at each frequency, median seconds."""
    rows = {}
    for name, (one, two) in tags.items():
        rows[f"count of 1 tag, {name}"] = adaptive_median(lambda: store.count([one]))
        rows[f"count of 2 tags, {name}"] = adaptive_median(lambda: store.count([one, two]))
        rows[f"find of 1 tag, {name}"] = adaptive_median(lambda: store.find([one]))
        rows[f"find of 2 tags, {name}"] = adaptive_median(lambda: store.find([one, two]))
    return rows


def latencies(store, keys, common, tenth, rare, queries, tags):
    """Seconds per call, median, for each kind of call."""
    edits = iter(keys)
    return {
        **point_latencies(store, keys, data_tag(store, keys[0])),
        "point edit: add_tag": median_time(lambda: store.add_tag(next(edits), "bench"), 300),
        "point read: [key]": median_time(lambda: store[keys[0]], 300),
        **query_latencies(store, tags),
        "find returning ~10% of keys": median_time(lambda: store.find([tenth]), 10),
        "1,000 counts, one by one": median_time(lambda: [store.count(q) for q in queries], 2),
        **({"1,000 counts, count_many": median_time(lambda: store.count_many(queries), 10)}
           if hasattr(store, "count_many") else {}),
    }


def data_tag(store, key):
    return sorted(store[key])[0]


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
    """Calls per second of `callers` coroutines (asyncio tasks) of one handle
    at once, each a count and a point edit in turn, as long as they keep
    coming."""
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
def point_read_in_a_task(store, key, tag, calls=300):
    """The median point read of a handle unpickled in a task."""
    store.has_tag(key, tag)
    return statistics.median(timed(lambda: store.has_tag(key, tag))[0] for _ in range(calls))


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
    parser.add_argument("--keys", type=int, default=300_000)
    parser.add_argument("--callers", type=int, default=4)
    parser.add_argument("--loads", action="store_true", help="only the loads, their times and CPU seconds")
    args = parser.parse_args()

    data, vocab = generate(args.keys)
    keys = list(data)
    common, tenth, rare, counts = pick_tags(data)
    tags = by_frequency(counts, args.keys)
    queries = [[tag] for tag in vocab[:1000]]
    print(f"{args.keys:,} keys; a find of {tenth!r} returns {counts[tenth]:,} keys, of {rare!r} {counts[rare]}; "
          + "; ".join(f"{name} tags {' and '.join(f'{t!r} ({counts[t]:,})' for t in pair)}"
                      for name, pair in tags.items()))

    with tempfile.TemporaryDirectory(prefix="corvane-cluster-") as folder:
        partitions = os.path.join(folder, "partitions")
        os.mkdir(partitions)
        write_partitions(data, partitions)
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
        try:
            columns = measure(args, data, keys, common, tenth, rare, queries, tags, partitions, folder)
        finally:
            ray.shutdown()
    report(columns, counts[tenth], args.keys)


def measure(args, data, keys, common, tenth, rare, queries, tags, partitions, folder):
    jsonl = sorted(glob.glob(os.path.join(partitions, "*.jsonl")))
    parquet = sorted(glob.glob(os.path.join(partitions, "*.parquet")))
    columns = {"in process": {}}
    for row, load in (("load, fed from the driver", lambda: Corvane(data)),
                      ("load, 4 JSON-lines partitions (msgspec)", lambda: in_process_jsonl(jsonl)),
                      ("load, 4 Parquet partitions (pyarrow)", lambda: in_process_parquet(parquet))):
        columns["in process"][row], columns["in process"][cpu_row(row)] = best_cpu_time(load)
    if args.loads:
        for shards in (1, 2):
            columns[f"{shards} shard{'s' * (shards > 1)}"] = measure_loads(shards, data, jsonl, parquet)
        return columns
    local = Corvane(data)
    columns["in process"].update(latencies(local, keys, common, tenth, rare, queries, tags))
    for threads in (1, args.callers):
        columns["in process"][f"calls/s, {threads} caller(s)"] = throughput(local, keys, common, threads)
    del local
    bare = BareActor(keys)
    columns["bare Ray actor"] = {"point edit: add_tag": median_time(bare.point, 300),
                                 POINT_READ: median_time(bare.point, 300),
                                 "calls/s, sent without waiting": bare.pipelined(keys)}

    for shards in (1, 2):
        columns[f"{shards} shard{'s' * (shards > 1)}"] = measure_shards(
            args, shards, data, keys, common, tenth, rare, queries, tags, bare, jsonl, parquet, folder)
        print(f"  {shards} shard(s) measured", file=sys.stderr)
    columns["Redis"] = measure_redis(data, keys, common, tags)
    return columns


def cpu_row(row):
    return f"CPU seconds of the {row}"


def shard_start_cpu(shards, tries=6):
    """The median CPU seconds a shard's new process spends until it answers,
    over empty stores whose shards Ray started in new processes (it may also
    give a shard a worker process it keeps waiting); and the best time of
    starting an empty store."""
    samples, best = [], float("inf")
    for _ in range(tries):
        seconds, _cpu, store, born = cpu_timed(lambda: answered(ShardedCorvane(shards=shards)))
        best = min(best, seconds)
        samples += [born[place["pid"]] for place in store.describe() if place["pid"] in born]
        store.close()
        if len(samples) >= 3:
            break
    return (statistics.median(samples) if samples else 0.0), best


def measure_loads(shards, data, jsonl, parquet, times=3):
    """Each load's best time over `times` runs, until the shards answer a call
    after it, less the best time of starting an empty store; and its best CPU
    seconds, less what each shard process that started within the load spent
    starting (whether Ray starts a shard in a new process or in one it kept
    waiting varies from run to run)."""
    column = {}
    start_cpu, column["start of an empty store"] = shard_start_cpu(shards)
    loads = {
        "load, fed from the driver": lambda: ShardedCorvane(data, shards=shards),
        "load, 4 JSON-lines partitions (msgspec)": lambda: ShardedCorvane.from_partitions(jsonl, shards=shards),
        "load, 4 Parquet partitions (pyarrow)": lambda: ShardedCorvane.from_partitions(parquet, shards=shards),
        "load, a Ray dataset of the Parquet files": lambda: ShardedCorvane.from_dataset(
            ray.data.read_parquet(parquet), shards=shards),
    }
    for row, load in loads.items():
        seconds, cpus = [], []
        for _ in range(times):
            took, cpu, store, born = cpu_timed(lambda: answered(load()))
            places = store.describe()
            seconds.append(took)
            cpus.append(cpu - start_cpu * sum(place["pid"] in born for place in places))
            if row.startswith("load, 4 JSON"):
                column["peak resident memory of a shard while it loaded / after"] = max(
                    place["peak_rss"] / place["rss"] for place in places)
                column["resident memory of the shards (Redis: used_memory)"] = sum(place["rss"] for place in places)
            store.close()
        column[row] = min(seconds) - column["start of an empty store"]
        column[cpu_row(row)] = min(cpus)
    return column


def answered(store):
    """The store, once its shards have answered a call (so that what a load
    left to do is counted with it)."""
    len(store)
    return store


def measure_shards(args, shards, data, keys, common, tenth, rare, queries, tags, bare, jsonl, parquet, folder):
    column = measure_loads(shards, data, jsonl, parquet)
    store = ShardedCorvane.from_partitions(jsonl, shards=shards, name="bench")
    time.sleep(SETTLE)
    column.update(latencies(store, keys, common, tenth, rare, queries, tags))
    ours, theirs = point_beside_bare(store, bare, keys[len(keys) // 2:])
    column[BESIDE] = ours - theirs
    tag = data_tag(store, keys[0])
    column["point read, from a handle unpickled in a Ray task"] = ray.get(
        point_read_in_a_task.remote(store, keys[0], tag))
    opened = ShardedCorvane.open("bench")
    column["point read, from a handle made by open()"] = adaptive_median(lambda: opened.has_tag(keys[0], tag))
    opened.close()
    for threads in (1, args.callers):
        column[f"calls/s, {threads} caller(s)"] = throughput(store, keys, common, threads)
    column["calls/s, 32 asyncio callers"] = asyncio_throughput(store, keys, common)
    for tasks in (2_000, 20_000):
        column[f"calls/s, {tasks:,} asyncio tasks in flight"] = asyncio_throughput(store, keys, common, tasks)
    column[PIPED] = bare.pipelined(keys)
    column["restart of a killed shard, until it answers"] = recovery(store, keys)
    column["open(name) of the running store"] = median_time(lambda: ShardedCorvane.open("bench").close(), 5)
    store.destroy()
    with ShardedCorvane({k: data[k] for k in keys[:1000]}, shards=shards, durability="fsync",
                        path=os.path.join(folder, f"synced-{shards}")) as synced:
        column[SYNCED] = point_latencies(synced, keys[1000:], data[keys[0]][0])[POINT_EDIT]
    return column


def measure_redis(data, keys, common, tags):
    """The Redis column, or an empty one that says why."""
    missing = redis_store.available()
    if missing is not None:
        print(f"  Redis skipped: {missing}", file=sys.stderr)
        return {}
    column = {}
    with redis_store.redis_server() as port:
        store = redis_store.RedisTags(port)
        column["load, fed from the driver"] = timed(lambda: store.load(data))[0]
        column["resident memory of the shards (Redis: used_memory)"] = store.used_memory()
        time.sleep(SETTLE)
        column.update(point_latencies(store, keys, data[keys[0]][0]))
        column.update(query_latencies(store, tags))
        column["calls/s, 32 asyncio callers"] = asyncio.run(redis_store.asyncio_throughput(port, keys, common))
        store.close()
    with redis_store.redis_server(fsync="always") as port:
        store = redis_store.RedisTags(port)
        store.load({k: data[k] for k in keys[:1000]})
        column[SYNCED] = point_latencies(store, keys[1000:], data[keys[0]][0])[POINT_EDIT]
        store.close()
    print("  Redis measured", file=sys.stderr)
    return column


def report(columns, tenth_count, n_keys):
    loads = ["load, fed from the driver", "load, 4 JSON-lines partitions (msgspec)",
             "load, 4 Parquet partitions (pyarrow)", "load, a Ray dataset of the Parquet files"]
    order = ["start of an empty store", *(row for load in loads for row in (load, cpu_row(load))),
             "peak resident memory of a shard while it loaded / after",
             "resident memory of the shards (Redis: used_memory)"]
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
            elif row.startswith("CPU seconds"):
                cells.append(f"{value:.2f} s")
            elif row.startswith("resident"):
                cells.append(f"{value / 2**20:,.0f} MiB")
            elif row == BESIDE:
                cells.append(f"{value * 1e3:+.3f} ms")
            else:
                cells.append(show(value))
        print(f"| {row} | " + " | ".join(cells) + " |")
    local, two = columns["in process"], columns["2 shards"]
    print("\nLoads on the shards are timed less the start of an empty store of as many shards (first row); their")
    print("CPU seconds are summed over the driver, the shards and Ray's own processes and workers, less what")
    print("each shard process that started within the load spent starting (CPU seconds count in 10 ms ticks).")
    for row in ("load, fed from the driver", "load, 4 JSON-lines partitions (msgspec)",
                "load, 4 Parquet partitions (pyarrow)"):
        ours, theirs = two[cpu_row(row)], local[cpu_row(row)]
        ratio = f"{ours / theirs:.2f}x its" if theirs > 0 else "beside its"
        print(f"2 shards, {row[6:]}: {local[row] / two[row]:.2f}x as fast as in process "
              f"({show(two[row])} against {show(local[row])}), {ratio} CPU seconds ({ours:.2f} against {theirs:.2f}).")
    if "bare Ray actor" not in columns:  # --loads
        return
    bare, redis = columns["bare Ray actor"], columns["Redis"]
    print(f"A point read on 2 shards takes {show(two[POINT_READ])}: {two[POINT_READ] / bare[POINT_READ]:.2f}x a bare "
          f"actor call ({show(bare[POINT_READ])})"
          + (f", {two[POINT_READ] / redis[POINT_READ]:.2f}x Redis's SISMEMBER ({show(redis[POINT_READ])})"
             if redis else "") + ".")
    if redis:
        print(f"A point edit (add_tag + remove_tag) on 2 shards: {show(two[POINT_EDIT])}, "
              f"{two[POINT_EDIT] / redis[POINT_EDIT]:.2f}x Redis's two MULTI/EXECs ({show(redis[POINT_EDIT])}); "
              f"synced to the disk {show(two[SYNCED])} against Redis's appendfsync always {show(redis[SYNCED])}.")
        slower = [row for row in redis if row.startswith(("count of", "find of")) and two[row] > redis[row]]
        print("count and find, 2 shards against Redis: " + (
            "no slower at any frequency measured." if not slower else "slower on " + ", ".join(
                f"{row} ({redis[row] / two[row]:.2f}x)" for row in slower) + "."))
        rate, theirs = two["calls/s, 32 asyncio callers"], redis["calls/s, 32 asyncio callers"]
        print(f"32 asyncio callers on 2 shards: {rate:,.0f} calls/s against redis.asyncio's {theirs:,.0f}/s.")
    few, many = two["calls/s, 2,000 asyncio tasks in flight"], two["calls/s, 20,000 asyncio tasks in flight"]
    print(f"20,000 asyncio tasks in flight: {many:,.0f} calls/s, {many / few:.2f}x the {few:,.0f}/s of 2,000.")
    per_key = two["find returning ~10% of keys"] - two["find of 1 tag, rare"]
    print(f"A returned key costs about {per_key / tenth_count * 1e6:.2f} µs over the wire "
          f"(find of ~10% less a find of a rare tag, over {tenth_count:,} keys).")
    print(f"A shard of {n_keys // 2:,} keys killed with SIGKILL answered again after "
          f"{show(two['restart of a killed shard, until it answers'])}.")
    print("Latencies are medians. Throughput mixes a count and a point edit, from threads or coroutines of one")
    print(f"driver; on this machine the driver, the shards and Redis share {os.cpu_count()} cores.")


if __name__ == "__main__":
    main()

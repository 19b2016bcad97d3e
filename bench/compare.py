"""corvane against what users would write instead, on the same generated data.

    python bench/compare.py [--keys N [N ...]] [--repeat R] [--out FILE] [--chart FILE]

For each size: time per operation of every workload on every peer (best of R
repetitions, all peers in the same run), the ratio peer / corvane (above 1:
corvane is faster), and resident memory per store measured in a fresh process.
Workloads name tags by class: common, mid and rare, each defined by the share
of the keys carrying it, which the run prints. The tables go to the terminal
and to bench/results.md, the ratios to a PNG chart when matplotlib is installed.
Queries marked "(first)" name tags that no earlier call named, a fresh set
for each measurement: a tag's first query, before corvane keeps anything
for it. Each peer holds keys of its own (equal strings, not the same
objects), so that no store's query finds in the cache what another's fetched.
The bitmap peer needs pyroaring; without it that column is skipped. Tag queries
across the whole range of tag frequencies: bench/sweep.py.
"""

import argparse
import ctypes
import os
import platform
import random
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from pathlib import Path

from corvane import Corvane

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from data import generate, with_own_keys  # noqa: E402
from peers.pure_python import PyTagStore  # noqa: E402
from peers.sqlite_store import SqliteTagStore  # noqa: E402

PEERS = {"corvane": Corvane, "pure Python": PyTagStore}
MISSING = []
try:
    from peers.roaring_ids import RoaringTagStore  # noqa: E402

    PEERS["pyroaring"] = RoaringTagStore
except ImportError:
    MISSING.append("pyroaring (pip install pyroaring)")
PEERS["sqlite3"] = SqliteTagStore
NAMES = {peer: name for name, peer in PEERS.items()}
PEER_TEXT = {
    "pure Python": "a dict of tag sets with a hand-kept inverted index",
    "pyroaring": "dense integer ids with one compressed bitmap per tag",
    "sqlite3": "an in-memory table of (key, tag) rows indexed both ways",
}
MEMORY = "resident memory per store"
MIN_MEASURE = 0.02  # seconds per measurement, reached by repeating short operations
SAMPLE = 20_000  # keys used by the single-key loops


@dataclass
class Workload:
    name: str
    bind: Callable  # bind(store, ctx) -> (call, operations per call); only the call is timed
    fresh: Callable = None  # fresh(peer, ctx) -> a new store for every repetition (not timed)


def empty(peer, ctx):
    return peer()


def full(peer, ctx):
    """A store holding the data; copied from the shared one where the peer can copy faster than it builds."""
    shared = ctx["stores"][NAMES[peer]]
    return shared.copy() if hasattr(shared, "copy") else peer(ctx["data"])


def single_key(name, body):
    def bind(store, ctx):
        sample = ctx["sample"]

        def call():
            for key in sample:
                body(store, key)

        return call, len(sample)

    return Workload(name, bind)


def once(name, body, fresh=None):
    return Workload(name, lambda store, ctx: (partial(body, store, ctx), 1), fresh)


def query(method, label, ranks):
    """A query whose tags are given by frequency rank (0 is the most common; None an absent tag)."""
    return Workload(f"{method} {label}", lambda store, ctx: (partial(getattr(store, method), ctx["tags"][ranks]), 1))


def shared(peer, ctx):
    return ctx["stores"][NAMES[peer]]


def first_query(name, body, rank_sets):
    """A query of tags no call named before: measurement i names the tags of
    rank_sets[i] (ranks, as for query()), the same ones on every peer."""

    def bind(store, ctx):
        taken = ctx.setdefault("fresh", {}).setdefault((name, NAMES[type(store)]), iter(rank_sets))
        return partial(body, store, ctx["tags"][next(taken)]), 1

    return Workload(f"{name} (first)", bind, fresh=shared)


def exclusion(store, tags):
    """The entries carrying the first tag and none of the others."""
    return store.find(tags[:1]) - store.find_any(tags[1:])


def build_by_loop(store, ctx):
    for key, tags in ctx["data"].items():
        store.add_tags(key, tags)


def iterate(store, ctx):
    for _ in store:
        pass


def drain(store, ctx):
    """Pops every entry; the time per pop of the first and the last tenth goes to ctx["drain"]."""
    n = len(store)
    tenth = max(1, n // 10)
    start = time.perf_counter()
    for _ in range(tenth):
        store.popitem()
    first = (time.perf_counter() - start) / tenth
    for _ in range(n - 2 * tenth):
        store.popitem()
    start = time.perf_counter()
    for _ in range(tenth):
        store.popitem()
    last = (time.perf_counter() - start) / tenth
    ctx.setdefault("drain", {})[NAMES[type(store)]] = (first, last)


def add_and_remove(store, key):
    store.add_tag(key, "bench-extra")
    store.remove_tag(key, "bench-extra")


WORKLOADS = [
    once("build from dict", lambda store, ctx: type(store)(ctx["data"]), fresh=empty),
    once("build by add_tags loop", build_by_loop, fresh=empty),
    single_key("__getitem__", lambda store, key: store[key]),
    single_key("has_tag", lambda store, key: store.has_tag(key, "photo")),
    single_key("add_tag + remove_tag", add_and_remove),
]
for method in ("find", "count"):
    WORKLOADS += [
        query(method, "1 common", (0,)),
        query(method, "2 common", (0, 1)),
        query(method, "3 common", (0, 1, 2)),
        query(method, "1 rare", (2000,)),
        query(method, "2 rare", (30, 2000)),
        query(method, "3 rare", (10, 30, 2000)),
        query(method, "absent", (0, None)),
    ]
for method in ("find_any", "count_any"):
    WORKLOADS += [query(method, "2 common", (0, 1)), query(method, "3 mid", (3, 4, 5)),
                  query(method, "3 rare", (2000, 3000, 4000))]
WORKLOADS.append(Workload("exclusion: find 1 common - find_any 2 mid",
                          lambda store, ctx: (partial(exclusion, store, ctx["tags"][(0, 3, 4)]), 1)))
# First queries take tags of their own, at ranks no other workload names, one
# set per measurement (so at most FRESH measurements).
FRESH = 5
WORKLOADS += [
    first_query("find 1 common", lambda store, tags: store.find(tags), [(6 + i,) for i in range(FRESH)]),
    first_query("find 1 mid", lambda store, tags: store.find(tags), [(40 + i,) for i in range(FRESH)]),
    first_query("find 1 rare", lambda store, tags: store.find(tags), [(500 + i,) for i in range(FRESH)]),
    first_query("find_any 3 mid", lambda store, tags: store.find_any(tags),
                [(60 + 3 * i, 61 + 3 * i, 62 + 3 * i) for i in range(FRESH)]),
    first_query("exclusion: find 1 common - find_any 2 mid", exclusion,
                [(11 + i, 80 + 2 * i, 81 + 2 * i) for i in range(FRESH)]),
]
WORKLOADS += [
    once("retain_where 2 common", lambda store, ctx: store.retain_where(ctx["tags"][(0, 1)]), fresh=full),
    once("retain_where_any 2 mid", lambda store, ctx: store.retain_where_any(ctx["tags"][(3, 4)]), fresh=full),
    once("erase_where 1 common", lambda store, ctx: store.erase_where(ctx["tags"][(2,)]), fresh=full),
    once("to_dict", lambda store, ctx: store.to_dict()),
    once("items", lambda store, ctx: store.items()),
    once("keys", lambda store, ctx: store.keys()),
    once("iteration (for k in m)", iterate),
    once("values", lambda store, ctx: store.values()),
    Workload("popitem drain (per pop)", lambda store, ctx: (partial(drain, store, ctx), len(store)), full),
]


class TagsByRank(dict):
    def __init__(self, vocab):
        super().__init__()
        self.vocab = vocab

    def __missing__(self, ranks):
        return [self.vocab[r] if r is not None else "no-such-tag" for r in ranks]


def measure_call(call, repeat, ops=1):
    """Best time per operation of `call` (which does `ops` of them) over `repeat`
    measurements, each repeating it for at least MIN_MEASURE seconds."""
    start = time.perf_counter()
    call()
    best = time.perf_counter() - start
    rounds = max(1, min(100_000, int(MIN_MEASURE / max(best, 1e-9))))
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(rounds):
            call()
        best = min(best, (time.perf_counter() - start) / rounds)
    return best / ops


def measure(workload, name, ctx, repeat):
    """Best time per operation over `repeat` measurements."""
    peer = PEERS[name]
    if not workload.fresh:
        call, ops = workload.bind(ctx["stores"][name], ctx)
        return measure_call(call, repeat, ops)
    best = float("inf")
    for _ in range(min(repeat, FRESH) if workload.fresh is shared else repeat):
        call, ops = workload.bind(workload.fresh(peer, ctx), ctx)
        start = time.perf_counter()
        call()
        best = min(best, (time.perf_counter() - start) / ops)
    return best


def resident_bytes():
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_of(peer_name, keys):
    """Resident bytes one store holds, built in a fresh interpreter once its input is gone."""
    code = (
        f"import sys, gc; sys.path.insert(0, {str(HERE)!r})\n"
        "from compare import PEERS, generate, resident_bytes\n"
        "base = resident_bytes()\n"
        f"data, _ = generate({keys:d})\n"
        f"store = PEERS[{peer_name!r}](data)\n"
        "del data; gc.collect()\n"
        "print(resident_bytes() - base)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(out.stdout)


def heap_of_corvane(keys):
    """(C heap bytes one store holds after its build, bytes of the key strings
    it holds), in a fresh interpreter. The C heap is where the store itself
    lives; the key strings are the caller's str objects, in Python's arenas."""
    code = (
        f"import sys, gc; sys.path.insert(0, {str(HERE)!r})\n"
        "from compare import generate\n"
        "from memory_soak import memory\n"
        "from corvane import Corvane\n"
        f"data, _ = generate({keys:d})\n"
        "gc.collect(); base = memory()[1]\n"
        "store = Corvane(data)\n"
        "gc.collect(); held = memory()[1] - base\n"
        "print(held, sum((sys.getsizeof(k) + 7) // 8 * 8 for k in data))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    held, strings = map(int, out.stdout.split())
    return held, strings


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def table(rows, n_keys):
    names = list(PEERS)
    head = f"| workload ({n_keys:,} keys) | " + " | ".join(names[:1] + [f"{n} (ratio)" for n in names[1:]]) + " |"
    lines = [head, "|" + "---|" * (len(names) + 1)]
    for workload, values in rows:
        fmt = fmt_bytes if workload == MEMORY else fmt_time
        cells = [fmt(values["corvane"])]
        cells += [f"{fmt(values[n])} ({values[n] / values['corvane']:.2f}x)" for n in names[1:]]
        lines.append(f"| {workload} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def fmt_bytes(n):
    return f"{n / 2**20:.1f} MiB"


def elapsed(started):
    seconds = int(time.perf_counter() - started)
    return f"{seconds // 60}:{seconds % 60:02d}"


def column_heads():
    peers = "  ".join(f"{n + ' (ratio)':>22}" for n in list(PEERS)[1:])
    return f"{'':12}{'workload':28} {'corvane':>10}  {peers}"


def ratios_line(name, values, fmt):
    ratios = "  ".join(f"{fmt(values[n]):>12} ({values[n] / values['corvane']:6.2f}x)" for n in list(PEERS)[1:])
    return f"  {name:28} {fmt(values['corvane']):>10}  {ratios}"


def chart(results, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: chart skipped (pip install matplotlib)")
        return
    n_keys, rows = results[-1]
    labels = [w for w, _ in rows]
    peers = list(PEERS)[1:]
    fig, ax = plt.subplots(figsize=(10, 0.32 * len(labels) + 1.5))
    height = 0.8 / len(peers)
    for i, peer in enumerate(peers):
        ratios = [times[peer] / times["corvane"] for _, times in rows]
        ax.barh([y + i * height for y in range(len(labels))], ratios, height, label=peer)
    ax.axvline(1, color="black", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_yticks([y + height * (len(peers) - 1) / 2 for y in range(len(labels))], labels)
    ax.invert_yaxis()
    ax.set_xlabel("time (or memory) of peer / corvane  (above 1: corvane wins)")
    ax.set_title(f"corvane against its peers, {n_keys:,} keys")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"chart written to {path}")


# The tags the workloads name, by frequency rank (0 is the most frequent).
TAG_CLASSES = {"common": (0, 1, 2), "mid": (3, 4), "rare": (10, 30, 2000, 3000, 4000)}


def tag_legend(data, vocab):
    """Each tag class with the share of the keys that its tags are on."""
    wanted = {vocab[r]: r for ranks in TAG_CLASSES.values() for r in ranks}
    carriers = dict.fromkeys(wanted, 0)
    for tags in data.values():
        for tag in tags:
            if tag in carriers:
                carriers[tag] += 1
    lines = []
    for name, ranks in TAG_CLASSES.items():
        shares = [carriers[vocab[r]] / len(data) * 100 for r in ranks]
        ranks_text = ", ".join(str(r + 1) for r in ranks)
        lines.append(f"  {name:6} tags ranked {ranks_text} by frequency: each on {min(shares):.3g}% "
                     f"to {max(shares):.3g}% of the keys")
    return "\n".join(lines)


def peer_contexts(data, vocab):
    """What each peer's workloads read: the data under keys of the peer's own,
    made alike for every peer (so their strings lie alike in memory), a sample
    of them for the single-key loops, the same for every peer, and what all
    share: the stores, the tags, the drain figures."""
    indices = random.Random(0).sample(range(len(data)), min(SAMPLE, len(data)))
    common = {"tags": TagsByRank(vocab), "stores": {}, "drain": {}}
    ctxs = {}
    for name, peer in PEERS.items():
        own = with_own_keys(data)
        keys = list(own)
        ctxs[name] = {**common, "data": own, "sample": [keys[i] for i in indices]}
        common["stores"][name] = peer(own)
    return ctxs


def header(repeat):
    names = ", ".join(f"{n} ({PEER_TEXT[n]})" for n in list(PEERS)[1:])
    return (f"Peers: {names}.\n"
            f"Columns: the workload, corvane's time per operation, then each peer's time per operation with its\n"
            f"ratio to corvane's in brackets: above 1 means corvane is faster (for memory: smaller). Each time is\n"
            f"the best of {repeat} measurements, every peer measured in the same run.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, nargs="+", default=[50_000], help="store sizes to run")
    parser.add_argument("--repeat", type=int, default=3, help="measurements per figure; the best counts")
    parser.add_argument("--out", default=str(HERE / "results.md"))
    parser.add_argument("--chart", default=str(HERE / "ratios.png"))
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurements")
    args = parser.parse_args()

    report = [f"Machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
              f"`python bench/compare.py --keys {' '.join(map(str, args.keys))} --repeat {args.repeat}`"]
    print(header(args.repeat) + "".join(f"\nSkipped: {m}" for m in MISSING))
    started = time.perf_counter()
    results = []
    for n_keys in args.keys:
        data, vocab = generate(n_keys)
        print(f"\n{n_keys:,} keys, {sum(map(len, data.values())):,} (key, tag) pairs; the tags queried:")
        print(tag_legend(data, vocab))
        print(f"  building a store on each peer ... ({elapsed(started)})", flush=True)
        ctxs = peer_contexts(data, vocab)
        ctx = ctxs["corvane"]
        print(column_heads())
        rows = []
        for i, workload in enumerate(WORKLOADS, 1):
            print(f"[{i}/{len(WORKLOADS)}] {elapsed(started)} {workload.name} ...", end="\r", flush=True)
            times = {name: measure(workload, name, ctxs[name], args.repeat) for name in PEERS}
            rows.append((workload.name, times))
            print(f"[{i}/{len(WORKLOADS)}] {elapsed(started)}" + ratios_line(workload.name, times, fmt_time))
        if not args.no_memory:
            print(f"  {MEMORY}: a store built in a fresh process per peer ... ({elapsed(started)})", flush=True)
            sizes = {name: memory_of(name, n_keys) for name in PEERS}
            rows.append((MEMORY, sizes))
            print(ratios_line(MEMORY, sizes, fmt_bytes))
            heap, strings = heap_of_corvane(n_keys)
            heap_line = (f"corvane's own C heap after the build: {fmt_bytes(heap)}, {heap / n_keys:.0f} bytes per key, "
                         f"besides the key strings it holds ({fmt_bytes(strings)}, {strings / n_keys:.0f} bytes per "
                         f"key). The resident figures include the interpreter arenas that the freed input leaves "
                         f"part-used, for every peer.")
            print("  " + heap_line)
        else:
            heap_line = ""
        drained = "; ".join(f"{n} {fmt_time(a)} then {fmt_time(b)}" for n, (a, b) in ctx["drain"].items())
        print(f"  popitem per pop, first tenth then last tenth: {drained}")
        del ctx, ctxs
        results.append((n_keys, rows))
        report.append(table(rows, n_keys) + f"\n\n{heap_line}\n\n"
                      f"popitem per pop, first tenth then last tenth: {drained}")
    Path(args.out).write_text("\n\n".join(report) + "\n")
    print(f"\ntables written to {args.out}; the whole run took {elapsed(started)}")
    chart(results, args.chart)


if __name__ == "__main__":
    main()

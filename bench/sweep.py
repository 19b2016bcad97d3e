"""Tag queries across tag frequencies: corvane against the bitmap and dict-of-sets peers.

    python bench/sweep.py [--keys N] [--repeat R] [--out FILE]

Every key carries one filler tag and, for each share f in FREQUENCIES, each of
three tags "f-1", "f-2", "f-3" independently with probability f. The queries
name two or three tags of one share, or a skewed pair (the rarest share with
30%), for count, find, count_any and find_any. A figure is the best time per
call; the ratio is the peer's time over corvane's (above 1: corvane is faster).
corvane keeps the key set of a tag queried alone, and of each of a few rare
tags queried together, so repeated find and find_any calls copy them: the
"first" rows drop the kept sets before every call (by an untimed edit of the
tags involved) and time that one call. The rows of one tag per share time a
find of it repeated and, "(fresh tag)", the first find of each of FRESH more
tags of that share; the dict of sets answers both with a copy of its set.
Each peer holds keys of its own (equal strings, not the same objects), so
that no store's first find finds in the cache the keys another's fetched.
The exclusion rows find the keys of one tag of a share that carry neither of
two 30% tags.
"""

import argparse
import os
import platform
import random
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from compare import fmt_time, measure_call  # noqa: E402
from corvane import Corvane  # noqa: E402
from data import with_own_keys  # noqa: E402
from peers.pure_python import PyTagStore  # noqa: E402

PEERS = {"corvane": Corvane}
try:
    from peers.roaring_ids import RoaringTagStore  # noqa: E402

    PEERS["pyroaring"] = RoaringTagStore
except ImportError:
    print("pyroaring is not installed: its column is skipped (pip install pyroaring)")
PEERS["pure Python"] = PyTagStore

FREQUENCIES = [0.0001, 0.001, 0.005, 0.01, 0.02, 0.05, 0.1, 0.3, 0.5]
OPS = ["count", "find", "count_any", "find_any"]
FIRST_CALLS = 30  # single calls timed after dropping kept sets; the best counts
FRESH = 5  # tags of each share queried once each by the fresh-tag rows


def share(f):
    return f"{f * 100:g}%"


def generate(n_keys, seed=7):
    """Key -> tags, with tags f-j carried by a random share f of the keys."""
    rng = random.Random(seed)
    keys = [f"key{i:08d}" for i in range(n_keys)]
    data = {key: ["filler"] for key in keys}
    for f in FREQUENCIES:
        for j in (1, 2, 3):
            for i in rng.sample(range(n_keys), max(1, round(f * n_keys))):
                data[keys[i]].append(f"{share(f)}-{j}")
        for j in range(FRESH):
            for i in rng.sample(range(n_keys), max(1, round(f * n_keys))):
                data[keys[i]].append(f"{share(f)}-fresh-{j}")
    return data


def queries():
    """(label, tags) of every query."""
    out = []
    for f in FREQUENCIES:
        out.append((f"2 × {share(f)}", [f"{share(f)}-1", f"{share(f)}-2"]))
        out.append((f"3 × {share(f)}", [f"{share(f)}-1", f"{share(f)}-2", f"{share(f)}-3"]))
    out.append((f"{share(FREQUENCIES[0])} + 30%", [f"{share(FREQUENCIES[0])}-1", "30%-1"]))
    return out


def first_call(store, op, tags, probe="sweep-probe"):
    """The best time of one call made right after every tag it names changed."""
    call = getattr(store, op)
    best = float("inf")
    for _ in range(FIRST_CALLS):
        for tag in tags:
            store.add_tags(probe, [tag])
        for tag in tags:
            store.remove_tag(probe, tag)
        start = time.perf_counter()
        call(tags)
        best = min(best, time.perf_counter() - start)
    return best


def fresh_first(store, f):
    """The best time of the first find of each fresh tag of share f."""
    best = float("inf")
    for j in range(FRESH):
        tags = [f"{share(f)}-fresh-{j}"]
        start = time.perf_counter()
        store.find(tags)
        best = min(best, time.perf_counter() - start)
    return best


def exclusion(store, tags):
    return store.find(tags[:1]) - store.find_any(tags[1:])


def single_tag_rows(stores, peers, repeat):
    """Rows of one tag per share: find repeated, the first find of a fresh
    tag, and the exclusion of two 30% tags."""
    rows = []
    for kind in ("find 1", "find (fresh tag) 1", "exclusion"):
        for f in FREQUENCIES:
            times = {}
            for name, store in stores.items():
                if kind == "find 1":
                    times[name] = measure_call(lambda s=store: s.find([f"{share(f)}-1"]), repeat)
                elif kind == "exclusion":
                    tags = [f"{share(f)}-1", "30%-1", "30%-2"]
                    times[name] = measure_call(lambda s=store: exclusion(s, tags), repeat)
                else:
                    times[name] = fresh_first(store, f)
            label = f"{kind} × {share(f)}" if kind != "exclusion" else f"exclusion {share(f)} - any 2 × 30%"
            rows.append(row_of(label, times, peers))
            print(rows[-1], flush=True)
    return rows


def row_of(label, times, peers):
    cells = [fmt_time(times["corvane"])]
    cells += [f"{fmt_time(times[p])} ({times[p] / times['corvane']:.2f}x)" for p in peers]
    return f"| {label} | " + " | ".join(cells) + " |"


def run(n_keys, repeat):
    print(f"{n_keys:,} keys; figures are times per call, ratios peer / corvane (above 1: corvane is faster)")
    data = generate(n_keys)
    stores = {name: peer(with_own_keys(data)) for name, peer in PEERS.items()}
    del data
    peers = list(PEERS)[1:]
    head = "| query | corvane | " + " | ".join(f"{p} (ratio)" for p in peers) + " |"
    rows = [head, "|" + "---|" * (len(PEERS) + 1)]
    for op in OPS:
        kinds = [("", measure_call)] + ([(" (first)", first_call)] if op.startswith("find") else [])
        for suffix, how in kinds:
            for label, tags in queries():
                times = {}
                for name, store in stores.items():
                    if how is measure_call:
                        times[name] = how(lambda s=store: getattr(s, op)(tags), repeat)
                    else:
                        times[name] = how(store, op, tags)
                rows.append(row_of(f"{op}{suffix} {label}", times, peers))
                print(rows[-1], flush=True)
    rows += single_tag_rows(stores, peers, repeat)
    return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=50_000, help="store size")
    parser.add_argument("--repeat", type=int, default=3, help="measurements per figure; the best counts")
    parser.add_argument("--out", default=str(HERE / "sweep.md"))
    args = parser.parse_args()
    report = (f"Machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
              f"`python bench/sweep.py --keys {args.keys} --repeat {args.repeat}`\n\n" + run(args.keys, args.repeat))
    Path(args.out).write_text(report + "\n")
    print(f"\ntable written to {args.out}")


if __name__ == "__main__":
    main()

"""What the documented recipes cost at scale, on the benchmark's generated data.

    python bench/recipes.py [--keys N]

Times each recipe once (best of three for the quick ones) on a store of N keys
(1,000,000 by default), and the memory one store takes per key.
"""

import argparse
import collections
import io
import json
import os
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from compare import fmt_bytes, fmt_time, memory_of  # noqa: E402
from corvane import Corvane  # noqa: E402
from data import generate  # noqa: E402


def best(call, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    args = parser.parse_args()
    data, vocab = generate(args.keys)
    m = Corvane(data)
    a, b, c = vocab[0], vocab[1], vocab[2]
    rows = {
        "exclusion: find([a, b]) - find([c])": best(lambda: m.find([a, b]) - m.find([c])),
        "exclusion count: count([a, b]) - count([a, b, c])": best(lambda: m.count([a, b]) - m.count([a, b, c])),
        "facet counts of 10,000 tags over find([a])": best(lambda: {t: m.count([a, t]) for t in m.tags()}, 1),
        "facet counts over an arbitrary set of 10,000 keys": best(
            lambda: collections.Counter(t for k in list(m.find([vocab[50]]))[:10_000] for t in m[k]), 1),
        "copy: Corvane(m.items())": best(lambda: Corvane(m.items()), 1),
        "content equality: a.to_dict() == b.to_dict()": best(lambda: m.to_dict() == m.to_dict(), 1),
    }
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "store.json")

        def save():
            with open(path, "w") as f:
                json.dump({key: sorted(tags) for key, tags in m.items()}, f)

        def load():
            with open(path) as f:
                return Corvane(json.load(f))

        rows["save to JSON"] = best(save, 1)
        rows["load from JSON"] = best(load, 1)
        pairs = [(key, tag) for key, tags in data.items() for tag in tags]

        def group():
            groups = collections.defaultdict(set)
            for key, tag in pairs:
                groups[key].add(tag)
            return Corvane(groups)

        rows[f"group {len(pairs):,} (key, tag) rows, then build"] = best(group, 1)

        def export():
            out = io.StringIO()
            for key, tags in m.items():
                out.write(json.dumps({"key": key, "tags": sorted(tags)}) + "\n")
            return out

        rows["export as JSON lines"] = best(export, 1)
    for name, seconds in rows.items():
        print(f"| {name} | {fmt_time(seconds)} |")
    m = data = None  # freed before the memory of a store of its own is measured
    size = memory_of("corvane", args.keys)
    print(f"| resident memory of one store | {fmt_bytes(size)}, {size / args.keys:.0f} bytes per key |")


if __name__ == "__main__":
    main()

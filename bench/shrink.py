"""A store cut down from many keys to few, against a fresh store of the same content.

    python bench/shrink.py [--keys N] [--left M] [--by del|retain_where|erase_where] [--own-tags] [--last]

Builds a store of N keys (1,000,000 by default) on the benchmark's generated
data, cuts it down to M of them (1,000 by default; by deleting the others one by
one, or in one call), and compares it with a store built afresh from those M
entries: the time of multi-tag queries and of tags(), and the C heap each holds
(where the store lives), each measured in a fresh process. With --own-tags every
key also carries a tag of its own, so that the surviving tags are spread over
the whole tag table; with --last the keys built last are the ones kept, so
that the surviving tags are the ones created last.
"""

import argparse
import gc
import subprocess
import sys
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from data import generate  # noqa: E402
from memory_soak import memory  # noqa: E402


def heap_in_use():
    gc.collect()
    return memory()[1]


def store(how, n_keys, left, by, own_tags, last):
    """The store, its vocabulary and the C heap it holds."""
    from corvane import Corvane

    before = heap_in_use()
    data, vocab = generate(n_keys)
    keys = list(data)
    if last:  # the kept keys first in `keys`, built last
        keys = keys[-left:] + keys[:-left]
    for i, key in enumerate(keys):
        mark = ["keep" if i < left else "drop"] if by != "del" else []
        data[key] = data[key] + ([f"own{i}"] if own_tags else []) + mark
    if how == "cut":
        m = Corvane(data)
        if by == "retain_where":
            m.retain_where(["keep"])
        elif by == "erase_where":
            m.erase_where(["drop"])
        else:
            for key in keys[left:]:
                del m[key]
    else:
        m = Corvane({key: data[key] for key in keys[:left]})
    del data, keys
    return m, vocab, heap_in_use() - before


def measure(how, n_keys, left, by, own_tags, last):
    m, vocab, held = store(how, n_keys, left, by, own_tags, last)
    tags = sorted(m.tags(), key=lambda t: -m.count([t]))[:3]
    calls = {
        "count 2": lambda: m.count(tags[:2]),
        "count 3": lambda: m.count(tags),
        "find 2": lambda: m.find(tags[:2]),
        "count_any 3": lambda: m.count_any(tags),
        "find_any 3": lambda: m.find_any(tags),
        "tags()": m.tags,
    }
    times = {name: min(timeit.repeat(call, number=2000, repeat=5)) / 2000 for name, call in calls.items()}
    print(repr({"times": times, "heap": held}))


def run_child(how, n_keys, left, by, own_tags, last):
    code = (f"import sys; sys.path.insert(0, {str(HERE)!r}); from shrink import measure; "
            f"measure({how!r}, {n_keys}, {left}, {by!r}, {own_tags}, {last})")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return eval(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--left", type=int, default=1_000)
    parser.add_argument("--by", choices=["del", "retain_where", "erase_where"], default="del")
    parser.add_argument("--own-tags", action="store_true", help="a tag of its own on every key")
    parser.add_argument("--last", action="store_true", help="keep the keys built last")
    args = parser.parse_args()
    cut, fresh = (run_child(how, args.keys, args.left, args.by, args.own_tags, args.last) for how in ("cut", "fresh"))
    own = ", a tag of its own on each," if args.own_tags else ""
    which = "the last" if args.last else "the first"
    print(f"| {args.keys:,} keys{own} cut to {which} {args.left:,} by {args.by}, against a fresh store "
          f"| cut | fresh | ratio |")
    print("|---|---|---|---|")
    for name in cut["times"]:
        a, b = cut["times"][name], fresh["times"][name]
        print(f"| {name} | {a * 1e9:.0f} ns | {b * 1e9:.0f} ns | {a / b:.2f} |")
    a, b = cut["heap"], fresh["heap"]
    print(f"| C heap held | {a / 1024:.0f} KiB | {b / 1024:.0f} KiB | {a / b:.2f} |")


if __name__ == "__main__":
    main()

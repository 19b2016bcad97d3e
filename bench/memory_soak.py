"""Resident memory over a million mixed operations on a store of steady size.

    python bench/memory_soak.py [--ops N] [--keys N] [--check]

Reports resident memory and the bytes in use on the C heap (where every store
lives; Python's own small objects live in 1 MiB arenas outside it). With --check
the exit status is 1 when the heap in use grew by 1% or more between the end of
the warm-up and the end of the run.
"""

import argparse
import ctypes
import random

from corvane import Corvane

TAGS = [f"tag{i}" for i in range(2000)]


LIBC = ctypes.CDLL("libc.so.6")


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


LIBC.mallinfo2.restype = MallInfo2


def memory():
    """(resident bytes, C heap bytes in use), once freed heap pages went back to
    the system so that the transient buffers of large results do not count."""
    LIBC.malloc_trim(0)
    info = LIBC.mallinfo2()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096, info.uordblks + info.hblkhd


def run(m, rng, ops, keys):
    """Mixed operations after which every key again carries three tags, so the
    store keeps its size and shape while its contents churn."""
    for i in range(ops):
        key = f"key{rng.randrange(keys)}"
        three = rng.sample(TAGS, 3)
        op = i % 10
        if op == 0:
            m[key] = three
        elif op == 1:
            m.pop(key)
            m.add_tags(key, three)
        elif op == 2:
            extra = rng.choice(TAGS)
            if not m.has_tag(key, extra):
                m.add_tag(key, extra)
                m.remove_tag(key, extra)
        elif op == 3:
            m.discard(key)
            m.setdefault(key, three)
        elif op == 4:
            m.get(key)
            m.discard_tag(key, "absent")
        elif op == 5:
            m.count(three[:2])
            m.count_any(three)
        elif op == 6:
            m.find(three[:2])
        elif op == 7:
            m.find_any([three[0]])
        elif op == 8:
            for gone in m.erase_where(three[:2]):
                m[gone] = rng.sample(TAGS, 3)
        else:
            m.update({key: three})
            if i % 50_000 == 9:
                m.items(), m.to_dict(), m.values(), m.tags()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ops", type=int, default=1_000_000)
    parser.add_argument("--keys", type=int, default=100_000)
    parser.add_argument("--check", action="store_true", help="fail on 1%% growth or more")
    args = parser.parse_args()

    rng = random.Random(1)
    m = Corvane({f"key{i}": rng.sample(TAGS, 3) for i in range(args.keys)})
    # Warm-up as long as the run: hash-table capacities only grow, towards the
    # largest sizes the churn produces, so they settle only after a while.
    run(m, rng, args.ops, args.keys)
    before = memory()
    run(m, rng, args.ops, args.keys)
    after = memory()
    growth = [100.0 * (a - b) / b for a, b in zip(after, before)]
    print(f"{args.ops:,} operations on {len(m):,} keys after as many to warm up:")
    for name, b, a, g in zip(("resident", "heap in use"), before, after, growth):
        print(f"  {name:12} {b / 2**20:7.2f} MiB -> {a / 2**20:7.2f} MiB ({g:+.2f}%)")
    if args.check and growth[1] >= 1.0:
        raise SystemExit(1)


if __name__ == "__main__":
    main()

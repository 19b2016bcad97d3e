"""This corvane_ray against the one of an earlier commit, in one run on one Ray.

    python bench/versus.py --keys 1000000 --rev 566b62b

The earlier package is taken from git (`git show <rev>:corvane_ray/...`) into
a temporary folder as `corvane_ray_before`, which Ray's workers import too.
Both versions load the same data into 2 shards (fed from the driver, and
from 4 JSON-lines partitions) and time point edits and reads; the rounds
alternate between them, so that the machine's drift touches both alike.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from cluster import median_time, timed, write_partitions  # noqa: E402
from data import generate  # noqa: E402


def fetch_package(rev, folder):
    """Writes corvane_ray as it was at `rev` into folder/corvane_ray_before."""
    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True, text=True, check=True,
                          cwd=HERE).stdout.strip()
    names = subprocess.run(["git", "ls-tree", "--name-only", rev, "corvane_ray/"], capture_output=True, text=True,
                           check=True, cwd=root).stdout.split()
    target = os.path.join(folder, "corvane_ray_before")
    os.mkdir(target)
    for name in names:
        content = subprocess.run(["git", "show", f"{rev}:{name}"], capture_output=True, check=True, cwd=root).stdout
        with open(os.path.join(target, os.path.basename(name)), "wb") as f:
            f.write(content)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--rev", default="566b62b")
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    data, _ = generate(args.keys)
    keys = list(data)
    with tempfile.TemporaryDirectory(prefix="corvane-versus-") as folder:
        fetch_package(args.rev, folder)
        sys.path.insert(0, folder)
        os.environ["PYTHONPATH"] = os.pathsep.join([folder, os.environ.get("PYTHONPATH", "")])
        partitions = os.path.join(folder, "partitions")
        os.mkdir(partitions)
        write_partitions(data, partitions)

        import corvane_ray_before
        import ray

        import corvane_ray

        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
        versions = {f"before ({args.rev})": corvane_ray_before.ShardedCorvane, "now": corvane_ray.ShardedCorvane}
        figures = {name: {} for name in versions}
        for _ in range(args.rounds):
            for name, cls in versions.items():
                row = figures[name]
                fed, store = timed(lambda: cls(data, shards=2))
                row.setdefault("load, fed from the driver", []).append(fed)
                edits = iter(keys)
                row.setdefault("point edit: add_tag", []).append(
                    median_time(lambda: store.add_tag(next(edits), "bench"), 300))
                row.setdefault("point read: [key]", []).append(median_time(lambda: store[keys[0]], 300))
                store.close()
                read, store = timed(lambda: cls.from_partitions(partitions, shards=2))
                row.setdefault("load, from partitions", []).append(read)
                store.close()
        ray.shutdown()
    names = list(versions)
    print(f"\n{args.keys:,} keys, 2 shards, best of {args.rounds} rounds")
    print(f"| | {' | '.join(names)} | now / before |\n|---|---|---|---|")
    for row in figures[names[0]]:
        before, now = (min(figures[name][row]) for name in names)
        print(f"| {row} | {before * 1e3:,.2f} ms | {now * 1e3:,.2f} ms | {now / before:.2f}x |")
    rounds = (f"{r}: " + "/".join(f"{statistics.median(figures[n][r]) * 1e3:.1f}" for n in names)
              for r in figures[names[0]])
    print(f"(medians of every round: {', '.join(rounds)})")


if __name__ == "__main__":
    main()

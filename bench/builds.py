"""Two builds of the module side by side: every corvane workload of compare.py, timed on each.

    python bench/builds.py --against DIR [--keys N] [--rounds R]

DIR holds another build of the module (a wheel unpacked, or `pip install
--target DIR`); the other side is the module installed. Each round times
every workload once per build, each in a fresh interpreter, the builds in
turn, so that the machine's drift touches both alike; a figure is the best
over the rounds, and the ratio is DIR's time over the installed one's
(above 1: DIR is slower).
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = """
import json, sys
sys.path.insert(0, {here!r})
import compare
from compare import PEERS, Corvane, TagsByRank, generate, measure
import corvane, random
data, vocab = generate({keys})
rng = random.Random(0)
ctx = {{"data": data, "tags": TagsByRank(vocab), "sample": rng.sample(list(data), min(compare.SAMPLE, {keys}))}}
ctx["stores"] = {{"corvane": Corvane(data)}}
times = {{w.name: measure(w, "corvane", ctx, {repeat}) for w in compare.WORKLOADS}}
print(json.dumps({{"module": corvane.__file__, "times": times}}))
"""


def run_side(path, keys, repeat):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = os.pathsep.join([path, env.get("PYTHONPATH", "")])
    code = CHILD.format(here=str(HERE), keys=keys, repeat=repeat)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", required=True, help="a folder holding the other build of the module")
    parser.add_argument("--keys", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=3, help="measurements per figure within a round")
    args = parser.parse_args()
    sides = {"installed": None, "against": os.path.abspath(args.against)}
    best = {name: {} for name in sides}
    modules = {}
    for round_ in range(args.rounds):
        for name, path in sides.items():
            result = run_side(path, args.keys, args.repeat)
            modules[name] = result["module"]
            for row, seconds in result["times"].items():
                best[name][row] = min(seconds, best[name].get(row, float("inf")))
        print(f"round {round_ + 1} of {args.rounds} done", file=sys.stderr)
    from compare import fmt_time

    print(f"{args.keys:,} keys, best of {args.rounds} rounds; installed: {modules['installed']}; "
          f"against: {modules['against']}")
    print("| workload | installed | against | against / installed |\n|---|---|---|---|")
    worst = 0.0
    for row, mine in best["installed"].items():
        theirs = best["against"][row]
        worst = max(worst, theirs / mine)
        print(f"| {row} | {fmt_time(mine)} | {fmt_time(theirs)} | {theirs / mine:.2f}x |")
    print(f"slowest row of the other build: {worst:.2f}x the installed one's")


if __name__ == "__main__":
    main()

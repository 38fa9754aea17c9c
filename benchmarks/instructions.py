"""Instructions per operation under callgrind: a deterministic companion to run.py.

Wall-clock times on a shared machine move by tens of percent from run to run; instruction
counts move by well under one percent, so they are what to compare before and after a
change to the engine. Each workload runs twice under valgrind's callgrind, with A and with
B operations after the same set-up, and the difference of the two totals divided by B - A
is the cost of one operation (set-up and interpreter start cancel out). Cache misses are
not counted: the wall-clock benchmark is still the measure of the targets.

    .venv/bin/python benchmarks/instructions.py [--sizes 1000,100000] [WORKLOAD ...]
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys

import weft
from per_op import WORKLOADS, runs

FEW, MANY = 200, 1200  # operations in the two runs


def child(name: str, size: int, ops: int) -> None:
    op = WORKLOADS[name](weft, size)
    for _ in range(ops):
        op()


def instructions(name: str, size: int, ops: int) -> int:
    env = dict(os.environ, PYTHONHASHSEED="0")
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
         __file__, "--child", name, str(size), str(ops)],
        env=env, capture_output=True, text=True, check=True)
    found = re.search(r"Collected : (\d+)", result.stderr)
    if not found:
        raise RuntimeError(f"no instruction total from callgrind:\n{result.stderr}")
    return int(found.group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1000,100000",
                        help="collection sizes, comma-separated (default: 1000,100000)")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("workloads", nargs="*", metavar="WORKLOAD",
                        help=f"any of {', '.join(WORKLOADS)} (default: all)")
    args = parser.parse_args()
    unknown = [w for w in args.workloads if w not in WORKLOADS]
    if unknown:
        parser.error(f"unknown workload: {', '.join(unknown)}")
    if args.child:
        name, size, ops = args.child
        child(name, int(size), int(ops))
        return
    sizes = [int(s) for s in args.sizes.split(",")]
    for name in args.workloads or WORKLOADS:
        for size, label in runs(name, sizes):
            per_op = (instructions(name, size, MANY) - instructions(name, size, FEW)) / (MANY - FEW)
            print(f"  {label:<42} {per_op:>10,.0f} instructions per operation", flush=True)


if __name__ == "__main__":
    main()

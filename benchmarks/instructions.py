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
import itertools
import os
import re
import subprocess
import sys
from typing import Callable, Dict

import weft


def chain_of_50(size: int) -> Callable[[], None]:
    """One write and `stabilize` through a chain of 50 queries (`size` is unused)."""
    rt = weft.Runtime()
    src = rt.create_input(0)
    node = src
    for _ in range(50):
        node = rt.create_query(lambda ref, prev=node: ref.get(prev) + 1)
    rt.observe(node, lambda value: None)
    rt.stabilize()
    tick = itertools.count(1).__next__

    def op():
        rt.set(src, tick())
        rt.stabilize()
    return op


def map_filter_count(size: int) -> Callable[[], None]:
    rt = weft.Runtime()
    c = rt.create_collection()
    for i in range(size):
        c.insert(i % 1000)
    n = c.map(lambda x: x * 2).filter(lambda x: x % 3 == 0).count()
    rt.get(n)
    tick = itertools.count().__next__

    def op():
        c.insert(tick() % 1000)
        rt.get(n)
    return op


def group_by_count(size: int) -> Callable[[], None]:
    rt = weft.Runtime()
    c = rt.create_collection()
    for x in range(size):
        c.insert(x)
    grouped = c.group_by(lambda x: x % 1000)
    version = grouped.version_node
    n = grouped.get_group(7).count()
    rt.get(n)
    tick = itertools.count(size).__next__

    def op():
        c.insert(tick())
        rt.get(version)
        rt.get(n)
    return op


def join_count(size: int) -> Callable[[], None]:
    rt = weft.Runtime()
    left, right = rt.create_collection(), rt.create_collection()
    for x in range(size):
        left.insert(x)
    for k in range(1000):
        right.insert((k, k * 10))
    n = left.join(right, lambda x: x % 1000, lambda row: row[0]).count()
    rt.get(n)
    tick = itertools.count(size).__next__

    def op():
        left.insert(tick())
        rt.get(n)
    return op


def sorted_window(size: int) -> Callable[[], None]:
    rt = weft.Runtime()
    c = rt.create_collection()
    for i in range(size):
        c.insert((i * 7919) % size)
    s = c.sort_by_key(lambda x: x)
    windows, pairs = s.window(3).version_node, s.pairwise().version_node
    rt.get(windows)
    rt.get(pairs)
    tick = itertools.count().__next__

    def op():
        c.insert(tick() % size)
        rt.get(windows)
        rt.get(pairs)
    return op


WORKLOADS: Dict[str, Callable[[int], Callable[[], None]]] = {
    "chain-of-50": chain_of_50,
    "map-filter-count": map_filter_count,
    "group_by-count": group_by_count,
    "join-count": join_count,
    "sort-window-pairwise": sorted_window,
}
FEW, MANY = 200, 1200  # operations in the two runs


def child(name: str, size: int, ops: int) -> None:
    op = WORKLOADS[name](size)
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
        for size in sizes[:1] if name == "chain-of-50" else sizes:
            per_op = (instructions(name, size, MANY) - instructions(name, size, FEW)) / (MANY - FEW)
            label = name if name == "chain-of-50" else f"{name}, {size} elements"
            print(f"  {label:<42} {per_op:>10,.0f} instructions per operation", flush=True)


if __name__ == "__main__":
    main()

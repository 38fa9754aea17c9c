"""One operation of each per-operation workload, for instructions.py and compare.py.

Each workload takes the weft module to build on (compare.py loads two builds side by side)
and a collection size, builds its graph, and returns the operation: one change and the
reads that bring the result up to date.
"""

from __future__ import annotations

import itertools
from types import ModuleType
from typing import Callable, Dict, List, Tuple


def observed_writes(rt, src, node) -> Callable[[], None]:
    """The operation of the single-value workloads: write `src` afresh, then `stabilize`
    with one observer on `node`."""
    rt.observe(node, lambda value: None)
    rt.stabilize()
    tick = itertools.count(1).__next__

    def op():
        rt.set(src, tick())
        rt.stabilize()
    return op


def chain_of_50(weft: ModuleType, size: int) -> Callable[[], None]:
    """One write and `stabilize` through a chain of 50 queries (`size` is unused)."""
    rt = weft.Runtime()
    src = rt.create_input(0)
    node = src
    for _ in range(50):
        node = rt.create_query(lambda ref, prev=node: ref.get(prev) + 1)
    return observed_writes(rt, src, node)


def changing_reads(weft: ModuleType, size: int) -> Callable[[], None]:
    """One write and `stabilize` of a query whose reads change with the input's parity: 40
    reads of two nodes, one of them swapped each time (`size` is unused)."""
    rt = weft.Runtime()
    src = rt.create_input(0)
    doubled = rt.create_query(lambda ref: ref.get(src) * 2)
    negated = rt.create_query(lambda ref: -ref.get(src))
    node = rt.create_query(lambda ref: sum([ref.get(doubled) if ref.get(src) % 2 else ref.get(negated)
                                            for _ in range(20)]))
    return observed_writes(rt, src, node)


def map_filter_count(weft: ModuleType, size: int) -> Callable[[], None]:
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


def group_by_count(weft: ModuleType, size: int) -> Callable[[], None]:
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


def join_count(weft: ModuleType, size: int) -> Callable[[], None]:
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


def sorted_window(weft: ModuleType, size: int) -> Callable[[], None]:
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


WORKLOADS: Dict[str, Callable[[ModuleType, int], Callable[[], None]]] = {
    "chain-of-50": chain_of_50,
    "changing-reads": changing_reads,
    "map-filter-count": map_filter_count,
    "group_by-count": group_by_count,
    "join-count": join_count,
    "sort-window-pairwise": sorted_window,
}

# The workloads that make no collection, run at one size only.
SIZELESS = {"chain-of-50", "changing-reads"}


def runs(name: str, sizes: List[int]) -> List[Tuple[int, str]]:
    """The sizes workload `name` runs at, each with the label of its row."""
    if name in SIZELESS:
        return [(sizes[0], name)]
    return [(size, f"{name}, {size} elements") for size in sizes]

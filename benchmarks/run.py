"""Benchmarks: weft side by side with the floor and hand-written Python versions.

The floor calls the same Python callables directly, with their inputs passed by hand.
The hand-written graph is a small lazy memo graph in pure Python (values, dependents and
dirty flags, dependencies recorded while a node computes). For collections the peers are a
from-scratch recomputation and a hand-written incremental version. Each workload checks
that every system computes the same numbers. Times are medians of repeated runs.

    .venv/bin/python benchmarks/run.py [--quick] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
from collections import Counter
from typing import Callable, Dict, List

import weft


# ---- a hand-written lazy memo graph -------------------------------------------------

class PyGraph:
    def __init__(self) -> None:
        self.values: Dict[int, object] = {}
        self.funcs: Dict[int, Callable] = {}
        self.deps: Dict[int, List[int]] = {}
        self.dependents: Dict[int, set] = {}
        self.dirty: Dict[int, bool] = {}
        self.stack: List[List[int]] = []
        self.next = 0

    def _new(self) -> int:
        n = self.next
        self.next += 1
        self.dependents[n] = set()
        return n

    def input(self, value):
        n = self._new()
        self.values[n] = value
        return n

    def query(self, fn):
        n = self._new()
        self.funcs[n] = fn
        self.deps[n] = []
        self.dirty[n] = True
        return n

    def get(self, n):
        if self.stack:
            self.stack[-1].append(n)
        if self.dirty.get(n):
            self.stack.append([])
            value = self.funcs[n](self.get)
            reads = self.stack.pop()
            for d in self.deps[n]:
                self.dependents[d].discard(n)
            for d in reads:
                self.dependents[d].add(n)
            self.deps[n] = reads
            self.values[n] = value
            self.dirty[n] = False
        return self.values[n]

    def set(self, n, value):
        if self.values[n] == value:
            return
        self.values[n] = value
        work = list(self.dependents[n])
        while work:
            m = work.pop()
            if not self.dirty[m]:
                self.dirty[m] = True
                work.extend(self.dependents[m])


# ---- timing -------------------------------------------------------------------------

def per_op(fn: Callable[[], None], ops: int, repeat: int) -> float:
    """Median nanoseconds per operation of `fn`, which performs `ops` operations."""
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        fn()
        samples.append((time.perf_counter_ns() - t0) / ops)
    return statistics.median(samples)


ROWS: List[dict] = []


def row(name: str, **times: float) -> None:
    ROWS.append({"workload": name, **{k: round(v, 1) for k, v in times.items()}})


# ---- single-value workloads ---------------------------------------------------------

def bench_clean_get(n: int, repeat: int) -> None:
    rt = weft.Runtime()
    a = rt.create_input(1)
    q = rt.create_query(lambda ref: ref.get(a) + 1)
    get = rt.get
    get(q)
    d = {1: 2, 3: 4}
    dget = d.get
    rng = range(n)

    def weft_loop():
        for _ in rng:
            get(q)

    def dict_loop():
        for _ in rng:
            dget(1)

    row("clean get (vs dict.get)", weft=per_op(weft_loop, n, repeat), floor=per_op(dict_loop, n, repeat))


def bench_chain(length: int, rounds: int, repeat: int) -> None:
    """Deep propagation: an input, a chain of `length` increments, one read per write."""
    inc = lambda x: x + 1  # noqa: E731

    rt = weft.Runtime()
    src = rt.create_input(0)
    node = src
    for _ in range(length):
        node = (lambda prev: rt.create_query(lambda ref: inc(ref.get(prev))))(node)
    tail = node

    g = PyGraph()
    gsrc = g.input(0)
    gnode = gsrc
    for _ in range(length):
        gnode = (lambda prev: g.query(lambda get: inc(get(prev))))(gnode)
    gtail = gnode

    counter = iter(range(1, 10**9))

    def weft_run():
        for _ in range(rounds):
            v = next(counter)
            rt.set(src, v)
            assert rt.get(tail) == v + length

    def graph_run():
        for _ in range(rounds):
            v = next(counter)
            g.set(gsrc, v)
            assert g.get(gtail) == v + length

    def floor_run():
        for _ in range(rounds):
            v = next(counter)
            x = v
            for _ in range(length):
                x = inc(x)
            assert x == v + length

    row(f"deep propagation (chain {length})", weft=per_op(weft_run, rounds, repeat),
        floor=per_op(floor_run, rounds, repeat), pygraph=per_op(graph_run, rounds, repeat))


def bench_broad(width: int, rounds: int, repeat: int) -> None:
    """Broad propagation: one input read by `width` queries, all read after each write."""
    inc = lambda x: x + 1  # noqa: E731
    rt = weft.Runtime()
    src = rt.create_input(0)
    branches = [rt.create_query(lambda ref, i=i: inc(ref.get(src)) + i) for i in range(width)]
    g = PyGraph()
    gsrc = g.input(0)
    gbranches = [g.query(lambda get, i=i: inc(get(gsrc)) + i) for i in range(width)]
    counter = iter(range(1, 10**9))

    def weft_run():
        for _ in range(rounds):
            v = next(counter)
            rt.set(src, v)
            assert sum(rt.get(b) for b in branches) == width * (v + 1) + width * (width - 1) // 2

    def graph_run():
        for _ in range(rounds):
            v = next(counter)
            g.set(gsrc, v)
            assert sum(g.get(b) for b in gbranches) == width * (v + 1) + width * (width - 1) // 2

    def floor_run():
        for _ in range(rounds):
            v = next(counter)
            assert sum(inc(v) + i for i in range(width)) == width * (v + 1) + width * (width - 1) // 2

    row(f"broad propagation ({width} branches)", weft=per_op(weft_run, rounds, repeat),
        floor=per_op(floor_run, rounds, repeat), pygraph=per_op(graph_run, rounds, repeat))


def bench_diamond(width: int, rounds: int, repeat: int) -> None:
    """Diamond: one input, `width` branches, one sum over them."""
    inc = lambda x: x + 1  # noqa: E731
    rt = weft.Runtime()
    src = rt.create_input(0)
    br = [rt.create_query(lambda ref: inc(ref.get(src))) for _ in range(width)]
    top = rt.create_query(lambda ref: sum(ref.get(b) for b in br))
    g = PyGraph()
    gsrc = g.input(0)
    gbr = [g.query(lambda get: inc(get(gsrc))) for _ in range(width)]
    gtop = g.query(lambda get: sum(get(b) for b in gbr))
    counter = iter(range(1, 10**9))

    def weft_run():
        for _ in range(rounds):
            v = next(counter)
            rt.set(src, v)
            assert rt.get(top) == width * (v + 1)

    def graph_run():
        for _ in range(rounds):
            v = next(counter)
            g.set(gsrc, v)
            assert g.get(gtop) == width * (v + 1)

    def floor_run():
        for _ in range(rounds):
            v = next(counter)
            assert sum(inc(v) for _ in range(width)) == width * (v + 1)

    row(f"diamond (width {width})", weft=per_op(weft_run, rounds, repeat),
        floor=per_op(floor_run, rounds, repeat), pygraph=per_op(graph_run, rounds, repeat))


def _cellx_layers(layers, inp, query, get):
    a, b, c, d = (inp(v) for v in (1, 2, 3, 4))
    srcs = (a, b, c, d)
    cur = srcs
    for _ in range(layers):
        p1, p2, p3, p4 = cur
        n1 = query(lambda gt, p2=p2: gt(p2))
        n2 = query(lambda gt, p1=p1, p3=p3: gt(p1) - gt(p3))
        n3 = query(lambda gt, p2=p2, p4=p4: gt(p2) + gt(p4))
        n4 = query(lambda gt, p3=p3: gt(p3))
        cur = (n1, n2, n3, n4)
        for n in cur:
            get(n)
    return srcs, cur


def cellx_floor(layers, vals):
    p1, p2, p3, p4 = vals
    for _ in range(layers):
        p1, p2, p3, p4 = p2, p1 - p3, p2 + p4, p3
    return [p1, p2, p3, p4]


def bench_cellx(layers: int, rounds: int, repeat: int) -> None:
    rt = weft.Runtime()
    wsrc, wend = _cellx_layers(layers, rt.create_input,
                               lambda f: rt.create_query(lambda ref: f(ref.get)), rt.get)
    g = PyGraph()
    gsrc, gend = _cellx_layers(layers, g.input, g.query, g.get)
    before = cellx_floor(layers, (1, 2, 3, 4))
    if layers == 1000:
        assert before == [-3, -6, -2, 2], before
    assert [rt.get(n) for n in wend] == before == [g.get(n) for n in gend]
    after = cellx_floor(layers, (4, 3, 2, 1))
    if layers == 1000:
        assert after == [-2, -4, 2, 3], after

    def run(set_, get, srcs, ends):
        def go():
            for i in range(rounds):
                vals = (4, 3, 2, 1) if i % 2 == 0 else (1, 2, 3, 4)
                for s_, v in zip(srcs, vals):
                    set_(s_, v)
                assert [get(n) for n in ends] == (after if i % 2 == 0 else before)
        return go

    def floor_run():
        for i in range(rounds):
            vals = (4, 3, 2, 1) if i % 2 == 0 else (1, 2, 3, 4)
            assert cellx_floor(layers, vals) == (after if i % 2 == 0 else before)

    row(f"cellx ({layers} layers)", weft=per_op(run(rt.set, rt.get, wsrc, wend), rounds, repeat),
        floor=per_op(floor_run, rounds, repeat),
        pygraph=per_op(run(g.set, g.get, gsrc, gend), rounds, repeat))


def bench_aggregate_sum(size: int, rounds: int, repeat: int) -> None:
    lift = lambda x: x  # noqa: E731
    add = lambda a, b: a + b  # noqa: E731
    rt = weft.Runtime()
    c = rt.create_collection()
    for i in range(size):
        c.insert(i % 1000)
    agg = c.aggregate(0, lift, add)
    rt.get(agg)
    total = sum(i % 1000 for i in range(size))
    data = [i % 1000 for i in range(size)]
    ws, ps = iter(range(10**9)), iter(range(10**9))

    def weft_run():
        for _ in range(rounds):
            c.insert(next(ws) % 1000)
            rt.get(agg)

    def incremental_run():
        nonlocal total
        for _ in range(rounds):
            x = next(ps) % 1000
            data.append(x)
            total = add(total, lift(x))

    w = per_op(weft_run, rounds, repeat)
    inc = per_op(incremental_run, rounds, repeat)
    assert rt.get(agg) == total == sum(data)
    scratch = per_op(lambda: sum(data), 1, 3)
    row(f"aggregate sum, {size} elements", weft=w, incremental_py=inc, scratch_py=scratch)


def bench_group_count(size: int, rounds: int, repeat: int) -> None:
    key = lambda x: x % 1000  # noqa: E731
    rt = weft.Runtime()
    c = rt.create_collection()
    for i in range(size):
        c.insert(i)
    gb = c.group_by(key)
    grp = gb.get_group(7)
    n = grp.count()
    rt.get(n)
    counts = Counter(key(i) for i in range(size))
    ws, ps = iter(range(size, 10**9)), iter(range(size, 10**9))

    def weft_run():
        for _ in range(rounds):
            c.insert(next(ws))
            rt.get(gb.version_node)  # the router runs when the grouping is read
            rt.get(n)

    def incremental_run():
        for _ in range(rounds):
            counts[key(next(ps))] += 1

    w = per_op(weft_run, rounds, repeat)
    inc = per_op(incremental_run, rounds, repeat)
    assert rt.get(n) == counts[7]
    row(f"group_by (1000 keys) + one group count, {size} elements", weft=w, incremental_py=inc)


def bench_cutoff(length: int, rounds: int, repeat: int) -> None:
    """Avoidable propagation: the first query's result does not change, the rest is verified."""
    rt = weft.Runtime()
    src = rt.create_input(0)
    first = rt.create_query(lambda ref: ref.get(src) >= 0)
    node = first
    rt.get(first)
    for _ in range(length):
        node = (lambda prev: rt.create_query(lambda ref: ref.get(prev)))(node)
        rt.get(node)  # first reads bottom-up: a first read from the tail would nest every compute
    tail = node
    counter = iter(range(1, 10**9))

    def weft_run():
        for _ in range(rounds):
            rt.set(src, next(counter))
            assert rt.get(tail) is True

    def floor_run():
        for _ in range(rounds):
            assert (next(counter) >= 0) is True

    w = per_op(weft_run, rounds, repeat)
    f = per_op(floor_run, rounds, repeat)
    row(f"cutoff then {length} verified", weft=w, floor=f, per_verified_node=(w - f) / length)


def bench_sparse(chains: int, length: int, rounds: int, repeat: int) -> float:
    rt = weft.Runtime()
    sources, tails = [], []
    for _ in range(chains):
        src = rt.create_input(0)
        node = src
        for _ in range(length):
            node = (lambda prev: rt.create_query(lambda ref: ref.get(prev) + 1))(node)
        sources.append(src)
        tails.append(node)
        rt.get(node)
    counter = iter(range(1, 10**9))

    def run():
        for _ in range(rounds):
            v = next(counter)
            rt.set(sources[0], v)
            assert rt.get(tails[0]) == v + length

    t = per_op(run, rounds, repeat)
    row(f"sparse update ({chains} chains of {length})", weft=t)
    return t


def bench_stabilize_idle(observers: int, repeat: int) -> None:
    rt = weft.Runtime()
    fired = []
    for i in range(observers):
        q = rt.create_query(lambda ref, i=i: i)
        rt.get(q)
        rt.observe(q, fired.append)
    rt.stabilize()
    fired.clear()
    d = {1: 2}
    dget = d.get

    def run():
        rt.stabilize()

    def dict_loop():
        for _ in range(observers):
            dget(1)

    t = per_op(run, observers, repeat)
    assert not fired
    row(f"stabilize, {observers} observers, no change (per observer)", weft=t,
        floor=per_op(dict_loop, observers, repeat))


def bench_creation(count: int) -> None:
    def rss() -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    values = [None] * count  # the values exist before: only the engine's cost is measured
    rt = weft.Runtime()
    before = rss()
    t0 = time.perf_counter_ns()
    handles = [rt.create_input(v) for v in values]
    elapsed = (time.perf_counter_ns() - t0) / count
    after = rss()
    # A NodeId is a Python object of its own; subtract what the handles themselves take.
    handle_bytes = sys.getsizeof(handles[0]) + 8
    row(f"create {count} inputs", weft=elapsed,
        bytes_per_node=(after - before) / count - handle_bytes)


# ---- collection workloads -----------------------------------------------------------

def bench_collection_pipeline(size: int, rounds: int, repeat: int) -> None:
    """One insert, then read map -> filter -> count."""
    double = lambda x: x * 2  # noqa: E731
    keep = lambda x: x % 3 == 0  # noqa: E731
    rt = weft.Runtime()
    c = rt.create_collection()
    for i in range(size):
        c.insert(i % 1000)
    n = c.map(double).filter(keep).count()
    rt.get(n)
    data = Counter(i % 1000 for i in range(size))
    running = sum(k for x, k in data.items() if keep(double(x)))
    # Each system sees the same stream of inserted values.
    weft_stream, py_stream, floor_stream = (iter(range(10**9)) for _ in range(3))

    def weft_run():
        for _ in range(rounds):
            c.insert(next(weft_stream) % 1000)
            rt.get(n)

    def incremental_run():
        nonlocal running
        for _ in range(rounds):
            x = next(py_stream) % 1000
            data[x] += 1
            if keep(double(x)):
                running += 1

    def floor_run():
        for _ in range(rounds):
            keep(double(next(floor_stream) % 1000))

    w = per_op(weft_run, rounds, repeat)
    inc = per_op(incremental_run, rounds, repeat)
    expected = sum(k for x, k in data.items() if keep(double(x)))
    assert rt.get(n) == running == expected
    scratch = per_op(lambda: sum(1 for x in data.elements() if keep(double(x))), 1, 3)
    row(f"map-filter-count, {size} elements", weft=w, floor=per_op(floor_run, rounds, repeat),
        incremental_py=inc, scratch_py=scratch)


def bench_sorted_window(size: int, rounds: int, repeat: int) -> None:
    import bisect
    rt = weft.Runtime()
    c = rt.create_collection()
    for i in range(size):
        c.insert((i * 7919) % size)
    s = c.sort_by_key(lambda x: x)
    w = s.window(3)
    p = s.pairwise()
    rt.get(w.version_node)
    rt.get(p.version_node)
    model = sorted((i * 7919) % size for i in range(size))
    weft_stream, py_stream = iter(range(10**9)), iter(range(10**9))

    def weft_run():
        for _ in range(rounds):
            c.insert(next(weft_stream) % size)
            rt.get(w.version_node)
            rt.get(p.version_node)

    def incremental_run():
        for _ in range(rounds):
            bisect.insort(model, next(py_stream) % size)

    t = per_op(weft_run, rounds, repeat)
    inc = per_op(incremental_run, rounds, repeat)
    assert s.snapshot() == model
    assert w.snapshot_len() == len(model) - 2 and p.snapshot_len() == len(model) - 1
    scratch = per_op(lambda: [model[i:i + 3] for i in range(len(model) - 2)], 1, 3)
    row(f"sort_by_key + window(3) + pairwise, {size} elements", weft=t, incremental_py=inc,
        scratch_py=scratch)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--json")
    parser.add_argument("--plot")
    args = parser.parse_args()
    sys.setrecursionlimit(100_000)
    q = args.quick
    repeat = 3 if q else 7
    bench_clean_get(100_000 if q else 1_000_000, repeat)
    bench_chain(50, 200 if q else 2000, repeat)
    bench_broad(50, 100 if q else 1000, repeat)
    bench_diamond(5, 200 if q else 2000, repeat)
    bench_cellx(1000, 5 if q else 30, repeat)
    bench_cutoff(1024, 50 if q else 300, repeat)
    small = bench_sparse(10, 100, 200 if q else 2000, repeat)
    large = bench_sparse(100 if q else 1000, 100, 200 if q else 2000, repeat)
    ROWS.append({"workload": "sparse update ratio (many / few chains)", "ratio": round(large / small, 2)})
    bench_stabilize_idle(1000 if q else 10_000, repeat)
    bench_creation(100_000 if q else 1_000_000)
    for size in (1000, 10_000 if q else 100_000):
        bench_collection_pipeline(size, 200 if q else 2000, repeat)
        bench_sorted_window(size, 100 if q else 1000, repeat)
        bench_aggregate_sum(size, 200 if q else 2000, repeat)
        bench_group_count(size, 200 if q else 2000, repeat)

    print("weft benchmarks (ns per operation; peers: the floor and hand-written Python versions only; no existing reactive or incremental library is installed or run)")
    for r in ROWS:
        if "weft" in r and r.get("floor"):
            r["x_floor"] = round(r["weft"] / r["floor"], 2)
        if "weft" in r and r.get("pygraph"):
            r["pygraph_over_weft"] = round(r["pygraph"] / r["weft"], 2)
        rest = ", ".join(f"{k}={v}" for k, v in r.items() if k != "workload")
        print(f"  {r['workload']:<58} {rest}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(ROWS, f, indent=2)
    if args.plot:
        try:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            print("matplotlib not importable: no plot")
            return
        rows = [r for r in ROWS if "weft" in r]
        fig, ax = plt.subplots(figsize=(10, 0.4 * len(rows) + 1))
        names = [r["workload"] for r in rows]
        for j, k in enumerate(("weft", "floor", "pygraph", "incremental_py")):
            ax.barh([i + 0.2 * j for i in range(len(rows))], [r.get(k, 0) for r in rows], 0.2, label=k)
        ax.set_yticks(range(len(rows)), names, fontsize=6)
        ax.set_xscale("log")
        ax.legend()
        fig.tight_layout()
        fig.savefig(args.plot)


if __name__ == "__main__":
    main()

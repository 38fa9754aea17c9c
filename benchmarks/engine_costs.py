"""The engine's own costs: clean reads, verification, the shape of a 1,024-node graph,
sparse updates in a large graph, readers leaving a widely read input, idle `stabilize`, and
node creation."""

from __future__ import annotations

import itertools
import random
import sys
import time

import weft

from harness import Profile, Table, per_op
from reactivity import ident, inc


def clean_get(table: Table, n: int, repeat: int) -> None:
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

    table.row("clean get (vs dict.get)", weft=per_op(weft_loop, n, repeat),
              floor=per_op(dict_loop, n, repeat))


def nonnegative(x):
    return x >= 0


def shape_of(table: Table, shape: str, size: int, case: str, rounds: int, repeat: int) -> None:
    """A chain, a fan-out or a diamond of `size` queries over one input, read after a write
    that is `unrelated` to them, `cut off` by the first queries, or `changes` them all."""
    first = nonnegative if case == "cut off" else inc
    rt = weft.Runtime()
    head, unrelated = rt.create_input(0), rt.create_input(0)
    get = rt.get
    if shape == "chain":
        node = rt.create_query(lambda r: first(r.get(head)))
        for _ in range(size - 1):
            get(node)  # first reads bottom-up: from the end they would nest
            node = rt.create_query(lambda r, p=node: inc(r.get(p)))
        reads = [node]
    elif shape == "fan-out":
        reads = [rt.create_query(lambda r: first(r.get(head))) for _ in range(size)]
    else:
        branches = [rt.create_query(lambda r: first(r.get(head))) for _ in range(size - 1)]
        reads = [rt.create_query(lambda r: sum([r.get(b) for b in branches]))]
    for n in reads:
        get(n)
    target = unrelated if case == "unrelated" else head
    tick, set_ = itertools.count(1).__next__, rt.set

    def weft_run():
        for _ in range(rounds):
            set_(target, tick())
            for n in reads:
                get(n)

    d = {1: 2}
    dget = d.get
    floor_tick = itertools.count(1).__next__

    def floor_run():
        for _ in range(rounds):
            v = floor_tick()
            if case == "unrelated":
                for _ in reads:
                    dget(1)
            elif shape == "chain":
                x = first(v)
                if case == "changes":
                    for _ in range(size - 1):
                        x = inc(x)
            elif shape == "fan-out":
                for _ in range(size):
                    first(v)
            else:
                sum([first(v) for _ in range(size - 1)])

    w, f = per_op(weft_run, rounds, repeat), per_op(floor_run, rounds, repeat)
    extra = {}
    if case == "cut off" and shape == "chain":
        # Everything past the first query is verified without running Python.
        extra["per_verified_node"] = (w - f) / (size - 1)
    table.row(f"{shape} of {size}, {case}", weft=w, floor=f, **extra)


def sparse(table: Table, chains: int, length: int, rounds: int, repeat: int) -> float:
    rt = weft.Runtime()
    sources, tails = [], []
    for _ in range(chains):
        src = rt.create_input(0)
        node = src
        for _ in range(length):
            node = rt.create_query(lambda ref, prev=node: ref.get(prev) + 1)
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
    table.row(f"sparse update ({chains} chains of {length})", weft=t)
    return t


def readers_leaving(table: Table, readers: int, rounds: int, repeat: int) -> None:
    """`readers` queries read a shared input while a condition holds, and are read in a
    fresh random order after each flip of the condition: half the rounds' reads drop the
    shared input from their dependencies, the other half take it back. The same reads by
    queries whose dependencies stay the same show what the change of dependencies adds."""
    shuffle = random.Random(7).shuffle
    times = {}
    for case in ("leave", "stay"):
        rt = weft.Runtime()
        cond, shared = rt.create_input(True), rt.create_input(1)
        if case == "leave":
            queries = [rt.create_query(lambda r: r.get(shared) if r.get(cond) else 0)
                       for _ in range(readers)]
        else:
            queries = [rt.create_query(lambda r: r.get(cond) and 0) for _ in range(readers)]
        orders = []
        for _ in range(rounds):
            orders.append(list(queries))
            shuffle(orders[-1])
        get = rt.get
        for q in queries:
            get(q)

        def run():
            for k, order in enumerate(orders):
                rt.set(cond, k % 2 == 1)
                for q in order:
                    get(q)

        times[case] = per_op(run, rounds * readers, repeat)
        for value in (True, False, True):  # every reader follows the condition both ways
            rt.set(cond, value)
            expected = 1 if value and case == "leave" else 0
            assert [get(q) for q in queries] == [expected] * readers, case
    table.row(f"readers leave a shared input in random order ({readers} readers, per read)",
              weft=times["leave"])
    table.row(f"the same reads, dependencies unchanged ({readers} readers)", weft=times["stay"])
    table.row("readers leaving: changed / unchanged dependencies", ratio=times["leave"] / times["stay"])


def stabilize_idle(table: Table, observers: int, repeat: int) -> None:
    """`stabilize` with nothing changed since the last one, and after a write that no
    observed node reads: the first returns at once, the second checks every observer."""
    rt = weft.Runtime()
    fired: list = []
    unrelated = rt.create_input(0)
    for i in range(observers):
        q = rt.create_query(lambda ref, i=i: i)
        rt.get(q)
        rt.observe(q, fired.append)
    rt.stabilize()
    fired.clear()
    d = {1: 2}
    dget = d.get
    counter = itertools.count(1)

    def dict_loop():
        for _ in range(observers):
            dget(1)

    def write_and_stabilize():
        rt.set(unrelated, next(counter))
        rt.stabilize()

    floor = per_op(dict_loop, observers, repeat)
    t = per_op(rt.stabilize, observers, repeat)
    table.row(f"stabilize, {observers} observers, no change (per observer)", weft=t, floor=floor)
    t = per_op(write_and_stabilize, observers, repeat)
    assert not fired
    table.row(f"stabilize, {observers} observers, unrelated write (per observer)", weft=t,
              floor=floor)


def creation(table: Table, count: int) -> None:
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
    table.row(f"create {count} inputs", weft=elapsed,
              bytes_per_node=(after - before) / count - handle_bytes)


def run_all(table: Table, p: Profile) -> None:
    clean_get(table, p.pick(1_000_000, 100_000, 100), p.repeat)
    size = p.size("shape", 1024, 1024, 1024)
    for shape in ("chain", "fan-out", "diamond"):
        for case in ("unrelated", "cut off", "changes"):
            shape_of(table, shape, size, case, p.rounds(300), p.repeat)
    length = p.pick(100, 100, 10)
    few_chains, many_chains = p.size("sparse", (10, 1000), (10, 1000), (10, 20))
    few = sparse(table, few_chains, length, p.rounds(2000), p.repeat)
    many = sparse(table, many_chains, length, p.rounds(2000), p.repeat)
    table.row("sparse update ratio (many / few chains)", ratio=many / few)
    readers_leaving(table, p.size("readers", 100_000, 10_000, 100), p.pick(4, 2, 2), p.repeat)
    stabilize_idle(table, p.size("observers", 10_000, 10_000, 100), p.repeat)
    creation(table, p.size("inputs", 1_000_000, 100_000, 1000))

"""Collection workloads: one change to a source, then a read of the maintained result.

Peers: the floor (the user callables that one change must call), a hand-written
incremental Python version, and recomputing the result from scratch."""

from __future__ import annotations

import bisect
import itertools
from collections import Counter, defaultdict

import weft

from harness import Profile, Table, per_op


def fresh():
    return itertools.count().__next__


def pipeline(table: Table, size: int, rounds: int, repeat: int) -> str:
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
    weft_next, py_next, floor_next = fresh(), fresh(), fresh()

    def weft_run():
        for _ in range(rounds):
            c.insert(weft_next() % 1000)
            rt.get(n)

    def incremental_run():
        nonlocal running
        for _ in range(rounds):
            x = py_next() % 1000
            data[x] += 1
            if keep(double(x)):
                running += 1

    def floor_run():
        for _ in range(rounds):
            keep(double(floor_next() % 1000))

    w = per_op(weft_run, rounds, repeat)
    inc = per_op(incremental_run, rounds, repeat)
    expected = sum(k for x, k in data.items() if keep(double(x)))
    assert rt.get(n) == running == expected
    scratch = per_op(lambda: sum(1 for x in data.elements() if keep(double(x))), 1, 3)
    name = f"map-filter-count, {size} elements"
    table.row(name, weft=w, floor=per_op(floor_run, rounds, repeat), incremental_py=inc,
              scratch_py=scratch)
    return name


def aggregate_sum(table: Table, size: int, rounds: int, repeat: int) -> str:
    lift = lambda x: x  # noqa: E731
    add = lambda a, b: a + b  # noqa: E731
    rt = weft.Runtime()
    c = rt.create_collection()
    data = [i % 1000 for i in range(size)]
    for x in data:
        c.insert(x)
    agg = c.aggregate(0, lift, add)
    rt.get(agg)
    total = sum(data)
    weft_next, py_next, floor_next = fresh(), fresh(), fresh()
    depth = (size - 1).bit_length()  # the combines along one path of the tree

    def weft_run():
        for _ in range(rounds):
            c.insert(weft_next() % 1000)
            rt.get(agg)

    def incremental_run():
        nonlocal total
        for _ in range(rounds):
            x = py_next() % 1000
            data.append(x)
            total = add(total, lift(x))

    def floor_run():
        for _ in range(rounds):
            x = lift(floor_next() % 1000)
            for _ in range(depth):
                x = add(x, 0)

    w = per_op(weft_run, rounds, repeat)
    inc = per_op(incremental_run, rounds, repeat)
    assert rt.get(agg) == total == sum(data)
    scratch = per_op(lambda: sum(map(lift, data)), 1, 3)
    name = f"aggregate sum, {size} elements"
    table.row(name, weft=w, floor=per_op(floor_run, rounds, repeat), incremental_py=inc,
              scratch_py=scratch)
    return name


def group_count(table: Table, size: int, rounds: int, repeat: int) -> str:
    key = lambda x: x % 1000  # noqa: E731
    rt = weft.Runtime()
    c = rt.create_collection()
    data = list(range(size))
    for x in data:
        c.insert(x)
    grouped = c.group_by(key)
    n = grouped.get_group(7).count()
    rt.get(n)
    counts = Counter(key(x) for x in data)
    weft_next, py_next, floor_next = (itertools.count(size).__next__ for _ in range(3))

    def weft_run():
        for _ in range(rounds):
            c.insert(weft_next())
            rt.get(grouped.version_node)  # the router runs when the grouping is read
            rt.get(n)

    def incremental_run():
        for _ in range(rounds):
            x = py_next()
            data.append(x)
            counts[key(x)] += 1

    def floor_run():
        for _ in range(rounds):
            key(floor_next())

    def scratch():
        groups = defaultdict(list)
        for x in data:
            groups[key(x)].append(x)
        return len(groups[7])

    w = per_op(weft_run, rounds, repeat)
    inc = per_op(incremental_run, rounds, repeat)
    assert rt.get(n) == counts[7] == scratch()
    name = f"group_by (1000 keys) + one group count, {size} elements"
    table.row(name, weft=w, floor=per_op(floor_run, rounds, repeat), incremental_py=inc,
              scratch_py=per_op(scratch, 1, 3))
    return name


def join_count(table: Table, size: int, rounds: int, repeat: int) -> str:
    """A left side of `size` elements joined with 1,000 reference rows on 1,000 keys."""
    left_key = lambda x: x % 1000  # noqa: E731
    right_key = lambda row: row[0]  # noqa: E731
    rt = weft.Runtime()
    left, right = rt.create_collection(), rt.create_collection()
    data = list(range(size))
    rows = [(k, k * 10) for k in range(1000)]
    for x in data:
        left.insert(x)
    for row in rows:
        right.insert(row)
    n = left.join(right, left_key, right_key).count()
    rt.get(n)
    index = defaultdict(list)
    for row in rows:
        index[right_key(row)].append(row)
    pairs = len(data)
    weft_next, py_next, floor_next = (itertools.count(size).__next__ for _ in range(3))

    def weft_run():
        for _ in range(rounds):
            left.insert(weft_next())
            rt.get(n)

    def incremental_run():
        nonlocal pairs
        for _ in range(rounds):
            x = py_next()
            data.append(x)
            pairs += len(index[left_key(x)])

    def floor_run():
        for _ in range(rounds):
            left_key(floor_next())

    def scratch():
        by_key = defaultdict(list)
        for row in rows:
            by_key[right_key(row)].append(row)
        return len([(x, row) for x in data for row in by_key[left_key(x)]])

    w = per_op(weft_run, rounds, repeat)
    inc = per_op(incremental_run, rounds, repeat)
    assert rt.get(n) == pairs == scratch()
    name = f"join (1000 keys per side) + count, {size} elements"
    table.row(name, weft=w, floor=per_op(floor_run, rounds, repeat), incremental_py=inc,
              scratch_py=per_op(scratch, 1, 3))
    return name


def discard_one(counter: Counter, item) -> None:
    if counter[item] == 1:
        del counter[item]
    else:
        counter[item] -= 1


def runs_of(model: list) -> tuple:
    """The counters of the sorted list's runs of three and of its neighbour pairs."""
    return Counter(tuple(model[k:k + 3]) for k in range(len(model) - 2)), Counter(zip(model, model[1:]))


def insort_with_runs(model: list, x, key, windows: Counter, pairs: Counter) -> None:
    """The hand-written sorted pipeline: insert `x` into the sorted list `model` and keep the
    counters of its runs of three and of its neighbour pairs, touching only the runs around
    the new position."""
    i = bisect.bisect_right(model, key(x), key=key)
    n = len(model)
    if 0 < i < n:
        discard_one(pairs, (model[i - 1], model[i]))
    for start in range(max(i - 2, 0), min(i, n - 2)):  # the runs that span the gap
        discard_one(windows, tuple(model[start:start + 3]))
    model.insert(i, x)
    if i > 0:
        pairs[(model[i - 1], x)] += 1
    if i < n:
        pairs[(x, model[i + 1])] += 1
    for start in range(max(i - 2, 0), min(i, n - 2) + 1):  # the runs holding x
        windows[tuple(model[start:start + 3])] += 1


def sorted_window(table: Table, size: int, rounds: int, repeat: int) -> str:
    key = lambda x: x  # noqa: E731
    rt = weft.Runtime()
    c = rt.create_collection()
    for i in range(size):
        c.insert((i * 7919) % size)
    s = c.sort_by_key(key)
    w, p = s.window(3), s.pairwise()
    rt.get(w.version_node)
    rt.get(p.version_node)
    model = sorted((i * 7919) % size for i in range(size))
    windows, pairs = runs_of(model)
    weft_next, py_next, floor_next = fresh(), fresh(), fresh()

    def weft_run():
        for _ in range(rounds):
            c.insert(weft_next() % size)
            rt.get(w.version_node)
            rt.get(p.version_node)

    def incremental_run():
        for _ in range(rounds):
            insort_with_runs(model, py_next() % size, key, windows, pairs)

    def floor_run():
        for _ in range(rounds):
            key(floor_next() % size)

    t = per_op(weft_run, rounds, repeat)
    inc = per_op(incremental_run, rounds, repeat)
    assert s.snapshot() == model
    contents = lambda runs: Counter(map(tuple, runs))  # noqa: E731
    assert (rt.get(w.reduce(contents)), rt.get(p.reduce(contents))) == (windows, pairs) == runs_of(model)
    scratch = per_op(lambda: ([model[i:i + 3] for i in range(len(model) - 2)],
                              list(zip(model, model[1:]))), 1, 3)
    name = f"sort_by_key + window(3) + pairwise, {size} elements"
    table.row(name, weft=t, floor=per_op(floor_run, rounds, repeat), incremental_py=inc,
              scratch_py=scratch)
    return name


def run_all(table: Table, p: Profile) -> None:
    small, large = p.size("collections", (1000, 100_000), (1000, 100_000), (1000, 2000))
    for workload, rounds in ((pipeline, 2000), (aggregate_sum, 2000), (group_count, 2000),
                             (join_count, 2000), (sorted_window, 1000)):
        times = {}
        for size in (small, large):
            name = workload(table, size, p.rounds(rounds), p.repeat)
            times[size] = table.value(name, "weft")
        base = name.rsplit(",", 1)[0]
        table.row(f"{base}: {large} vs {small} elements", ratio=times[large] / times[small])

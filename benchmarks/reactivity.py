"""Single-value reactivity workloads, with observers and `stabilize` as the effects.

Each workload is a graph builder, run on weft and on the hand-written graph, and a floor:
the same user functions called directly with their values passed in by hand, firing the
same effects. Every system must deliver the same effect values."""

from __future__ import annotations

import itertools
from typing import Callable, List, Tuple

from harness import Profile, Table, per_op
from peers import PyGraph, WeftEngine


def inc(x):
    return x + 1


def add(a, b):
    return a + b


def sub(a, b):
    return a - b


def ident(x):
    return x


def twice(x):
    return x * 2


def neg(x):
    return -x


def busy(x):
    total = 0
    for k in range(100):
        total += k
    return x + total


def compare(table: Table, name: str, build: Callable, make_floor: Callable,
            rounds: int, repeat: int) -> None:
    """`build(engine, sink)` makes the graph, observes its effects with `sink` and returns
    `write()`, which changes the graph's inputs; a round is one write and one `stabilize`.
    `make_floor()` returns `floor(sink)`, one round of the same work done by direct calls."""
    times, seen = {}, {}
    for label, engine in (("weft", WeftEngine()), ("pygraph", PyGraph())):
        sink: list = []
        write = build(engine, sink.append)
        engine.stabilize()
        sink.clear()
        stabilize = engine.stabilize

        def run(write=write, stabilize=stabilize):
            for _ in range(rounds):
                write()
                stabilize()

        times[label] = per_op(run, rounds, repeat)
        seen[label] = sorted(sink)
    floor_sink: list = []
    floor, push = make_floor(), floor_sink.append

    def run_floor():
        for _ in range(rounds):
            floor(push)

    times["floor"] = per_op(run_floor, rounds, repeat)
    assert seen["weft"] == seen["pygraph"] == sorted(floor_sink), name
    table.row(name, **times)


def ticker() -> Callable[[], int]:
    """Fresh values for the writes: every write changes its input."""
    return itertools.count(1).__next__


def one_head(name: str, graph: Callable, body: Callable):
    """A workload over one input, the head, written with a fresh value each round.
    `graph(e, head, sink)` builds the rest; `body(v, sink)` is a round of the floor."""
    def build(e, sink):
        head = e.input(0)
        graph(e, head, sink)
        tick, set_ = ticker(), e.set
        return lambda: set_(head, tick())

    def make_floor():
        tick = ticker()
        return lambda sink: body(tick(), sink)
    return name, build, make_floor


def deep(length: int):
    def graph(e, head, sink):
        node = head
        for _ in range(length):
            node = e.query(lambda r, p=node: inc(r.get(p)))
        e.observe(node, sink)

    def body(x, sink):
        for _ in range(length):
            x = inc(x)
        sink(x)
    return one_head(f"deep propagation (chain {length})", graph, body)


def broad(width: int):
    def graph(e, head, sink):
        for i in range(width):
            a = e.query(lambda r, i=i: add(r.get(head), i))
            e.observe(e.query(lambda r, a=a: inc(r.get(a))), sink)

    def body(v, sink):
        for i in range(width):
            sink(inc(add(v, i)))
    return one_head(f"broad propagation ({width} branches)", graph, body)


def diamond(width: int):
    def graph(e, head, sink):
        branches = [e.query(lambda r: inc(r.get(head))) for _ in range(width)]
        e.observe(e.query(lambda r: sum([r.get(b) for b in branches])), sink)

    def body(v, sink):
        sink(sum([inc(v) for _ in range(width)]))
    return one_head(f"diamond (width {width})", graph, body)


def triangle(length: int):
    def graph(e, head, sink):
        chain, node = [], head
        for _ in range(length):
            node = e.query(lambda r, p=node: inc(r.get(p)))
            chain.append(node)
        e.observe(e.query(lambda r: sum([r.get(n) for n in chain])), sink)

    def body(x, sink):
        xs = []
        for _ in range(length):
            x = inc(x)
            xs.append(x)
        sink(sum(xs))
    return one_head(f"triangle ({length})", graph, body)


def mux(width: int):
    def build(e, sink):
        heads = [e.input(0) for _ in range(width)]
        muxed = e.query(lambda r: tuple([r.get(h) for h in heads]))
        for k in range(width):
            split = e.query(lambda r, k=k: r.get(muxed)[k])
            e.observe(e.query(lambda r, s=split: inc(r.get(s))), sink)
        tick, set_ = ticker(), e.set

        def write():
            v = tick()
            set_(heads[v % width], v)
        return write

    def make_floor():
        tick = ticker()
        values, splits = [0] * width, [0] * width

        def floor(sink):
            v = tick()
            values[v % width] = v
            muxed = tuple(values)
            for k in range(width):
                part = muxed[k]
                if part != splits[k]:
                    splits[k] = part
                    sink(inc(part))
        return floor
    return f"mux ({width})", build, make_floor


def avoidable():
    def graph(e, head, sink):
        c1 = e.query(lambda r: ident(r.get(head)))
        c2 = e.query(lambda r: (r.get(c1), 0)[1])  # always 0: cut off here
        c3 = e.query(lambda r: busy(r.get(c2)))
        c4 = e.query(lambda r: inc(r.get(c3)))
        e.observe(e.query(lambda r: inc(r.get(c4))), sink)

    def body(v, sink):
        (ident(v), 0)[1]
    return one_head("avoidable propagation (cutoff)", graph, body)


def repeated(reads: int):
    def graph(e, head, sink):
        e.observe(e.query(lambda r: sum([r.get(head) for _ in range(reads)])), sink)

    def body(v, sink):
        sink(sum([v for _ in range(reads)]))
    return one_head(f"repeated observers ({reads} reads)", graph, body)


def unstable():
    def graph(e, head, sink):
        doubled = e.query(lambda r: twice(r.get(head)))
        inverse = e.query(lambda r: neg(r.get(head)))
        e.observe(e.query(lambda r: sum([r.get(doubled) if r.get(head) % 2 else r.get(inverse)
                                         for _ in range(20)])), sink)

    def body(v, sink):
        x = twice(v) if v % 2 else neg(v)
        sink(sum([x for _ in range(20)]))
    return one_head("unstable (dynamic dependencies)", graph, body)


CELLX_ENDS = {1000: ([-3, -6, -2, 2], [-2, -4, 2, 3])}


def cellx_values(layers: int, sources: Tuple[int, ...]) -> List[int]:
    p1, p2, p3, p4 = sources
    for _ in range(layers):
        p1, p2, p3, p4 = ident(p2), sub(p1, p3), add(p2, p4), ident(p3)
    return [p1, p2, p3, p4]


def cellx(layers: int):
    first, second = (1, 2, 3, 4), (4, 3, 2, 1)
    before, after = cellx_values(layers, first), cellx_values(layers, second)
    if layers in CELLX_ENDS:
        assert (before, after) == CELLX_ENDS[layers]

    def build(e, sink):
        sources = [e.input(v) for v in first]
        cur = sources
        for _ in range(layers):
            p1, p2, p3, p4 = cur
            cur = [e.query(lambda r, p2=p2: ident(r.get(p2))),
                   e.query(lambda r, p1=p1, p3=p3: sub(r.get(p1), r.get(p3))),
                   e.query(lambda r, p2=p2, p4=p4: add(r.get(p2), r.get(p4))),
                   e.query(lambda r, p3=p3: ident(r.get(p3)))]
            for n in cur:
                e.get(n)  # first reads layer by layer: from the end they would nest
        assert [e.get(n) for n in cur] == before
        for n in cur:
            e.observe(n, sink)
        flip = itertools.cycle((second, first)).__next__
        set_ = e.set

        def write():
            for node, v in zip(sources, flip()):
                set_(node, v)
        return write

    def make_floor():
        flip = itertools.cycle((second, first)).__next__
        last = list(before)

        def floor(sink):
            ends = cellx_values(layers, flip())
            for k in range(4):
                if ends[k] != last[k]:
                    last[k] = ends[k]
                    sink(ends[k])
        return floor
    return f"cellx ({layers} layers)", build, make_floor


def static_node(get, deps):
    return sum([get(d) for d in deps])


def dynamic_node(get, deps):
    first = get(deps[0])
    if first % 2:
        return first + get(deps[-1])
    return first + sum([get(d) for d in deps[1:]])


def dynamic_graph(width: int, layers: int, sources: int, static_percent: int):
    """Layers of `width` nodes, each reading `sources` nodes of the layer before; the
    dynamic ones read some of them only, depending on a value."""
    def shape():
        """(index, function, dependency indexes) of every query node, layer by layer."""
        nodes = []
        for layer in range(1, layers + 1):
            for j in range(width):
                deps = [(layer - 1) * width + (j + m) % width for m in range(sources)]
                static = (j * 7 + layer * 13) % 100 < static_percent
                nodes.append((layer * width + j, static_node if static else dynamic_node, deps))
        return nodes
    nodes = shape()
    first_leaf = layers * width

    def build(e, sink):
        handles = [e.input(j) for j in range(width)]
        for index, fn, deps in nodes:
            handles.append(e.query(lambda r, fn=fn, deps=[handles[d] for d in deps]:
                                   fn(r.get, deps)))
            if index % width == width - 1:
                for n in handles[-width:]:
                    e.get(n)
        for n in handles[first_leaf:]:
            e.observe(n, sink)
        tick, set_ = itertools.count(width).__next__, e.set

        def write():
            v = tick()
            set_(handles[v % width], v)
        return write

    def make_floor():
        values = list(range(width)) + [0] * len(nodes)
        for index, fn, deps in nodes:
            values[index] = fn(values.__getitem__, deps)
        readers: List[List[int]] = [[] for _ in values]
        for position, (_, _, deps) in enumerate(nodes):
            for d in deps:
                readers[d].append(position)

        def cone(source):
            """Every node downstream of `source`, in layer order."""
            reached, frontier = set(), [source]
            while frontier:
                n = frontier.pop()
                for position in readers[n]:
                    if position not in reached:
                        reached.add(position)
                        frontier.append(nodes[position][0])
            return [nodes[position] for position in sorted(reached)]
        cones = [cone(source) for source in range(width)]
        tick = itertools.count(width).__next__

        def floor(sink):
            v = tick()
            values[v % width] = v
            get = values.__getitem__
            for index, fn, deps in cones[v % width]:
                new = fn(get, deps)
                if index >= first_leaf and new != values[index]:
                    sink(new)
                values[index] = new
        return floor
    name = f"dynamic graph {width}x{layers}, {sources} sources, {static_percent}% static"
    return name, build, make_floor


def run_all(table: Table, p: Profile) -> None:
    small_cellx, large_cellx = p.size("cellx", (1000, 2500), (1000, 2500), (1000, 2500))
    workloads = [
        (deep(50), 2000), (broad(50), 1000), (diamond(5), 2000), (triangle(10), 2000),
        (mux(100), 500), (avoidable(), 2000), (repeated(30), 2000), (unstable(), 2000),
        (cellx(small_cellx), 30), (cellx(large_cellx), 10),
        (dynamic_graph(10, 5, 2, 100), 1000), (dynamic_graph(10, 10, 6, 75), 300),
        (dynamic_graph(1000, 12, 4, 95), 100), (dynamic_graph(1000, 5, 25, 100), 50),
        (dynamic_graph(5, 500, 3, 100), 20), (dynamic_graph(100, 15, 6, 50), 100),
    ]
    for (name, build, make_floor), rounds in workloads:
        compare(table, name, build, make_floor, p.rounds(rounds), p.repeat)

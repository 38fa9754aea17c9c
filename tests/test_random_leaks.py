"""Seeded random use of queries, collections and observers whose callables sometimes raise,
with nodes deleted along the way: once the runtime and the program's own references are
gone, every value, callable, observer and exception the run made has been released; and
throughout, the graph snapshot names live nodes only, each dependency list matching the
dependents lists, and a traced read of any node accounts for its own work."""

import gc
import os
import random
import weakref
from collections import Counter

import pytest

import weft
from weft_testing import PanicException

SEEDS = int(os.environ.get("WEFT_LEAK_SEEDS", "20"))
STEPS = int(os.environ.get("WEFT_LEAK_STEPS", "120"))


class Item:
    """A value the run tracks: equal and hashed by its number."""

    live = 0

    def __init__(self, n):
        self.n = n
        Item.live += 1
        weakref.finalize(self, Item.released)

    @staticmethod
    def released():
        Item.live -= 1

    def __eq__(self, other):
        return isinstance(other, Item) and other.n == self.n

    def __hash__(self):
        return hash(self.n)


class Refused(Exception):
    def __init__(self, item):
        super().__init__(item.n)
        self.item = item  # the exception, and so its traceback, holds a tracked value


def run(rnd, after_step=lambda rt, handles, rnd: None):
    rt = weft.Runtime()
    refused = set()

    def guard(fn):
        def call(*args):
            for a in args:
                if isinstance(a, Item) and a.n in refused:
                    raise Refused(Item(a.n))
            return fn(*args)
        weakref.finalize(call, Item.released)
        Item.live += 1
        return call

    inputs = [rt.create_input(Item(0)) for _ in range(3)]
    nodes = []
    for k in range(4):
        reads = rnd.sample(inputs, 2) + nodes[-1:]
        nodes.append(rt.create_query(guard(lambda ref, reads=reads: Item(sum(ref.get(r).n for r in reads) % 9))))
    src = rt.create_collection()
    mapped = src.map(guard(lambda x: Item(x.n * 2 % 9)))
    ordered = src.sort_by_key(guard(lambda x: x.n))
    grouped = src.group_by(guard(lambda x: Item(x.n % 2)))
    joined = src.join(mapped, guard(lambda x: x.n % 3), guard(lambda y: y.n % 3))
    results = [mapped.filter(guard(lambda x: x.n > 3)).count(), ordered.window(2).count(),
               ordered.pairwise().reduce(guard(lambda ps: Item(len(ps)))), joined.count(),
               src.aggregate(Item(0), guard(lambda x: x), guard(lambda a, b: Item(a.n + b.n))),
               grouped.version_node]
    observers = []
    for _ in range(STEPS):
        op = rnd.random()
        try:
            if op < 0.2:
                rt.set(rnd.choice(inputs), Item(rnd.randrange(9)))
            elif op < 0.4:
                (src.insert if rnd.random() < 0.6 else src.delete)(Item(rnd.randrange(9)))
            elif op < 0.5:
                refused ^= {rnd.randrange(9)}
            elif op < 0.65:
                rt.get(rnd.choice(nodes + results))
            elif op < 0.75:
                rt.stabilize()
            elif op < 0.85:
                seen = []
                callback = guard(lambda v: seen.append(v))
                observers.append(rt.observe(rnd.choice(nodes + results), callback))
            elif op < 0.9 and observers:
                rt.unobserve(observers.pop(rnd.randrange(len(observers))))
            elif op < 0.95:
                group = grouped.get_group(Item(rnd.randrange(2)))
                if group is not None:
                    results.append(group.map(guard(lambda x: Item(x.n + 1))).count())
            else:
                victim = rnd.choice(nodes + results)
                if rt.is_alive(victim):
                    rt.delete_with_dependents(victim)
        except (Refused, RuntimeError, PanicException):
            pass
        after_step(rt, nodes + results, rnd)


@pytest.mark.parametrize("seed", range(SEEDS))
def test_a_random_run_leaves_nothing_behind(seed):
    Item.live = 0
    run(random.Random(seed))
    gc.collect()
    assert Item.live == 0


def check_snapshot(rt, handles, rnd):
    nodes = rt.graph_snapshot()
    assert len(nodes) == rt.node_count()
    live = {n["id"] for n in nodes}
    reads, read_by = Counter(), Counter()
    for n in nodes:
        assert set(n["dependencies"]) | set(n["dependents"]) <= live, n
        assert n["kind"] == "compute" or not n["dependencies"], n
        reads.update((n["id"], d) for d in n["dependencies"])
        read_by.update((d, n["id"]) for d in n["dependents"])
    assert reads == read_by  # one entry per read on both sides


@pytest.mark.parametrize("seed", range(SEEDS))
def test_the_graph_snapshot_matches_itself_throughout(seed):
    run(random.Random(seed), check_snapshot)


def check_traced_read(rt, handles, rnd):
    node = rnd.choice(handles)
    if not rt.is_alive(node):
        return
    try:
        value, trace = rt.get_traced(node)
    except (Refused, RuntimeError, PanicException):
        return
    actions = [t["action"] for t in trace["node_traces"]]
    assert trace["target"] == node.id
    assert trace["total_nodes"] == rt.node_count()
    assert trace["nodes_recomputed"] == sum(a != "verified_clean" for a in actions)
    assert trace["nodes_cutoff"] == actions.count("recomputed_cutoff")
    assert {t["id"] for t in trace["node_traces"]} <= {n["id"] for n in rt.graph_snapshot()}
    assert rt.get(node) == value  # and the read left it up to date: nothing runs again
    assert rt.get_traced(node)[1]["nodes_recomputed"] == 0


@pytest.mark.parametrize("seed", range(SEEDS))
def test_traced_reads_account_for_their_work_throughout(seed):
    run(random.Random(seed), check_traced_read)

"""Seeded random changes to collection pipelines whose results are observed: observers come
and go, result nodes are deleted and made again, and reads come between the `stabilize`
calls. Every value an observer receives is its node's from-scratch value (a group's count
may lag until its router has run), a `stabilize` leaves every observer holding its node's
present value, and an observer of a deleted node never fires again."""

import os
import random
from collections import Counter

import pytest

import weft

SEEDS = int(os.environ.get("WEFT_OBSERVED_SEEDS", "25"))
STEPS = int(os.environ.get("WEFT_OBSERVED_STEPS", "150"))
GROUP_KEYS = (0, 1, 2)
UNKNOWN = object()


def bag(values):
    return sorted(Counter(map(repr, values)).items())


class Pipelines:
    def __init__(self):
        self.rt = rt = weft.Runtime()
        self.a, self.b = rt.create_collection(), rt.create_collection()
        self.in_a, self.in_b = Counter(), Counter()
        for k in GROUP_KEYS:  # every group exists before anything observes it
            self.a.insert(k)
            self.in_a[k] += 1
        self.kept = self.a.map(lambda x: x * 3 % 7).filter(lambda y: y % 2 == 0)
        self.sorted = self.a.sort_by_key(lambda x: -x)
        self.grouped = self.a.group_by(lambda x: x % 3)
        self.joined = self.a.join(self.b, lambda x: x % 4, lambda y: y % 4)
        rt.get(self.grouped.version_node)
        self.nodes = {}
        for name in self.expected_values():
            self.make(name)

    def make(self, name):
        """Builds the result node `name` afresh."""
        kind, _, key = name.partition(":")
        self.nodes[name] = {
            "count": lambda: self.kept.count(),
            "windows": lambda: self.sorted.window(2).reduce(bag),
            "pairs": lambda: self.sorted.pairwise().count(),
            "join": lambda: self.joined.reduce(bag),
            "sum": lambda: self.a.aggregate(0, lambda x: x * x, lambda p, q: p + q),
            "b": lambda: self.b.reduce(bag),
            "group": lambda: self.grouped.get_group(int(key)).count(),
        }[kind]()

    def expected_values(self):
        xs, ys = list(self.in_a.elements()), list(self.in_b.elements())
        ordered = sorted(xs, reverse=True)
        values = {
            "count": sum(1 for x in xs if x * 3 % 7 % 2 == 0),
            "windows": bag([ordered[i:i + 2] for i in range(len(ordered) - 1)]),
            "pairs": max(len(xs) - 1, 0),
            "join": bag([(x, y) for x in xs for y in ys if x % 4 == y % 4]),
            "sum": sum(x * x for x in xs),
            "b": bag(ys),
        }
        for k in GROUP_KEYS:
            values[f"group:{k}"] = sum(1 for x in xs if x % 3 == k)
        return values

    def change(self, rnd):
        coll, held = (self.a, self.in_a) if rnd.random() < 0.7 else (self.b, self.in_b)
        x = rnd.randrange(10)
        if rnd.random() < 0.6:
            coll.insert(x)
            held[x] += 1
        elif coll.delete(x):
            held[x] -= 1
            held += Counter()  # drops the zero count


@pytest.mark.parametrize("seed", range(SEEDS))
def test_observers_of_collection_results_follow_the_sources(seed):
    rnd = random.Random(seed)
    p = Pipelines()
    rt = p.rt
    # The router runs in every stabilize, so that the groups' counts catch up there.
    rt.observe(p.grouped.version_node, lambda v: None)
    received = []  # (observer number, value), appended by the callbacks
    watching = {}  # live observer number -> (name, id)
    last = {}  # observer number -> the value it holds
    retired = set()  # observers removed, or gone with their node

    def observe(name):
        """An observer reports changes from the value its node holds when it is registered:
        read first, that is known; otherwise (the node may hold a value from before the
        last changes) it is known once the observer has fired."""
        number = len(last)
        last[number] = rt.get(p.nodes[name]) if rnd.random() < 0.5 else UNKNOWN
        watching[number] = (name, rt.observe(p.nodes[name], lambda v: received.append((number, v))))

    for name in p.nodes:
        observe(name)
    for _ in range(STEPS):
        op = rnd.random()
        if op < 0.45:
            p.change(rnd)
        elif op < 0.7:
            received.clear()
            rt.stabilize()
            now = p.expected_values()
            for number, value in received:
                assert number not in retired, f"observer {number} fired after it was gone"
                name = watching[number][0]
                if not name.startswith("group"):
                    assert value == now[name], name
                last[number] = value
            for number, (name, _) in watching.items():
                assert last[number] in (now[name], UNKNOWN), name
        elif op < 0.8:
            name = rnd.choice(list(p.nodes))
            assert rt.get(p.nodes[name]) == p.expected_values()[name] or name.startswith("group")
        elif op < 0.87:
            observe(rnd.choice(list(p.nodes)))
        elif op < 0.93 and watching:
            number = rnd.choice(list(watching))
            rt.unobserve(watching.pop(number)[1])
            retired.add(number)
        else:
            name = rnd.choice(list(p.nodes))
            rt.delete_with_dependents(p.nodes[name])
            for number in [n for n, (watched, _) in watching.items() if watched == name]:
                del watching[number]
                retired.add(number)
            p.make(name)
            observe(name)

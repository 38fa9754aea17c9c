"""Seeded random observer callbacks that change the runtime while `stabilize` runs them:
they write inputs, insert into and delete from a collection, add and remove observers and
run `stabilize` inside `stabilize`. Every value a callback receives is its node's value
from scratch at that moment, a removed observer fires again only from a `stabilize` that
was running when it was removed (that one's list of observers still holds it), and a
`stabilize` after the callbacks stop acting leaves every observer holding its node's
present value."""

import os
import random
from collections import Counter

import pytest

import weft

SEEDS = int(os.environ.get("WEFT_REENTRANT_SEEDS", "25"))
STEPS = int(os.environ.get("WEFT_REENTRANT_STEPS", "60"))
INPUTS = 3
UNKNOWN = object()


class World:
    """Inputs, queries summing some of them and earlier queries, and a collection with a
    count of its even elements and an aggregate that reads one query's value too."""

    def __init__(self, rnd):
        self.rt = rt = weft.Runtime()
        self.values = [0] * INPUTS
        self.inputs = [rt.create_input(0) for _ in range(INPUTS)]
        self.reads = []
        self.nodes = {}
        for q in range(4):
            sources = [f"in{rnd.randrange(INPUTS)}"] + [f"q{rnd.randrange(q)}" for _ in range(q and 1)]
            self.reads.append(sources)
            self.nodes[f"q{q}"] = rt.create_query(
                lambda ref, sources=sources: sum(ref.get(self.node(s)) for s in sources) % 7)
        self.items = Counter()
        self.c = rt.create_collection()
        self.nodes["evens"] = self.c.filter(lambda x: x % 2 == 0).count()
        self.nodes["sum"] = self.c.aggregate(0, lambda x: x, lambda p, q: p + q)
        top = self.nodes["q3"]
        self.nodes["mix"] = rt.create_query(lambda ref: ref.get(self.nodes["sum"]) * 10 + ref.get(top))

    def node(self, name):
        return self.inputs[int(name[2:])] if name.startswith("in") else self.nodes[name]

    def expected(self, name):
        if name.startswith("in"):
            return self.values[int(name[2:])]
        if name.startswith("q"):
            return sum(self.expected(s) for s in self.reads[int(name[1:])]) % 7
        if name == "evens":
            return sum(k for x, k in self.items.items() if x % 2 == 0)
        if name == "sum":
            return sum(x * k for x, k in self.items.items())
        return self.expected("sum") * 10 + self.expected("q3")

    def change(self, rnd):
        if rnd.random() < 0.5:
            i = rnd.randrange(INPUTS)
            self.values[i] = rnd.randrange(5)
            self.rt.set(self.inputs[i], self.values[i])
        elif rnd.random() < 0.6:
            x = rnd.randrange(6)
            self.c.insert(x)
            self.items[x] += 1
        else:
            x = rnd.randrange(6)
            if self.c.delete(x):
                self.items[x] -= 1
                self.items += Counter()


@pytest.mark.parametrize("seed", range(SEEDS))
def test_callbacks_that_change_the_runtime_see_only_true_values(seed):
    rnd = random.Random(seed)
    w = World(rnd)
    rt = w.rt
    names = list(w.nodes) + [f"in{i}" for i in range(INPUTS)]
    watching = {}  # live observer number -> (name, id)
    last = {}  # observer number -> the value it holds
    removed_during = {}  # removed observer number -> the stabilize calls then running
    running = []  # the stabilize calls under way, innermost last
    acting = True

    def stabilize():
        running.append(object())
        try:
            rt.stabilize()
        finally:
            running.pop()

    def observe(name):
        number = len(last)
        last[number] = rt.get(w.node(name)) if rnd.random() < 0.5 else UNKNOWN
        watching[number] = (name, rt.observe(w.node(name), callback(number, name)))

    def unobserve(number):
        rt.unobserve(watching.pop(number)[1])
        removed_during[number] = set(map(id, running))

    def callback(number, name):
        def fire(value):
            if number in removed_during:
                assert id(running[-1]) in removed_during[number], f"observer {number} fired after it was removed"
            assert value == w.expected(name), name
            last[number] = value
            if not acting:
                return
            for _ in range(rnd.randrange(3)):
                act = rnd.random()
                if act < 0.5:
                    w.change(rnd)
                elif act < 0.65 and len(watching) < 20:
                    observe(rnd.choice(names))
                elif act < 0.8 and watching:
                    unobserve(rnd.choice(list(watching)))
                elif len(running) < 4:
                    stabilize()
        return fire

    for name in names:
        observe(name)
    for _ in range(STEPS):
        op = rnd.random()
        if op < 0.4:
            w.change(rnd)
        elif op < 0.8:
            stabilize()
        elif op < 0.9:
            name = rnd.choice(names)
            assert rt.get(w.node(name)) == w.expected(name), name
        elif len(watching) < 20:
            observe(rnd.choice(names))
    acting = False
    stabilize()
    for number, (name, _) in watching.items():
        assert last[number] in (w.expected(name), UNKNOWN), name

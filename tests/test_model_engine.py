"""Randomised model test of the engine: hypothesis drives a Runtime and a small
pure-Python model of it side by side and compares them after every step.

The model keeps per node the stamps, state, recorded dependencies and dependents
lists, and predicts exactly which query callables run (lazy verification with
cutoff), which observers fire and with what values, what a traced read reports,
what graph_snapshot lists, which slot a new node takes, and which error a stale
handle or a failed compute raises. Values are also checked against a from-scratch
evaluation that ignores all caching.

Profiles: by default a short run (CI). Set WEFT_MODEL_EXAMPLES=<n> for n examples
(and WEFT_MODEL_STEPS=<n> for the steps per example); run with `pytest -s` to see
the number of random steps executed, printed when the module finishes.
"""

import os
from collections import Counter

import hypothesis.strategies as st
from hypothesis import HealthCheck, settings
from hypothesis.stateful import (
    RuleBasedStateMachine, initialize, invariant, precondition, rule)

import weft
from weft_testing import PanicException, ReleasesItsRuntime

EXAMPLES = int(os.environ.get("WEFT_MODEL_EXAMPLES", "30"))
STEPS = int(os.environ.get("WEFT_MODEL_STEPS", "50"))
MODEL_SETTINGS = settings(
    max_examples=EXAMPLES,
    stateful_step_count=STEPS,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)

steps_executed = 0

DIRTY, STALE, CLEAN, FAILED = "dirty", "stale", "clean", "failed"
FAILED_TEXT = ("weft-core: node {} read but its last compute panicked; it stays Failed "
               "until a dependency changes (set an upstream input to retry)")


def stale_text(slot, handle_gen, slot_gen):
    return (f"weft-core: stale Weft<weft::PyValue> handle: the node at slot {slot} was "
            f"deleted (handle generation {handle_gen}, slot generation {slot_gen})")


def teardown_module():
    print(f"\n{__name__}: {steps_executed} random steps")


class Failure(Exception):
    """A failure the model predicts; `check` tells whether the engine's matches."""

    def __init__(self, kind, text):
        super().__init__(text)
        self.kind, self.text = kind, text

    def check(self, exc):
        if self.kind == "raised":  # the query's own ValueError, passed through unchanged
            return type(exc) is ValueError and str(exc) == self.text
        return type(exc) is RuntimeError and str(exc) == self.text


class Recipe:
    """A query's deterministic body: reads `cond` (if any), then one of two
    branches chosen by its parity, and folds what it read modulo `mod`; raises
    ValueError when the fold equals `refuse`."""

    def __init__(self, name, cond, then, other, op, mod, refuse):
        self.name, self.cond, self.then, self.other = name, cond, then, other
        self.op, self.mod, self.refuse = op, mod, refuse

    def run(self, read):
        values = []
        branch = self.then
        if self.cond is not None:
            c = read(self.cond)
            values.append(c)
            branch = self.then if c % 2 == 0 else self.other
        values.extend(read(n) for n in branch)
        if self.op == "sum":
            result = sum(values) % self.mod
        elif self.op == "max":
            result = max(values, default=0) % self.mod
        else:
            result = sum(1 for v in values if v % 2 == 0) % self.mod
        if result == self.refuse:
            raise ValueError(self.refusal(result))
        return result

    def refusal(self, result):
        return f"{self.name} refuses {result}"


QUERY_SHAPE = st.fixed_dictionaries({
    "op": st.sampled_from(["sum", "max", "evens"]),
    "mod": st.sampled_from([2, 3, 7]),
    "conditional": st.booleans(),
    "refuse": st.sampled_from([None] * 6 + [1, 2]),
})


class Node:
    def __init__(self, name, handle, slot, generation, recipe=None, value=None):
        self.name, self.handle, self.slot, self.generation = name, handle, slot, generation
        self.recipe = recipe
        self.alive = True
        self.value = value
        self.has_value = recipe is None
        self.deps = []
        self.state = DIRTY if recipe else CLEAN
        self.verified_at = self.changed_at = 0
        self.calls = 0

    def __repr__(self):
        return self.name


class EngineModel(ReleasesItsRuntime, RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.rt = weft.Runtime()
        self.nodes = []                 # every node ever created, dead ones included
        self.by_slot = {}               # slot -> live node
        self.slot_gen = []              # generation per slot ever handed out
        self.free = []                  # free-slot list, last freed reused first
        self.dependents = {}            # slot -> dependents list, in engine order
        self.labels = {}                # slot -> label
        self.revision = 1
        self.engine_calls = Counter()   # query name -> calls of its callable
        self.observers = []             # [ObserverId, node, last_seen, registered]
        self.fired = []                 # (observer index, value) appended by callbacks
        self.trace = None
        self.set_aside = {}             # failed node -> the failure a read set aside for it

    # -- model of the engine -------------------------------------------------

    def new_slot(self):
        if self.free:
            slot = self.free.pop()
        else:
            slot = len(self.slot_gen)
            self.slot_gen.append(0)
        self.dependents[slot] = []
        return slot, self.slot_gen[slot]

    def add(self, node):
        assert node.handle.id == node.slot
        self.nodes.append(node)
        self.by_slot[node.slot] = node

    def stale(self, node):
        return Failure("stale", stale_text(node.slot, node.generation, self.slot_gen[node.slot]))

    def record(self, slot, action):
        if self.trace is not None:
            self.trace.append({"id": slot, "action": action})

    def commit(self, node, new):
        old = node.deps
        if [d.slot for d in new] == [d.slot for d in old]:
            return
        old_count = Counter(d.slot for d in old)
        new_count = Counter(d.slot for d in new)
        for slot in old_count.keys() - new_count.keys():
            self.dependents[slot] = [s for s in self.dependents[slot] if s != node.slot]
        for slot in old_count.keys() & new_count.keys():  # the run follows the reads, in place
            entries = self.dependents[slot]
            at = entries.index(node.slot)
            entries[at:at + old_count[slot]] = [node.slot] * new_count[slot]
        for d in new:
            if d.slot not in old_count:
                self.dependents[d.slot].append(node.slot)
        node.deps = list(new)

    def read_in_compute(self, reads):
        def read(target):
            if not target.alive:
                raise self.stale(target)
            reads.append(target)
            # A query's own ValueError leaves RuntimeRef.get with the PanicException, and
            # the guard outside raises it unchanged.
            self.ensure(target)
            return target.value
        return read

    def recompute(self, node, was_stale):
        start = self.revision
        reads = []
        node.calls += 1
        try:
            value = node.recipe.run(self.read_in_compute(reads))
        except ValueError as exc:
            failure = Failure("raised", str(exc))
        except Failure as exc:
            failure = exc
        else:
            self.commit(node, reads)
            changed = not was_stale or not node.has_value or value != node.value
            if changed:
                node.value, node.has_value = value, True
                node.changed_at = max(node.changed_at, start)
            node.verified_at = max(node.verified_at, start)
            node.state = CLEAN
            self.record(node.slot, "recomputed_changed" if changed else "recomputed_cutoff")
            return
        # a failure counts as a change: readers met it, not the value the node holds
        node.changed_at = max(node.changed_at, start)
        merged = list(node.deps)
        merged.extend(r for r in reads if r not in merged)
        self.commit(node, merged)
        # A node it read that is neither clean nor failed (one whose verification met a
        # failure further up, and stays stale) would stop a later write upstream of it from
        # reaching this node: the node stays stale, and so do the failed nodes above it.
        if all(r.state == FAILED or (r.state == CLEAN and r.changed_at <= start) for r in reads):
            node.state = FAILED
        else:
            self.end_stale(node)
        raise failure

    def end_stale(self, node):
        node.state = STALE
        work = [node.slot]
        while work:
            for slot in self.dependents[work.pop()]:
                dependent = self.by_slot[slot]
                if dependent.state == FAILED:
                    dependent.state = STALE
                    work.append(slot)

    def settle(self, node):
        """An outermost read's bringing `node` up to date: the failures it sets aside last
        as long as it does."""
        self.set_aside = {}
        try:
            self.ensure(node)
        finally:
            self.set_aside = {}

    def ensure(self, node):
        if node.state == CLEAN:
            return
        # What this read set aside is not brought up to date again: met again on another
        # path it is passed over, and read again (by a compute) it is dispatched as it is.
        deps = [] if node in self.set_aside else reversed(node.deps)
        for dep in deps:
            if dep.state != CLEAN and dep not in self.set_aside:
                try:
                    self.ensure(dep)
                except Failure as failure:
                    # the node may no longer read it: its failure waits for whatever does
                    self.set_aside[dep] = failure
        if node.state == FAILED:
            raise self.set_aside.get(node, Failure("failed", FAILED_TEXT.format(node.slot)))
        first = next((d for d in node.deps
                      if d.state != CLEAN or d.changed_at > node.verified_at), None)
        if node.state == DIRTY:
            self.recompute(node, was_stale=False)
        elif first in self.set_aside:
            raise self.set_aside[first]  # the node would read it again, and stays Stale
        elif first is not None:
            self.recompute(node, was_stale=True)
        else:
            node.verified_at = max(node.verified_at, self.revision)
            node.state = CLEAN
            self.record(node.slot, "verified_clean")

    def invalidate(self, slot):
        work = list(self.dependents[slot])
        while work:
            node = self.by_slot[work.pop()]
            if node.state in (CLEAN, FAILED):
                node.state = STALE
            elif node.state != DIRTY:
                continue
            work.extend(self.dependents[node.slot])

    def release(self, node):
        for dep in node.deps:
            self.dependents[dep.slot] = [s for s in self.dependents[dep.slot] if s != node.slot]
        self.dependents[node.slot] = []
        node.alive = False
        del self.by_slot[node.slot]
        self.slot_gen[node.slot] += 1
        self.labels.pop(node.slot, None)
        for entry in self.observers:
            if entry[1] is node:
                entry[3] = False
        self.free.append(node.slot)

    def scratch_outcome(self, node, memo=None):
        """The node's value from its inputs alone, ignoring every cache:
        ("value", v), or ("failure", None) if its evaluation raises or reads a
        deleted node."""
        memo = {} if memo is None else memo
        if node not in memo:
            memo[node] = ("failure", None)
            if node.alive and node.recipe is None:
                memo[node] = ("value", node.value)
            elif node.alive:
                def read(target):
                    kind, value = self.scratch_outcome(target, memo)
                    if kind == "failure":
                        raise Failure("scratch", "")
                    return value
                try:
                    memo[node] = ("value", node.recipe.run(read))
                except (ValueError, Failure):
                    pass
        return memo[node]

    def may_fail(self, roots):
        """Whether reading `roots` could meet a failure: some node a read may reach
        (recorded dependencies, which a read brings up to date first, or anything
        a recipe could read) fails from scratch or sits in the failed state."""
        memo, seen, work = {}, set(), list(roots)
        while work:
            node = work.pop()
            if node in seen:
                continue
            seen.add(node)
            if node.state == FAILED or self.scratch_outcome(node, memo)[0] == "failure":
                return True
            work.extend(node.deps)
            if node.recipe is not None:
                r = node.recipe
                work.extend([r.cond] if r.cond is not None else [])
                work.extend(r.then + r.other)
        return False

    def expect(self, failure, call):
        try:
            result = call()
        except BaseException as exc:  # noqa: BLE001 - PanicException included
            assert failure is not None, f"unexpected {type(exc).__name__}: {exc}"
            assert failure.check(exc), f"expected {failure.kind} {failure.text!r}, got {exc!r}"
            return None
        assert failure is None, f"expected {failure.kind} {failure.text!r}, got {result!r}"
        return result

    def predicted_read(self, node):
        """Runs the model's read of `node`: (value, None) or (None, Failure)."""
        if not node.alive:
            return None, self.stale(node)
        try:
            self.settle(node)
        except Failure as failure:
            return None, failure
        return node.value, None

    # -- rules ---------------------------------------------------------------

    def pick(self, data, live_only=False):
        pool = [n for n in self.nodes if n.alive] if live_only else self.nodes
        return data.draw(st.sampled_from(pool))

    @initialize(data=st.data(), values=st.lists(st.integers(0, 5), min_size=2, max_size=4),
                queries=st.integers(2, 6))
    def create_graph(self, data, values, queries):
        for value in values:
            self.create_input(value)
        for _ in range(queries):
            self.create_query(data=data, **data.draw(QUERY_SHAPE))

    @rule(value=st.integers(0, 5))
    def create_input(self, value):
        slot, gen = self.new_slot()
        node = Node(f"i{len(self.nodes)}", self.rt.create_input(value), slot, gen, value=value)
        node.verified_at = node.changed_at = self.revision
        self.add(node)

    @rule(data=st.data(), shape=QUERY_SHAPE)
    def create_query_rule(self, data, shape):
        self.create_query(data, **shape)

    def create_query(self, data, op, mod, conditional, refuse):
        # mostly live nodes, sometimes a dead one that the query fails on when it reads it
        pool = self.nodes if data.draw(st.integers(0, 9)) == 0 else [n for n in self.nodes if n.alive]
        if not pool:
            return
        nodes = st.sampled_from(pool)
        cond = data.draw(nodes) if conditional else None
        then = data.draw(st.lists(nodes, max_size=3))
        other = data.draw(st.lists(nodes, max_size=3)) if conditional else []
        name = f"q{len(self.nodes)}"
        recipe = Recipe(name, cond, then, other, op, mod, refuse)

        def body(ref, recipe=recipe, name=name):
            self.engine_calls[name] += 1
            return recipe.run(lambda n: ref.get(n.handle))

        slot, gen = self.new_slot()
        self.add(Node(name, self.rt.create_query(body), slot, gen, recipe=recipe))

    @rule(data=st.data(), traced=st.booleans(), count=st.integers(1, 3))
    def get(self, data, traced, count):
        queries = [n for n in self.nodes if n.recipe is not None]
        for _ in range(count):
            node = self.pick(data)
            if queries and data.draw(st.integers(0, 3)):
                node = data.draw(st.sampled_from(queries))
            self.read(node, traced)
            traced = False

    def read(self, node, traced):
        self.trace = [] if traced else None
        value, failure = self.predicted_read(node)
        if node.alive:
            # a read brings every stale recorded dependency up to date before it
            # decides whether to recompute, so a dependency that fails now fails
            # the read even if a fresh evaluation would no longer reach it
            kind, scratch = self.scratch_outcome(node)
            assert failure if kind == "failure" else failure or scratch == value
        if not traced:
            got = self.expect(failure, lambda: self.rt.get(node.handle))
            assert failure or got == value
            return
        got = self.expect(failure, lambda: self.rt.get_traced(node.handle))
        if failure is None:
            got_value, trace = got
            assert got_value == value
            recomputed = [t for t in self.trace if t["action"] != "verified_clean"]
            assert trace == {
                "target": node.slot, "total_nodes": len(self.by_slot),
                "nodes_recomputed": len(recomputed),
                "nodes_cutoff": sum(t["action"] == "recomputed_cutoff" for t in recomputed),
                "elapsed_ns": trace["elapsed_ns"], "node_traces": self.trace,
            }
        self.trace = None

    @rule(data=st.data(), steps=st.lists(st.integers(1, 6), min_size=1, max_size=3))
    def set(self, data, steps):
        for step in steps:
            # mostly inputs; now and then a query or a dead node, which are refused
            pool = [n for n in self.nodes if n.recipe is None and n.alive]
            node = (data.draw(st.sampled_from(pool or self.nodes))
                    if data.draw(st.integers(0, 4)) else self.pick(data))
            # a new value for 1 to 5, the same value for 6
            self.write(node, ((node.value or 0) + step) % 6)

    def write(self, node, value):
        if not node.alive:
            failure = self.stale(node)
        elif node.recipe is not None:
            failure = Failure("query", f"Runtime::set called on a query (compute) node at slot "
                                       f"{node.slot}; only input nodes can be set")
        else:
            failure = None
        self.expect(failure, lambda: self.rt.set(node.handle, value))
        if failure is None and value != node.value:
            node.value = value
            self.revision += 1
            node.changed_at = node.verified_at = self.revision
            self.invalidate(node.slot)

    @rule(data=st.data(), cascade=st.sampled_from([False, False, False, True]))
    def delete(self, data, cascade):
        node = self.pick(data)
        if cascade:
            self.delete_with_dependents(node)
        else:
            self.delete_node(node)
        assert self.rt.is_alive(node.handle) is node.alive

    def delete_node(self, node):
        if not node.alive:
            failure = self.stale(node)
        elif self.dependents[node.slot]:
            failure = Failure("dependents", f"weft-core: delete_node on node {node.slot} which "
                                            f"still has dependents; delete downstream nodes first")
        else:
            failure = None
        self.expect(failure, lambda: self.rt.delete_node(node.handle))
        if failure is None:
            self.release(node)

    def delete_with_dependents(self, node):
        # deepest first: always descend to the first dependent until a leaf is found
        stack, released = [node], 0
        while stack:
            top = stack[-1]
            if not top.alive:
                stack.pop()
            elif self.dependents[top.slot]:
                stack.append(self.by_slot[self.dependents[top.slot][0]])
            else:
                self.release(top)
                released += 1
                stack.pop()
        assert self.rt.delete_with_dependents(node.handle) == released

    @rule(data=st.data())
    def observe(self, data):
        node = self.pick(data)
        index = len(self.observers)
        if not node.alive:  # unguarded: the stale handle surfaces as PanicException
            try:
                self.rt.observe(node.handle, print)
            except PanicException as exc:
                assert str(exc) == self.stale(node).text
            else:
                raise AssertionError("observe on a stale handle did not fail")
            return
        oid = self.rt.observe(node.handle, lambda v: self.fired.append((index, v)))
        # a node whose last compute failed (its failure stamp is past its verification)
        # holds no value the observer could have seen, as a never computed one
        holds_none = node.state == DIRTY or node.verified_at < node.changed_at
        last_seen = 0 if holds_none else min(node.changed_at, self.revision)
        self.observers.append([oid, node, last_seen, True])

    @precondition(lambda self: self.observers)
    @rule(data=st.data())
    def unobserve(self, data):
        entry = data.draw(st.sampled_from(self.observers))
        self.rt.unobserve(entry[0])  # a second unobserve of the same id does nothing
        entry[3] = False

    @rule()
    def stabilize(self):
        active = [e for e in self.observers if e[3]]
        # the firing order is unspecified, so a failing observed node would make the
        # set of observers run before the failure unpredictable: leave that case out
        if self.may_fail([e[1] for e in active]):
            return
        expected = []
        for index, entry in enumerate(self.observers):
            if not entry[3]:
                continue
            node = entry[1]
            self.settle(node)
            stamp = min(node.changed_at, self.revision)
            if entry[2] < stamp:
                expected.append((index, node.value))
                entry[2] = stamp
        self.fired.clear()
        self.rt.stabilize()
        assert sorted(self.fired) == sorted(expected)
        # observers ran in an unspecified order, and so did the first computes they
        # caused: dependents lists agree as multisets; take the engine's order
        for entry in self.rt.graph_snapshot():
            assert sorted(entry["dependents"]) == sorted(self.dependents[entry["id"]])
            self.dependents[entry["id"]] = entry["dependents"]

    @rule(data=st.data(), text=st.sampled_from(["a", "b", "ccc"]))
    def set_label(self, data, text):
        node = self.pick(data)  # a stale handle labels whatever holds its slot now
        self.rt.set_label(node.handle, text)
        self.labels[node.slot] = text

    def check_graph_snapshot(self):
        expected = [{
            "id": slot, "kind": "input" if node.recipe is None else "compute",
            "label": self.labels.get(slot),
            "dependencies": [d.slot for d in node.deps],
            "dependents": self.dependents[slot],
        } for slot, node in sorted(self.by_slot.items())]
        got = self.rt.graph_snapshot()
        assert got == expected, [(a, b) for a, b in zip(got, expected) if a != b]

    # -- checked after every step --------------------------------------------

    @invariant()
    def agrees(self):
        global steps_executed
        steps_executed += 1
        assert self.rt.node_count() == len(self.by_slot)
        self.check_graph_snapshot()
        model_calls = Counter({n.name: n.calls for n in self.nodes if n.calls})
        assert self.engine_calls == model_calls


EngineModel.TestCase.settings = MODEL_SETTINGS
TestEngineModel = EngineModel.TestCase

"""Randomised differential test of reads through graphs whose queries may read any query,
themselves and ones created after them included, chosen by the values they read first: as
inputs change, dependencies flip direction and cycles form and break.

After every step each answer the engine gives is compared with a from-scratch evaluation:
a query's body run recursively, with the queries under evaluation kept in a set; reaching
one of them again is a cycle. A read must return the evaluated value when the evaluation
succeeds. When it fails (a cycle, or a body that refuses a value), the read must raise. A
read may also fail when the evaluation succeeds, if a node it reaches (a recorded
dependency, which a read brings up to date first, or a node the evaluation reads) fails
from scratch; and every failure must name a node whose evaluation fails: a cycle reported
where there is none, or a node reported as failed after the loop it failed on broke, is a
fault. Some bodies catch a failed read and count 1 for it: whatever such a body meets then
depends on the order of the engine's work, so a read that meets any failure on the way, from
scratch or on a node it may reach, is only checked for the nodes its failure names; one that
meets none must return the evaluated value.

Profiles as in test_model_engine.py: a short, fixed run by default; WEFT_MODEL_EXAMPLES
and WEFT_MODEL_STEPS set the number of examples and the steps per example of a random run.
"""

import os
import re
from collections import Counter

import hypothesis.strategies as st
from hypothesis import HealthCheck, settings
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import weft
from weft_testing import PanicException, ReleasesItsRuntime

EXAMPLES = int(os.environ.get("WEFT_MODEL_EXAMPLES", "40"))
STEPS = int(os.environ.get("WEFT_MODEL_STEPS", "40"))

NAMED = [re.compile(p) for p in (
    r"^weft-core: dependency cycle detected: node (\d+) was read while its own compute was "
    r"in progress$",
    r"^weft-core: node (\d+) read but its last compute panicked; it stays Failed until a "
    r"dependency changes \(set an upstream input to retry\)$",
    # loops of catching bodies can run a read out of its budget
    r"^weft-core: dependency cycle detected: ensure_clean\((\d+)\) exceeded its traversal "
    r"budget, which no acyclic graph can$",
)]
REFUSED = re.compile(r"^(?:weft: python callback raised: ValueError: )?q(\d+) refuses \d+$")


class Cycle(Exception):
    pass


class Body:
    """Reads `cond` first, then the nodes of the branch its value selects, and returns the
    sum of what it read plus `offset`, modulo 4; refuses (ValueError) the value `refuse`.
    When it `catches`, a branch read failing with one of `failures` counts 1."""

    def __init__(self, index, cond, branches, offset, refuse, catches):
        self.index, self.cond, self.branches = index, cond, branches
        self.offset, self.refuse, self.catches = offset, refuse, catches

    def run(self, read, failures, caught=None):
        c = read(self.cond)
        total = c + self.offset
        for node in self.branches[c % len(self.branches)]:
            try:
                total += read(node)
            except failures:
                if not self.catches:
                    raise
                total += 1
                if caught is not None:
                    caught.append(node)
        total %= 4
        if total == self.refuse:
            raise ValueError(f"q{self.index} refuses {total}")
        return total


class CycleModel(ReleasesItsRuntime, RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.rt = weft.Runtime()
        self.handles = []   # node index -> handle
        self.bodies = []    # node index -> Body, None for an input
        self.values = {}    # input index -> value
        self.observers = []  # (observed index, index the callback also reads, or None)
        self.fired = []
        self.caught = []    # the reads a from-scratch evaluation caught failing

    # -- from-scratch evaluation ---------------------------------------------

    def evaluate(self, index, under=frozenset(), reads=None):
        """The node's value; raises Cycle or the body's ValueError. `reads` collects the
        nodes each body read on the way."""
        body = self.bodies[index]
        if body is None:
            return self.values[index]
        if index in under:
            raise Cycle()
        mine = [] if reads is None or index in reads else reads.setdefault(index, [])

        def read(node):
            mine.append(node)
            return self.evaluate(node, under | {index}, reads)
        return body.run(read, (Cycle, ValueError), self.caught)

    def fails(self, index):
        """Whether the node's evaluation meets a failure, caught or not."""
        self.caught = []
        try:
            self.evaluate(index)
        except (Cycle, ValueError):
            return True
        return bool(self.caught)

    def reachable(self, root, reads):
        """Nodes a read of `root` may bring up to date: recorded dependencies, and what
        the bodies read from scratch, under the read or on their own (a body that catches
        a cycle lets the one it read go on further than it would under the read)."""
        reads = {node: list(read) for node, read in reads.items()}
        for index, body in enumerate(self.bodies):
            if body:
                alone = {}
                try:
                    self.evaluate(index, reads=alone)
                except (Cycle, ValueError):
                    pass
                for node, read in alone.items():
                    reads.setdefault(node, []).extend(read)
        deps = {n["id"]: n["dependencies"] for n in self.rt.graph_snapshot()}
        slots = {h.id: i for i, h in enumerate(self.handles)}
        seen, work = set(), [root]
        while work:
            node = work.pop()
            if node not in seen:
                seen.add(node)
                work.extend(slots[d] for d in deps[self.handles[node].id])
                work.extend(reads.get(node, []))
        return seen

    # -- checks ----------------------------------------------------------------

    def expected(self, index):
        """(value, None) or (None, the kind of failure) from scratch; the nodes a read may
        reach, which a failure of the engine's read is judged by; what the body reads; and
        whether the read meets a failure that a body may catch."""
        reads = {}
        self.caught = []
        try:
            value, failure = self.evaluate(index, reads=reads), None
        except Cycle:
            value, failure = None, "cycle"
        except ValueError:
            value, failure = None, "refused"
        caught = bool(self.caught)
        reach = self.reachable(index, reads)
        order_dependent = any(b and b.catches for b in self.bodies) and (
            caught or failure is not None or any(self.fails(n) for n in reach))
        return value, failure, reach, reads.get(index, []), order_dependent

    def check_failure(self, exc, reach):
        """The engine's failure must name a node the read may reach that fails from scratch."""
        assert type(exc) in (RuntimeError, ValueError), repr(exc)
        text = str(exc)
        slot = next((int(m.group(1)) for p in NAMED if (m := p.match(text))), None)
        if slot is not None:
            named = next(i for i, h in enumerate(self.handles) if h.id == slot)
        else:
            m = REFUSED.match(text)
            assert m, f"unexpected failure: {text}"
            named = int(m.group(1))
        assert named in reach, f"{text}: node {named} is not reachable from the read"
        assert self.fails(named), f"{text}: but node {named} evaluates to {self.evaluate(named)}"

    def check_read(self, index, call):
        value, failure, reach, reads, order_dependent = self.expected(index)
        try:
            got = call()
        except (RuntimeError, ValueError) as exc:
            self.check_failure(exc, reach)
            return None
        # it leaves no callback's exception parked for a later failure to raise
        try:
            self.rt.set(self.handles[index], 0)
        except RuntimeError as exc:
            assert "compute" in str(exc), exc
        if order_dependent:
            return None
        assert failure is None, f"read of node {index} gave {got!r}, expected a {failure}"
        assert got == value, f"read of node {index} gave {got!r}, expected {value!r}"
        # its recorded dependencies are what its body reads now
        deps = next(n for n in self.rt.graph_snapshot() if n["id"] == self.handles[index].id)
        assert deps["dependencies"] == [self.handles[n].id for n in reads]
        return got

    # -- rules -----------------------------------------------------------------

    @initialize(data=st.data(), inputs=st.lists(st.integers(0, 3), min_size=1, max_size=3),
                queries=st.integers(2, 7))
    def create_graph(self, data, inputs, queries):
        for value in inputs:
            self.values[len(self.handles)] = value
            self.handles.append(self.rt.create_input(value))
            self.bodies.append(None)
        first = len(self.handles)
        everything = st.integers(0, first + queries - 1)  # later queries and itself included
        for index in range(first, first + queries):
            cond = data.draw(st.integers(0, first - 1) if data.draw(st.integers(0, 3))
                             else everything)
            branches = data.draw(st.lists(st.lists(everything, max_size=3), min_size=1,
                                          max_size=3))
            body = Body(index, cond, branches, data.draw(st.integers(0, 3)),
                        data.draw(st.sampled_from([None] * 5 + [0])),
                        data.draw(st.integers(0, 3)) == 0)
            self.bodies.append(body)
            self.handles.append(self.rt.create_query(
                lambda ref, body=body: body.run(lambda n: ref.get(self.handles[n]),
                                                (RuntimeError, ValueError, PanicException))))

    def pick_query(self, data):
        return data.draw(st.sampled_from([i for i, b in enumerate(self.bodies) if b]))

    @rule(data=st.data(), value=st.integers(0, 3))
    def set_input(self, data, value):
        index = data.draw(st.sampled_from(sorted(self.values)))
        self.rt.set(self.handles[index], value)
        self.values[index] = value

    @rule(data=st.data(), count=st.integers(1, 4))
    def read(self, data, count):
        for _ in range(count):
            index = self.pick_query(data)
            self.check_read(index, lambda: self.rt.get(self.handles[index]))

    @rule(data=st.data())
    def read_traced(self, data):
        index = self.pick_query(data)
        slot = self.handles[index].id
        got = self.check_read(index, lambda: self.rt.get_traced(self.handles[index])[0])
        if got is None:
            return
        # the node is Clean now: a second traced read does no work
        value, trace = self.rt.get_traced(self.handles[index])
        assert (value, trace["target"], trace["node_traces"]) == (got, slot, [])

    @rule(data=st.data(), also_reads=st.booleans())
    def observe(self, data, also_reads):
        index = self.pick_query(data)
        other = self.pick_query(data) if also_reads else None
        entry = len(self.observers)

        def callback(value):
            outcome = None
            if other is not None:
                try:
                    outcome = ("value", self.rt.get(self.handles[other]))
                except (RuntimeError, ValueError) as exc:
                    outcome = ("failure", exc)
            self.fired.append((entry, value, outcome))
        self.rt.observe(self.handles[index], callback)
        self.observers.append((index, other))

    @precondition(lambda self: self.observers)
    @rule()
    def stabilize(self):
        expected = {index: self.expected(index) for entry in self.observers for index in entry
                    if index is not None}
        self.fired.clear()
        try:
            self.rt.stabilize()
        except (RuntimeError, ValueError) as exc:
            assert any(exc_fits(self, exc, e) for e in expected.values()), str(exc)
            return
        for entry, value, outcome in self.fired:
            index, other = self.observers[entry]
            if not expected[index][4]:
                assert expected[index][:2] == (value, None), (index, value, expected[index])
            if outcome is None:
                continue
            if outcome[0] == "value":
                if not expected[other][4]:
                    assert expected[other][:2] == (outcome[1], None), (other, outcome)
            else:
                self.check_failure(outcome[1], expected[other][2])
        # every observed node is Clean now: a second stabilize fires nothing (unless a body
        # caught a failure on the way, which leaves its value to be made again)
        if any(e[4] for e in expected.values()):
            return
        self.fired.clear()
        self.rt.stabilize()
        assert self.fired == []

    @invariant()
    def recorded_lists_agree(self):
        reads, read_by = Counter(), Counter()
        for node in self.rt.graph_snapshot():
            assert node["id"] not in node["dependencies"]
            reads.update((node["id"], dep) for dep in node["dependencies"])
            read_by.update((dep, node["id"]) for dep in node["dependents"])
        assert reads == read_by  # one entry per read on both sides


def exc_fits(model, exc, expected):
    try:
        model.check_failure(exc, expected[2])
    except AssertionError:
        return False
    return True


CycleModel.TestCase.settings = settings(
    max_examples=EXAMPLES, stateful_step_count=STEPS, deadline=None,
    derandomize="WEFT_MODEL_EXAMPLES" not in os.environ,  # the short run is the same each time
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
TestCycleModel = CycleModel.TestCase

"""Randomised model test of the collections: hypothesis inserts into and deletes
from two source collections (duplicates, and deletes of absent values) and builds
a random pipeline of operators on them and on each other's results at random
moments; after every step each operator's result must equal its from-scratch
value, computed here from plain multisets.

Profiles: short by default (CI). WEFT_MODEL_EXAMPLES=<n> sets the number of
examples, WEFT_MODEL_STEPS=<n> the steps per example; `pytest -s` shows the
number of random steps executed.
"""

import os
from collections import Counter

import hypothesis.strategies as st
from hypothesis import HealthCheck, assume, settings
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import weft
from weft_testing import ReleasesItsRuntime

EXAMPLES = int(os.environ.get("WEFT_MODEL_EXAMPLES", "30"))
STEPS = int(os.environ.get("WEFT_MODEL_STEPS", "40"))

steps_executed = 0

MAPS = {"mod3": lambda x: x % 3, "double": lambda x: 2 * x}
FILTERS = {"odd": lambda x: x % 2 == 1, "small": lambda x: x < 4}


def teardown_module():
    print(f"\n{__name__}: {steps_executed} random steps")


def windows(seq, size):
    return Counter(tuple(seq[i:i + size]) for i in range(len(seq) - size + 1))


def as_bag(values):
    return Counter(tuple(v) if isinstance(v, list) else v for v in values)


class CollectionsModel(ReleasesItsRuntime, RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.rt = weft.Runtime()
        # each collection: (weft collection, function giving its expected Counter)
        self.bags = [Counter(), Counter()]
        self.colls = [(self.rt.create_collection(), lambda i=i: self.bags[i]) for i in (0, 1)]
        self.checks = []  # functions that assert one operator's result
        # exact sorted sequences of sorts built directly on a source: (side, entries)
        self.sorted_sources = []
        # collections of windows, pairs or join tuples, counted from the start and read
        # element by element by operators built on them later: (collection, expected Counter)
        self.made_colls = []

    @rule(side=st.integers(0, 1), value=st.integers(0, 7), insert=st.booleans())
    def change(self, side, value, insert):
        coll, bag = self.colls[side][0], self.bags[side]
        if insert:
            coll.insert(value)
            bag[value] += 1
            for entries in self.sorted_entries(side):
                # after every entry with an equal or smaller key: arrival order within a key
                at = sum(1 for x in entries if x // 2 <= value // 2)
                entries.insert(at, value)
        else:
            assert coll.delete(value) is (bag[value] > 0)
            for entries in self.sorted_entries(side):
                if value in entries:
                    entries.remove(value)
            bag[value] -= 1
            bag += Counter()  # drops entries at zero or below
            self.bags[side] = bag

    @rule(data=st.data(), kind=st.sampled_from(sorted(MAPS) + sorted(FILTERS)))
    def derive(self, data, kind):
        coll, expected = data.draw(st.sampled_from(self.colls))
        if kind in MAPS:
            fn = MAPS[kind]
            derived = coll.map(fn)
            def bag(expected=expected, fn=fn):
                out = Counter()
                for x, k in expected().items():
                    out[fn(x)] += k
                return out
        else:
            fn = FILTERS[kind]
            derived = coll.filter(fn)
            def bag(expected=expected, fn=fn):
                return Counter({x: k for x, k in expected().items() if fn(x)})
        self.colls.append((derived, bag))
        self.add_fold_check(derived, bag)

    def add_fold_check(self, coll, expected, convert=lambda v: v):
        fold = coll.reduce(list)
        def check():
            assert as_bag(self.rt.get(fold)) == Counter({convert(x): k for x, k in expected().items()})
            assert coll.snapshot_len() == sum(expected().values())
        self.checks.append(check)

    def sorted_entries(self, side):
        return [entries for s, entries in self.sorted_sources if s == side]

    @rule(data=st.data())
    def values(self, data):
        coll, expected = data.draw(st.sampled_from(self.colls))
        count = coll.count()
        agg = coll.aggregate((), lambda x: (x,), lambda a, b: tuple(sorted(a + b)))
        def check():
            assert self.rt.get(count) == sum(expected().values())
            assert self.rt.get(agg) == tuple(sorted(expected().elements()))
        self.checks.append(check)

    @rule(data=st.data(), size=st.integers(1, 6))  # windows held inline and beyond
    def sort(self, data, size):
        index = data.draw(st.integers(0, len(self.colls) - 1))
        coll, expected = self.colls[index]
        s = coll.sort_by_key(lambda x: x // 2)
        win, pairs = s.window(size), s.pairwise()
        wfold, pfold = win.reduce(list), pairs.reduce(list)
        direct_wcount, pcount = win.count(), pairs.count()
        # Sometimes an operator reads the windows, which changes how they are kept.
        wcount = win.map(len).count() if data.draw(st.booleans()) else None
        exact = None
        if index < 2:
            # what is already there arrives in unspecified order; later changes
            # land at exactly predictable positions
            exact = s.snapshot()
            self.sorted_sources.append((index, exact))
        def check():
            self.rt.get(s.version_node)
            snap = s.snapshot()
            assert exact is None or snap == exact
            assert Counter(snap) == expected() and s.snapshot_len() == len(snap)
            keys = [x // 2 for x in snap]
            assert keys == sorted(keys)
            assert as_bag(self.rt.get(wfold)) == windows(snap, size)
            assert wcount is None or self.rt.get(wcount) == max(len(snap) - size + 1, 0)
            assert self.rt.get(direct_wcount) == max(len(snap) - size + 1, 0)
            assert Counter(self.rt.get(pfold)) == windows(snap, 2)
            assert self.rt.get(pcount) == max(len(snap) - 1, 0)
        self.checks.append(check)
        # their expected contents follow the sorted order, which the checks above test
        self.made_colls += [(win, lambda: windows(s.snapshot(), size)), (pairs, lambda: windows(s.snapshot(), 2))]

    @rule(data=st.data())
    def group(self, data):
        coll, expected = data.draw(st.sampled_from(self.colls))
        g = coll.group_by(lambda x: x % 3)
        seen = set()
        def check():
            self.rt.get(g.version_node)
            seen.update(x % 3 for x in expected())
            assert sorted(g.keys()) == sorted(seen) and g.group_count() == len(seen)
            for key in seen:
                group = g.get_group(key)
                self.rt.get(group.version_node)
                exp = Counter({x: k for x, k in expected().items() if x % 3 == key})
                assert group.snapshot_len() == sum(exp.values())
            assert g.get_group(99) is None
        self.checks.append(check)

    @rule(data=st.data())
    def join(self, data):
        (left, lexp), (right, rexp) = data.draw(st.sampled_from(self.colls)), data.draw(
            st.sampled_from(self.colls))
        joined = left.join(right, lambda x: x % 3, lambda y: y % 3)
        def bag():
            out = Counter()
            for a, ka in lexp().items():
                for b, kb in rexp().items():
                    if a % 3 == b % 3:
                        out[(a, b)] += ka * kb
            return out
        self.add_fold_check(joined, bag)  # tuples: not offered to the int operators
        count = joined.count()
        def check():
            assert self.rt.get(count) == sum(bag().values())
        self.checks.append(check)
        self.made_colls.append((joined, bag))

    @rule(data=st.data(), how=st.sampled_from(["map", "filter", "sort"]))
    def read_made(self, data, how):
        assume(self.made_colls)
        coll, expected = data.draw(st.sampled_from(self.made_colls))
        if how == "map":
            self.add_fold_check(coll.map(tuple), expected)
        elif how == "filter":
            even = lambda t: sum(t) % 2 == 0  # noqa: E731
            kept = coll.filter(even)
            self.add_fold_check(kept, lambda: Counter({t: k for t, k in expected().items()
                                                       if even(t)}), convert=tuple)
        else:
            s = coll.sort_by_key(lambda t: t[0])
            def check():
                self.rt.get(s.version_node)
                snap = [tuple(t) for t in s.snapshot()]
                assert Counter(snap) == expected()
                assert [t[0] for t in snap] == sorted(t[0] for t in snap)
            self.checks.append(check)

    @invariant()
    def agrees(self):
        global steps_executed
        steps_executed += 1
        for check in self.checks:
            check()


CollectionsModel.TestCase.settings = settings(
    max_examples=EXAMPLES, stateful_step_count=STEPS, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])
TestCollectionsModel = CollectionsModel.TestCase

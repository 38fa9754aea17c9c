"""Every Runtime and collection method called from inside every kind of callback: each call
works or is refused with its error, and the runtime is consistent afterwards."""

import re
from collections import Counter

import pytest

import weft
from weft_testing import PanicException

CREATE_INPUT = "create_input called during compute; not permitted"
CREATE_QUERY = "create_query called during compute; not permitted"
DELETE_ALL = "weft-core: delete_with_dependents called during compute; not permitted"


class World:
    """A runtime with an input, a query, a collection with operators on it, and the reads
    that check them against a from-scratch computation."""

    def __init__(self):
        rt = self.rt = weft.Runtime()
        self.a = rt.create_input(1)
        self.q = rt.create_query(lambda ref: ref.get(self.a) * 10)
        self.spare = rt.create_input("spare")
        self.c = rt.create_collection()
        for x in (1, 2, 3):
            self.c.insert(x)
        self.other = rt.create_collection()
        self.other.insert(1)
        self.elements = self.c.reduce(list)
        self.mapped = self.c.map(lambda x: x + 100).reduce(list)
        self.count = self.c.count()
        self.s = self.c.sort_by_key(lambda x: -x)
        self.g = self.c.group_by(lambda x: x % 2)
        for holder in (self.c, self.s, self.g):
            rt.get(holder.version_node)  # the mirror exists: reading it creates nothing
        self.oid = rt.observe(self.a, lambda value: None)
        rt.get(self.q)

    def check(self):
        rt = self.rt
        assert rt.get(self.q) == rt.get(self.a) * 10
        elements = rt.get(self.elements)
        assert Counter(rt.get(self.mapped)) == Counter(x + 100 for x in elements)
        assert rt.get(self.count) == len(elements) == self.c.snapshot_len()
        rt.get(self.s.version_node)
        assert self.s.snapshot() == sorted(elements, key=lambda x: -x)
        rt.get(self.g.version_node)
        for key in self.g.keys():
            group = self.g.get_group(key)
            assert Counter(rt.get(group.reduce(list))) == Counter(x for x in elements if x % 2 == key)


# Every method, called on the world's objects. Those marked `creates` make a node.
METHODS = {
    "create_input": (True, lambda w: w.rt.create_input(5)),
    "create_query": (True, lambda w: w.rt.create_query(lambda ref: 1)),
    "create_collection": (True, lambda w: w.rt.create_collection()),
    "get": (False, lambda w: w.rt.get(w.q)),
    "set": (False, lambda w: w.rt.set(w.a, 7)),
    "delete_node": (False, lambda w: w.rt.delete_node(w.spare)),
    "delete_with_dependents": (False, lambda w: w.rt.delete_with_dependents(w.spare)),
    "is_alive": (False, lambda w: w.rt.is_alive(w.q)),
    "observe": (False, lambda w: w.rt.observe(w.q, lambda value: None)),
    "unobserve": (False, lambda w: w.rt.unobserve(w.oid)),
    "stabilize": (False, lambda w: w.rt.stabilize()),
    "set_label": (False, lambda w: w.rt.set_label(w.q, "q")),
    "set_label_by_id": (False, lambda w: w.rt.set_label_by_id(0, "a")),
    "get_traced": (False, lambda w: w.rt.get_traced(w.q)),
    "graph_snapshot": (False, lambda w: w.rt.graph_snapshot()),
    "node_count": (False, lambda w: w.rt.node_count()),
    "insert": (False, lambda w: w.c.insert(9)),
    "delete": (False, lambda w: w.c.delete(2)),
    "snapshot_len": (False, lambda w: w.c.snapshot_len()),
    "filter": (True, lambda w: w.c.filter(bool)),
    "map": (True, lambda w: w.c.map(str)),
    "count": (True, lambda w: w.c.count()),
    "reduce": (True, lambda w: w.c.reduce(len)),
    "aggregate": (True, lambda w: w.c.aggregate(0, int, max)),
    "sort_by_key": (True, lambda w: w.c.sort_by_key(int)),
    "group_by": (True, lambda w: w.c.group_by(bool)),
    "join": (True, lambda w: w.c.join(w.other, int, int)),
    "version_node": (False, lambda w: w.c.version_node),
    "sorted.pairwise": (True, lambda w: w.s.pairwise()),
    "sorted.window": (True, lambda w: w.s.window(2)),
    "sorted.snapshot": (False, lambda w: w.s.snapshot()),
    "sorted.snapshot_len": (False, lambda w: w.s.snapshot_len()),
    "sorted.version_node": (False, lambda w: w.s.version_node),
    "grouped.keys": (False, lambda w: w.g.keys()),
    "grouped.get_group": (False, lambda w: w.g.get_group(1)),
    "grouped.group_count": (False, lambda w: w.g.group_count()),
    "grouped.version_node": (False, lambda w: w.g.version_node),
}


def collection_reader(w, coll):
    node = coll.reduce(list)
    return lambda: w.rt.get(node)


def version_reader(w, holder):
    node = holder.version_node
    return lambda: w.rt.get(node)


def node_reader(w, node):
    return lambda: w.rt.get(node)


# Operator callbacks: build(world, wrap) makes the operator with `wrap(fn)` as the callable
# under test and returns a read that brings the operator up to date.
OPERATORS = {
    "map": lambda w, wrap: collection_reader(w, w.c.map(wrap(lambda x: x + 1))),
    "filter": lambda w, wrap: collection_reader(w, w.c.filter(wrap(lambda x: x > 1))),
    "reduce": lambda w, wrap: node_reader(w, w.c.reduce(wrap(len))),
    "sort_by_key": lambda w, wrap: version_reader(w, w.c.sort_by_key(wrap(lambda x: x))),
    "group_by": lambda w, wrap: version_reader(w, w.c.group_by(wrap(lambda x: x % 3))),
    "join_left": lambda w, wrap: collection_reader(
        w, w.c.join(w.other, wrap(lambda x: x % 2), lambda y: y % 2)
    ),
    "join_right": lambda w, wrap: collection_reader(
        w, w.c.join(w.other, lambda x: x % 2, wrap(lambda y: y % 2))
    ),
    "aggregate_lift": lambda w, wrap: node_reader(w, w.c.aggregate(0, wrap(lambda x: x), max)),
    "aggregate_combine": lambda w, wrap: node_reader(
        w, w.c.aggregate(0, lambda x: x, wrap(lambda x, y: x + y))
    ),
}

# (callback kind, phase): "build" runs while the operator processes existing elements (no
# compute is running), "update" inside the operator's compute during a later read.
CONTEXTS = [("query", "update"), ("observer", "stabilize"), ("reduce", "update")] + [
    (kind, phase) for kind in OPERATORS if kind != "reduce" for phase in ("build", "update")
]


def run_context(w, kind, phase, hook):
    """Builds the callback of `kind` calling hook() and makes the runtime call it."""
    if kind == "query":
        node = w.rt.create_query(lambda ref: (hook(), ref.get(w.a))[1])
        w.rt.get(node)
        return lambda: w.rt.get(node)
    if kind == "observer":
        w.rt.observe(w.a, lambda value: hook())
        w.rt.set(w.a, 2)
        w.rt.stabilize()
        return w.rt.stabilize
    armed = [phase == "build"]

    def wrap(fn):
        def callback(*args):
            if armed[0]:
                hook()
            return fn(*args)

        return callback

    read = OPERATORS[kind](w, wrap)
    if phase == "update":
        read()
        armed[0] = True
        (w.other if kind == "join_right" else w.c).insert(4)
        read()
    return read


def outcome_of(fn):
    try:
        fn()
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        return type(exc), str(exc)
    return None


def check_method_inside_callback(kind, phase, method, propagate):
    creates, call = METHODS[method]
    w = World()
    outcomes = []
    started = []
    left_behind = []

    def hook():
        if started:
            return  # the method runs once, at the first call of the callback
        started.append(True)
        nodes_before = w.rt.node_count()
        try:
            call(w)
        except BaseException as exc:  # noqa: BLE001
            outcomes.append((type(exc), str(exc)))
            left_behind.append(w.rt.node_count() - nodes_before)  # a refusal creates nothing
            if propagate:
                raise
        else:
            outcomes.append(None)

    reads = []
    trigger = outcome_of(lambda: reads.append(run_context(w, kind, phase, hook)))
    assert outcomes, "the callback was not called"
    got = outcomes[0]

    in_compute = kind in ("query", "reduce") or phase == "update"
    if creates and in_compute:
        expected = CREATE_INPUT if method in ("create_input", "create_collection") else CREATE_QUERY
        assert got == (PanicException, expected)
    elif method == "delete_with_dependents" and in_compute:
        assert got == (RuntimeError, DELETE_ALL)
    else:
        assert got is None
    assert left_behind in ([], [0]), left_behind
    if got is None or not propagate:
        assert trigger is None, trigger

    # Consistent afterwards: a further change is followed everywhere (by the callback's own
    # node too), nothing stays computing, no lock stays held and no exception stays parked.
    w.c.insert(50)
    w.other.insert(50)
    w.rt.set(w.a, 3)
    w.check()
    for read in reads:
        read()
    w.rt.set_label(w.q, "after")
    assert w.rt.node_count() == len(w.rt.graph_snapshot())
    assert w.rt.get_traced(w.q)[0] == 30
    gone = w.rt.create_input(0)
    w.rt.delete_node(gone)
    with pytest.raises(RuntimeError, match=re.escape("weft-core: stale Weft<")):
        w.rt.get(gone)


@pytest.mark.parametrize("kind,phase", CONTEXTS, ids=[f"{k}-{p}" for k, p in CONTEXTS])
@pytest.mark.parametrize("propagate", [False, True], ids=["caught", "raised"])
def test_every_method_inside_callback(kind, phase, propagate):
    failures = {}
    for method in METHODS:
        try:
            check_method_inside_callback(kind, phase, method, propagate)
        except AssertionError as exc:
            failures[method] = str(exc)
    assert not failures


def test_equality_that_writes_the_input_being_set():
    """`set` compares the new value with the stored one; an __eq__ that sets the same input
    meanwhile drops the stored value from the cell, and the comparison still has it."""
    rt = weft.Runtime()
    seen = []

    class Stored:
        def __eq__(self, other):
            if not seen:
                seen.append(True)
                rt.set(a, "nested")
            return NotImplemented

        def __del__(self):
            seen.append("dropped")

        __hash__ = object.__hash__

    class New:
        def __eq__(self, other):
            seen.append(type(other).__name__)  # the reflected comparison sees the old value
            return False

        __hash__ = object.__hash__

    a = rt.create_input(Stored())  # the input's cell holds the only reference
    new = New()
    rt.set(a, new)
    assert seen == [True, "Stored", "dropped"]
    assert rt.get(a) is new


def test_equality_of_lists_whose_member_changes_them():
    """Lists compare member by member; a member's __eq__ that empties the other list and sets
    the input, dropping the stored list, leaves both held to the end of the comparison, whose
    result is Python's: the lengths now differ, so the lists are unequal."""
    rt = weft.Runtime()
    seen = []

    class Meddling:
        def __eq__(self, other):
            if not seen:
                seen.append(True)
                new.clear()
                rt.set(a, "nested")
            return True

        def __del__(self):
            seen.append("dropped")

        __hash__ = object.__hash__

    a = rt.create_input([Meddling(), 1])  # the input's cell holds the only reference
    new = [object(), 1]
    rt.set(a, new)
    assert seen == [True, "dropped"]
    assert rt.get(a) is new and new == []


def test_deletion_refused_while_an_equality_runs_leaves_the_node_whole():
    """`set` compares under the value store's access; a deletion from inside __eq__ is
    refused before it claims anything, so the nodes stay alive and their values stay put."""
    rt = weft.Runtime()
    outcomes = []

    class Deleting:
        def __eq__(self, other):
            for delete, node in ((rt.delete_node, lonely), (rt.delete_with_dependents, victim)):
                try:
                    delete(node)
                except RuntimeError as exc:
                    outcomes.append(str(exc))
            return False

        __hash__ = object.__hash__

    a = rt.create_input(Deleting())
    lonely, victim = rt.create_input("lonely"), rt.create_input("kept")
    reader = rt.create_query(lambda ref: ref.get(victim) + "!")
    rt.get(reader)
    rt.set(a, 5)
    assert len(outcomes) == 2
    assert all("access conflict" in text for text in outcomes), outcomes
    assert rt.is_alive(lonely) and rt.get(lonely) == "lonely"
    assert rt.is_alive(victim) and rt.get(reader) == "kept!"
    nodes = rt.node_count()
    rt.delete_node(lonely)  # possible again once the comparison is over
    assert rt.delete_with_dependents(victim) == 2
    assert rt.node_count() == nodes - 3


def test_finaliser_of_a_replaced_input_value_sees_the_write_complete():
    """The value `set` replaces is dropped after the write has reached the dependents, so a
    __del__ that reads them gets results of the new value, not a Clean result of the old."""
    rt = weft.Runtime()
    seen = []

    class Old:
        def __del__(self):
            seen.append((rt.get(doubled), rt.get(a)))

    a = rt.create_input(Old())
    doubled = rt.create_query(lambda ref: 0 if isinstance(ref.get(a), Old) else ref.get(a) * 2)
    assert rt.get(doubled) == 0
    rt.set(a, 4)
    assert seen == [(8, 4)]
    assert rt.get(doubled) == 8


def test_finalisers_of_elements_a_collection_lets_go_see_the_change_made():
    """A change of a collection lets go of elements: `delete` the stored copy of one whose
    last copy goes, compaction the deltas every reader has passed. A finaliser run then may
    read and change the collection, and sees the change that let the element go complete."""
    rt = weft.Runtime()
    c = rt.create_collection()
    count = c.count()
    seen = []

    class Element:
        def __init__(self, name, watched=False):
            self.name, self.watched = name, watched

        def __eq__(self, other):
            return isinstance(other, Element) and other.name == self.name

        def __hash__(self):
            return hash(self.name)

        def __del__(self):
            if self.watched:
                seen.append((self.name, c.snapshot_len(), rt.get(count)))
                c.insert("after " + self.name)

    c.insert(Element("compacted", watched=True))
    c.delete(Element("compacted"))  # the log holds the only reference now
    c.insert(Element("deleted", watched=True))
    assert rt.get(count) == 1  # the count has read the three deltas
    for i in range(1100):  # the 1024th delta in the log compacts it
        c.insert(i)
    assert seen == [("compacted", 1022, 1022)]
    assert c.delete(Element("deleted"))  # compaction took the log's reference already
    assert seen[1:] == [("deleted", 1101, 1101)]
    assert c.snapshot_len() == rt.get(count) == 1102


def test_finalisers_of_elements_an_operator_lets_go_find_its_collection_free():
    """An operator's compute lets go of its own elements the same way (a mapped element
    deleted, deltas compacted); a finaliser run then may read the operator's collection."""
    rt = weft.Runtime()
    c = rt.create_collection()
    seen = []

    class Mapped:
        def __init__(self, n):
            self.n = n

        def __eq__(self, other):
            return isinstance(other, Mapped) and other.n == self.n

        def __hash__(self):
            return hash(self.n)

        def __del__(self):
            if self.n == 0:
                seen.append(mapped.snapshot_len())

    mapped = c.map(Mapped)
    count = mapped.count()
    c.insert(0)
    for i in range(1, 1100):  # the map's 1024th delta compacts its log
        c.insert(i)
        rt.get(count)
    c.delete(0)
    assert rt.get(count) == 1099
    assert seen == [1099]  # the stored element went with the delete


@pytest.mark.parametrize("kind", ["group_by", "sort_by_key"])
def test_finalisers_of_what_routing_operators_let_go_find_them_free(kind):
    """group_by's key memo and groups and a sorted collection hold elements and keys of
    their own: an element deleted through an equal one, or a delta compacted away, may be
    the last holder. A finaliser run as they let go may read the operator's result."""
    rt = weft.Runtime()
    c = rt.create_collection()
    seen = []

    class Watched:
        def __init__(self, name, watched=False):
            self.name, self.watched = name, watched

        def __eq__(self, other):
            return isinstance(other, type(self)) and other.name == self.name

        def __hash__(self):
            return hash(self.name)

        def __lt__(self, other):
            return self.name < other.name

        def __del__(self):
            if self.watched:
                try:
                    seen.append(read())
                except BaseException as exc:  # noqa: BLE001 - PanicException included
                    seen.append(exc)

    if kind == "group_by":
        grouped = c.group_by(lambda e: e.name % 2)
        node, read, watched = grouped.version_node, grouped.group_count, 1
    else:
        ordered = c.sort_by_key(lambda e: Watched(e.name, e.watched))
        node, read, watched = ordered.version_node, ordered.snapshot_len, 2  # and its key

    def fill(names):  # enough changes for every log on the way to compact
        for i in names:
            c.insert(Watched(i))
            rt.get(node)

    c.insert(Watched(1, watched=True))
    rt.get(node)
    fill(range(3, 2200, 2))  # the source's log lets go of the watched element
    c.delete(Watched(1))  # an equal element: the operator's copy may be the last one
    rt.get(node)
    fill(range(2201, 4400, 2))
    assert len(seen) == watched and all(isinstance(x, int) for x in seen), seen


def test_count_refused_while_a_comparison_runs_leaves_no_node_behind():
    """`count()` makes a counting node, then the node it hands out. Inside the __eq__ that
    `set` runs, the second cannot be made; the first must not stay behind unread, its cursor
    keeping every later change of the collection."""
    rt = weft.Runtime()
    c = rt.create_collection()
    refusals = []

    class Counting:
        def __eq__(self, other):
            try:
                c.count()
            except PanicException as exc:
                refusals.append(str(exc))
            return False

        __hash__ = object.__hash__

    a = rt.create_input(Counting())
    nodes = rt.node_count()
    rt.set(a, 1)
    assert len(refusals) == 1 and "access conflict" in refusals[0]
    assert rt.node_count() == nodes
    count = c.count()
    c.insert(1)
    assert rt.get(count) == 1


def test_reads_made_while_a_recompute_stores_its_value_are_not_dependencies():
    """A recomputed query compares its new value with the old one (cutoff) and drops the one
    it discards inside its compute. What __eq__ or __del__ read there is not what the value
    was computed from: reading a dependent there must not leave the two waiting on each
    other, and reading an unrelated node must not make the query depend on it."""
    rt = weft.Runtime()
    a, unrelated = rt.create_input(1), rt.create_input("x")

    class Parity:
        def __init__(self, n):
            self.n = n

        def __eq__(self, other):
            try:
                rt.get(reader)  # reaches back to the node being computed: a cycle, refused
            except RuntimeError:
                pass
            return isinstance(other, Parity) and other.n == self.n

        def __del__(self):
            try:
                rt.get(unrelated)
            except BaseException:  # noqa: BLE001 - the runtime may be gone at teardown
                pass

        __hash__ = object.__hash__

    parity = rt.create_query(lambda ref: Parity(ref.get(a) % 2))
    reader = rt.create_query(lambda ref: ref.get(parity).n + 100)
    assert rt.get(reader) == 101
    rt.set(a, 3)  # the same parity: cut off, the new value is dropped
    assert rt.get(reader) == 101
    rt.set(a, 4)  # a new parity: the old value is dropped
    assert rt.get(reader) == 100
    deps = {n["id"]: n["dependencies"] for n in rt.graph_snapshot()}
    assert deps[parity.id] == [a.id] and deps[reader.id] == [parity.id]

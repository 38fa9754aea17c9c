"""Deletion through the Python API, and the release of everything the runtime holds."""

import gc
import re
import sys
import weakref

import pytest

import weft
from weft_testing import PanicException, Tracked


def exact(text):
    return "^" + re.escape(text) + "$"


def finalizer(obj):
    return weakref.finalize(obj, lambda: None)


# ---- deletion ----


def test_delete_node_needs_no_dependents():
    rt = weft.Runtime()
    a = rt.create_input(1)
    q = rt.create_query(lambda ref: ref.get(a))
    rt.get(q)
    with pytest.raises(RuntimeError, match=exact(
        f"weft-core: delete_node on node {a.id} which still has dependents; delete downstream nodes first"
    )):
        rt.delete_node(a)
    assert rt.get(a) == 1  # nothing was deleted
    assert rt.delete_node(q) is None
    rt.delete_node(a)
    assert rt.node_count() == 0


def test_delete_with_dependents_counts_what_it_released():
    rt = weft.Runtime()
    x = rt.create_input(1)
    a = rt.create_query(lambda ref: ref.get(x) + 1)
    b = rt.create_query(lambda ref: ref.get(a) + 1)
    never = rt.create_query(lambda ref: ref.get(x))
    assert rt.get(b) == 3
    assert rt.delete_with_dependents(x) == 3
    assert [rt.is_alive(n) for n in (x, a, b, never)] == [False, False, False, True]
    # The query that never ran was not reached; it fails as stale when it first runs.
    with pytest.raises(RuntimeError, match=r"^weft-core: stale Weft<weft::PyValue> handle: the node at slot 0"):
        rt.get(never)
    assert rt.delete_with_dependents(x) == 0
    with pytest.raises(RuntimeError, match="^weft-core: stale Weft<weft::PyValue> handle"):
        rt.delete_node(x)


def test_deleting_a_node_read_many_times_keeps_the_other_dependents():
    # Its reads of each node leave that node's dependents list at once; the rest of the
    # list keeps its order and goes on being invalidated.
    rt = weft.Runtime()
    a, b = rt.create_input(1), rt.create_input(2)
    first = rt.create_query(lambda ref: ref.get(a))
    many = rt.create_query(lambda ref: sum(ref.get(a) + ref.get(b) for _ in range(1000)))
    last = rt.create_query(lambda ref: ref.get(a) * 10)
    assert (rt.get(first), rt.get(many), rt.get(last)) == (1, 3000, 10)
    rt.delete_node(many)
    dependents = {entry["id"]: entry["dependents"] for entry in rt.graph_snapshot()}
    assert (dependents[a.id], dependents[b.id]) == ([first.id, last.id], [])
    rt.set(a, 5)
    assert (rt.get(first), rt.get(last)) == (5, 50)


def test_deleting_a_count_deletes_the_counting_node_beneath_it():
    rt = weft.Runtime()
    c = rt.create_collection()
    kept, gone = c.count(), c.count()
    read = rt.create_query(lambda ref: ref.get(kept) * 10)
    assert rt.get(read) == 0 and rt.get(gone) == 0
    assert rt.node_count() == 6  # the source's version node, two pairs, the query
    with pytest.raises(RuntimeError, match="which still has dependents"):
        rt.delete_node(kept)
    assert rt.node_count() == 6
    [beneath] = [n["id"] for n in rt.graph_snapshot() if n["dependents"] == [gone.id]]
    rt.delete_node(gone)
    assert rt.node_count() == 4
    assert {gone.id, beneath}.isdisjoint(n["id"] for n in rt.graph_snapshot())
    c.insert("x")
    assert rt.get(read) == 10
    assert rt.delete_with_dependents(kept) == 3  # the query, the count and its counting node
    assert rt.node_count() == 1
    # A count taken again may reuse the freed slots; deleting a stale handle deletes nothing.
    again = c.count()
    assert rt.get(again) == 1
    assert rt.delete_with_dependents(gone) == 0
    assert rt.get(again) == 1 and rt.node_count() == 3



def test_operators_refused_by_a_full_node_table_leave_no_node_behind():
    # Each of these makes an inner node, then the node it hands out. With one slot free the
    # second is refused; the first, which nothing could ever read, must go with it, or its
    # cursors would keep every later change of the sources.
    rt = weft.Runtime()
    c, other = rt.create_collection(), rt.create_collection()
    for x in (3, 1):
        c.insert(x)
        other.insert(x)
    s = c.sort_by_key(lambda x: x)
    filler = [rt.create_input(0) for _ in range(1_048_576 - rt.node_count() - 1)]
    makers = {"pairwise": s.pairwise, "window": lambda: s.window(2), "count": c.count,
              "join": lambda: c.join(other, lambda x: x, lambda x: x)}
    for name, make in makers.items():
        with pytest.raises(PanicException, match="SegmentedNodes exhausted"):
            make()
        assert rt.node_count() == 1_048_575, name
    for _ in range(3):  # room for the join and its count
        rt.delete_node(filler.pop())
    assert rt.get(c.join(other, lambda x: x, lambda x: x).count()) == 2

def test_slots_are_reused_last_freed_first():
    rt = weft.Runtime()
    nodes = [rt.create_input(i) for i in range(3)]
    rt.delete_node(nodes[0])
    rt.delete_node(nodes[2])
    assert [rt.create_input(9).id for _ in range(3)] == [2, 0, 3]


def test_delete_inside_a_compute():
    rt = weft.Runtime()
    other = rt.create_input(1)
    holder = {}

    def delete_other(ref):
        rt.delete_node(other)
        return "deleted"

    def delete_self(ref):
        rt.delete_node(holder["self"])

    assert rt.get(rt.create_query(delete_other)) == "deleted"
    assert not rt.is_alive(other)
    holder["self"] = rt.create_query(delete_self)
    with pytest.raises(RuntimeError, match=exact(
        f"weft-core: delete_node called from inside node {holder['self'].id}'s own compute"
    )):
        rt.get(holder["self"])


def test_a_node_deleted_on_the_way_to_its_own_read_is_met_as_deleted():
    # The grouping's key function deletes the query being read, and the group it then makes
    # takes the query's slot: the read fails rather than reach that group's node.
    rt = weft.Runtime()
    sales = rt.create_collection()
    sales.insert(1)
    holder = {}

    def key(element):
        if element == 7:
            rt.delete_node(holder["reader"])
        return element

    by = sales.group_by(key)
    rt.get(by.version_node)
    holder["reader"] = rt.create_query(lambda ref: ref.get(by.version_node))
    assert rt.get(holder["reader"]) == 0
    sales.insert(7)
    with pytest.raises(RuntimeError, match=exact(
        f"weft-core: node {holder['reader'].id} was deleted while a read was reaching it (a "
        "compute raced delete_node on one of its recorded dependencies)"
    )):
        rt.get(holder["reader"])
    assert not rt.is_alive(holder["reader"]) and by.group_count() == 2


def test_deleted_node_loses_label_and_observers():
    rt = weft.Runtime()
    a = rt.create_input(1)
    fired = []
    rt.observe(a, fired.append)
    rt.set_label(a, "a")
    rt.set(a, 2)
    rt.delete_node(a)
    rt.stabilize()
    assert fired == []
    assert rt.graph_snapshot() == []
    b = rt.create_input(3)  # the same slot, without the old label
    assert b.id == a.id
    assert rt.graph_snapshot()[0]["label"] is None


# ---- release of values, callables and observers ----


def test_input_values_are_released():
    rt = weft.Runtime()
    first, second = Tracked("first"), Tracked("second")
    f1, f2 = finalizer(first), finalizer(second)
    a = rt.create_input(first)
    del first
    assert f1.alive
    rt.set(a, second)
    assert not f1.alive  # replaced by set
    del second
    rt.delete_node(a)
    assert not f2.alive


def test_query_callables_and_results_are_released_on_delete():
    rt = weft.Runtime()
    result = Tracked("result")
    f_result = finalizer(result)

    class Fn:
        def __call__(self, ref):
            return result

    fn = Fn()
    f_fn = finalizer(fn)
    q = rt.create_query(fn)
    del fn
    rt.get(q)
    del result
    assert f_fn.alive and f_result.alive
    rt.delete_node(q)
    assert not f_fn.alive and not f_result.alive


def test_observer_callbacks_are_released():
    rt = weft.Runtime()
    a = rt.create_input(0)

    class Callback:
        def __call__(self, value):
            pass

    callbacks = [Callback(), Callback()]
    f0, f1 = (finalizer(c) for c in callbacks)
    oid = rt.observe(a, callbacks[0])
    rt.observe(a, callbacks[1])
    del callbacks
    rt.set(a, 1)
    rt.stabilize()
    rt.unobserve(oid)
    assert not f0.alive and f1.alive
    rt.delete_node(a)
    assert not f1.alive


def test_everything_is_released_with_the_runtime():
    rt = weft.Runtime()
    value, fn_result = Tracked("value"), Tracked("result")

    class Callable:
        def __call__(self, *args):
            return fn_result

    query_fn, observer_fn = Callable(), Callable()
    finals = [finalizer(o) for o in (value, fn_result, query_fn, observer_fn)]
    a = rt.create_input(value)
    q = rt.create_query(query_fn)
    rt.observe(q, observer_fn)
    rt.observe(a, observer_fn)
    rt.stabilize()
    del value, fn_result, query_fn, observer_fn, Callable
    assert all(f.alive for f in finals)
    del rt
    assert not any(f.alive for f in finals)
    # Handles outlive their runtime and stay plain values.
    assert repr(a) == "NodeId(slot=0)" and a != q


def test_cutoff_keeps_one_reference_to_the_old_value():
    rt = weft.Runtime()
    a = rt.create_input(0)
    q = rt.create_query(lambda ref: [ref.get(a) * 0])
    kept = rt.get(q)
    rt.set(a, 1)
    assert rt.get(q) is kept
    assert sys.getrefcount(kept) == 3  # the cell, `kept`, the argument
    rt.delete_node(q)
    assert sys.getrefcount(kept) == 2


def test_references_are_balanced():
    rt = weft.Runtime()
    value = object()
    base = sys.getrefcount(value)
    a = rt.create_input(value)
    assert sys.getrefcount(value) == base + 1
    q = rt.create_query(lambda ref: ref.get(a))
    for _ in range(100):
        rt.get(a)
        rt.get(q)
        rt.get_traced(q)
        rt.set(a, value)
    rt.observe(q, lambda v: None)
    rt.stabilize()
    assert sys.getrefcount(value) == base + 2  # the input's cell and the query's cell
    rt.delete_with_dependents(a)
    assert sys.getrefcount(value) == base


def test_parked_exceptions_are_released():
    rt = weft.Runtime()
    boom = ValueError("boom")
    base = sys.getrefcount(boom)

    def fn(ref):
        raise boom

    for _ in range(3):  # guarded: taken out of the slot and raised
        with pytest.raises(ValueError):
            rt.get(rt.create_query(fn))
    # Read through RuntimeRef.get (unguarded), it travels with the PanicException to the
    # outer guard, which raises it.
    inner = rt.create_query(fn)
    outer = rt.create_query(lambda ref: ref.get(inner))
    with pytest.raises(ValueError):
        rt.get(outer)
    # A query that catches the panic drops it.
    failing = rt.create_query(fn)

    def catches(ref):
        try:
            return ref.get(failing)
        except PanicException:
            return "caught"

    assert rt.get(rt.create_query(catches)) == "caught"
    boom.__traceback__ = None
    gc.collect()
    assert sys.getrefcount(boom) == base

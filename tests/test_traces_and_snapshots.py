"""Labels, traced reads, graph snapshots and node counts through the Python API."""

import gc
import random

import pytest

import weft

TRACE_KEYS = ["target", "total_nodes", "nodes_recomputed", "nodes_cutoff", "elapsed_ns", "node_traces"]
NODE_KEYS = ["id", "kind", "label", "dependencies", "dependents"]


def test_traced_read_of_an_input():
    rt = weft.Runtime()
    a = rt.create_input("v")
    result = rt.get_traced(a)
    assert type(result) is tuple and len(result) == 2
    value, trace = result
    assert value == "v"
    assert list(trace) == TRACE_KEYS
    assert trace["target"] == a.id
    assert trace["node_traces"] == []
    assert trace["nodes_recomputed"] == 0 and trace["nodes_cutoff"] == 0
    assert trace["total_nodes"] == 1
    assert isinstance(trace["elapsed_ns"], int) and trace["elapsed_ns"] >= 0


def test_traced_read_of_a_new_query_then_a_clean_one():
    rt = weft.Runtime()
    a = rt.create_input(1)
    q = rt.create_query(lambda ref: ref.get(a) + 1)
    value, trace = rt.get_traced(q)
    assert value == 2
    assert trace["node_traces"] == [{"id": q.id, "action": "recomputed_changed"}]
    assert list(trace["node_traces"][0]) == ["id", "action"]
    assert trace["nodes_recomputed"] == 1 and trace["nodes_cutoff"] == 0
    _, trace = rt.get_traced(q)
    assert trace["node_traces"] == [] and trace["nodes_recomputed"] == 0


def test_cutoff_chain_trace():
    # q reads a, r reads q; a changes so that q computes an equal value.
    rt = weft.Runtime()
    a = rt.create_input(4)
    q = rt.create_query(lambda ref: ref.get(a) // 10)
    r = rt.create_query(lambda ref: ref.get(q) + 100)
    assert rt.get(r) == 100
    rt.set(a, 5)
    value, trace = rt.get_traced(r)
    assert value == 100
    assert trace["node_traces"] == [
        {"id": q.id, "action": "recomputed_cutoff"},
        {"id": r.id, "action": "verified_clean"},
    ]
    assert trace["nodes_recomputed"] == 1 and trace["nodes_cutoff"] == 1
    assert trace["total_nodes"] == rt.node_count() == 3


def test_failed_traced_read_raises_and_leaves_tracing_off():
    rt = weft.Runtime()
    a = rt.create_input(0)
    q = rt.create_query(lambda ref: 1 / ref.get(a))
    with pytest.raises(ZeroDivisionError):
        rt.get_traced(q)
    rt.set(a, 1)
    assert rt.get(q) == 1.0
    _, trace = rt.get_traced(a)
    assert trace["node_traces"] == []


def test_traced_read_inside_a_traced_read():
    # A query that makes traced reads of its own: each reports what it did, and the outer
    # read still reports everything, its own records and the inner ones in order, also
    # after an inner read failed.
    rt = weft.Runtime()
    a = rt.create_input(0)
    b = rt.create_query(lambda ref: ref.get(a) + 1)
    c = rt.create_query(lambda ref: 10 // ref.get(a))
    d = rt.create_query(lambda ref: ref.get(a) - 1)
    inner = []

    def outer(ref):
        inner.append(rt.get_traced(b)[1]["node_traces"])
        try:
            rt.get_traced(c)
        except ZeroDivisionError:
            inner.append("failed")
        inner.append(rt.get_traced(d)[1]["nodes_recomputed"])
        return ref.get(a)

    o = rt.create_query(outer)
    value, trace = rt.get_traced(o)
    assert value == 0
    assert inner == [[{"id": b.id, "action": "recomputed_changed"}], "failed", 1]
    assert trace["node_traces"] == [
        {"id": b.id, "action": "recomputed_changed"},
        {"id": d.id, "action": "recomputed_changed"},
        {"id": o.id, "action": "recomputed_changed"},
    ]
    assert trace["nodes_recomputed"] == 3
    _, trace = rt.get_traced(a)  # tracing ended with the outer read
    assert trace["node_traces"] == []


def test_graph_snapshot_shape():
    rt = weft.Runtime()
    a = rt.create_input(1)
    q = rt.create_query(lambda ref: ref.get(a))
    never = rt.create_query(lambda ref: ref.get(a))
    rt.get(q)
    snapshot = rt.graph_snapshot()
    assert [list(entry) for entry in snapshot] == [NODE_KEYS] * 3
    assert snapshot == [
        {"id": a.id, "kind": "input", "label": None, "dependencies": [], "dependents": [q.id]},
        {"id": q.id, "kind": "compute", "label": None, "dependencies": [a.id], "dependents": []},
        {"id": never.id, "kind": "compute", "label": None, "dependencies": [], "dependents": []},
    ]


def test_snapshot_lists_repeated_and_overflowing_dependencies_in_order():
    rt = weft.Runtime()
    inputs = [rt.create_input(i) for i in range(9)]
    wide = rt.create_query(lambda ref: sum(ref.get(n) for n in inputs + inputs[:1]))
    assert rt.get(wide) == 36
    entry = rt.graph_snapshot()[wide.id]
    assert entry["dependencies"] == [n.id for n in inputs] + [inputs[0].id]
    # One dependents entry per recorded read.
    assert rt.graph_snapshot()[inputs[0].id]["dependents"] == [wide.id, wide.id]


def test_dependents_follow_a_query_whose_repeated_reads_change():
    # A read made three times is three dependents entries; when the query stops reading a
    # node, every entry of it goes, and a node read before and after keeps as many entries,
    # in place, as the query reads it now.
    rt = weft.Runtime()
    switch, a, b, c = (rt.create_input(v) for v in (True, 1, 2, 3))
    q = rt.create_query(lambda ref: [ref.get(a) + ref.get(b if ref.get(switch) else c)
                                     for _ in range(3 if ref.get(switch) else 2)])
    other = rt.create_query(lambda ref: ref.get(b))
    rt.get(other)
    assert rt.get(q) == [3, 3, 3]
    later = rt.create_query(lambda ref: ref.get(a))
    rt.get(later)

    def dependents(node):
        return rt.graph_snapshot()[node.id]["dependents"]
    assert (dependents(a), dependents(b), dependents(c)) == (
        [q.id] * 3 + [later.id], [other.id] + [q.id] * 3, [])
    rt.set(switch, False)
    assert rt.get(q) == [4, 4]
    assert (dependents(a), dependents(b), dependents(c)) == (
        [q.id] * 2 + [later.id], [other.id], [q.id] * 2)
    assert dependents(switch) == [q.id] * 3
    assert rt.graph_snapshot()[q.id]["dependencies"] == [switch.id] + [a.id, switch.id, c.id] * 2
    rt.set(switch, True)
    assert rt.get(q) == [3, 3, 3]
    assert (dependents(a), dependents(switch)) == ([q.id] * 3 + [later.id], [q.id] * 4)


def test_a_widely_read_input_keeps_its_dependents_in_order_as_readers_come_and_go():
    # 300 readers of one input, each reading it once to four times, leave and come back in
    # random order, are deleted, and change how often they read it: the input's dependents
    # list keeps one entry per read, in the order the readers (re)joined it.
    rng = random.Random(3)
    rt = weft.Runtime()
    shared = rt.create_input(1)
    reads = {}  # reader id -> [how often it reads `shared` while on, whether it is on]
    switches = {}

    def make_reader(k):
        switch, times = rt.create_input(True), rt.create_input(1 + k % 4)
        q = rt.create_query(lambda ref: sum([ref.get(shared) for _ in range(ref.get(times))])
                            if ref.get(switch) else 0)
        switches[q.id] = (q, switch, times)
        return q

    readers = [make_reader(k) for k in range(300)]
    expected = []  # reader ids in list order, once per entry
    for q in readers:
        rt.get(q)
        expected += [q.id] * (1 + readers.index(q) % 4)

    def dependents():
        return rt.graph_snapshot()[shared.id]["dependents"]
    assert dependents() == expected
    for step in range(600):
        q, switch, times = switches[rng.choice(list(switches))]
        action = rng.randrange(4)
        if action == 0:  # leaves, or comes back at the end
            on = not rt.get(switch)
            rt.set(switch, on)
            rt.get(q)
            expected = [r for r in expected if r != q.id]
            if on:
                expected += [q.id] * rt.get(times)
        elif action == 1 and q.id in expected:  # reads it another number of times, in place
            count = 1 + rng.randrange(5)
            rt.set(times, count)
            rt.get(q)
            at = expected.index(q.id)
            expected = [r for r in expected if r != q.id]
            expected[at:at] = [q.id] * count
        elif action == 2:
            rt.delete_node(q)
            del switches[q.id]
            expected = [r for r in expected if r != q.id]
        if step % 50 == 0 or action == 2:
            assert dependents() == expected, step
    assert dependents() == expected
    for q, switch, times in switches.values():  # and every reader still computes right
        assert rt.get(q) == (rt.get(times) if rt.get(switch) else 0)


def test_a_failed_compute_adds_what_it_read_to_its_dependencies():
    # A compute that raises keeps the dependencies it had and adds each node it newly read
    # once, in the order of first reads, so that a change to any of them retries it.
    rt = weft.Runtime()
    switch = rt.create_input(True)
    old = [rt.create_input(i) for i in range(3)]
    new = [rt.create_input(i) for i in range(200)]
    order = [new[(7 * k) % 200] for k in range(400)] + old  # each new node twice, then old

    def body(ref):
        if ref.get(switch):
            return sum(ref.get(n) for n in old + old[:1])
        for n in order:
            ref.get(n)
        raise ValueError("refused")
    q = rt.create_query(body)
    assert rt.get(q) == 3
    rt.set(switch, False)
    with pytest.raises(ValueError, match="refused"):
        rt.get(q)
    first_reads = [new[(7 * k) % 200].id for k in range(200)]
    assert rt.graph_snapshot()[q.id]["dependencies"] == (
        [switch.id] + [n.id for n in old + old[:1]] + first_reads)
    with pytest.raises(RuntimeError, match="read but its last compute panicked"):
        rt.get(q)
    rt.set(new[199], -1)  # read only by the failed compute: it runs again
    with pytest.raises(ValueError, match="refused"):
        rt.get(q)


def test_labels():
    rt = weft.Runtime()
    a = rt.create_input(1)
    q = rt.create_query(lambda ref: ref.get(a))
    rt.set_label(q, "total ✓")
    rt.set_label(q, "total")  # replaced
    assert rt.graph_snapshot()[q.id]["label"] == "total"
    old_slot = q.id
    rt.delete_node(q)
    assert [e["id"] for e in rt.graph_snapshot()] == [a.id]
    rt.set_label_by_id(old_slot, "for the next occupant")
    new = rt.create_input(2)
    assert new.id == old_slot
    assert rt.graph_snapshot()[1]["label"] == "for the next occupant"
    # Labels name slots: a stale handle, or one of another runtime, labels whatever node
    # holds that slot here.
    rt.set_label(q, "through the stale handle")
    assert rt.graph_snapshot()[1]["label"] == "through the stale handle"
    other = weft.Runtime()
    rt.set_label(other.create_input(0), "through a foreign handle")
    assert rt.graph_snapshot()[0]["label"] == "through a foreign handle"


def test_node_count():
    rt = weft.Runtime()
    nodes = [rt.create_input(i) for i in range(3)]
    assert rt.node_count() == 3
    rt.delete_node(nodes[1])
    assert rt.node_count() == 2
    rt.create_query(lambda ref: None)
    assert rt.node_count() == 3


def test_results_under_construction_are_never_half_made_lists():
    """Building a trace or a snapshot allocates dicts, which may run the cycle collector,
    whose finalisers can reach every list through gc.get_objects(): none of them may be a
    list with empty slots."""
    rt = weft.Runtime()
    a = rt.create_input(1)
    chain = [a]
    for _ in range(200):  # more dicts than CPython keeps for reuse, which skip the collector
        chain.append(rt.create_query(lambda ref, below=chain[-1]: ref.get(below) + 1))
    walking = []

    class Walker:
        def __init__(self):
            self.cycle = self  # only the collector frees it

        def __del__(self):
            if walking:
                for obj in gc.get_objects():
                    if type(obj) is list:
                        for _ in obj:
                            pass
                Walker()  # garbage for the next collection

    threshold = gc.get_threshold()
    rt.set(a, 2)
    gc.set_threshold(1)
    try:
        walking.append(True)
        Walker()
        assert rt.get_traced(chain[-1])[1]["nodes_recomputed"] == 200
        assert len(rt.graph_snapshot()) == 201
    finally:
        walking.clear()
        gc.set_threshold(*threshold)
        gc.collect()

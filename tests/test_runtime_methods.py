"""The Runtime methods: signatures, argument parsing and conversion, and how failures reach
Python from guarded and unguarded methods."""

import re

import pytest

import weft
from weft_testing import PanicException

METHODS = [
    ("create_input", "($self, value)", None),
    ("get", "($self, node)", None),
    ("set", "($self, node, value)", None),
    (
        "delete_node",
        "($self, node)",
        "Delete a node and recycle its slot. Every surviving handle to it\n"
        "raises on use. The node must have no dependents.",
    ),
    (
        "delete_with_dependents",
        "($self, node)",
        "Delete the node, every node that depends on it (transitively)\n"
        "and every node an operator created for them. Returns how many\n"
        "nodes were deleted; 0 if the node was already gone. A query that\n"
        "has never run is not reached, and raises as stale on first use.",
    ),
    (
        "is_alive",
        "($self, node)",
        "True while the node exists in this runtime. False after it is\n"
        "deleted, and for a node from another runtime.",
    ),
    (
        "observe",
        "($self, node, callback)",
        "Register `callback` to fire on `stabilize()` whenever the node's\n"
        "value changed since the last firing.",
    ),
    ("unobserve", "($self, id)", None),
    (
        "stabilize",
        "($self)",
        "Bring observed nodes up to date and fire callbacks for changed\nvalues.",
    ),
    ("create_query", "($self, py_func)", None),
    ("set_label", "($self, node, label)", None),
    ("set_label_by_id", "($self, id, label)", None),
    ("get_traced", "($self, node)", None),
    ("graph_snapshot", "($self)", None),
    ("node_count", "($self)", None),
]

STALE = (
    "weft-core: stale Weft<weft::PyValue> handle: the node at slot {slot} was deleted "
    "(handle generation {old}, slot generation {new})"
)


def stale_node(rt):
    node = rt.create_input("doomed")
    rt.delete_node(node)
    return node


def exact(text):
    return "^" + re.escape(text) + "$"


@pytest.mark.parametrize("name,signature,doc", METHODS, ids=[m[0] for m in METHODS])
def test_signatures_and_docstrings(name, signature, doc):
    method = getattr(weft.Runtime, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_method_table_order():
    names = [name for name in vars(weft.Runtime) if not name.startswith("__")]
    assert names[: len(METHODS)] == [m[0] for m in METHODS]


# ---- argument parsing ----


def test_positional_and_keyword_forms_are_equivalent():
    rt = weft.Runtime()
    a = rt.create_input(value=1)
    rt.set(node=a, value=2)
    rt.set(a, value=3)
    assert rt.get(node=a) == 3
    q = rt.create_query(py_func=lambda ref: ref.get(a) * 2)
    oid = rt.observe(callback=print, node=q)
    rt.unobserve(id=oid)
    rt.set_label(label="q", node=q)
    rt.set_label_by_id(label="a", id=a.id)
    value, trace = rt.get_traced(node=q)
    assert value == 6 and trace["target"] == q.id
    assert rt.is_alive(node=q)
    assert rt.delete_with_dependents(node=q) == 1
    rt.delete_node(node=a)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda rt, n: rt.get(n, n), "Runtime.get() takes 1 positional argument but 2 were given"),
        (lambda rt, n: rt.get(), "Runtime.get() missing 1 required positional argument: 'node'"),
        (
            lambda rt, n: rt.set(),
            "Runtime.set() missing 2 required positional arguments: 'node' and 'value'",
        ),
        (lambda rt, n: rt.set(n), "Runtime.set() missing 1 required positional argument: 'value'"),
        (lambda rt, n: rt.get(nod=n), "Runtime.get() got an unexpected keyword argument 'nod'"),
        (lambda rt, n: rt.get(n, node=n), "Runtime.get() got multiple values for argument 'node'"),
        (
            lambda rt, n: rt.observe(n, print, 1),
            "Runtime.observe() takes 2 positional arguments but 3 were given",
        ),
        (lambda rt, n: rt.stabilize(1), "Runtime.stabilize() takes no arguments (1 given)"),
        (lambda rt, n: rt.node_count(x=1), "Runtime.node_count() takes no keyword arguments"),
        (lambda rt, n: rt.graph_snapshot(n), "Runtime.graph_snapshot() takes no arguments (1 given)"),
    ],
)
def test_parsing_errors(call, message):
    rt = weft.Runtime()
    node = rt.create_input(1)
    with pytest.raises(TypeError, match=exact(message)):
        call(rt, node)


# ---- argument conversion ----


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda rt, n: rt.get(5), "argument 'node': 'int' object cannot be converted to 'NodeId'"),
        (lambda rt, n: rt.set(rt, 1), "argument 'node': 'Runtime' object cannot be converted to 'NodeId'"),
        (lambda rt, n: rt.observe(None, print), "argument 'node': 'NoneType' object cannot be converted to 'NodeId'"),
        (lambda rt, n: rt.unobserve(n), "argument 'id': 'NodeId' object cannot be converted to 'ObserverId'"),
        (lambda rt, n: rt.set_label(n, 5), "argument 'label': 'int' object cannot be converted to 'str'"),
        (lambda rt, n: rt.set_label_by_id(0, b"x"), "argument 'label': 'bytes' object cannot be converted to 'str'"),
        (lambda rt, n: rt.set_label_by_id("0", "x"), "argument 'id': 'str' object cannot be interpreted as an integer"),
        (lambda rt, n: rt.set_label_by_id(1.0, "x"), "argument 'id': 'float' object cannot be interpreted as an integer"),
        # Arguments convert in declaration order: `id` fails before `label` is looked at.
        (lambda rt, n: rt.set_label_by_id(None, None), "argument 'id': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_conversion_type_errors(call, message):
    rt = weft.Runtime()
    node = rt.create_input(1)
    with pytest.raises(TypeError, match=exact(message)):
        call(rt, node)


def test_u32_range():
    rt = weft.Runtime()
    with pytest.raises(OverflowError, match=exact("number too small to fit in target type")):
        rt.set_label_by_id(-1, "x")
    with pytest.raises(OverflowError, match=exact("number too large to fit in target type")):
        rt.set_label_by_id(2**32, "x")
    with pytest.raises(OverflowError) as info:
        rt.set_label_by_id(2**64, "x")
    assert not str(info.value).startswith("argument")
    rt.set_label_by_id(2**32 - 1, "top")  # accepted; no node needs to live there
    rt.set_label_by_id(True, "one")
    assert rt.graph_snapshot() == []


def test_wrong_receiver_type():
    with pytest.raises(TypeError):
        weft.Runtime.get(5, None)


# ---- guarded methods: RuntimeError with the core's text ----


def test_stale_handle_in_guarded_methods():
    rt = weft.Runtime()
    node = stale_node(rt)
    message = STALE.format(slot=0, old=0, new=1)
    for call in (rt.get, lambda n: rt.set(n, 1), rt.delete_node, rt.get_traced):
        with pytest.raises(RuntimeError, match=exact(message)):
            call(node)
    assert rt.is_alive(node) is False
    assert rt.delete_with_dependents(node) == 0


def test_foreign_handle():
    rt1, rt2 = weft.Runtime(), weft.Runtime()
    node = rt1.create_input(1)
    with pytest.raises(RuntimeError) as info:
        rt2.get(node)
    match = re.fullmatch(
        r"weft-core: Weft<weft::PyValue> handle from a foreign runtime "
        r"\(handle was minted by runtime (\d+), used on runtime (\d+)\)",
        str(info.value),
    )
    assert match and int(match[2]) == int(match[1]) + 1  # ids count up per Runtime()
    assert rt2.is_alive(node) is False
    with pytest.raises(RuntimeError, match=r"^weft-core: delete_with_dependents with a handle from a foreign runtime"):
        rt2.delete_with_dependents(node)
    # Unguarded: the same core failure is a panic.
    with pytest.raises(PanicException, match=r"^weft-core: Weft<weft::PyValue> handle from a foreign runtime"):
        rt2.observe(node, print)


def test_guarded_core_failures():
    rt = weft.Runtime()
    a = rt.create_input(1)
    q = rt.create_query(lambda ref: ref.get(a))
    with pytest.raises(RuntimeError, match=exact(
        f"Runtime::set called on a query (compute) node at slot {q.id}; only input nodes can be set"
    )):
        rt.set(q, 5)
    rt.get(q)
    with pytest.raises(RuntimeError, match=exact(
        f"weft-core: delete_node on node {a.id} which still has dependents; delete downstream nodes first"
    )):
        rt.delete_node(a)

    holder = {}
    cyclic = rt.create_query(lambda ref: ref.get(holder["self"]))
    holder["self"] = cyclic
    with pytest.raises(RuntimeError, match=exact(
        f"weft-core: dependency cycle detected: node {cyclic.id} was read while its own compute was in progress"
    )):
        rt.get(cyclic)
    # After any failure the runtime stays usable.
    rt.set(a, 2)
    assert rt.get(q) == 2


def test_a_dependency_a_query_no_longer_reads_cannot_fail_its_reads():
    # While `a` is odd, `q` reads `loop` (which reads itself) and `g` reads `odd_only`
    # (which raises on even values). Back at an even `a`, the queries read neither, though
    # refreshing what they read last fails: their reads must not fail, now or later.
    rt = weft.Runtime()
    a = rt.create_input(0)
    nodes = {}
    nodes["loop"] = rt.create_query(lambda ref: ref.get(a) + ref.get(nodes["loop"]))
    q = rt.create_query(lambda ref: ref.get(nodes["loop"]) if ref.get(a) % 2 else ref.get(a))
    odd_only = rt.create_query(lambda ref: 1 // (ref.get(a) % 2))
    g = rt.create_query(lambda ref: ref.get(odd_only) if ref.get(a) % 2 else "even")
    assert (rt.get(q), rt.get(g)) == (0, "even")
    rt.set(a, 1)
    with pytest.raises(RuntimeError, match="dependency cycle detected"):
        rt.get(q)
    assert rt.get(g) == 1
    for value in (2, 4):
        rt.set(a, value)
        assert (rt.get(q), rt.get(g)) == (value, "even")


def test_a_failing_refresh_a_query_still_needs_raises_the_callbacks_own_exception():
    # `g` reads `f` first, so the failure of f's refresh is g's, as the exception f raised.
    rt = weft.Runtime()
    a = rt.create_input(1)
    f = rt.create_query(lambda ref: 1 // ref.get(a))
    g = rt.create_query(lambda ref: ref.get(f) + 1)
    assert rt.get(g) == 2
    rt.set(a, 0)
    with pytest.raises(ZeroDivisionError):
        rt.get(g)
    with pytest.raises(RuntimeError, match=f"^weft-core: node {f.id} read but its last compute panicked"):
        rt.get(g)


def test_a_failure_met_on_two_paths_raises_the_callbacks_own_exception_each_time():
    # `h` meets f's failure through `g` first, then directly: each meeting raises the
    # exception f raised, not only the first.
    rt = weft.Runtime()
    a = rt.create_input(1)
    f = rt.create_query(lambda ref: 1 // ref.get(a))
    g = rt.create_query(lambda ref: ref.get(f) + 1)
    h = rt.create_query(lambda ref: ref.get(f) + ref.get(g))
    assert rt.get(h) == 3
    rt.set(a, 0)
    with pytest.raises(ZeroDivisionError):
        rt.get(h)
    with pytest.raises(RuntimeError, match=f"^weft-core: node {f.id} read but its last compute panicked"):
        rt.get(g)
    rt.set(a, 1)
    assert rt.get(h) == 3


def test_work_run_ahead_of_need_that_catches_its_retreat_serves_no_read():
    # Once `a` is 1 and `b` 0, refreshing q8's recorded list runs `q3`, whose read of `q6`
    # refreshes q6's, which still names `q8`: q8 runs ahead of need, reads q3, which is
    # running, and catches the retreat. That value came from abandoned work, so the read of
    # q8 must run q8 again rather than return it.
    rt = weft.Runtime()
    a, b = rt.create_input(0), rt.create_input(0)
    q = {}
    q["q2"] = rt.create_query(lambda ref: ref.get(a) % 4)
    q["q3"] = rt.create_query(
        lambda ref: (ref.get(a) + (ref.get(a) + read_or_one(ref, q["q6"]) if ref.get(a) % 2 else 0)) % 4)
    q["q6"] = rt.create_query(
        lambda ref: (ref.get(b) + (read_or_one(ref, q["q8"]) if ref.get(b) == 2 else 0)) % 4)
    q["q8"] = rt.create_query(
        lambda ref: (ref.get(a) + read_or_one(ref, q["q2"]) + read_or_one(ref, q["q3"])) % 4)
    rt.get(q["q2"])
    rt.set(b, 2)
    assert rt.get(q["q6"]) == 2
    rt.set(b, 0)
    rt.set(a, 1)
    assert rt.get(q["q8"]) == 0


def test_work_run_ahead_of_need_that_catches_its_retreat_leaves_the_read_node_clean():
    # Once `a` is 2, q3's read of `q1` refreshes q6's recorded list: `q2` runs ahead of need,
    # reads `q3`, which is running, and catches the retreat. q3 does not read q2, so it ends
    # Clean: a second traced read does no work.
    rt = weft.Runtime()
    a = rt.create_input(0)
    q = {}
    q["q2"] = rt.create_query(lambda ref: (ref.get(a) + (read_or_one(ref, q["q3"]) if ref.get(a) == 2 else 0)) % 4)
    q["q6"] = rt.create_query(lambda ref: (ref.get(a) + (read_or_one(ref, q["q2"]) if ref.get(a) == 0 else 0)) % 4)
    q["q1"] = rt.create_query(lambda ref: (ref.get(a) + read_or_one(ref, q["q6"])) % 4)
    q["q3"] = rt.create_query(lambda ref: (ref.get(a) + read_or_one(ref, q["q1"])) % 4)
    assert rt.get(q["q1"]) == 0
    rt.set(a, 2)
    assert rt.get_traced(q["q3"])[0] == 2
    value, trace = rt.get_traced(q["q3"])
    assert (value, trace["node_traces"]) == (2, [])


def test_a_query_that_read_itself_recovers():
    # The read of its own node fails as a cycle and is not kept as a dependency: the failed
    # query says so on the next read and recomputes once its input changes; one that caught
    # the failure keeps its value. Neither waits on itself (the traversal budget message).
    rt = weft.Runtime()
    a = rt.create_input(1)
    nodes = {}

    def reads_itself_while_one(ref):
        if ref.get(a) == 1:
            ref.get(nodes["uncaught"])
        return ref.get(a) * 10

    def catches_its_own_read(ref):
        try:
            ref.get(nodes["caught"])
        except PanicException:
            pass
        return ref.get(a) * 100

    nodes["uncaught"] = rt.create_query(reads_itself_while_one)
    nodes["caught"] = rt.create_query(catches_its_own_read)
    uncaught = nodes["uncaught"]
    with pytest.raises(RuntimeError, match="was read while its own compute was in progress"):
        rt.get(uncaught)
    with pytest.raises(RuntimeError, match="read but its last compute panicked"):
        rt.get(uncaught)
    assert [rt.get(nodes["caught"]) for _ in range(2)] == [100, 100]
    rt.set(a, 2)
    assert rt.get(uncaught) == 20 and rt.get(nodes["caught"]) == 200
    assert all(n["id"] not in n["dependencies"] + n["dependents"] for n in rt.graph_snapshot())


def test_a_query_that_caught_a_failure_sees_the_node_recover_to_its_old_value():
    # The query's value came from a failure it caught: once the failed node computes again,
    # even to the value it had before it failed, the query is recomputed, not kept.
    rt = weft.Runtime()
    a = rt.create_input(1)

    def fails_at_two(ref):
        if ref.get(a) == 2:
            raise ValueError("two")
        return 10

    r = rt.create_query(fails_at_two)

    def with_fallback(ref):
        try:
            return ref.get(r)
        except BaseException:
            return "fallback"

    q = rt.create_query(with_fallback)
    assert rt.get(r) == 10
    rt.set(a, 2)
    assert rt.get(q) == "fallback"
    rt.set(a, 3)
    assert rt.get(r) == 10
    assert rt.get(q) == 10


def read_or_one(ref, node):
    """What a query that catches a failed read sees: the node's value, or 1."""
    try:
        return ref.get(node)
    except PanicException:
        return 1


def test_a_query_that_caught_a_cycle_sees_the_loop_break():
    # While `turn` is 2, `top` and `side` read each other, and each counts 1 for a read
    # that fails as the cycle. Once `turn` is 0, `top` no longer reads `side` and comes back
    # to the value it had: `side` must read it, not keep what it made of the cycle.
    rt = weft.Runtime()
    base, turn = rt.create_input(2), rt.create_input(0)
    q = {}

    def top(ref):
        t = ref.get(turn)
        if t == 2:
            t += ref.get(base) + read_or_one(ref, q["side"])
        return t % 4

    q["top"] = rt.create_query(top)
    q["side"] = rt.create_query(lambda ref: (ref.get(base) + 1 + read_or_one(ref, q["top"])) % 4)
    rt.set(turn, 2)
    rt.get(q["side"])
    rt.get(q["top"])
    rt.set(turn, 0)
    assert rt.get(q["top"]) == 0
    assert rt.get(q["side"]) == 3


def test_a_query_that_caught_a_failure_sees_the_node_recover_even_if_nothing_it_reads_changed():
    # `c` reads only `b` and `p`. While `a` is 2, `p` fails as a cycle and `c` counts 1
    # for it; once `a` is 0 again, `p` comes back to the value it held before it failed, and
    # `c` must read that rather than keep what it made of the failure.
    rt = weft.Runtime()
    a, b = rt.create_input(0), rt.create_input(0)
    q = {}

    q["p"] = rt.create_query(lambda ref: (ref.get(a) + ref.get(q["r"])) % 4)
    q["r"] = rt.create_query(lambda ref: (ref.get(b) + ref.get(q["s"])) % 4)
    q["s"] = rt.create_query(lambda ref: ref.get(a) + (ref.get(q["t"]) if ref.get(a) == 2 else 0))
    q["t"] = rt.create_query(lambda ref: ref.get(q["p"]) % 4)
    q["c"] = rt.create_query(lambda ref: ref.get(b) + read_or_one(ref, q["p"]))
    assert (rt.get(q["p"]), rt.get(q["c"])) == (0, 0)
    rt.set(a, 2)
    for _ in range(2):
        with pytest.raises(RuntimeError, match="dependency cycle detected"):
            rt.get(q["p"])
    assert rt.get(q["c"]) == 1
    rt.set(a, 0)
    assert rt.get(q["p"]) == 0
    assert rt.get(q["c"]) == 0


def test_a_loop_of_queries_recovers_once_an_input_breaks_it():
    # A cell whose formula reads a second cell that reads it back fails as a cycle; fixing
    # the formula recomputes both. Two cells that read each other in turn, one at a time,
    # are never a cycle, whichever way the switch turns.
    rt = weft.Runtime()
    formula = rt.create_input("other + 1")
    cells = {}
    cells["a"] = rt.create_query(
        lambda ref: ref.get(cells["b"]) + 1 if ref.get(formula) == "other + 1" else int(ref.get(formula)))
    cells["b"] = rt.create_query(lambda ref: ref.get(cells["a"]) * 10)
    with pytest.raises(RuntimeError, match="dependency cycle detected"):
        rt.get(cells["b"])
    with pytest.raises(RuntimeError, match="read but its last compute panicked"):
        rt.get(cells["a"])
    rt.set(formula, "4")
    assert (rt.get(cells["a"]), rt.get(cells["b"])) == (4, 40)

    switch = rt.create_input(True)
    turns = {}
    turns["x"] = rt.create_query(lambda ref: ref.get(turns["y"]) if ref.get(switch) else 0)
    turns["y"] = rt.create_query(lambda ref: 5 if ref.get(switch) else ref.get(turns["x"]) - 1)
    assert rt.get(turns["x"]) == 5
    for on, expected in ((False, (-1, 0)), (True, (5, 5))):
        rt.set(switch, on)
        assert (rt.get(turns["y"]), rt.get(turns["x"])) == expected


def run_ahead_graph(rt, on_panic):
    """`d` reads `a`, whose last read of `c` is refreshed before a's recompute (which no
    longer reads it) runs once `i` is 1; c's recompute then reads `d`, still running: work
    run ahead of need. `on_panic(exc)` is what c's body does with the panic it meets: a
    value it returns is c's value in place of d's."""
    i = rt.create_input(0)
    q = {}

    def c_body(ref):
        if not ref.get(i) % 2:
            return 7
        try:
            return ref.get(q["d"])
        except BaseException as exc:
            fallback = on_panic(exc)
            if fallback is None:
                raise
            return fallback

    q["b"] = rt.create_query(lambda ref: ref.get(i) + 1)
    q["a"] = rt.create_query(lambda ref: ref.get(q["c"]) if ref.get(q["b"]) % 2 else 0)
    q["c"] = rt.create_query(c_body)
    q["d"] = rt.create_query(lambda ref: ref.get(i) + ref.get(q["a"]))
    assert rt.get(q["a"]) == 7
    rt.set(i, 1)
    return i, q


def give_up(exc):
    raise ValueError("c gives up") from exc


@pytest.mark.parametrize(
    "on_panic", [lambda exc: None, give_up, lambda exc: 1000], ids=["passes", "replaces", "swallows"]
)
def test_work_run_ahead_of_need_that_meets_the_running_query_is_no_cycle(capfd, on_panic):
    # That work is abandoned quietly, even when c's body turns the panic it meets into its
    # own error, and when it returns a value instead, that value is not kept as c's.
    rt = weft.Runtime()
    failed = rt.create_query(lambda ref: ref.get(failed))
    with pytest.raises(RuntimeError, match="dependency cycle detected"):
        rt.get(failed)
    capfd.readouterr()
    i, q = run_ahead_graph(rt, on_panic)
    assert rt.get(q["d"]) == 1
    assert rt.get(q["c"]) == 1
    assert capfd.readouterr().err == ""
    # nothing of the abandoned work is kept for a later failure to raise
    with pytest.raises(RuntimeError, match="read but its last compute panicked"):
        rt.get(failed)


def test_an_interrupt_in_work_run_ahead_of_need_reaches_the_caller():
    def interrupt(exc):
        raise KeyboardInterrupt("stop") from exc

    rt = weft.Runtime()
    i, q = run_ahead_graph(rt, interrupt)
    with pytest.raises(KeyboardInterrupt, match="stop"):
        rt.get(q["d"])
    rt.set(i, 3)  # as after any failure, a change lets the queries recover
    assert rt.get(q["d"]) == 3


def test_many_reads_of_one_query_are_no_cycle():
    # Each read is one entry of the dependency list; after the input changes, re-verifying
    # them is no reason to report a dependency cycle, however small the graph.
    rt = weft.Runtime()
    a = rt.create_input(1)
    b = rt.create_query(lambda ref: ref.get(a) + 1)
    total = rt.create_query(lambda ref: sum(ref.get(b) for _ in range(5000)))
    assert rt.get(total) == 10000
    rt.set(a, 2)
    assert rt.get(total) == 15000

    # The same when the query read many times cannot be verified on the way: its recorded
    # lists, from before the switch turned, lead back to the query whose compute is reading.
    switch, turned = rt.create_input(True), rt.create_input(False)
    q = {}
    q["x"] = rt.create_query(lambda ref: ref.get(q["top"]) if ref.get(switch) else 0)
    q["many"] = rt.create_query(lambda ref: sum(ref.get(q["x"]) for _ in range(5000)))
    q["top"] = rt.create_query(lambda ref: ref.get(q["many"]) + 1 if ref.get(turned) else 1)
    assert rt.get(q["many"]) == 5000
    rt.set(switch, False)
    rt.set(turned, True)
    assert rt.get(q["top"]) == 1


# ---- unguarded methods: PanicException ----


def test_observe_with_a_stale_handle_panics():
    rt = weft.Runtime()
    node = stale_node(rt)
    with pytest.raises(PanicException, match=exact(STALE.format(slot=0, old=0, new=1))):
        rt.observe(node, print)


@pytest.mark.parametrize(
    "make,message",
    [
        (lambda rt: rt.create_input(1), "create_input called during compute; not permitted"),
        (lambda rt: rt.create_query(print), "create_query called during compute; not permitted"),
    ],
)
def test_node_creation_inside_a_query(make, message):
    rt = weft.Runtime()
    seen = []

    def fn(ref):
        try:
            make(rt)
        except PanicException as exc:
            seen.append(str(exc))
        make(rt)  # uncaught this time

    q = rt.create_query(fn)
    with pytest.raises(RuntimeError, match=exact(message)):
        rt.get(q)
    assert seen == [message]
    assert rt.node_count() == 1


def test_delete_with_dependents_inside_a_query():
    rt = weft.Runtime()
    a = rt.create_input(1)
    q = rt.create_query(lambda ref: rt.delete_with_dependents(a))
    with pytest.raises(RuntimeError, match=exact(
        "weft-core: delete_with_dependents called during compute; not permitted"
    )):
        rt.get(q)
    assert rt.is_alive(a)


def test_is_alive():
    rt = weft.Runtime()
    a = rt.create_input(1)
    assert rt.is_alive(a) is True
    rt.delete_node(a)
    assert rt.is_alive(a) is False
    b = rt.create_input(2)  # same slot, new generation
    assert b.id == a.id
    assert rt.is_alive(b) is True and rt.is_alive(a) is False
    assert weft.Runtime().is_alive(b) is False


def test_set_label_uses_only_the_slot():
    rt = weft.Runtime()
    old = stale_node(rt)
    new = rt.create_input(1)
    rt.set_label(old, "through a stale handle")
    assert rt.graph_snapshot()[0]["label"] == "through a stale handle"
    other = weft.Runtime()
    other.create_input(0)
    other.set_label(new, "through a foreign handle")
    assert other.graph_snapshot()[0]["label"] == "through a foreign handle"


def test_runtime_reentered_from_a_query():
    rt = weft.Runtime()
    a = rt.create_input(2)
    b = rt.create_query(lambda ref: ref.get(a) + 1)
    c = rt.create_query(lambda ref: rt.get(b) * 10 + rt.node_count())
    assert rt.get(c) == 33
    snapshot = {n["id"]: n for n in rt.graph_snapshot()}
    assert snapshot[c.id]["dependencies"] == [b.id]  # nested Runtime.get records the read

"""Python values as node values, calls into Python, RuntimeRef, and how exceptions travel."""

import contextlib
import io
import math
import re
import sys
import traceback

import pytest

import weft
from weft_testing import PanicException, RaisingEq

FAILED = (
    "weft-core: node {} read but its last compute panicked; it stays Failed until a "
    "dependency changes (set an upstream input to retry)"
)
DEAD_REF = "RuntimeRef is no longer valid (used outside query callback)"
NAN = float("nan")  # one object: equal to itself inside a tuple or list


def counting_query(rt, fn):
    calls = []

    def run(ref):
        calls.append(1)
        return fn(ref)

    return rt.create_query(run), calls


# ---- values and equality ----


def test_values_are_stored_uncopied():
    rt = weft.Runtime()
    value = {"k": [1, 2]}
    a = rt.create_input(value)
    q = rt.create_query(lambda ref: ref.get(a))
    assert rt.get(a) is value
    assert rt.get(q) is value
    none = rt.create_input(None)
    assert rt.get(none) is None


def test_cutoff_keeps_the_old_object_and_dependents_clean():
    rt = weft.Runtime()
    a = rt.create_input(1)
    q = rt.create_query(lambda ref: [ref.get(a) % 2, "x"])
    r, r_calls = counting_query(rt, lambda ref: len(ref.get(q)))
    first = rt.get(q)
    assert rt.get(r) == 2
    rt.set(a, 3)  # q recomputes to an equal, new list
    value, trace = rt.get_traced(r)
    assert value == 2 and len(r_calls) == 1
    assert trace["node_traces"] == [
        {"id": q.id, "action": "recomputed_cutoff"},
        {"id": r.id, "action": "verified_clean"},
    ]
    assert rt.get(q) is first


def test_set_with_an_equal_value_keeps_the_stored_object():
    rt = weft.Runtime()
    a = rt.create_input(1)
    q, calls = counting_query(rt, lambda ref: ref.get(a))
    rt.get(q)
    rt.set(a, 1.0)
    assert type(rt.get(a)) is int
    assert rt.get(q) == 1 and len(calls) == 1


def test_nan_always_counts_as_changed():
    rt = weft.Runtime()
    nan = float("nan")
    a = rt.create_input(nan)
    q, q_calls = counting_query(rt, lambda ref: ref.get(a))
    rt.get(q)
    rt.set(a, nan)  # the very same object: still not equal to itself
    _, trace = rt.get_traced(q)
    assert trace["node_traces"] == [{"id": q.id, "action": "recomputed_changed"}]
    fired = []
    rt.observe(q, fired.append)  # q is computed: fires only on a change
    rt.stabilize()
    for _ in range(2):
        rt.set(a, nan)
        rt.stabilize()
    assert len(fired) == 2 and all(math.isnan(v) for v in fired)


@pytest.mark.parametrize(
    "old, new, equal",
    [
        (7, 7, True),
        (-5, 7, False),
        (2**62, 2**62, True),
        (2**70, 2**70, True),
        (2**70, 2**70 + 1, False),
        (2**63, -(2**63), False),
        (1, 1.0, True),
        (True, 1, True),
        (0.0, -0.0, True),
        (1.5, 2.5, False),
        (float("inf"), float("inf"), True),
        ("ab", "a" + "b", True),
        ("ab", "ac", False),
        # distinct objects of each storage width, and near misses
        ("héllo", "".join(["hé", "llo"]), True),
        ("€uro", "".join(["€", "uro"]), True),
        ("😀x", "".join(["😀", "x"]), True),
        ("€uro", "€urp", False),
        ("ab", "abc", False),
        ("é", "e", False),
        # tuples and lists: members in order, each object equal to itself
        ((1, "a", 2.0), (1, "".join("a"), 2), True),
        ([1, [2, (3,)]], [1, [2, (3,)]], True),
        ((1, 2), (1, 2, 3), False),
        ([1, 2], [1, 3], False),
        ((1, 2), [1, 2], False),
        ((NAN, 1), (NAN, 1), True),
        ((NAN, 1), (float("nan"), 1), False),
        ([RaisingEq(), 1], [RaisingEq(), 1], False),
    ],
)
def test_cutoff_follows_python_equality(old, new, equal):
    try:
        assert (old == new) is equal  # the table agrees with Python
    except Exception:  # noqa: BLE001 - an equality that raises counts as unequal
        assert not equal
    rt = weft.Runtime()
    a = rt.create_input((old, 0))
    q = rt.create_query(lambda ref: ref.get(a)[0])  # a fresh tuple each set: q recomputes
    r, r_calls = counting_query(rt, lambda ref: ref.get(q))
    rt.get(r)
    rt.set(a, (new, 1))
    rt.get(r)
    assert len(r_calls) == (1 if equal else 2)
    assert rt.get(q) is (old if equal else new)


class FalsyLie:
    def __bool__(self):
        raise KeyError("bool")


class EqReturnsRaisingBool:
    def __eq__(self, other):
        return FalsyLie()

    __hash__ = object.__hash__


@pytest.mark.parametrize("cls", [RaisingEq, EqReturnsRaisingBool])
def test_equality_errors_are_swallowed_and_mean_unequal(cls):
    rt = weft.Runtime()
    obj = cls()
    a = rt.create_input(obj)
    q, calls = counting_query(rt, lambda ref: ref.get(a))
    assert rt.get(q) is obj
    rt.set(a, obj)  # same object, but equality fails: a change
    assert rt.get(q) is obj and len(calls) == 2
    # As a query result it is never cut off either.
    b = rt.create_input(0)
    p = rt.create_query(lambda ref: (ref.get(b), obj)[1])
    r, r_calls = counting_query(rt, lambda ref: ref.get(p))
    rt.get(r)
    rt.set(b, 1)
    _, trace = rt.get_traced(r)
    assert [t["action"] for t in trace["node_traces"]] == ["recomputed_changed", "recomputed_changed"]
    assert len(r_calls) == 2


# ---- queries and RuntimeRef ----


def test_ref_get_records_dependencies():
    rt = weft.Runtime()
    a = rt.create_input(2)
    b = rt.create_input(3)
    flag = rt.create_input(True)
    q, calls = counting_query(rt, lambda ref: ref.get(a) if ref.get(flag) else ref.get(b))
    assert rt.get(q) == 2
    rt.set(b, 30)  # not read: nothing to do
    assert rt.get(q) == 2 and len(calls) == 1
    rt.set(flag, False)
    assert rt.get(q) == 30 and len(calls) == 2
    rt.set(a, 20)  # no longer read
    assert rt.get(q) == 30 and len(calls) == 2


def test_ref_get_argument_forms():
    rt = weft.Runtime()
    a = rt.create_input(5)
    seen = {}

    def fn(ref):
        seen["kw"] = ref.get(node=a)
        for bad, exc, text in [
            ((), TypeError, r"RuntimeRef\.get\(\) missing 1 required positional argument: 'node'"),
            ((a, a), TypeError, r"RuntimeRef\.get\(\) takes 1 positional argument but 2 were given"),
            ((7,), TypeError, "^argument 'node': 'int' object cannot be converted to 'NodeId'$"),
        ]:
            with pytest.raises(exc, match=text):
                ref.get(*bad)
        return type(ref)

    assert rt.get(rt.create_query(fn)) is weft.RuntimeRef
    assert seen["kw"] == 5


def test_each_call_gets_a_fresh_ref_that_dies_afterwards():
    rt = weft.Runtime()
    a = rt.create_input(1)
    refs = []

    def fn(ref):
        refs.append(ref)
        return ref.get(a)

    q = rt.create_query(fn)
    rt.get(q)
    rt.set(a, 2)
    rt.get(q)
    assert len(refs) == 2 and refs[0] is not refs[1]
    for ref in refs:
        with pytest.raises(RuntimeError, match="^" + re.escape(DEAD_REF) + "$"):
            ref.get(a)
        # The binding kept no reference of its own.
        assert sys.getrefcount(ref) == 3  # the list, `ref`, the argument


def test_refs_of_nested_and_repeated_calls_stay_apart():
    # Refs nobody kept are recycled: a nested query must never get the ref its caller is
    # still using, and a ref kept on a later call must die like any other.
    rt = weft.Runtime()
    a = rt.create_input(1)
    kept = []
    inner = rt.create_query(lambda ref: ref.get(a) * 10)

    def outer(ref):
        total = ref.get(inner) + ref.get(a)
        if ref.get(a) % 2 == 0:
            kept.append(ref)
        return total

    q = rt.create_query(outer)
    for value in range(1, 6):
        rt.set(a, value)
        assert rt.get(q) == value * 11
    assert len(kept) == 2 and kept[0] is not kept[1]
    for ref in kept:
        with pytest.raises(RuntimeError, match="^" + re.escape(DEAD_REF) + "$"):
            ref.get(a)


def test_ref_is_dead_after_the_query_raised():
    rt = weft.Runtime()
    a = rt.create_input(1)
    stored = []

    def fn(ref):
        stored.append(ref)
        raise ValueError("no")

    with pytest.raises(ValueError):
        rt.get(rt.create_query(fn))
    with pytest.raises(RuntimeError) as info:
        stored[0].get(a)
    assert str(info.value) == DEAD_REF
    # The type check of the argument comes before the liveness check.
    with pytest.raises(TypeError, match="argument 'node'"):
        stored[0].get(1)


def test_raising_query_surfaces_the_same_exception_then_failed():
    rt = weft.Runtime()
    a = rt.create_input(1)
    boom = ValueError("boom")

    def fn(ref):
        if ref.get(a) == 1:
            raise boom
        return "ok"

    q = rt.create_query(fn)
    with pytest.raises(ValueError) as info:
        rt.get(q)
    assert info.value is boom
    assert "fn" in [frame.name for frame in info.traceback]
    with pytest.raises(RuntimeError) as info:
        rt.get(q)
    assert str(info.value) == FAILED.format(q.id)
    rt.set(a, 2)
    assert rt.get(q) == "ok"


def test_query_failing_on_a_stale_dependency_retries_after_an_upstream_write():
    # `top` is built after `mid` went stale, and fails reading it (`low` refuses). Writing
    # the input again must reach `top` although the walk from the input stops at `mid`,
    # which was still stale: `top` is left to be verified, not Failed.
    rt = weft.Runtime()
    a = rt.create_input(1)

    def low_fn(ref):
        if ref.get(a) == 2:
            raise ValueError("low refuses")
        return 0

    low = rt.create_query(low_fn)
    mid = rt.create_query(lambda ref: ref.get(low))
    assert rt.get(mid) == 0
    rt.set(a, 2)
    top = rt.create_query(lambda ref: ref.get(mid) + 10)
    with pytest.raises(ValueError, match="low refuses"):
        rt.get(top)
    with pytest.raises(RuntimeError, match=f"node {low.id} read but its last compute panicked"):
        rt.get(top)
    rt.set(a, 3)
    assert rt.get(top) == 10


def test_non_callable_query_fails_on_first_read():
    rt = weft.Runtime()
    q = rt.create_query(42)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        rt.get(q)


def test_nested_guarded_get_passes_the_exception_object_through():
    rt = weft.Runtime()
    boom = KeyError("inner")
    inner = rt.create_query(lambda ref: (_ for _ in ()).throw(boom))
    outer = rt.create_query(lambda ref: rt.get(inner))
    with pytest.raises(KeyError) as info:
        rt.get(outer)
    assert info.value is boom


def test_failure_in_ref_get_reaches_the_query_as_panic(capfd):
    rt = weft.Runtime()
    gone = rt.create_input(1)
    rt.delete_node(gone)
    caught = []

    def catching(ref):
        try:
            ref.get(gone)
        except PanicException as exc:
            caught.append(str(exc))
        return "survived"

    assert rt.get(rt.create_query(catching)) == "survived"
    assert caught[0].startswith("weft-core: stale Weft<weft::PyValue> handle: the node at slot 0")

    # Uncaught, the failure continues through the query as itself: RuntimeError outside,
    # with a notice and the Python traceback on standard error.
    def uncaught(ref):
        return ref.get(gone)

    capfd.readouterr()
    with pytest.raises(RuntimeError) as info:
        rt.get(rt.create_query(uncaught))
    assert str(info.value) == caught[0]
    err = capfd.readouterr().err
    assert "PanicException passed back through Python code" in err
    assert "in uncaught" in err

    # Through a chain of queries, only the innermost passages print a notice; the next
    # failure prints its own again.
    def chain_over(node, length):
        for _ in range(length):
            node = rt.create_query(lambda ref, below=node: ref.get(below))
        return node

    def caught_over(node):
        def catching(ref):
            try:
                return ref.get(node)
            except PanicException:
                return "survived"

        return rt.create_query(catching)

    # A failure caught inside a query counts for itself only.
    for read in (lambda: rt.get(caught_over(chain_over(gone, 30))),
                 lambda: rt.get(chain_over(gone, 30)), lambda: rt.get(chain_over(gone, 30))):
        try:
            read()
        except RuntimeError:
            pass
        err = capfd.readouterr().err
        assert err.count("PanicException passed back through Python code") == 3
        assert err.count("further passages back through Python code are not shown") == 1


def test_failure_reports_are_python_output_written_as_calls_return(capfd):
    """Reports go to sys.stderr, so a program can redirect them, as the call that made them
    returns to Python code: a query's failed read is reported before the query goes on, and
    the failure of a stabilize once its callbacks have run. A stream that fails to take them
    leaves them, whole, to the process's standard error, with the method's exception intact;
    sys.stderr set to None silences them."""
    rt = weft.Runtime()
    gone = rt.create_input(1)
    rt.delete_node(gone)

    def catching(ref):
        try:
            ref.get(gone)
        except PanicException:
            sys.stderr.write("caught\n")
        return 1

    def raising(ref):
        raise ValueError("boom")

    capfd.readouterr()
    out = io.StringIO()
    with contextlib.redirect_stderr(out):
        assert rt.get(rt.create_query(catching)) == 1
        with pytest.raises(ValueError, match="boom"):
            rt.get(rt.create_query(raising))
    lines = out.getvalue().splitlines()
    assert len(lines) == 3, lines
    assert lines[0].startswith("weft: failure at core/") and "stale" in lines[0]
    assert lines[1] == "caught"
    assert lines[2].endswith(": weft: python callback raised: ValueError: boom")
    assert capfd.readouterr().err == ""

    # A stream whose write deletes an observed node runs only after stabilize's callbacks.
    n = rt.create_input(1)
    good = rt.create_query(lambda ref: ref.get(n))
    bad = rt.create_query(lambda ref: 1 // ref.get(n))
    events = []
    good_observer = rt.observe(good, lambda value: events.append(("good", value)))
    rt.observe(bad, lambda value: events.append(("bad", value)))
    rt.stabilize()

    class Deleting:
        def write(self, text):
            events.append("write")
            rt.unobserve(good_observer)
            rt.delete_node(good)

    rt.set(n, 0)
    with contextlib.redirect_stderr(Deleting()):
        with pytest.raises(ZeroDivisionError):
            rt.stabilize()
    assert events == [("good", 1), ("bad", 1), ("good", 0), "write"]

    class Broken:
        def write(self, text):
            raise OSError("closed")

    with contextlib.redirect_stderr(Broken()):
        with pytest.raises(ValueError, match="gain"):
            rt.get(rt.create_query(lambda ref: (_ for _ in ()).throw(ValueError("a\0gain"))))
    assert "weft: python callback raised: ValueError: a\0gain\n" in capfd.readouterr().err

    class CallingBack:  # its write fails inside weft: PanicException, the stream's own failure
        def write(self, text):
            rt.observe(gone, print)

    with contextlib.redirect_stderr(CallingBack()):
        with pytest.raises(ValueError, match="boom"):
            rt.get(rt.create_query(raising))
        assert "ValueError: boom" in capfd.readouterr().err
        with pytest.raises(RuntimeError, match="stale"):  # a panic's notice, the same way
            rt.get(rt.create_query(lambda ref: ref.get(gone)))
        assert "PanicException passed back" in capfd.readouterr().err

    with contextlib.redirect_stderr(None):
        with pytest.raises(ValueError):
            rt.get(rt.create_query(raising))
    assert capfd.readouterr().err == ""

    long_text = "x" * 100_000
    out = io.StringIO()
    with contextlib.redirect_stderr(out):
        with pytest.raises(ValueError):
            rt.get(rt.create_query(lambda ref: (_ for _ in ()).throw(ValueError(long_text))))
    assert out.getvalue().endswith(long_text + "\n")


def test_an_interrupt_raised_by_the_report_stream_is_not_lost():
    """A KeyboardInterrupt that arrives while a report or a notice is written (here raised
    by the stream itself) ends the call, as it would any Python code; the failure the call
    was raising is its context. Inside a query it comes out of the read whose failure was
    being reported, and passes through the query as itself."""
    rt = weft.Runtime()
    gone = rt.create_input(1)
    rt.delete_node(gone)

    class Interrupting:
        def __init__(self, marker):
            self.marker, self.seen = marker, []

        def write(self, text):
            self.seen.append(text)
            if self.marker in text:
                raise KeyboardInterrupt
            return len(text)

    with contextlib.redirect_stderr(Interrupting("stale")):
        with pytest.raises(KeyboardInterrupt) as info:
            rt.get(gone)
    assert isinstance(info.value.__context__, RuntimeError)
    assert "stale" in str(info.value.__context__)

    reads = []

    def catching(ref):
        try:
            ref.get(gone)
        except PanicException:
            return "caught"
        except BaseException as exc:
            reads.append(type(exc))
            raise

    with contextlib.redirect_stderr(Interrupting("stale")):
        with pytest.raises(KeyboardInterrupt):
            rt.get(rt.create_query(catching))
    assert reads == [KeyboardInterrupt]

    # Interrupted while the notice of a panic passing back through a query is written.
    stream = Interrupting("passed back")
    with contextlib.redirect_stderr(stream):
        with pytest.raises(KeyboardInterrupt) as info:
            rt.get(rt.create_query(lambda ref: ref.get(gone)))
    assert type(info.value.__context__).__name__ == "PanicException"
    assert any("passed back" in text for text in stream.seen)


def test_notice_of_a_passing_panic_survives_a_write_that_replaces_stderr(monkeypatch):
    """The notice's traceback is written piece by piece to sys.stderr; a write that swaps
    sys.stderr for another stream drops the last reference to the one being written to."""
    rt = weft.Runtime()
    gone = rt.create_input(1)
    rt.delete_node(gone)
    written = []

    class Swapping:
        def write(self, text):
            if any("passed back" in earlier for earlier in written) and sys.stderr is self:
                sys.stderr = sys.__stderr__
            written.append(text)
            return len(text)

        def flush(self):
            pass

    monkeypatch.setattr(sys, "stderr", Swapping())
    with pytest.raises(RuntimeError, match="stale"):
        rt.get(rt.create_query(lambda ref: ref.get(gone)))
    assert written[0].startswith("weft: failure at ") and "stale" in written[0]
    assert "PanicException passed back through Python code" in written[1]
    assert any("Traceback" in text for text in written[2:])


def test_exception_in_a_nested_ref_read_surfaces_as_itself():
    # The failure leaves each RuntimeRef.get as a PanicException that carries the callback's
    # exception as its cause; passing back through a query it parks it again, so the outer
    # guard raises that very exception, however deep the read chain.
    rt = weft.Runtime()
    boom = ValueError("inner boom")

    def inner_fn(ref):
        raise boom

    inner = rt.create_query(inner_fn)
    middle = rt.create_query(lambda ref: ref.get(inner))
    outer = rt.create_query(lambda ref: ref.get(middle))
    with pytest.raises(ValueError) as info:
        rt.get(outer)
    assert info.value is boom
    assert "inner_fn" in [frame.name for frame in info.traceback]
    # The nodes it failed hold the message.
    with pytest.raises(RuntimeError, match=f"node {outer.id} read but its last compute panicked"):
        rt.get(outer)

    # A query that catches the panic finds the exception as its cause and takes it away:
    # nothing stays parked for a later guarded failure to pick up.
    causes = []

    def catches(ref):
        try:
            return ref.get(rt_inner)
        except PanicException as panic:
            causes.append(panic.__cause__)
            return "caught"

    rt_inner = rt.create_query(inner_fn)
    assert rt.get(rt.create_query(catches)) == "caught"
    assert causes == [boom]
    victim = rt.create_input(0)
    rt.delete_node(victim)
    with pytest.raises(RuntimeError, match="stale"):
        rt.get(victim)


def test_only_the_exception_weft_attached_to_a_panic_is_raised_for_it():
    # A panic the query makes itself, or one whose cause it replaced, continues as the
    # failure it stands for: the outer read raises RuntimeError with its message.
    rt = weft.Runtime()
    failing = rt.create_query(lambda ref: {}["missing"])

    def wraps(ref):
        try:
            return ref.get(failing)
        except PanicException as panic:
            raise PanicException("wrapped") from KeyError("its own")

    with pytest.raises(RuntimeError, match="^wrapped$"):
        rt.get(rt.create_query(wraps))

    failing_too = rt.create_query(lambda ref: {}["missing"])

    def swaps(ref):
        try:
            return ref.get(failing_too)
        except PanicException as panic:
            panic.__cause__ = KeyError("swapped")
            raise

    with pytest.raises(RuntimeError, match="python callback raised: KeyError: 'missing'"):
        rt.get(rt.create_query(swaps))


def test_exception_in_a_nested_ref_read_surfaces_at_the_recursion_limit_too():
    # Reads made ever closer to the limit, until the callback cannot even be called: the
    # outer read raises the callback's exception or the RecursionError, never the message.
    depth = 0
    frame = sys._getframe()
    while frame:
        depth, frame = depth + 1, frame.f_back
    rt = weft.Runtime()

    def nest(ref, inner, k):
        return ref.get(inner) if k == 0 else nest(ref, inner, k - 1)

    outcomes = set()
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(depth + 80)
    try:
        for n in range(40, 80):
            inner = rt.create_query(lambda ref: (_ for _ in ()).throw(ValueError("inner")))
            try:
                rt.get(rt.create_query(lambda ref, n=n, inner=inner: nest(ref, inner, n)))
            except (ValueError, RecursionError) as exc:
                outcomes.add(type(exc))
    finally:
        sys.setrecursionlimit(limit)
    assert outcomes == {ValueError, RecursionError}


def test_a_panic_leaving_an_unguarded_method_carries_the_callbacks_exception():
    rt = weft.Runtime()
    c = rt.create_collection()
    c.insert(0)
    boom = ZeroDivisionError("by zero")

    def func(x):
        raise boom

    with pytest.raises(PanicException, match="weft: python callback raised: ZeroDivisionError") as info:
        c.map(func)
    assert info.value.__cause__ is boom
    assert "func" in [frame.name for frame in traceback.extract_tb(boom.__traceback__)]
    # Let pass by a query that builds the operator, the panic brings it to the outer guard.
    with pytest.raises(ZeroDivisionError) as info:
        rt.get(rt.create_query(lambda ref: c.map(func)))
    assert info.value is boom


def test_interrupts_raised_in_callbacks_continue_as_themselves():
    # KeyboardInterrupt and SystemExit are no errors to report: a nested read, an operator
    # built on existing elements and the query code between them let them through as they
    # are, where `except Exception` cannot swallow them.
    rt = weft.Runtime()

    def exits(ref):
        raise SystemExit(3)

    inner = rt.create_query(exits)
    outer = rt.create_query(lambda ref: ref.get(inner) + 1)
    with pytest.raises(SystemExit) as info:
        rt.get(outer)
    assert info.value.code == 3

    def interrupted(x):
        raise KeyboardInterrupt

    c = rt.create_collection()
    c.insert(1)
    with pytest.raises(KeyboardInterrupt):
        c.map(interrupted)

    fresh = rt.create_query(exits)

    def handles(ref):
        try:
            return ref.get(fresh)
        except SystemExit:
            return "handled"

    assert rt.get(rt.create_query(handles)) == "handled"
    a = rt.create_input(1)
    assert rt.get(rt.create_query(lambda ref: ref.get(a) * 2)) == 2


@pytest.mark.parametrize("guarded", [True, False], ids=["guarded", "unguarded"])
def test_calls_made_while_a_failure_unwinds_keep_its_exception_apart(guarded):
    # The map's compute fails on its second element; unwinding drops the first element's
    # result, whose __del__ calls into the runtime and fails there too. Each failure reaches
    # its own caller: the __del__ its own error, the outer read the callback's exception.
    rt = weft.Runtime()
    gone = rt.create_input(0)
    rt.delete_node(gone)
    boom = ValueError("boom")
    seen = []

    class Noisy:
        def __del__(self):
            try:
                rt.get(gone) if guarded else rt.observe(gone, print)
            except BaseException as exc:  # noqa: BLE001
                seen.append(type(exc))

    def func(x):
        if x == 2:
            raise boom
        return Noisy()

    c = rt.create_collection()
    total = c.map(func).count()
    rt.get(total)
    c.insert(1)
    c.insert(2)
    with pytest.raises(ValueError) as info:
        rt.get(total)
    assert info.value is boom
    assert seen == [RuntimeError if guarded else PanicException]


def test_callback_failure_messages():
    rt = weft.Runtime()

    class Local(Exception):
        pass

    class BadStr(Exception):
        def __str__(self):
            raise TypeError("no text")

    def raiser(exc):
        def fn(ref):
            raise exc

        return rt.create_query(fn)

    cases = [
        (ZeroDivisionError("division by zero"), "ZeroDivisionError: division by zero"),
        (Local("x"), "test_callback_failure_messages.<locals>.Local: x"),
        (BadStr(), "test_callback_failure_messages.<locals>.BadStr: <exception str() failed>"),
    ]
    messages = []

    def reader(ref):
        for node in nodes:
            try:
                ref.get(node)
            except PanicException as exc:
                messages.append(str(exc))

    nodes = [raiser(exc) for exc, _ in cases]
    rt.get(rt.create_query(reader))
    assert messages == ["weft: python callback raised: " + text for _, text in cases]


def test_panic_exception_carries_the_message_as_its_argument():
    rt = weft.Runtime()
    gone = rt.create_input(1)
    rt.delete_node(gone)
    with pytest.raises(PanicException) as info:
        rt.observe(gone, print)
    assert info.value.args == (str(info.value),)
    assert not isinstance(info.value, Exception)

"""The module object, the class properties shared by every class, and thread affinity."""

import gc
import importlib.util
import subprocess
import sys
import textwrap
import weakref

import pytest

import weft
from weft_testing import PanicException, Tracked, run_in_thread

CLASSES = [
    weft.Runtime,
    weft.NodeId,
    weft.ObserverId,
    weft.RuntimeRef,
    weft.Collection,
    weft.SortedCollection,
    weft.GroupedCollection,
]
NOT_CONSTRUCTIBLE = CLASSES[1:]


def run_python(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        check=True,
    )
    return result.stdout


# ---- the module ----


def test_module_namespace():
    assert weft.__doc__ == ""
    assert weft.__all__ == [
        "Runtime",
        "NodeId",
        "ObserverId",
        "RuntimeRef",
        "Collection",
        "SortedCollection",
        "GroupedCollection",
    ]
    for name in weft.__all__:
        assert getattr(weft, name).__name__ == name
    assert not hasattr(weft, "PanicException")
    public = {name for name in vars(weft) if not name.startswith("__")}
    assert public == set(weft.__all__)


def test_reimport_returns_the_cached_module():
    out = run_python(
        """
        import sys, importlib, weft
        first = weft
        del sys.modules["weft"]
        import weft
        print(weft is first, importlib.reload(weft) is first, weft.__all__ == first.__all__)
        """
    )
    assert out.split() == ["True", "True", "True"]


@pytest.mark.parametrize("main_first", [False, True])
def test_sub_interpreter_import_fails(main_first):
    if importlib.util.find_spec("_xxsubinterpreters"):  # up to 3.12
        attempt = """
            import _xxsubinterpreters as interpreters
            sub = interpreters.create()
            try:
                interpreters.run_string(sub, "import weft")
            except interpreters.RunFailedError as exc:
                print(exc)
            else:
                print("imported")
            """
    elif importlib.util.find_spec("_interpreters"):  # 3.13 on: the failure is returned
        # A legacy (not isolated) sub-interpreter runs the module's initialisation, which
        # refuses; an isolated one would refuse before calling it.
        attempt = """
            import _interpreters as interpreters
            failure = interpreters.exec(interpreters.create("legacy"), "import weft")
            print("imported" if failure is None
                  else f"<class '{failure.type.__qualname__}'>: {failure.msg}")
            """
    else:
        pytest.skip("no sub-interpreter module")
    out = run_python(f"if {main_first}:\n    import weft\n" + textwrap.dedent(attempt))
    refusals = ["<class 'ImportError'>: weft cannot be initialised in a sub-interpreter"]
    if main_first and sys.version_info[:2] == (3, 12):
        # An isolated sub-interpreter refuses a module of this kind that is already loaded
        # before calling its initialisation, in the interpreter's own words.
        refusals.append("<class 'ImportError'>: module weft does not support loading in subinterpreters")
    assert out.startswith(tuple(refusals))


# ---- class properties ----


def test_panic_exception_is_a_base_exception():
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__bases__ == (BaseException,)
    assert PanicException.__doc__


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_shape(cls):
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    # No instance dict, no weak references, no cyclic GC.
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0
    assert not cls.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC
    # Closed to changes, as built-in classes are: nothing can patch a method in.
    with pytest.raises(TypeError, match="immutable type"):
        cls.get = lambda self: None


def test_class_subclass_statement_fails():
    with pytest.raises(TypeError):

        class X(weft.Runtime):
            pass


@pytest.mark.parametrize("cls", NOT_CONSTRUCTIBLE, ids=lambda c: c.__name__)
def test_only_runtime_is_constructible(cls):
    with pytest.raises(TypeError, match=f"cannot create 'builtins.{cls.__name__}' instances"):
        cls()


def test_instances_have_no_dict_weakref_or_gc():
    rt = weft.Runtime()
    node = rt.create_input(1)
    for obj in (rt, node, rt.observe(node, print)):
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError, match="cannot create weak reference"):
            weakref.ref(obj)
        assert not gc.is_tracked(obj)


def test_class_docstrings():
    assert weft.Runtime.__doc__ == ""
    assert weft.Runtime.__text_signature__ == "()"
    assert weft.NodeId.__doc__ == "Typed node handle exposed to Python. Wraps `Weft<PyValue>`."
    assert (
        weft.ObserverId.__doc__ == "Token for an observer registration; pass to `Runtime.unobserve`."
    )
    assert weft.RuntimeRef.__doc__ == (
        "Read-only runtime handle passed to query closures. The pointer is\n"
        "nulled out after the callback returns to make stale captures fail\n"
        "loudly rather than silently corrupt memory."
    )
    for cls in (weft.Collection, weft.SortedCollection, weft.GroupedCollection):
        assert cls.__doc__ == ""
    assert weft.RuntimeRef.get.__text_signature__ == "($self, node)"
    assert weft.RuntimeRef.get.__doc__ is None
    assert weft.NodeId.id.__doc__ is None


def test_runtime_constructor_takes_no_arguments():
    with pytest.raises(TypeError, match=r"^Runtime\(\) takes 0 positional arguments but 1 was given$"):
        weft.Runtime(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        weft.Runtime(x=1)


# ---- thread affinity ----


def test_runtime_used_from_another_thread_panics():
    rt = weft.Runtime()
    node = rt.create_input(1)
    for call in (lambda: rt.get(node), rt.node_count, rt.stabilize, lambda: rt.create_input(2)):
        _, error = run_in_thread(call)
        assert type(error) is PanicException
        assert "weft::PyRuntime is unsendable, but sent to another thread" in str(error)
    assert rt.get(node) == 1 and rt.node_count() == 1


def test_a_later_thread_is_refused_even_where_the_system_reuses_the_creators_id(monkeypatch):
    # An ended thread's pthread id is handed to the next thread started; the runtime made
    # on the first must still refuse the second.
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    made, _ = run_in_thread(lambda: (lambda rt: (rt, rt.create_input(1)))(weft.Runtime()))
    rt, node = made
    for _ in range(3):
        _, error = run_in_thread(lambda: rt.get(node))
        assert type(error) is PanicException and "unsendable" in str(error)
    del rt, node, made
    gc.collect()
    assert reports and all(
        str(r.exc_value).endswith("is unsendable, but is being dropped on another thread")
        for r in reports)


def test_node_id_used_from_another_thread_panics():
    rt = weft.Runtime()
    node = rt.create_input(1)
    for call in (lambda: hash(node), lambda: node == node, lambda: repr(node), lambda: node.id):
        _, error = run_in_thread(call)
        assert type(error) is PanicException
        assert str(error) == "weft::PyNodeId is unsendable, but sent to another thread"


def test_argument_from_another_thread_panics(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    rt = weft.Runtime()
    foreign_node, _ = run_in_thread(lambda: weft.Runtime().create_input(1))
    with pytest.raises(PanicException, match="weft::PyNodeId is unsendable, but sent to another thread"):
        rt.get(foreign_node)
    with pytest.raises(PanicException, match="weft::PyNodeId is unsendable"):
        rt.create_input(1) == foreign_node
    del foreign_node
    assert [str(r.exc_value) for r in reports] == [
        "weft::PyNodeId is unsendable, but is being dropped on another thread"
    ]


def test_drop_on_another_thread_is_reported_and_leaks(monkeypatch):
    gc.collect()  # garbage of earlier tests must not report into this test's hook
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    value = Tracked()
    released = weakref.finalize(value, lambda: None)

    def make():
        rt = weft.Runtime()
        rt.create_input(value)
        return rt

    rt, _ = run_in_thread(make)
    del rt
    gc.collect()
    assert [type(r.exc_value) for r in reports] == [RuntimeError]
    assert str(reports[0].exc_value) == (
        "weft::PyRuntime is unsendable, but is being dropped on another thread"
    )
    # The runtime's contents were leaked rather than released off their thread.
    del value
    assert released.alive
    released.detach()


def _affinity_world():
    rt = weft.Runtime()
    a = rt.create_input(1)
    c = rt.create_collection()
    c.insert(1)
    s = c.sort_by_key(lambda x: x)
    g = c.group_by(lambda x: x)
    return rt, a, c, s, g, rt.observe(a, print)


# Every class's methods and attributes, called on a thread that did not create the object.
FOREIGN_THREAD_CALLS = [
    ("weft::PyRuntime", lambda rt, a, c, s, g, oid: rt.set(a, 2)),
    ("weft::PyRuntime", lambda rt, a, c, s, g, oid: rt.is_alive(a)),
    ("weft::PyRuntime", lambda rt, a, c, s, g, oid: rt.graph_snapshot()),
    ("weft::PyRuntime", lambda rt, a, c, s, g, oid: rt.create_collection()),
    ("weft::PyRuntime", lambda rt, a, c, s, g, oid: rt.delete_with_dependents(a)),
    ("weft::PyCollection", lambda rt, a, c, s, g, oid: c.insert(2)),
    ("weft::PyCollection", lambda rt, a, c, s, g, oid: c.delete(1)),
    ("weft::PyCollection", lambda rt, a, c, s, g, oid: c.snapshot_len()),
    ("weft::PyCollection", lambda rt, a, c, s, g, oid: c.map(str)),
    ("weft::PyCollection", lambda rt, a, c, s, g, oid: c.version_node),
    ("weft::PySortedCollection", lambda rt, a, c, s, g, oid: s.snapshot()),
    ("weft::PySortedCollection", lambda rt, a, c, s, g, oid: s.window(2)),
    ("weft::PySortedCollection", lambda rt, a, c, s, g, oid: s.version_node),
    ("weft::PyGroupedCollection", lambda rt, a, c, s, g, oid: g.keys()),
    ("weft::PyGroupedCollection", lambda rt, a, c, s, g, oid: g.get_group(1)),
    ("weft::PyGroupedCollection", lambda rt, a, c, s, g, oid: g.version_node),
    ("weft::PyNodeId", lambda rt, a, c, s, g, oid: weft.Runtime().get(a)),
    ("weft::PyObserverId", lambda rt, a, c, s, g, oid: weft.Runtime().unobserve(oid)),
]


@pytest.mark.parametrize("name,call", FOREIGN_THREAD_CALLS)
def test_every_class_refuses_another_thread(name, call):
    world = _affinity_world()
    rt, a, c, s, g, _ = world
    before = (rt.graph_snapshot(), c.snapshot_len(), s.snapshot(), sorted(g.keys()))
    _, error = run_in_thread(lambda: call(*world))
    assert type(error) is PanicException
    assert f"{name} is unsendable, but sent to another thread" in str(error)
    assert (rt.graph_snapshot(), c.snapshot_len(), s.snapshot(), sorted(g.keys())) == before
    c.insert(5)
    assert rt.get(c.count()) == 2


def test_another_thread_cannot_enter_a_running_compute(monkeypatch):
    # While a query runs, another thread gets the interpreter (the query waits for it) but
    # neither its RuntimeRef nor the runtime lets that thread in.
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    rt = weft.Runtime()
    a = rt.create_input(1)
    errors = []

    def body(ref):
        for use in (lambda: ref.get(a), lambda: rt.get(a), lambda: rt.set(a, 5)):
            errors.append(run_in_thread(use)[1])
        return ref.get(a) + 1

    assert rt.get(rt.create_query(body)) == 2
    assert [type(e) for e in errors] == [PanicException] * 3
    assert "weft::PyRuntimeRef is unsendable, but sent to another thread" in str(errors[0])
    assert all("weft::PyRuntime is unsendable" in str(e) for e in errors[1:])
    assert rt.get(a) == 1
    assert reports == []


def _made_on_a_thread(kind):
    def make():
        rt = weft.Runtime()
        value = Tracked(kind)
        node = rt.create_input(value)
        c = rt.create_collection()
        c.insert(value)
        captured = []
        rt.get(rt.create_query(captured.append))
        objects = {
            "weft::PyNodeId": node,
            "weft::PyObserverId": rt.observe(node, print),
            "weft::PyRuntimeRef": captured[0],
            "weft::PyCollection": c,
            "weft::PySortedCollection": c.sort_by_key(id),
            "weft::PyGroupedCollection": c.group_by(id),
        }
        return objects[kind], weakref.finalize(value, lambda: None)

    result, error = run_in_thread(make)
    assert error is None
    return result


@pytest.mark.parametrize(
    "kind",
    [
        "weft::PyNodeId",
        "weft::PyObserverId",
        "weft::PyRuntimeRef",
        "weft::PyCollection",
        "weft::PySortedCollection",
        "weft::PyGroupedCollection",
    ],
)
def test_drop_of_each_class_on_another_thread_is_reported(monkeypatch, kind):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    obj, released = _made_on_a_thread(kind)
    del obj
    gc.collect()
    assert [str(r.exc_value) for r in reports] == [
        f"{kind} is unsendable, but is being dropped on another thread"
    ]
    assert all(type(r.exc_value) is RuntimeError for r in reports)
    # A collection object holds its runtime, whose contents are then leaked; the plain
    # values (NodeId, ObserverId, RuntimeRef) own nothing and the runtime died on its thread.
    holds_runtime = "Collection" in kind
    assert released.alive == holds_runtime
    released.detach()

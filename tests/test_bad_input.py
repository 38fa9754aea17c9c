"""Bad input to every method: wrong argument counts, keywords, types and ranges, stale and
foreign handles, and values whose own protocol methods raise. Each is refused with its
error, or absorbed as the value protocol says, and leaves the runtime as it was."""

import re

import pytest

import weft
from weft_testing import Boom, PanicException, RaisingEq


class World:
    def __init__(self):
        rt = self.rt = weft.Runtime()
        self.a = rt.create_input(1)
        self.q = rt.create_query(lambda ref: ref.get(self.a) + 1)
        self.stale = rt.create_input("gone")
        rt.delete_node(self.stale)
        self.foreign = weft.Runtime().create_input(0)
        self.oid = rt.observe(self.q, lambda value: None)
        self.c = rt.create_collection()
        for x in (3, 1, 2):
            self.c.insert(x)
        self.s = self.c.sort_by_key(lambda x: x)
        self.g = self.c.group_by(lambda x: x % 2)
        self.total = self.c.reduce(sum)
        self.nodes = [self.a, self.q, self.total]
        captured = []
        rt.get(rt.create_query(captured.append))
        self.dead_ref = captured[0]
        rt.stabilize()
        self.fingerprint()  # computes what it reads, so that later prints are comparable

    def fingerprint(self):
        rt = self.rt
        return (
            rt.graph_snapshot(),
            rt.node_count(),
            [rt.get(n) for n in self.nodes],
            self.c.snapshot_len(),
            self.s.snapshot(),
            sorted(self.g.keys()),
        )


def refused(w, call, error, message=None):
    """call(w) raises `error` (with exactly `message`, when given) and changes nothing."""
    before = w.fingerprint()
    with pytest.raises(error) as info:
        call(w)
    if message is not None:
        assert str(info.value) == message
    assert w.fingerprint() == before


# (class name, receiver, method, valid arguments) for every method with a parameter list.
SIGNATURES = [
    ("Runtime", "rt", "create_input", lambda w: {"value": 5}),
    ("Runtime", "rt", "get", lambda w: {"node": w.a}),
    ("Runtime", "rt", "set", lambda w: {"node": w.a, "value": 2}),
    ("Runtime", "rt", "delete_node", lambda w: {"node": w.a}),
    ("Runtime", "rt", "delete_with_dependents", lambda w: {"node": w.a}),
    ("Runtime", "rt", "is_alive", lambda w: {"node": w.a}),
    ("Runtime", "rt", "observe", lambda w: {"node": w.a, "callback": print}),
    ("Runtime", "rt", "unobserve", lambda w: {"id": w.oid}),
    ("Runtime", "rt", "create_query", lambda w: {"py_func": len}),
    ("Runtime", "rt", "set_label", lambda w: {"node": w.a, "label": "x"}),
    ("Runtime", "rt", "set_label_by_id", lambda w: {"id": 0, "label": "x"}),
    ("Runtime", "rt", "get_traced", lambda w: {"node": w.a}),
    ("Runtime", "rt", "stabilize", lambda w: {}),
    ("Runtime", "rt", "graph_snapshot", lambda w: {}),
    ("Runtime", "rt", "node_count", lambda w: {}),
    ("Runtime", "rt", "create_collection", lambda w: {}),
    ("RuntimeRef", "dead_ref", "get", lambda w: {"node": w.a}),
    ("Collection", "c", "insert", lambda w: {"value": 1}),
    ("Collection", "c", "delete", lambda w: {"value": 1}),
    ("Collection", "c", "snapshot_len", lambda w: {}),
    ("Collection", "c", "filter", lambda w: {"predicate": bool}),
    ("Collection", "c", "map", lambda w: {"func": str}),
    ("Collection", "c", "count", lambda w: {}),
    ("Collection", "c", "reduce", lambda w: {"fold_fn": len}),
    ("Collection", "c", "aggregate", lambda w: {"identity": 0, "lift": int, "combine": max}),
    ("Collection", "c", "sort_by_key", lambda w: {"key_fn": int}),
    ("Collection", "c", "group_by", lambda w: {"key_fn": int}),
    ("Collection", "c", "join", lambda w: {"right": w.c, "left_key": int, "right_key": int}),
    ("SortedCollection", "s", "pairwise", lambda w: {}),
    ("SortedCollection", "s", "window", lambda w: {"size": 2}),
    ("SortedCollection", "s", "snapshot", lambda w: {}),
    ("SortedCollection", "s", "snapshot_len", lambda w: {}),
    ("GroupedCollection", "g", "keys", lambda w: {}),
    ("GroupedCollection", "g", "get_group", lambda w: {"key": 1}),
    ("GroupedCollection", "g", "group_count", lambda w: {}),
]


def plural(n, word):
    return f"{n} {word}" + ("" if n == 1 else "s")


def quoted(names):
    names = [f"'{n}'" for n in names]
    if len(names) <= 2:
        return " and ".join(names)
    return ", ".join(names[:-1]) + ", and " + names[-1]


def parsing_cases(cls, method, args):
    """(call on the bound method, TypeError message) for every wrong way to pass `args`."""
    fname = f"{cls}.{method}()"
    names, values = list(args), list(args.values())
    n = len(names)
    if n == 0:
        return [
            (lambda m: m(1), f"{fname} takes no arguments (1 given)"),
            (lambda m: m(bogus=1), f"{fname} takes no keyword arguments"),
        ]
    return [
        (
            lambda m: m(*values, 0),
            f"{fname} takes {plural(n, 'positional argument')} but {n + 1} were given",
        ),
        (lambda m: m(), f"{fname} missing {plural(n, 'required positional argument')}: {quoted(names)}"),
        (lambda m: m(*values, bogus=1), f"{fname} got an unexpected keyword argument 'bogus'"),
        (
            lambda m: m(*values, **{names[0]: values[0]}),
            f"{fname} got multiple values for argument '{names[0]}'",
        ),
    ]


@pytest.mark.parametrize("cls,attr,method,args", SIGNATURES, ids=[f"{s[0]}.{s[2]}" for s in SIGNATURES])
def test_argument_parsing(cls, attr, method, args):
    w = World()
    bound = getattr(getattr(w, attr), method)
    for call, message in parsing_cases(cls, method, args(w)):
        before = w.fingerprint()
        with pytest.raises(TypeError) as info:
            call(bound)
        assert str(info.value) == message
        assert w.fingerprint() == before


@pytest.mark.parametrize("cls,attr,method,args", SIGNATURES, ids=[f"{s[0]}.{s[2]}" for s in SIGNATURES])
def test_wrong_receiver(cls, attr, method, args):
    # The interpreter's own descriptor check turns the wrong receiver away.
    w = World()
    unbound = getattr(getattr(weft, cls), method)
    wrong = w.c if cls != "Collection" else w.rt
    before = w.fingerprint()
    with pytest.raises(TypeError, match=f"^descriptor '{method}' for 'builtins.{cls}' objects"):
        unbound(wrong, **args(w))
    assert w.fingerprint() == before


def conv(arg, got, want):
    return f"argument '{arg}': '{got}' object cannot be converted to '{want}'"


class UnprintableTypeError(TypeError):
    def __str__(self):
        raise Boom("str")


class UnprintableIndex:
    def __index__(self):
        raise UnprintableTypeError()


# Arguments of the wrong type, with a valid value everywhere else.
CONVERSIONS = [
    (lambda w: w.rt.get(w.c), TypeError, conv("node", "Collection", "NodeId")),
    (lambda w: w.rt.set(w.oid, 1), TypeError, conv("node", "ObserverId", "NodeId")),
    (lambda w: w.rt.delete_node(w.a.id), TypeError, conv("node", "int", "NodeId")),
    (lambda w: w.rt.delete_with_dependents(None), TypeError, conv("node", "NoneType", "NodeId")),
    (lambda w: w.rt.is_alive("a"), TypeError, conv("node", "str", "NodeId")),
    (lambda w: w.rt.observe(w.s, print), TypeError, conv("node", "SortedCollection", "NodeId")),
    (lambda w: w.rt.unobserve(w.a), TypeError, conv("id", "NodeId", "ObserverId")),
    (lambda w: w.rt.set_label(w.a, None), TypeError, conv("label", "NoneType", "str")),
    (lambda w: w.rt.set_label(w.rt, "x"), TypeError, conv("node", "Runtime", "NodeId")),
    (lambda w: w.rt.get_traced(w.g), TypeError, conv("node", "GroupedCollection", "NodeId")),
    (lambda w: w.dead_ref.get(1), TypeError, conv("node", "int", "NodeId")),
    (lambda w: w.c.join(w.s, int, int), TypeError, conv("right", "SortedCollection", "Collection")),
    (lambda w: w.c.join(w.a, int, int), TypeError, conv("right", "NodeId", "Collection")),
    (lambda w: w.s.window("2"), TypeError, "argument 'size': 'str' object cannot be interpreted as an integer"),
    (lambda w: w.s.window(2.0), TypeError, "argument 'size': 'float' object cannot be interpreted as an integer"),
    # A refusal whose text cannot be had comes through as it was raised.
    (lambda w: w.s.window(UnprintableIndex()), UnprintableTypeError, None),
    (lambda w: w.rt.set_label_by_id(2.0, "x"), TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"),
    # Out of range.
    (lambda w: w.rt.set_label_by_id(-1, "x"), OverflowError, "number too small to fit in target type"),
    (lambda w: w.rt.set_label_by_id(2**32, "x"), OverflowError, "number too large to fit in target type"),
    (lambda w: w.rt.set_label_by_id(2**64, "x"), OverflowError, "Python int too large to convert to C long"),
    (lambda w: w.s.window(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda w: w.s.window(2**64), OverflowError, "int too big to convert"),
    (lambda w: w.s.window(0), PanicException, "window size must be positive"),
    # A str that cannot be encoded as UTF-8.
    (lambda w: w.rt.set_label(w.a, "\ud800"), UnicodeEncodeError, None),
]


@pytest.mark.parametrize("call,error,message", CONVERSIONS)
def test_argument_conversion(call, error, message):
    refused(World(), call, error, message)


STALE = re.escape("weft-core: stale Weft<weft::PyValue> handle: the node at slot ")
FOREIGN = re.escape("weft-core: Weft<weft::PyValue> handle from a foreign runtime")

# Every method that hands a handle to the core, with a stale and with a foreign handle.
HANDLE_USES = [
    (lambda w, n: w.rt.get(n), RuntimeError),
    (lambda w, n: w.rt.set(n, 5), RuntimeError),
    (lambda w, n: w.rt.delete_node(n), RuntimeError),
    (lambda w, n: w.rt.get_traced(n), RuntimeError),
    (lambda w, n: w.rt.observe(n, print), PanicException),
]


@pytest.mark.parametrize("use,error", HANDLE_USES)
@pytest.mark.parametrize("which,message", [("stale", STALE), ("foreign", FOREIGN)])
def test_stale_and_foreign_handles(use, error, which, message):
    w = World()
    handle = getattr(w, which)
    before = w.fingerprint()
    with pytest.raises(error, match="^" + message):
        use(w, handle)
    assert w.fingerprint() == before
    assert not w.rt.is_alive(handle)
    # delete_with_dependents reports a node that is already gone as 0 deleted; the foreign
    # handle is rejected like any other use.
    if which == "stale":
        assert w.rt.delete_with_dependents(handle) == 0
    else:
        with pytest.raises(RuntimeError, match="^weft-core: delete_with_dependents with a handle from a foreign runtime"):
            w.rt.delete_with_dependents(handle)
    assert w.fingerprint() == before


def test_join_with_a_collection_of_another_runtime_is_refused():
    w = World()
    foreign = weft.Runtime().create_collection()
    foreign.insert(1)
    before = w.fingerprint()
    with pytest.raises(PanicException, match="^weft-core: Weft<u64> handle from a foreign runtime"):
        w.c.join(foreign, int, int)
    assert w.fingerprint() == before


def test_dead_runtime_ref_refuses_reads_and_changes_nothing():
    w = World()
    refused(
        w,
        lambda w: w.dead_ref.get(w.a),
        RuntimeError,
        "RuntimeRef is no longer valid (used outside query callback)",
    )


# ---- values whose own protocol methods raise ----


class RaisingHash:
    def __hash__(self):
        raise Boom("hash")


class RaisingBool:
    def __bool__(self):
        raise Boom("bool")


class RaisingLt:
    def __init__(self, n):
        self.n = n

    def __lt__(self, other):
        raise Boom("lt")


class RaisingStr(Exception):
    def __str__(self):
        raise Boom("str")


def hostile_set(w):
    # Equality fails, so the value counts as new each time; nothing surfaces.
    evil = RaisingEq()
    node = w.rt.create_input(evil)
    seen = []
    w.rt.observe(node, seen.append)
    w.rt.set(node, evil)
    w.rt.stabilize()
    w.rt.set(node, evil)
    w.rt.stabilize()
    assert seen == [evil, evil]


def hostile_elements(w):
    c = w.rt.create_collection()
    hashless = RaisingHash()
    c.insert(hashless)
    evil = RaisingEq()
    c.insert(evil)
    # An element whose __eq__ raises is unequal to everything: only the very object is
    # found again (by identity, as Python's containers find it).
    assert c.delete(RaisingEq()) is False
    assert c.delete(RaisingHash()) is False
    assert c.snapshot_len() == 2
    assert c.delete(evil) is True
    assert c.delete(hashless) is True  # hashes as 0, found by identity-based equality
    assert c.snapshot_len() == 0


def hostile_keys(w):
    c = w.rt.create_collection()
    for x in range(6):
        c.insert(x)
    s = c.sort_by_key(RaisingLt)
    g = c.group_by(lambda x: [x % 2])  # unhashable keys hash as 0 and group by equality
    f = c.filter(lambda x: RaisingBool())
    j = c.join(c, lambda x: RaisingHash(), lambda x: RaisingHash())
    agg = c.aggregate(RaisingEq(), lambda x: RaisingEq(), lambda x, y: RaisingEq())
    c.insert(6)
    c.delete(0)
    w.rt.get(s.version_node)
    w.rt.get(g.version_node)
    # No consistent order: which entry a delete finds is unspecified, but nothing is lost.
    assert set(s.snapshot()) >= {1, 2, 3, 4, 5, 6}
    assert sorted(map(tuple, g.keys())) == [(0,), (1,)]
    assert w.rt.get(f.reduce(len)) == 0
    assert w.rt.get(j.reduce(len)) == 0  # keys unequal to each other: no pairs
    assert isinstance(w.rt.get(agg), RaisingEq)


def hostile_results(w):
    q = w.rt.create_query(lambda ref: (ref.get(w.a), RaisingEq())[1])
    first = w.rt.get(q)
    w.rt.set(w.a, 10)
    assert w.rt.get(q) is not first  # not equal to the old value: changed


def hostile_exception_text(w):
    def raiser(x):
        raise RaisingStr()

    with pytest.raises(PanicException, match=r"RaisingStr: <exception str\(\) failed>$"):
        w.c.map(raiser)


@pytest.mark.parametrize(
    "case", [hostile_set, hostile_elements, hostile_keys, hostile_results, hostile_exception_text]
)
def test_raising_protocol_methods_are_absorbed(case):
    w = World()
    case(w)
    # No Python error was left behind by the discarded ones: every later call is clean.
    w.rt.set(w.a, 7)
    assert w.rt.get(w.q) == 8
    w.c.insert(4)
    assert w.rt.get(w.total) == 10
    assert w.rt.node_count() == len(w.rt.graph_snapshot())

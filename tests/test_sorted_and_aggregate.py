"""sort_by_key, window, pairwise and aggregate."""

import gc
import weakref
import pathlib
import random
from collections import Counter
from fractions import Fraction

import pytest

import weft


def panic_message(fn):
    try:
        fn()
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        assert type(exc).__name__ == "PanicException", repr(exc)
        return str(exc)
    raise AssertionError("no PanicException raised")


def bag(rt, coll):
    return Counter(tuple(x) if isinstance(x, list) else x for x in rt.get(coll.reduce(list)))


# ---- sort_by_key ----


def test_sort_orders_and_equal_keys_keep_arrival_order():
    rt = weft.Runtime()
    c = rt.create_collection()
    for x in (3, 1, 2):
        c.insert(x)
    s = c.sort_by_key(lambda x: x)
    assert s.snapshot() == [1, 2, 3]
    assert s.snapshot_len() == 3
    c2 = rt.create_collection()
    s2 = c2.sort_by_key(lambda p: p[0])
    for p in [(1, "a"), (0, "z"), (1, "b"), (1, "c")]:
        c2.insert(p)
    rt.get(s2.version_node)
    assert s2.snapshot() == [(0, "z"), (1, "a"), (1, "b"), (1, "c")]


def test_large_sorted_collections_order_every_kind_of_number_as_python_does():
    # Ints within and beyond 64 bits, floats (signed zeros, infinities) and ints beside
    # equal floats, in thousands of entries, inserted and deleted in random order: the
    # collection stays as Python's stable sort orders the live elements.
    rng = random.Random(3)
    numbers = [rng.randint(-50, 50) for _ in range(40)] + [2**63, -2**63, 2**63 - 1, 2**64 + 1]
    numbers += [0.5, -0.0, 0.0, 1.0, 3.0, float("inf"), float("-inf"), 2.0**63, 1e300]
    rt = weft.Runtime()
    c = rt.create_collection()
    s = c.sort_by_key(lambda p: p[0])
    live = []
    for serial in range(6000):
        if live and rng.random() < 0.3:
            c.delete(live.pop(rng.randrange(len(live))))
        else:
            element = (rng.choice(numbers), serial)
            c.insert(element)
            live.append(element)
        if serial % 500 == 0:
            rt.get(s.version_node)
    rt.get(s.version_node)
    expected = sorted(sorted(live, key=lambda p: p[1]), key=lambda p: p[0])
    assert [repr(p) for p in s.snapshot()] == [repr(p) for p in expected]


def test_sorted_delete_removes_matching_entry_only():
    rt = weft.Runtime()
    c = rt.create_collection()
    s = c.sort_by_key(lambda p: p[0])
    for p in [(1, "a"), (1, "b"), (1, "c"), (2, "d")]:
        c.insert(p)
    rt.get(s.version_node)
    c.delete((1, "b"))
    rt.get(s.version_node)
    assert s.snapshot() == [(1, "a"), (1, "c"), (2, "d")]


def test_deletes_among_many_equal_keys_take_the_first_equal_value_of_that_key():
    # Few keys, many copies of values equal across types (1, 1.0, Fraction(1)): a delete
    # removes the earliest entry that equals it among those with its key.
    rng = random.Random(3)
    pool = [1, 1.0, Fraction(1), 2, 2.0, 3, Fraction(3), 4.0]
    rt = weft.Runtime()
    c = rt.create_collection()
    s = c.sort_by_key(lambda x: int(x) % 2)
    model = []  # in key order, equal keys by arrival
    for step in range(3000):
        x = rng.choice(pool)
        key = int(x) % 2
        if step < 500 or rng.random() < 0.5:
            c.insert(x)
            model.insert(sum(1 for y in model if int(y) % 2 <= key), x)
        elif c.delete(x):
            del model[next(i for i, y in enumerate(model) if int(y) % 2 == key and y == x)]
        if step % 250 == 0:
            rt.get(s.version_node)
            assert list(map(repr, s.snapshot())) == list(map(repr, model))


class CountedKey:
    """A sort key whose comparisons are counted (Python's own `<` and `==`)."""

    comparisons = 0

    def __init__(self, t):
        self.t = t

    def __lt__(self, other):
        CountedKey.comparisons += 1
        return self.t < other.t

    def __eq__(self, other):
        CountedKey.comparisons += 1
        return self.t == other.t

    def __hash__(self):
        return hash(self.t)


class Record:
    """Equal by its id alone, sorted by its time: many equal records, each with its own key."""

    def __init__(self, ident, t):
        self.ident, self.t = ident, t

    def __eq__(self, other):
        return isinstance(other, Record) and other.ident == self.ident

    def __hash__(self):
        return hash(self.ident)


def test_deletes_among_many_equal_values_with_their_own_keys_compare_logarithmically():
    rt = weft.Runtime()
    c = rt.create_collection()
    s = c.sort_by_key(lambda r: CountedKey(r.t))
    n = 4000
    for t in range(n):
        c.insert(Record(t % 2, t))
    rt.get(s.version_node)
    for t in (n - 1, n // 2, 1):  # the latest, a middle and an early copy of its id
        CountedKey.comparisons = 0
        assert c.delete(Record(t % 2, t))
        rt.get(s.version_node)
        assert CountedKey.comparisons < 100, (t, CountedKey.comparisons)
        assert t not in [r.t for r in s.snapshot()]
    assert [r.t for r in s.snapshot()] == [t for t in range(n) if t not in (1, n // 2, n - 1)]


def test_deleting_an_element_whose_key_does_not_order_compares_few_keys():
    # Bisection cannot find an entry whose key holds a NaN (tuples compare the very same NaN
    # equal, by identity); the scan that finds it instead compares only the entries with its
    # hash, not every entry before it.
    rt = weft.Runtime()
    c = rt.create_collection()
    s = c.sort_by_key(lambda e: CountedKey((e[0], e[1])))
    elements = [(i % 100, float("nan") if i % 50 == 0 else float(i), i) for i in range(4000)]
    for e in elements:
        c.insert(e)
    rt.get(s.version_node)
    for e in [e for e in elements if e[1] != e[1]][-5:]:
        CountedKey.comparisons = 0
        assert c.delete(e)
        rt.get(s.version_node)
        assert CountedKey.comparisons < 200, CountedKey.comparisons
    assert s.snapshot_len() == 3995


NAN = float("nan")


@pytest.mark.parametrize("pool", [[None, 1, 2, 3, "x", 0.5], [NAN, 1.0, 0.0, 2.0]])
def test_deleting_elements_whose_keys_do_not_order_removes_them_everywhere(pool):
    # Keys that cannot be compared (None beside ints) or compare false both ways (NaN) give
    # no consistent order, yet a deleted element must leave the sorted collection, its
    # windows and its pairs.
    rng = random.Random(7)
    for _ in range(20):
        rt = weft.Runtime()
        c = rt.create_collection()
        s = c.sort_by_key(lambda x: x)
        windows, pairs = s.window(2).count(), s.pairwise().count()
        left = [rng.choice(pool) for _ in range(6)]
        for x in left:
            c.insert(x)
        rng.shuffle(left)
        while left:
            assert c.delete(left.pop())
            assert rt.get(windows) == rt.get(pairs) == max(0, len(left) - 1)
            assert Counter(map(repr, s.snapshot())) == Counter(map(repr, left))


def test_sorted_snapshot_is_as_last_maintained():
    rt = weft.Runtime()
    c = rt.create_collection()
    s = c.sort_by_key(lambda x: -x)
    c.insert(1)
    c.insert(2)
    assert s.snapshot() == []
    rt.get(s.version_node)
    assert s.snapshot() == [2, 1]


def test_sort_key_raise():
    rt = weft.Runtime()
    c = rt.create_collection()
    c.insert(0)
    assert panic_message(lambda: c.sort_by_key(lambda x: 1 / x)).startswith(
        "weft: python callback raised: ZeroDivisionError"
    )
    c2 = rt.create_collection()
    bad = {"on": True}

    def key(x):
        if bad["on"] and x == 5:
            raise ArithmeticError("k")
        return x

    s = c2.sort_by_key(key)
    c2.insert(3)
    c2.insert(5)
    with pytest.raises(ArithmeticError):
        rt.get(s.version_node)
    assert s.snapshot() == []
    bad["on"] = False
    c2.insert(4)
    rt.get(s.version_node)
    assert s.snapshot() == [3, 4, 5]


def test_thousands_of_front_and_scattered_edits_keep_order_windows_and_pairs():
    # Enough elements to grow and shrink the ordered structures over several levels.
    rt = weft.Runtime()
    c = rt.create_collection()
    s = c.sort_by_key(lambda x: x)
    win, pairs = s.window(3), s.pairwise()
    win_fold, pair_fold = win.reduce(list), pairs.reduce(list)
    model = []

    def check():
        rt.get(s.version_node)  # a snapshot shows the state as of the last computation
        assert s.snapshot() == model
        assert Counter(tuple(w) for w in rt.get(win_fold)) == Counter(
            tuple(model[i:i + 3]) for i in range(len(model) - 2))
        assert Counter(rt.get(pair_fold)) == Counter(zip(model, model[1:]))

    for x in range(3000, 0, -1):  # every insert lands at the front
        c.insert(x)
        if x % 500 == 0:
            rt.get(win.version_node)
            rt.get(pairs.version_node)
    model = list(range(1, 3001))
    check()
    for x in list(range(1, 1200)) + list(range(2999, 1500, -3)):  # drain the front, thin the rest
        assert c.delete(x)
        model.remove(x)
    check()
    for x in range(1, 4000, 7):  # refill everywhere, duplicates included
        c.insert(x)
        model.append(x)
    model.sort()
    check()
    for x in list(model):
        c.delete(x)
    model = []
    check()


# ---- window ----


def test_window_two_with_insert_in_the_middle():
    rt = weft.Runtime()
    c = rt.create_collection()
    for x in (1, 2, 3):
        c.insert(x)
    s = c.sort_by_key(lambda x: x)
    w = s.window(2)
    assert bag(rt, w) == Counter([(1, 2), (2, 3)])
    c.insert(2.5)
    assert bag(rt, w) == Counter([(1, 2), (2, 2.5), (2.5, 3)])
    c.delete(1)
    assert bag(rt, w) == Counter([(2, 2.5), (2.5, 3)])


def test_window_three_needs_three_elements():
    rt = weft.Runtime()
    c = rt.create_collection()
    c.insert(10)
    c.insert(20)
    w = c.sort_by_key(lambda x: x).window(3)
    r = w.reduce(list)
    assert rt.get(r) == []
    c.insert(15)
    assert rt.get(r) == [[10, 15, 20]]
    c.delete(15)
    assert rt.get(r) == []


def test_window_size_errors():
    rt = weft.Runtime()
    s = rt.create_collection().sort_by_key(lambda x: x)
    assert panic_message(lambda: s.window(0)) == "window size must be positive"
    with pytest.raises(OverflowError):
        s.window(-1)
    with pytest.raises(TypeError, match="^argument 'size': "):
        s.window("2")


def test_window_sizes_beyond_any_length_stay_empty_through_edits():
    # Sizes near and above 2**63 once overflowed the window arithmetic on an insert at the end.
    rt = weft.Runtime()
    c = rt.create_collection()
    s = c.sort_by_key(lambda x: x)
    sizes = [2**62, 2**63, 2**63 + 1, 2**63 + 2, 2**63 + 3, 2**64 - 2, 2**64 - 1]
    windows = [s.window(size) for size in sizes]
    for x in range(5):
        c.insert(x)
        assert [rt.get(w.version_node) for w in windows] == [0] * len(sizes)
    c.delete(4)
    c.delete(0)
    assert [rt.get(w.version_node) for w in windows] == [0] * len(sizes)
    assert [w.snapshot_len() for w in windows] == [0] * len(sizes)


def test_window_results_are_derived():
    rt = weft.Runtime()
    w = rt.create_collection().sort_by_key(lambda x: x).window(1)
    with pytest.raises(RuntimeError, match="^weft-core: insert/delete on a derived collection"):
        w.insert([1])


def test_pairs_of_plain_values_stay_out_of_the_cycle_collector_and_windows_do_not():
    class Box:
        def __init__(self, n):
            self.n = n

    rt = weft.Runtime()
    plain, boxed = rt.create_collection(), rt.create_collection()
    for n in range(4):
        plain.insert(n)
        boxed.insert(Box(n))

    def made(coll, key):
        s = coll.sort_by_key(key)
        return rt.get(s.window(2).reduce(list)), rt.get(s.pairwise().reduce(list))

    windows, pairs = made(plain, lambda x: x)
    assert len(pairs) == 3 and not any(gc.is_tracked(p) for p in pairs)
    # Holding objects the collector follows, pairs stay tracked, so cycles through them
    # can still be collected.
    assert all(gc.is_tracked(p) for p in made(boxed, lambda b: b.n)[1])
    # So do pairs of dicts the collector does not track yet: it tracks a dict once it holds
    # such an object, and a cycle back through the pair is collected too.
    dicts = rt.create_collection()
    for n in range(2):
        dicts.insert({"n": n})
    (pair,) = made(dicts, lambda d: d["n"])[1]
    assert not gc.is_tracked(pair[0]) and gc.is_tracked(pair)
    in_dict = weakref.ref(box := Box(0))
    pair[0].update(box=box, pair=pair)
    del box, pair, dicts
    # A window is a list its reader may change: a cycle made through it is collected once
    # the runtime that holds it is gone.
    assert all(gc.is_tracked(w) for w in windows)
    survivor = weakref.ref(box := Box(0))
    box.back = windows[0]
    windows[0].append(box)
    del box, windows, pairs, rt, plain, boxed
    gc.collect()
    assert survivor() is None and in_dict() is None


def tracked_lists():
    return sum(1 for o in gc.get_objects() if type(o) is list)


@pytest.mark.parametrize("reader", [None, "count", "map"])
def test_windows_only_the_collection_holds_stay_out_of_the_cycle_collector(reader):
    rt = weft.Runtime()
    c = rt.create_collection()
    for i in range(5000):
        c.insert(i)
    before = tracked_lists()
    windows = c.sort_by_key(lambda x: x).window(3)
    n = {None: lambda: windows.version_node, "count": windows.count,
         "map": lambda: windows.map(len).count()}[reader]()
    assert reader == "map" or tracked_lists() - before < 100  # a count takes no windows
    for i in range(5000, 6100):
        c.insert(i)
        rt.get(n)
    # The collector walks none of the windows that only the collection holds: with no
    # reader of them (a count reads none), every window; with a map, which hands the new
    # ones to its callable, those there when it was built (once a change after the next
    # compaction has found them held by the collection alone).
    assert tracked_lists() - before < (1200 if reader == "map" else 100)
    # Deletes still find the windows kept out of it.
    for i in range(0, 6100, 3):
        c.delete(i)
    kept = [i for i in range(6100) if i % 3]
    assert sorted(rt.get(windows.reduce(list))) == [kept[i:i + 3] for i in range(len(kept) - 2)]
    assert reader is None or rt.get(n) == len(kept) - 2


def test_windows_handed_out_are_their_readers_own_and_let_go_with_them():
    rt = weft.Runtime()
    c = rt.create_collection()
    for i in range(2000):
        c.insert(i)
    windows = c.sort_by_key(lambda x: x).window(3)
    rt.get(windows.version_node)
    before = tracked_lists()
    folds = [windows.reduce(list) for _ in range(2)]
    first, second = (rt.get(f) for f in folds)
    # Each reader gets lists of its own, which the collector walks.
    assert all(gc.is_tracked(w) for w in first) and tracked_lists() - before >= 1998
    assert min(first) == min(second) and min(first) is not min(second)
    # A reader that changes the lists it got changes nothing in the collection.
    for w in first:
        w.append(-1)
    for i in range(0, 2000, 2):
        c.delete(i)
    odd = list(range(1, 2000, 2))
    assert sorted(rt.get(folds[1])) == [odd[i:i + 3] for i in range(len(odd) - 2)]
    assert windows.snapshot_len() == len(odd) - 2
    for f in folds:
        rt.delete_node(f)
    del first, second
    for i in range(2000, 3100):
        c.insert(i)
        rt.get(windows.version_node)
    assert tracked_lists() - before < 100


# ---- pairwise ----


def test_pairwise_insert_and_delete_in_the_middle():
    rt = weft.Runtime()
    c = rt.create_collection()
    c.insert(1)
    c.insert(3)
    p = c.sort_by_key(lambda x: x).pairwise()
    r = p.reduce(list)
    assert rt.get(r) == [(1, 3)]
    c.insert(2)
    assert Counter(rt.get(r)) == Counter([(1, 2), (2, 3)])
    c.delete(2)
    assert rt.get(r) == [(1, 3)]


def test_pairwise_single_element_and_deleting_the_first():
    rt = weft.Runtime()
    c = rt.create_collection()
    c.insert(5)
    p = c.sort_by_key(lambda x: x).pairwise()
    r = p.reduce(list)
    assert rt.get(r) == []
    c.insert(6)
    c.insert(7)
    assert Counter(rt.get(r)) == Counter([(5, 6), (6, 7)])
    c.delete(5)
    assert rt.get(r) == [(6, 7)]
    c.delete(7)
    assert rt.get(r) == []


# ---- aggregate ----


def counting(fn):
    calls = []

    def wrapper(*args):
        calls.append(args)
        return fn(*args)

    return wrapper, calls


def test_aggregate_empty_and_single_element():
    rt = weft.Runtime()
    c = rt.create_collection()
    combine, calls = counting(lambda a, b: a + b)
    agg = c.aggregate(0, lambda x: x * 10, combine)
    assert rt.get(agg) == 0
    c.insert(4)
    assert rt.get(agg) == 40
    assert calls == []


def test_aggregate_sum_with_leaf_reuse():
    rt = weft.Runtime()
    c = rt.create_collection()
    for x in (1, 2, 3):
        c.insert(x)
    agg = c.aggregate(0, lambda x: x, lambda a, b: a + b)
    assert rt.get(agg) == 6
    c.delete(2)
    assert rt.get(agg) == 4
    c.insert(5)
    assert rt.get(agg) == 9


def test_aggregate_leaf_order_is_visible_to_non_commutative_combine():
    rt = weft.Runtime()
    c = rt.create_collection()
    agg = c.aggregate("", str, lambda a, b: a + b)
    for x in "abc":
        c.insert(x)
    assert rt.get(agg) == "abc"
    c.delete("b")
    assert rt.get(agg) == "ac"
    c.insert("d")  # reuses the freed leaf
    assert rt.get(agg) == "adc"


def test_aggregate_duplicate_delete_frees_last_assigned_leaf():
    rt = weft.Runtime()
    c = rt.create_collection()
    agg = c.aggregate("", str, lambda a, b: a + b)
    for x in "xyx":
        c.insert(x)
    assert rt.get(agg) == "xyx"
    c.delete("x")
    assert rt.get(agg) == "xy"
    c.insert("z")
    assert rt.get(agg) == "xyz"


def test_aggregate_growth_recombines_internal_nodes():
    rt = weft.Runtime()
    c = rt.create_collection()
    combine, calls = counting(lambda a, b: a + b)
    agg = c.aggregate(0, lambda x: x, combine)
    c.insert(1)
    assert rt.get(agg) == 1 and len(calls) == 0
    c.insert(2)
    assert rt.get(agg) == 3 and len(calls) == 2  # grow to 2 (1) + path (1)
    del calls[:]
    c.insert(3)
    assert rt.get(agg) == 6 and len(calls) == 5  # grow to 4 (3) + path (2)
    del calls[:]
    c.insert(4)
    assert rt.get(agg) == 10 and len(calls) == 2
    del calls[:]
    c.delete(4)
    assert rt.get(agg) == 6 and len(calls) == 2


def test_aggregate_lift_not_called_on_delete():
    rt = weft.Runtime()
    c = rt.create_collection()
    lift, calls = counting(lambda x: x)
    agg = c.aggregate(0, lift, lambda a, b: a + b)
    c.insert(1)
    c.insert(2)
    assert rt.get(agg) == 3
    n = len(calls)
    c.delete(1)
    assert rt.get(agg) == 2
    assert len(calls) == n


def test_aggregate_rebuilds_after_combine_raises():
    rt = weft.Runtime()
    c = rt.create_collection()
    bad = {"on": False}

    def combine(a, b):
        if bad["on"]:
            raise RuntimeError("combine failed")
        return a + b

    agg = c.aggregate(0, lambda x: x, combine)
    for x in (1, 2, 3):
        c.insert(x)
    assert rt.get(agg) == 6
    bad["on"] = True
    c.insert(10)
    c.delete(1)
    with pytest.raises(RuntimeError, match="combine failed"):
        rt.get(agg)
    bad["on"] = False
    c.insert(100)
    assert rt.get(agg) == 2 + 3 + 10 + 100


def test_aggregate_constructor_raise_and_docstring():
    rt = weft.Runtime()
    c = rt.create_collection()
    c.insert(0)
    assert panic_message(lambda: c.aggregate(0, lambda x: 1 / x, lambda a, b: a + b)).startswith(
        "weft: python callback raised: ZeroDivisionError"
    )
    method = type(c).aggregate
    assert method.__text_signature__ == "($self, identity, lift, combine)"
    assert method.__doc__.startswith(
        "Incrementally maintained monoid fold: `lift` maps an element into\n"
        "the aggregate domain, `combine` merges two aggregates, `identity`\n"
        "is the unit. O(log n) per change;"
    )
    # The documentation the docstring points to has that section, and it states the contract.
    guide = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"
    assert "(docs/guide.md)" in method.__doc__ and '"aggregate" in the weft guide' in method.__doc__
    section = guide.read_text().split("\n### aggregate\n", 1)[1].split("\n#", 1)[0]
    assert "associative" in section and "unit" in section


def test_aggregate_cutoff_stops_unchanged_root():
    rt = weft.Runtime()
    c = rt.create_collection()
    agg = c.aggregate(0, lambda x: 0, lambda a, b: a + b)
    runs = []
    q = rt.create_query(lambda ref: runs.append(1) or ref.get(agg))
    c.insert(1)
    assert rt.get(q) == 0
    c.insert(2)
    assert rt.get(q) == 0
    assert len(runs) == 1

"""Release of user values, callables and observers, and flat memory over repeated rounds."""

import gc
import os
import weakref

import weft
from weft_testing import PanicException


class Payload:
    def __init__(self, n):
        self.n = n


class Boom(Exception):
    pass


def _round(freed):
    rt = weft.Runtime()
    vals = [Payload(i) for i in range(5)]
    for v in vals:
        weakref.finalize(v, freed.append, 1)
    inputs = [rt.create_input(v) for v in vals]

    def total(ref):
        return sum(ref.get(i).n for i in inputs)

    def bad(ref):
        ref.get(inputs[0])
        raise Boom()

    weakref.finalize(total, freed.append, 1)
    q = rt.create_query(total)
    b = rt.create_query(bad)
    seen = []
    obs = seen.append
    rt.observe(q, obs)
    rt.get(q)
    try:
        rt.get(b)
    except (Boom, PanicException):
        pass
    rt.set(inputs[1], Payload(99))
    rt.stabilize()
    rt.delete_with_dependents(inputs[0])

    c = rt.create_collection()
    items = [Payload(i) for i in range(20)]
    for it in items:
        weakref.finalize(it, freed.append, 1)
        c.insert(it)
    m = c.map(lambda p: p.n * 2)
    f = c.filter(lambda p: p.n % 2 == 0)
    rt.get(m.reduce(list))
    rt.get(f.count())
    c.delete(items[0])
    rt.get(m.reduce(list))
    del rt, vals, inputs, total, bad, q, b, obs, c, items, m, f, seen
    gc.collect()
    return 5 + 1 + 20


def test_every_user_object_is_released():
    freed = []
    expected = _round(freed)
    gc.collect()
    assert len(freed) == expected


def _rss_pages():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1])


def test_memory_stays_flat_over_rounds():
    for _ in range(5):
        _round([])
    base = _rss_pages()
    for _ in range(25):
        _round([])
    gc.collect()
    grown_kib = (_rss_pages() - base) * os.sysconf("SC_PAGE_SIZE") // 1024
    assert grown_kib < 16 * 1024, grown_kib

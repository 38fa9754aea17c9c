"""Seeded random insert/delete sequences checked against from-scratch results."""

import random
from collections import Counter

import pytest

import weft


def sorted_key(x):
    return x // 2


def map_fn(x):
    return x % 5


def pred(x):
    return x % 3 != 0


def group_key(x):
    return x % 3


def join_key(x):
    return x % 4


class SortedModel:
    """Entries in key order, equal keys in arrival order."""

    def __init__(self, key):
        self.key = key
        self.items = []

    def insert(self, x):
        k = self.key(x)
        i = 0
        while i < len(self.items) and self.key(self.items[i]) <= k:
            i += 1
        self.items.insert(i, x)

    def delete(self, x):
        k = self.key(x)
        for i, y in enumerate(self.items):
            if self.key(y) == k and y == x:
                del self.items[i]
                return


def windows(seq, size):
    return Counter(tuple(seq[i:i + size]) for i in range(len(seq) - size + 1))


def as_bag(values):
    return Counter(tuple(v) if isinstance(v, list) else v for v in values)


class Pipeline:
    """Every operator on one collection, plus fold nodes made up front to read them."""

    def __init__(self, rt, c, d):
        self.rt, self.c = rt, c
        self.m = c.map(map_fn)
        self.f = c.filter(pred)
        self.n = c.count()
        self.red = c.reduce(lambda xs: sorted(xs))
        self.agg = c.aggregate(0, lambda x: x * x + 1, lambda a, b: a + b)
        self.s = c.sort_by_key(sorted_key)
        self.w2 = self.s.window(2)
        self.w3 = self.s.window(3)
        self.pw = self.s.pairwise()
        self.g = c.group_by(group_key)
        self.j = c.join(d, join_key, join_key)
        self.folds = {
            name: getattr(self, name).reduce(list)
            for name in ("m", "f", "w2", "w3", "pw", "j")
        }
        self.group_folds = {}

    def check(self, src, other, group_keys, model=None):
        rt = self.rt
        for name in ("m", "f", "w2", "w3", "pw", "j", "s", "g"):
            rt.get(getattr(self, name).version_node)
        assert rt.get(self.red) == sorted(src.elements())
        assert rt.get(self.n) == sum(src.values())
        assert rt.get(self.agg) == sum((x * x + 1) * k for x, k in src.items())

        exp_m = Counter()
        for x, k in src.items():
            exp_m[map_fn(x)] += k
        assert Counter(rt.get(self.folds["m"])) == exp_m
        assert self.m.snapshot_len() == sum(exp_m.values())

        exp_f = Counter({x: k for x, k in src.items() if pred(x)})
        assert Counter(rt.get(self.folds["f"])) == exp_f
        assert self.f.snapshot_len() == sum(exp_f.values())

        snap = self.s.snapshot()
        assert Counter(snap) == src
        assert self.s.snapshot_len() == len(snap)
        keys = [sorted_key(x) for x in snap]
        assert keys == sorted(keys)
        if model is not None:
            assert snap == model.items
        assert as_bag(rt.get(self.folds["w2"])) == windows(snap, 2)
        assert as_bag(rt.get(self.folds["w3"])) == windows(snap, 3)
        assert Counter(rt.get(self.folds["pw"])) == windows(snap, 2)

        exp_j = Counter()
        for a, ka in src.items():
            for b, kb in other.items():
                if join_key(a) == join_key(b):
                    exp_j[(a, b)] += ka * kb
        assert Counter(rt.get(self.folds["j"])) == exp_j

        assert sorted(self.g.keys()) == sorted(group_keys)
        assert self.g.group_count() == len(group_keys)
        for key in group_keys:
            if key not in self.group_folds:
                self.group_folds[key] = self.g.get_group(key).reduce(list)
            exp = Counter({x: k for x, k in src.items() if group_key(x) == key})
            assert Counter(rt.get(self.group_folds[key])) == exp
            assert self.g.get_group(key).snapshot_len() == sum(exp.values())


def mutate(rng, coll, bag, domain, seen_keys=None, model=None):
    x = rng.randrange(domain)
    if rng.random() < 0.55:
        coll.insert(x)
        bag[x] += 1
        if seen_keys is not None:
            seen_keys.add(group_key(x))
        if model is not None:
            model.insert(x)
    else:
        present = bag[x] > 0
        assert coll.delete(x) is present
        if present:
            bag[x] -= 1
            if not bag[x]:
                del bag[x]
            if model is not None:
                model.delete(x)


@pytest.mark.parametrize("seed, batches, max_batch, domain", [
    (1, 60, 12, 8),
    (2, 60, 12, 20),
    (3, 40, 6, 4),
    (4, 25, 90, 12),  # long batches: the logs pass the compaction threshold
])
def test_random_sequences_match_from_scratch(seed, batches, max_batch, domain):
    rng = random.Random(seed)
    rt = weft.Runtime()
    c, d = rt.create_collection(), rt.create_collection()
    src, other = Counter(), Counter()
    seen = set()
    model = SortedModel(sorted_key)

    early = Pipeline(rt, c, d)  # built on empty collections: order is fully modelled
    for _ in range(rng.randrange(5, 15)):
        mutate(rng, c, src, domain, seen, model)
        mutate(rng, d, other, domain)
    late = Pipeline(rt, c, d)  # built on a populated collection: snapshot path
    late_seen = set(seen_keys_of(src))

    for _ in range(batches):
        for _ in range(rng.randrange(1, max_batch + 1)):
            if rng.random() < 0.75:
                mutate(rng, c, src, domain, seen, model)
                late_seen.update(group_key(x) for x in src)
            else:
                mutate(rng, d, other, domain)
        assert c.snapshot_len() == sum(src.values())
        assert d.snapshot_len() == sum(other.values())
        # now and then leave the operators lagging for a few batches
        if rng.random() < 0.7:
            early.check(src, other, seen, model)
            late.check(src, other, late_seen)
    early.check(src, other, seen, model)
    late.check(src, other, late_seen)


def seen_keys_of(bag):
    return {group_key(x) for x in bag}

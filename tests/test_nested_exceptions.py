"""Seeded random trees of queries, freshly read, whose nodes raise, catch or pass on the
failures of their reads, reading with `ref.get` or `rt.get` at random: the outer read must
raise the very exception object that a model of Python's own propagation predicts (or return
the value it predicts), and afterwards nothing stays parked for an unrelated failure."""

import os
import random

import pytest

import weft
from weft_testing import PanicException

SEEDS = int(os.environ.get("WEFT_NESTED_SEEDS", "300"))


class Spec:
    """One node of the tree: reads its children in order, summing their values."""

    def __init__(self, rnd, depth):
        width = rnd.choice([0, 1, 1, 2, 3]) if depth < 6 else 0
        self.children = [Spec(rnd, depth + 1) for _ in range(width)]
        self.raises = ValueError(f"raised at depth {depth}") if rnd.random() < 0.25 else None
        self.raise_first = rnd.random() < 0.5  # before or after reading the children
        self.catches = rnd.random() < 0.3
        self.via_runtime = rnd.random() < 0.3  # rt.get (guarded) instead of ref.get

    def expected(self):
        """('value', v) or ('raise', exception object), as Python would run the callables."""
        if self.raises is not None and self.raise_first:
            return "raise", self.raises
        total = 1
        for child in self.children:
            kind, got = child.expected()
            if kind == "raise":
                if self.catches:
                    got = 100  # the fallback
                else:
                    return "raise", got
            total += got
        if self.raises is not None:
            return "raise", self.raises
        return "value", total

    def build(self, rt):
        nodes = [child.build(rt) for child in self.children]

        def compute(ref):
            if self.raises is not None and self.raise_first:
                raise self.raises
            total = 1
            for node in nodes:
                try:
                    total += rt.get(node) if self.via_runtime else ref.get(node)
                except (Exception, PanicException):
                    if not self.catches:
                        raise
                    total += 100
            if self.raises is not None:
                raise self.raises
            return total

        return rt.create_query(compute)


@pytest.mark.parametrize("seed", range(SEEDS))
def test_outer_read_raises_the_exception_python_would(seed):
    rnd = random.Random(seed)
    spec = Spec(rnd, 0)
    rt = weft.Runtime()
    root = spec.build(rt)
    kind, want = spec.expected()
    if kind == "value":
        assert rt.get(root) == want
    else:
        with pytest.raises(ValueError) as info:
            rt.get(root)
        assert info.value is want
    # Whatever a caught panic carried went with it: a later failure is reported as itself.
    gone = rt.create_input(0)
    rt.delete_node(gone)
    with pytest.raises(RuntimeError, match="stale"):
        rt.get(gone)

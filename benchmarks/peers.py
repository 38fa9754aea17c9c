"""The systems the workloads run on: weft, behind the same small interface as the
hand-written lazy memo graph it is compared with."""

from __future__ import annotations

from typing import Callable, Dict, List

import weft


class WeftEngine:
    """weft's own methods under the interface's names (bound methods: no extra calls)."""

    def __init__(self) -> None:
        self.rt = rt = weft.Runtime()
        self.input = rt.create_input
        self.query = rt.create_query
        self.set = rt.set
        self.get = rt.get
        self.observe = rt.observe
        self.stabilize = rt.stabilize


class PyGraph:
    """A straightforward lazy memo graph in pure Python: values, dependents and dirty flags,
    dependencies recorded while a node computes, observers checked on `stabilize`. A write
    marks everything downstream dirty (no cutoff).

    A query's callable receives the graph itself and reads with `.get`, as a weft query
    receives its RuntimeRef."""

    def __init__(self) -> None:
        self.values: Dict[int, object] = {}
        self.funcs: Dict[int, Callable] = {}
        self.deps: Dict[int, List[int]] = {}
        self.dependents: Dict[int, set] = {}
        self.dirty: Dict[int, bool] = {}
        self.stack: List[List[int]] = []
        self.observers: List[list] = []
        self.next = 0

    def _new(self) -> int:
        n = self.next
        self.next += 1
        self.dependents[n] = set()
        return n

    def input(self, value):
        n = self._new()
        self.values[n] = value
        return n

    def query(self, fn):
        n = self._new()
        self.funcs[n] = fn
        self.deps[n] = []
        self.dirty[n] = True
        return n

    def get(self, n):
        if self.stack:
            self.stack[-1].append(n)
        if self.dirty.get(n):
            self.stack.append([])
            value = self.funcs[n](self)
            reads = self.stack.pop()
            for d in self.deps[n]:
                self.dependents[d].discard(n)
            for d in reads:
                self.dependents[d].add(n)
            self.deps[n] = reads
            self.values[n] = value
            self.dirty[n] = False
        return self.values[n]

    def set(self, n, value):
        if self.values[n] == value:
            return
        self.values[n] = value
        work = list(self.dependents[n])
        while work:
            m = work.pop()
            if not self.dirty[m]:
                self.dirty[m] = True
                work.extend(self.dependents[m])

    def observe(self, n, callback):
        self.observers.append([n, callback, _UNSET])

    def stabilize(self):
        for entry in self.observers:
            value = self.get(entry[0])
            if entry[2] is _UNSET or entry[2] != value:
                entry[2] = value
                entry[1](value)


_UNSET = object()

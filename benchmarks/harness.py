"""Timing, profiles and the result table shared by every workload."""

from __future__ import annotations

import json
import statistics
import time
from typing import Callable, Dict, List, Optional, Tuple


def per_op(fn: Callable[[], None], ops: int, repeat: int) -> float:
    """Median nanoseconds per operation of `fn`, which performs `ops` operations."""
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        fn()
        samples.append((time.perf_counter_ns() - t0) / ops)
    return statistics.median(samples)


# The sizes a run can be given on the command line (--size NAME=N[,N...]), with how many
# numbers each takes and what it sets.
SIZES = {
    "shape": (1, "queries in each chain, fan-out and diamond (default 1024)"),
    "sparse": (2, "chains in the sparse update's small and large graph (default 10,1000)"),
    "readers": (1, "queries reading the shared input that readers leave (default 100000)"),
    "observers": (1, "observers of the two stabilize workloads (default 10000)"),
    "inputs": (1, "inputs created for the creation cost (default 1000000)"),
    "cellx": (2, "layers of the two cellx graphs (default 1000,2500)"),
    "collections": (2, "elements of the small and large collection source (default 1000,100000)"),
}


def parse_sizes(specs: List[str]) -> Dict[str, Tuple[int, ...]]:
    """`NAME=N[,N...]` specifications as a dict; ValueError names what is wrong."""
    sizes: Dict[str, Tuple[int, ...]] = {}
    for spec in specs:
        name, _, values = spec.partition("=")
        if name not in SIZES:
            raise ValueError(f"unknown size {name!r} (known: {', '.join(SIZES)})")
        try:
            numbers = tuple(int(v) for v in values.split(","))
        except ValueError:
            raise ValueError(f"size {name!r} takes whole numbers, got {values!r}") from None
        if len(numbers) != SIZES[name][0] or min(numbers) < 1:
            raise ValueError(f"size {name!r} takes {SIZES[name][0]} positive number(s), got {values!r}")
        sizes[name] = numbers
    return sizes


class Profile:
    """Sizes for one run: `full` (the default), `quick`, or `tiny` (a correctness pass), with
    any of the named sizes set explicitly."""

    def __init__(self, name: str, sizes: Optional[Dict[str, Tuple[int, ...]]] = None) -> None:
        if name not in ("full", "quick", "tiny"):
            raise ValueError(name)
        self.name = name
        self.repeat = {"full": 7, "quick": 3, "tiny": 1}[name]
        self.sizes = dict(sizes or {})

    def rounds(self, full: int) -> int:
        """Operations per timed sample: a tenth of the default in a quick run, 2 in a tiny one."""
        return {"full": full, "quick": max(2, full // 10), "tiny": 2}[self.name]

    def pick(self, full, quick, tiny):
        return {"full": full, "quick": quick, "tiny": tiny}[self.name]

    def size(self, name: str, full, quick, tiny):
        """The named size given for this run, else the profile's default. A size of one
        number is an int, of several a tuple."""
        if name in self.sizes:
            given = self.sizes[name]
            return given[0] if len(given) == 1 else given
        return self.pick(full, quick, tiny)


# Derived columns: name -> (numerator, denominator).
RATIOS = {
    "x_floor": ("weft", "floor"),
    "pygraph_over_weft": ("pygraph", "weft"),
    "incremental_over_weft": ("incremental_py", "weft"),
    "scratch_over_weft": ("scratch_py", "weft"),
}


class Table:
    def __init__(self) -> None:
        self.rows: List[dict] = []

    def row(self, name: str, **values: float) -> None:
        entry: Dict[str, object] = {"workload": name}
        entry.update({k: round(v, 2 if k == "ratio" else 1) for k, v in values.items()})
        for column, (num, den) in RATIOS.items():
            if values.get(num) and values.get(den):
                entry[column] = round(values[num] / values[den], 2)
        self.rows.append(entry)

    @staticmethod
    def median_of(tables: List["Table"]) -> "Table":
        """One table whose every cell, ratios included, is the median of that cell over
        `tables`, full runs of the same workloads: each ratio still compares times measured
        side by side in one run. Resident memory comes from the first run alone: later runs
        reuse the memory that earlier ones released."""
        merged = Table()
        for rows in zip(*(t.rows for t in tables)):
            entry: Dict[str, object] = {"workload": rows[0]["workload"]}
            for key in rows[0]:
                if key == "bytes_per_node":
                    entry[key] = rows[0][key]
                elif key != "workload":
                    digits = 2 if key in RATIOS or key.endswith(("ratio", "_over_dict_get")) else 1
                    entry[key] = round(statistics.median(r[key] for r in rows), digits)  # type: ignore[misc]
            merged.rows.append(entry)
        return merged

    def value(self, name: str, column: str) -> Optional[float]:
        for r in self.rows:
            if r["workload"] == name:
                return r.get(column)  # type: ignore[return-value]
        return None

    def print(self, title: str) -> None:
        print(title)
        for r in self.rows:
            rest = ", ".join(f"{k}={v}" for k, v in r.items() if k != "workload")
            print(f"  {r['workload']:<62} {rest}")

    def write_json(self, path: str) -> None:
        with open(path, "w") as f:
            json.dump(self.rows, f, indent=2)
            f.write("\n")

    def markdown(self) -> str:
        """The table in Markdown, one row a workload: times in ns per operation, the ratio to
        the floor, the hand-written peer (the lazy graph, or incremental Python for
        collections) and how many times slower it and recomputing from scratch are."""
        lines = ["| workload | weft | floor | × floor | hand-written | its time ÷ weft's "
                 "| from scratch ÷ weft's | other |",
                 "|---|---:|---:|---:|---:|---:|---:|---|"]

        def cell(r, key):
            return f"{r[key]:,}" if key in r else ""
        for r in self.rows:
            peer = "pygraph" if "pygraph" in r else "incremental_py"
            over = "pygraph_over_weft" if "pygraph" in r else "incremental_over_weft"
            other = ", ".join(f"{k} {r[k]:,}" for k in
                              ("ratio", "bytes_per_node", "per_verified_node",
                               "verified_over_dict_get") if k in r)
            lines.append(f"| {r['workload']} | {cell(r, 'weft')} | {cell(r, 'floor')} | "
                         f"{cell(r, 'x_floor')} | {cell(r, peer)} | {cell(r, over)} | "
                         f"{cell(r, 'scratch_over_weft')} | {other} |")
        return "\n".join(lines) + "\n"

    def plot(self, path: str) -> None:
        try:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            print("matplotlib is not installed: no plot")
            return
        rows = [r for r in self.rows if "weft" in r]
        systems = ("weft", "floor", "pygraph", "incremental_py")
        fig, ax = plt.subplots(figsize=(11, 0.32 * len(rows) + 1.5))
        for j, system in enumerate(systems):
            ax.barh([i + 0.2 * j for i in range(len(rows))],
                    [r.get(system, 0) for r in rows], 0.2, label=system)
        ax.set_yticks([i + 0.3 for i in range(len(rows))], [r["workload"] for r in rows],
                      fontsize=6)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlabel("ns per operation (log scale)")
        ax.legend()
        fig.tight_layout()
        fig.savefig(path, dpi=120)

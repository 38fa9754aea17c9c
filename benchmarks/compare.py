"""Wall-clock A/B of two builds of weft, timed side by side in one process.

Separate runs on a shared machine differ by 10% or more in wall-clock time, so two builds
timed one after the other can seem to differ when they do not. Here both builds are loaded
into one interpreter, each from its own copy of the extension file so that they share no
state, and each workload is timed in short alternating bursts: both builds see the same
machine load, and the ratio of their medians holds still to within a few per cent (a build
compared with itself gives 0.97 to 1.03). The graph built second in a process runs faster
on the 100,000-element workloads (by up to 15%, from where its memory lies), so each
workload is built and timed twice, A's graph first and then B's first, and the medians are
over both halves. Unlike instructions.py, this sees cache misses. The two builds share one
heap, though: when they differ in how they place memory (huge-page tables, say), memory one
of them set up may serve the other, so time those in separate, alternating processes.

    .venv/bin/python benchmarks/compare.py BUILD_A BUILD_B [--sizes 1000,100000]
        [--bursts 100] [--burst-ops 200] [WORKLOAD ...]

BUILD_A and BUILD_B are each an extension file (weft.cpython-*.so) or a directory holding
one, such as the python/ directory of a CMake build tree.
"""

from __future__ import annotations

import argparse
import importlib.util
import pathlib
import shutil
import statistics
import tempfile
import time
from types import ModuleType
from typing import Callable, List, Tuple

from per_op import WORKLOADS, runs


def find_extension(path: str) -> pathlib.Path:
    p = pathlib.Path(path)
    if p.is_file():
        return p
    found = sorted(p.glob("weft*.so")) if p.is_dir() else []
    if len(found) != 1:
        raise SystemExit(f"{path}: expected a weft extension file or a directory holding "
                         f"exactly one, found {len(found)}")
    return found[0]


def load_copy(extension: pathlib.Path, into: pathlib.Path) -> ModuleType:
    """Loads a private copy of `extension`: a second file is a second library to the
    dynamic loader, with globals of its own, even when both copies hold the same build."""
    into.mkdir()
    copy = into / extension.name
    shutil.copy2(extension, copy)
    spec = importlib.util.spec_from_file_location("weft", copy)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def time_side_by_side(op_a: Callable[[], None], op_b: Callable[[], None], bursts: int,
                      burst_ops: int, samples: Tuple[List[float], List[float]]) -> None:
    """Adds to `samples` the ns per operation of each over `bursts` bursts of `burst_ops`
    operations, taken in turns (A first in even bursts, B first in odd ones)."""
    for burst in range(bursts):
        order = ((0, op_a), (1, op_b)) if burst % 2 == 0 else ((1, op_b), (0, op_a))
        for which, op in order:
            start = time.perf_counter()
            for _ in range(burst_ops):
                op()
            samples[which].append((time.perf_counter() - start) / burst_ops * 1e9)


def compare(build_a: ModuleType, build_b: ModuleType, workloads: List[str], sizes: List[int],
            bursts: int, burst_ops: int) -> List[Tuple[str, float, float]]:
    rows = []
    for name in workloads:
        for size, label in runs(name, sizes):
            samples: Tuple[List[float], List[float]] = ([], [])
            for builds in ((build_a, build_b), (build_b, build_a)):
                first, second = (WORKLOADS[name](build, size) for build in builds)
                op_a, op_b = (first, second) if builds[0] is build_a else (second, first)
                for op in (op_a, op_b):  # warm both before the first timed burst
                    for _ in range(burst_ops):
                        op()
                time_side_by_side(op_a, op_b, bursts // 2, burst_ops, samples)
                del first, second, op_a, op_b  # free this half's graphs before the next
            rows.append((label, statistics.median(samples[0]), statistics.median(samples[1])))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_a", help="extension file or directory of build A")
    parser.add_argument("build_b", help="extension file or directory of build B")
    parser.add_argument("--sizes", default="1000,100000",
                        help="collection sizes, comma-separated (default: 1000,100000)")
    parser.add_argument("--bursts", type=int, default=100,
                        help="timed bursts per build (default: 100)")
    parser.add_argument("--burst-ops", type=int, default=200, help="operations per burst (default: 200)")
    parser.add_argument("workloads", nargs="*", metavar="WORKLOAD",
                        help=f"any of {', '.join(WORKLOADS)} (default: all)")
    args = parser.parse_intermixed_args()  # workloads may follow the options
    unknown = [w for w in args.workloads if w not in WORKLOADS]
    if unknown:
        parser.error(f"unknown workload: {', '.join(unknown)}")
    sizes = [int(s) for s in args.sizes.split(",")]
    extension_a, extension_b = find_extension(args.build_a), find_extension(args.build_b)
    with tempfile.TemporaryDirectory() as scratch:
        build_a = load_copy(extension_a, pathlib.Path(scratch) / "a")
        build_b = load_copy(extension_b, pathlib.Path(scratch) / "b")
        print(f"  A: {extension_a}\n  B: {extension_b}\n"
              f"  {'workload':<42} {'A ns/op':>10} {'B ns/op':>10} {'B/A':>7}")
        for label, a, b in compare(build_a, build_b, args.workloads or list(WORKLOADS), sizes,
                                   args.bursts, args.burst_ops):
            print(f"  {label:<42} {a:>10,.0f} {b:>10,.0f} {b / a:>7.3f}", flush=True)


if __name__ == "__main__":
    main()

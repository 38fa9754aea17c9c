"""Benchmarks: weft side by side with the floor and hand-written Python versions.

The floor calls the same user functions directly, with their inputs passed by hand. The
hand-written graph is a small lazy memo graph in pure Python (values, dependents and dirty
flags, dependencies recorded while a node computes). For collections the peers are a
from-scratch recomputation and a hand-written incremental version. Every workload checks
that every system computes the same results. Times are medians of repeated runs, in
nanoseconds per operation; with --runs N the whole suite runs N times and every cell is the
median over the runs (steadier on a shared machine).

    .venv/bin/python benchmarks/run.py [--quick] [--runs N] [--json FILE] [--markdown FILE]
                                       [--plot FILE.png] [--size NAME=N[,N] ...]
"""

from __future__ import annotations

import argparse
import platform
from importlib import metadata

import suite
from harness import SIZES, Table, parse_sizes

TITLE = ("weft benchmarks (ns per operation, median; peers: the floor and hand-written Python "
         "versions; no existing reactive or incremental library is installed or run)")


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown processor"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller rounds, fewer repeats")
    parser.add_argument("--runs", type=int, default=1, metavar="N",
                        help="run the suite N times and report each cell's median")
    parser.add_argument("--json", metavar="FILE", help="also write the table as JSON")
    parser.add_argument("--markdown", metavar="FILE", help="also write the table as Markdown")
    parser.add_argument("--plot", metavar="FILE", help="draw a bar chart (needs matplotlib)")
    parser.add_argument("--size", action="append", default=[], metavar="NAME=N[,N]",
                        help="set one of the sizes (repeatable): " + "; ".join(
                            f"{name}: {what}" for name, (_, what) in SIZES.items()))
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    try:
        sizes = parse_sizes(args.size)
    except ValueError as e:
        parser.error(str(e))
    profile = "quick" if args.quick else "full"
    table = Table.median_of([suite.run_all(profile, sizes) for _ in range(args.runs)])
    runs = f", median of {args.runs} runs" if args.runs > 1 else ""
    print(f"{TITLE}\n  weft {metadata.version('weft')} on Python {platform.python_version()}, "
          f"{platform.machine()}, {cpu_model()}{runs}")
    table.print("")
    if args.json:
        table.write_json(args.json)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(table.markdown())
    if args.plot:
        table.plot(args.plot)


if __name__ == "__main__":
    main()

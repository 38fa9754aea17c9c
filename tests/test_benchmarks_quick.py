"""Smallest configuration of every benchmark workload, run once for correctness only."""
import importlib.util
import pathlib
import sys

spec = importlib.util.spec_from_file_location(
    "weft_bench", pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "run.py")
bench = importlib.util.module_from_spec(spec)
spec.loader.exec_module(bench)


def test_every_workload_small():
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 100_000))
    bench.bench_clean_get(100, 1)
    bench.bench_chain(50, 3, 1)
    bench.bench_broad(50, 3, 1)
    bench.bench_diamond(5, 3, 1)
    bench.bench_cellx(1000, 2, 1)
    bench.bench_cutoff(64, 3, 1)
    bench.bench_sparse(10, 10, 3, 1)
    bench.bench_stabilize_idle(100, 1)
    bench.bench_creation(1000)
    bench.bench_collection_pipeline(1000, 3, 1)
    bench.bench_sorted_window(1000, 3, 1)
    bench.bench_aggregate_sum(1000, 3, 1)
    bench.bench_group_count(1000, 10, 1)

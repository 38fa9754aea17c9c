"""Every benchmark workload at its smallest size, once, for the agreement checks only."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "benchmarks"))
import suite  # noqa: E402


def test_every_workload_agrees_with_its_peers():
    table = suite.run_all("tiny")
    names = [r["workload"] for r in table.rows]
    assert len(names) == len(set(names))
    assert any(n.startswith("dynamic graph") for n in names)


def test_instruction_count_workloads_run():
    import instructions  # noqa: E402

    for name in instructions.WORKLOADS:
        instructions.child(name, 50, 3)


def test_median_of_runs_takes_each_cell_and_ratio_from_the_runs():
    from harness import Table  # noqa: E402

    runs = []
    for weft_ns, floor_ns in ((10.0, 5.0), (30.0, 10.0), (12.0, 3.0)):
        t = Table()
        t.row("w", weft=weft_ns, floor=floor_ns)
        runs.append(t)
    merged = Table.median_of(runs)
    # Each ratio is the median of the per-run ratios (2, 3, 4), not weft's median over floor's.
    assert merged.rows == [{"workload": "w", "weft": 12.0, "floor": 5.0, "x_floor": 3.0}]


def test_sizes_given_by_name_reach_the_workloads():
    import pytest
    from harness import parse_sizes  # noqa: E402

    sizes = parse_sizes(["shape=16", "collections=30,60", "cellx=5,7", "sparse=2,4",
                         "observers=10", "inputs=500"])
    names = {r["workload"] for r in suite.run_all("tiny", sizes).rows}
    for expected in ("chain of 16, cut off", "map-filter-count, 60 elements",
                     "cellx (7 layers)", "sparse update (4 chains of 10)",
                     "stabilize, 10 observers, no change (per observer)", "create 500 inputs"):
        assert expected in names
    for bad, complaint in (("width=3", "unknown size"), ("cellx=5", "takes 2"),
                           ("shape=0", "positive"), ("shape=big", "whole numbers")):
        with pytest.raises(ValueError, match=complaint):
            parse_sizes([bad])


def test_compare_times_two_private_copies_of_one_build(tmp_path):
    import compare  # noqa: E402
    import per_op  # noqa: E402
    import pytest
    import weft

    extension = pathlib.Path(weft.__file__)
    a = compare.load_copy(extension, tmp_path / "a")
    b = compare.load_copy(extension, tmp_path / "b")
    # Two libraries with their own classes, not the one cached module handed out twice.
    assert a is not b and a.Runtime is not b.Runtime
    rt = a.Runtime()
    with pytest.raises(TypeError):
        rt.get(b.Runtime().create_input(1))
    rows = compare.compare(a, b, list(compare.WORKLOADS), [50, 80], bursts=2, burst_ops=3)
    assert [label for label, _, _ in rows][:4] == [
        "chain-of-50", "changing-reads", "map-filter-count, 50 elements",
        "map-filter-count, 80 elements"]
    sizeless = len(per_op.SIZELESS)
    assert len(rows) == sizeless + 2 * (len(compare.WORKLOADS) - sizeless)
    assert all(a_ns > 0 and b_ns > 0 for _, a_ns, b_ns in rows)

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

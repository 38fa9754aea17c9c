"""The DOT pictures of a graph, and the runnable examples."""

import pathlib
import subprocess
import sys

import weft
import weft_graph

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_dot_draws_inputs_queries_edges_and_trace_colours():
    rt = weft.Runtime()
    a = rt.create_input(1)
    q = rt.create_query(lambda ref: ref.get(a) + ref.get(a))
    rt.set_label(a, 'say "a"')
    rt.get(q)
    rt.set(a, 2)
    _, trace = rt.get_traced(q)
    dot = weft_graph.to_dot(rt.graph_snapshot(), trace)
    assert f'n{a.id} [label="say \\"a\\"\\n#{a.id}" shape=box];' in dot
    assert f"shape=ellipse style=filled fillcolor=\"{weft_graph.ACTION_COLOURS['recomputed_changed']}\"" in dot
    assert "penwidth" in dot  # the traced target
    assert dot.count(f"n{a.id} -> n{q.id};") == 1  # read twice, drawn once
    assert "cluster_legend" in dot
    assert "cluster_legend" not in weft_graph.to_dot(rt.graph_snapshot())


def run_example(name, *args):
    return subprocess.run([sys.executable, str(ROOT / "examples" / name), *args],
                          capture_output=True, text=True, timeout=60, check=True).stdout


def test_quickstart_runs():
    out = run_example("quickstart.py")
    assert "total: 30" in out and "large orders after one more: 3" in out


def test_graph_explorer_prints_the_trace_and_writes_a_picture(tmp_path):
    out = run_example("graph_explorer.py", str(tmp_path / "g.dot"))
    assert "recomputed 1, cut off 1" in out
    assert (tmp_path / "g.dot").read_text().startswith('digraph "weft"')


def test_spreadsheet_prints_only_what_changed():
    out = run_example("spreadsheet.py")
    after_b1 = out.split("set B1 = 0.25")[1].split("set A3")[0]
    printed = after_b1.splitlines()[1:]
    assert "  B4 = 36.25" in printed and not any(line.startswith("  A4") for line in printed)
    assert out.split("set A3 = 30")[1].splitlines()[1].startswith("final:")


def test_order_analytics_does_little_work_per_event():
    out = run_example("order_analytics.py")
    events = {line.split(":")[0]: line for line in out.splitlines() if line.startswith("event ")}
    # One join key, one group key and one sort key per new order, however many came before.
    assert all(line.startswith(f"{name}: 3 key,") for name, line in events.items()
               if "buys" in line)
    assert events["event 1"].startswith("event 1: 3 key, 1 map, 1 lift calls")
    assert events["event 13"].startswith("event 13: 3 key, 2 map, 2 lift, 5 combine calls")
    after_late_order = out.split("event 7:")[1].split("event 8:")[0]
    assert "last three orders 103 (ending minute 12)" in after_late_order
    after_cancel = out.split("event 11:")[1].split("event 12:")[0]
    assert after_cancel.split("\n")[1:-1] == ["    dan revenue 12"]
    assert "revenue: {'ann': 102, 'bob': 84, 'cat': 21, 'dan': 12}" in out
    assert "latest three orders: (20, 42)" in out

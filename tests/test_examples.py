"""End-to-end use of the single-value engine, as a program would write it."""

import contextlib
import io
import pathlib
import re

import weft

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_usage_example_runs():
    code = re.search(r"## Quick start\s+```python\n(.*?)```", README.read_text(), re.S).group(1)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README.md", "exec"), {})
    assert out.getvalue() == "30\n40\n"


def test_order_pipeline_story():
    rt = weft.Runtime()
    price = rt.create_input(10)
    qty = rt.create_input(3)
    discount = rt.create_input(0)
    calls = {"subtotal": 0, "total": 0, "band": 0}

    def subtotal(ref):
        calls["subtotal"] += 1
        return ref.get(price) * ref.get(qty)

    def total(ref):
        calls["total"] += 1
        return ref.get(sub) - ref.get(discount)

    def band(ref):
        calls["band"] += 1
        return "large" if ref.get(tot) >= 25 else "small"

    sub = rt.create_query(subtotal)
    tot = rt.create_query(total)
    size = rt.create_query(band)
    for node, label in ((price, "price"), (qty, "qty"), (sub, "subtotal"), (tot, "total"), (size, "band")):
        rt.set_label(node, label)

    bands = []
    rt.observe(size, bands.append)
    rt.stabilize()
    assert bands == ["large"] and calls == {"subtotal": 1, "total": 1, "band": 1}

    # Lazy: writes recompute nothing until something reads.
    rt.set(qty, 4)
    rt.set(discount, 5)
    assert calls == {"subtotal": 1, "total": 1, "band": 1}
    value, trace = rt.get_traced(size)
    assert value == "large"
    actions = {t["id"]: t["action"] for t in trace["node_traces"]}
    assert actions == {sub.id: "recomputed_changed", tot.id: "recomputed_changed", size.id: "recomputed_cutoff"}
    rt.stabilize()
    assert bands == ["large"]  # cut off: the band did not change

    rt.set(qty, 1)
    rt.stabilize()
    assert bands == ["large", "small"]

    snapshot = {entry["label"]: entry for entry in rt.graph_snapshot()}
    assert snapshot["total"]["dependencies"] == [sub.id, discount.id]
    assert snapshot["subtotal"]["dependents"] == [tot.id]
    assert snapshot["band"]["kind"] == "compute" and snapshot["qty"]["kind"] == "input"

    # Remove the whole pricing branch; what is left keeps working.
    assert rt.delete_with_dependents(price) == 4
    assert rt.node_count() == 2
    assert [entry["label"] for entry in rt.graph_snapshot()] == ["qty", None]
    rt.set(discount, 1)
    rt.stabilize()
    assert bands == ["large", "small"]

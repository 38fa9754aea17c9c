"""Pictures of a weft graph.

``to_dot`` turns the list returned by ``Runtime.graph_snapshot()`` into Graphviz DOT text:
inputs are drawn as boxes, computed nodes as ellipses, each with its label (or its slot
number) and an edge from every dependency to its dependent. Given the trace dict returned by
``Runtime.get_traced``, each node is coloured by what that read did to it. ``render`` writes
the picture as SVG or PNG with the ``graphviz`` package when it is installed.
"""

from __future__ import annotations

from typing import Any, Iterable, Mapping, Optional, Sequence

__all__ = ["ACTION_COLOURS", "to_dot", "render"]

# Fill colour per trace action; nodes the read did not touch stay white.
ACTION_COLOURS: Mapping[str, str] = {
    "recomputed_changed": "#f4a582",  # recomputed, value changed
    "recomputed_cutoff": "#fddbc7",   # recomputed, equal value: the change stopped here
    "verified_clean": "#d1e5f0",      # verified without recomputing
}

_LEGEND = (
    ("recomputed_changed", "recomputed, changed"),
    ("recomputed_cutoff", "recomputed, cut off"),
    ("verified_clean", "verified clean"),
)


def _quote(text: str) -> str:
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return f'"{escaped}"'


def _actions(trace: Optional[Mapping[str, Any]]) -> dict[int, str]:
    """The last action recorded for each slot in a trace (a node can be recorded twice)."""
    actions: dict[int, str] = {}
    if trace is None:
        return actions
    for record in trace.get("node_traces", ()):
        actions[record["id"]] = record["action"]
    return actions


def to_dot(
    snapshot: Sequence[Mapping[str, Any]],
    trace: Optional[Mapping[str, Any]] = None,
    *,
    name: str = "weft",
    legend: Optional[bool] = None,
) -> str:
    """DOT text for a graph snapshot, coloured by ``trace`` when one is given.

    ``legend`` adds a key of the colours; by default it is shown whenever a trace is given.
    The target of the traced read is drawn with a bold outline.
    """
    actions = _actions(trace)
    target = trace.get("target") if trace is not None else None
    lines = [f"digraph {_quote(name)} {{", "  rankdir=LR;", '  node [fontname="Helvetica"];']
    for node in snapshot:
        slot = node["id"]
        label = node.get("label")
        text = f"{label}\n#{slot}" if label is not None else f"#{slot}"
        attrs = [
            f"label={_quote(text)}",
            "shape=box" if node["kind"] == "input" else "shape=ellipse",
        ]
        action = actions.get(slot)
        if action is not None:
            attrs.append(f"style=filled fillcolor={_quote(ACTION_COLOURS.get(action, 'white'))}")
        if slot == target:
            attrs.append("penwidth=2.5")
        lines.append(f"  n{slot} [{' '.join(attrs)}];")
    for node in snapshot:
        for dep in _unique(node.get("dependencies", ())):
            lines.append(f"  n{dep} -> n{node['id']};")
    if legend if legend is not None else trace is not None:
        lines.append("  subgraph cluster_legend {")
        lines.append('    label="last read"; fontname="Helvetica";')
        for i, (action, text) in enumerate(_LEGEND):
            lines.append(
                f"    legend{i} [label={_quote(text)} shape=note style=filled "
                f"fillcolor={_quote(ACTION_COLOURS[action])}];"
            )
        lines.append("  }")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _unique(slots: Iterable[int]) -> list[int]:
    """Slots in first-seen order without repeats: a query that read a node twice gets one edge."""
    seen: set[int] = set()
    out: list[int] = []
    for slot in slots:
        if slot not in seen:
            seen.add(slot)
            out.append(slot)
    return out


def render(
    snapshot: Sequence[Mapping[str, Any]],
    path: str,
    trace: Optional[Mapping[str, Any]] = None,
    *,
    format: str = "svg",
) -> str:
    """Writes the picture to ``path`` (without extension) as SVG or PNG; returns the file name.

    Needs the ``graphviz`` Python package and the Graphviz ``dot`` program.
    """
    try:
        import graphviz
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise RuntimeError("rendering needs the 'graphviz' package: pip install graphviz") from exc
    source = graphviz.Source(to_dot(snapshot, trace))
    return str(source.render(path, format=format, cleanup=True))

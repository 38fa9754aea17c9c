"""Prints what one read verified and recomputed, and draws the graph coloured by it.

    python examples/graph_explorer.py [OUTPUT.dot]
"""

import os
import sys
import tempfile

import weft
import weft_graph

rt = weft.Runtime()
width = rt.create_input(3)
height = rt.create_input(4)
area = rt.create_query(lambda ref: ref.get(width) * ref.get(height))
is_large = rt.create_query(lambda ref: ref.get(area) > 100)
summary = rt.create_query(lambda ref: f"area {ref.get(area)}, large: {ref.get(is_large)}")
for node, label in [(width, "width"), (height, "height"), (area, "area"),
                    (is_large, "is_large"), (summary, "summary")]:
    rt.set_label(node, label)
rt.get(summary)

# Swapping the sides keeps the area: everything after it is verified, not recomputed.
rt.set(width, 4)
rt.set(height, 3)
value, trace = rt.get_traced(summary)
labels = {n["id"]: n["label"] for n in rt.graph_snapshot()}
print("value:", value)
print(f"recomputed {trace['nodes_recomputed']}, cut off {trace['nodes_cutoff']}, "
      f"of {trace['total_nodes']} nodes")
for record in trace["node_traces"]:
    print(f"  {labels[record['id']]:<10} {record['action']}")

dot = weft_graph.to_dot(rt.graph_snapshot(), trace)
if len(sys.argv) > 1:
    path = sys.argv[1]
    with open(path, "w") as f:
        f.write(dot)
else:
    with tempfile.NamedTemporaryFile("w", suffix=".dot", delete=False) as temporary:
        temporary.write(dot)
    path = temporary.name
print("graph written to", path)
try:
    import graphviz  # noqa: F401
except ImportError:
    pass
else:
    print("picture:", weft_graph.render(rt.graph_snapshot(), os.path.splitext(path)[0], trace))

"""An incremental spreadsheet: cells are inputs, formulas are queries.

Observers print each formula whose value changed when the sheet is stabilized; formulas
whose inputs did not change are not recomputed at all.
"""

from typing import Any, Callable

import weft

rt = weft.Runtime()
cells: dict[str, weft.NodeId] = {}


def print_cell(name: str) -> Callable[[Any], None]:
    return lambda value: print(f"  {name} = {value}")


def cell(name: str, value: Any) -> weft.NodeId:
    node = rt.create_input(value)
    rt.set_label(node, name)
    cells[name] = node
    return node


def formula(name: str, func: Callable[[weft.RuntimeRef], Any]) -> weft.NodeId:
    node = rt.create_query(func)
    rt.set_label(node, name)
    cells[name] = node
    rt.observe(node, print_cell(name))
    return node


a1 = cell("A1", 10)
a2 = cell("A2", 20)
a3 = cell("A3", 30)
b1 = cell("B1", 0.5)
total = formula("A4", lambda ref: ref.get(a1) + ref.get(a2) + ref.get(a3))
scaled = formula("B4", lambda ref: ref.get(total) * ref.get(b1))
status = formula("C4", lambda ref: "over budget" if ref.get(scaled) > 50 else "ok")

print("initial sheet:")
rt.stabilize()

print("set A1 = 15:")
rt.set(a1, 15)
rt.stabilize()

print("set A2 = 100:")
rt.set(a2, 100)
rt.stabilize()

print("set B1 = 0.25 (A4 does not read B1, so it is not printed):")
rt.set(b1, 0.25)
rt.stabilize()

print("set A3 = 30 (unchanged value, nothing printed):")
rt.set(a3, 30)
rt.stabilize()
print("final:", {name: rt.get(node) for name, node in cells.items()})

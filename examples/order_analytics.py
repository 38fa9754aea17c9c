"""Live analytics over a stream of orders, kept up to date delta by delta.

Orders arrive one at a time. Each order is priced by joining it with the product table,
revenue is summed per customer (group_by, then an aggregate on every customer's group), and
the total of the three latest orders by time is followed by sorting the priced orders and
sliding a window of three over them. After every event the program prints how many times
each user callable ran: a few calls per event (more for a price change, which reaches every
order of that product), however many orders came before.
"""

from __future__ import annotations

from collections import Counter
from typing import Callable, Optional, ParamSpec, TypeVar

import weft

Order = tuple[int, int, str, str, int]  # order id, minute, customer, product, quantity
Product = tuple[str, int]  # product, unit price
Line = tuple[int, int, str, int]  # order id, minute, customer, amount
Window = tuple[int, int]  # minute of the window's last order, total of its three amounts

P = ParamSpec("P")
R = TypeVar("R")
calls: Counter[str] = Counter()
KINDS = ("key", "map", "lift", "combine")


def counted(kind: str, fn: Callable[P, R]) -> Callable[P, R]:
    """fn, counting its calls under `kind`."""

    def wrapper(*args: P.args, **kwargs: P.kwargs) -> R:
        calls[kind] += 1
        return fn(*args, **kwargs)

    return wrapper


def order_product(order: Order) -> str:
    return order[3]


def product_name(product: Product) -> str:
    return product[0]


def price_line(pair: tuple[Order, Product]) -> Line:
    (order_id, minute, customer, _, quantity), (_, price) = pair
    return (order_id, minute, customer, quantity * price)


def customer_of(line: Line) -> str:
    return line[2]


def minute_of(line: Line) -> int:
    return line[1]


def amount_of(line: Line) -> int:
    return line[3]


def add(a: int, b: int) -> int:
    return a + b


def summarise_window(window: list[Line]) -> Window:
    # Windows arrive as lists of lines; the aggregate keeps only this (minute, total) summary.
    return (window[-1][1], sum(line[3] for line in window))


def keep_window(window: Window) -> Window:
    return window


def later(a: Optional[Window], b: Optional[Window]) -> Optional[Window]:
    """The window that ends later; None is the unit. Associative, as aggregate requires."""
    if a is None:
        return b
    if b is None:
        return a
    return b if b[0] > a[0] else a


rt = weft.Runtime()
products = rt.create_collection()
orders = rt.create_collection()
for product in [("widget", 12), ("gadget", 30), ("gizmo", 7)]:
    products.insert(product)

priced = orders.join(products, counted("key", order_product), counted("key", product_name))
lines = priced.map(counted("map", price_line))
by_customer = lines.group_by(counted("key", customer_of))
latest_three = (
    lines.sort_by_key(counted("key", minute_of))
    .window(3)
    .map(counted("map", summarise_window))
    .aggregate(None, counted("lift", keep_window), counted("combine", later))
)

changes: list[str] = []
revenue: dict[str, weft.NodeId] = {}


def report_latest(window: Optional[Window]) -> None:
    if window is not None:
        changes.append(f"last three orders {window[1]} (ending minute {window[0]})")


def report_revenue(customer: str) -> Callable[[int], None]:
    return lambda total: changes.append(f"{customer} revenue {total}")


def follow_new_customers() -> None:
    """Gives every customer group that appeared since the last event its revenue sum."""
    for customer in sorted(set(by_customer.keys()) - set(revenue)):
        group = by_customer.get_group(customer)
        assert group is not None
        node = group.aggregate(0, counted("lift", amount_of), counted("combine", add))
        revenue[customer] = node
        rt.observe(node, report_revenue(customer))


def place(order: Order) -> tuple[str, Callable[[], object]]:
    order_id, _, customer, product, quantity = order
    return f"order {order_id}: {customer} buys {quantity} {product}", lambda: orders.insert(order)


def cancel(order: Order) -> tuple[str, Callable[[], object]]:
    return f"order {order[0]} cancelled", lambda: orders.delete(order)


def reprice(product: str, old: int, new: int) -> tuple[str, Callable[[], object]]:
    def change() -> None:
        products.delete((product, old))
        products.insert((product, new))

    return f"{product} price {old} -> {new}", change


stream: list[Order] = [
    (1, 0, "ann", "widget", 2),
    (2, 3, "bob", "gadget", 1),
    (3, 5, "ann", "gizmo", 4),
    (4, 8, "cat", "widget", 1),
    (5, 9, "bob", "widget", 3),
    (6, 12, "dan", "gadget", 2),
    (7, 10, "cat", "gizmo", 1),  # arrives late: lands in the middle of the sorted orders
    (8, 14, "ann", "gadget", 1),
    (9, 15, "bob", "gizmo", 2),
    (10, 17, "dan", "widget", 1),
]
events = [place(order) for order in stream]
events += [cancel(stream[5]), reprice("gizmo", 7, 9), place((11, 20, "ann", "widget", 1))]

rt.observe(latest_three, report_latest)

for number, (label, change) in enumerate(events, start=1):
    calls.clear()
    changes.clear()
    change()
    # Route the new lines into the customer groups; a group's operators see only what
    # the grouping has delivered.
    rt.get(by_customer.version_node)
    follow_new_customers()
    rt.stabilize()
    counts = ", ".join(f"{calls[kind]} {kind}" for kind in KINDS if calls[kind])
    print(f"event {number}: {counts} calls ({label}, {orders.snapshot_len()} orders in all)")
    for change_text in sorted(changes):
        print(f"    {change_text}")

print("revenue:", {customer: rt.get(node) for customer, node in sorted(revenue.items())})
print("latest three orders:", rt.get(latest_three))

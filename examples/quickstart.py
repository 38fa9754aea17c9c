"""A first look at weft: inputs, a query, cutoff, an observer and a collection."""

import weft

rt = weft.Runtime()
price = rt.create_input(10)
qty = rt.create_input(3)
total = rt.create_query(lambda ref: ref.get(price) * ref.get(qty))
print("total:", rt.get(total))  # 30

rt.set(qty, 4)
print("total after qty = 4:", rt.get(total))  # 40: recomputed, because qty changed

# A query whose result does not change stops the change from travelling further.
is_big = rt.create_query(lambda ref: ref.get(total) > 100)
report = rt.create_query(lambda ref: "big order" if ref.get(is_big) else "small order")
print(rt.get(report))
rt.set(price, 11)
value, trace = rt.get_traced(report)
print(value, [(t["id"], t["action"]) for t in trace["node_traces"]])

# Observers fire on stabilize() when the value they watch changed.
rt.observe(total, lambda v: print("observer: total is now", v))
rt.stabilize()
rt.set(qty, 5)
rt.stabilize()

# Collections are maintained delta by delta.
orders = rt.create_collection()
for amount in [5, 12, 7]:
    orders.insert(amount)
large = orders.filter(lambda a: a >= 7)
count = large.count()
print("large orders:", rt.get(count))
orders.insert(30)
print("large orders after one more:", rt.get(count))

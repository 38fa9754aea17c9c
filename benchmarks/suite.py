"""Every workload, in the order of the table."""

from __future__ import annotations

import sys
from typing import Dict, Optional, Tuple

import collection_workloads
import engine_costs
import reactivity
from harness import Profile, Table


def run_all(profile: str, sizes: Optional[Dict[str, Tuple[int, ...]]] = None) -> Table:
    # Building the graphs reads some chains from their end, nesting computes.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 10_000))
    table, p = Table(), Profile(profile, sizes)
    try:
        engine_costs.run_all(table, p)
        reactivity.run_all(table, p)
        collection_workloads.run_all(table, p)
    finally:
        sys.setrecursionlimit(limit)
    dict_get = table.value("clean get (vs dict.get)", "floor")
    for r in table.rows:
        if "per_verified_node" in r and dict_get:
            r["verified_over_dict_get"] = round(r["per_verified_node"] / dict_get, 2)
    return table

"""Type stubs for weft, the incremental computation engine."""

from typing import Any, Callable, Literal, SupportsIndex, TypedDict, final

__all__ = [
    "Runtime",
    "NodeId",
    "ObserverId",
    "RuntimeRef",
    "Collection",
    "SortedCollection",
    "GroupedCollection",
]

class _NodeTrace(TypedDict):
    id: int
    action: Literal["recomputed_changed", "recomputed_cutoff", "verified_clean"]

class _Trace(TypedDict):
    target: int
    total_nodes: int
    nodes_recomputed: int
    nodes_cutoff: int
    elapsed_ns: int
    node_traces: list[_NodeTrace]

class _SnapshotNode(TypedDict):
    id: int
    kind: Literal["input", "compute"]
    label: str | None
    dependencies: list[int]
    dependents: list[int]

@final
class NodeId:
    """A handle to one node of a runtime. Equal handles name the same node; a handle of a
    deleted node is stale, even once a new node reuses its slot."""
    @property
    def id(self) -> int:
        """The node's slot number, as in traces and graph snapshots (reused after deletion)."""
    def __hash__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class ObserverId:
    """Token for an observer registration; pass to `Runtime.unobserve`."""

@final
class RuntimeRef:
    """The handle a query receives: valid only while that query runs."""
    def get(self, node: NodeId) -> Any:
        """The node's value, brought up to date, recorded as a dependency of the query. A
        failure raises `PanicException` (a BaseException) inside the query."""

@final
class Runtime:
    """An incremental computation graph of input and query nodes and collections; used by
    the thread that created it."""
    def __init__(self) -> None:
        """A new, empty runtime."""
    def create_input(self, value: Any) -> NodeId:
        """A new input node holding `value`."""
    def create_query(self, py_func: Callable[[RuntimeRef], Any]) -> NodeId:
        """A new query node computed by `py_func(ref)`, lazily on its first read. Not allowed
        inside a running query."""
    def get(self, node: NodeId) -> Any:
        """The node's value, brought up to date: only what a change reached is recomputed. A
        callback's exception is raised as itself; other failures raise RuntimeError."""
    def set(self, node: NodeId, value: Any) -> None:
        """Store a new value in an input node; nothing happens when it equals the old one. Never
        change a stored value in place: set a new object."""
    def delete_node(self, node: NodeId) -> None:
        """Delete a node that has no dependents (and the nodes it owns), recycling its slot; its
        handles become stale."""
    def delete_with_dependents(self, node: NodeId) -> int:
        """Delete the node, everything that depends on it and what operators made for them.
        Returns how many nodes went; 0 if the node was already gone."""
    def is_alive(self, node: NodeId) -> bool:
        """True while the node exists in this runtime; False once deleted, or for another
        runtime's node. Never raises."""
    def observe(self, node: NodeId, callback: Callable[[Any], object]) -> ObserverId:
        """Register `callback(value)` to fire on `stabilize()` when the node's value changed since
        it last fired (a node never computed fires on the first `stabilize`)."""
    def unobserve(self, id: ObserverId) -> None:
        """Remove an observer registration; a removed or foreign one is ignored."""
    def stabilize(self) -> None:
        """Bring every observed node up to date and fire the observers whose node's value
        changed. A callback's exception stops it and propagates."""
    def set_label(self, node: NodeId, label: str) -> None:
        """Name the node's slot in graph snapshots and pictures."""
    def set_label_by_id(self, id: int, label: str) -> None:
        """Name the slot `id` (a `NodeId.id`) in graph snapshots and pictures."""
    def get_traced(self, node: NodeId) -> tuple[Any, _Trace]:
        """Like `get`, with a trace of what the read did: each node it recomputed or verified."""
    def graph_snapshot(self) -> list[_SnapshotNode]:
        """Every live node with its kind, label, dependencies and dependents, by slot."""
    def node_count(self) -> int:
        """How many nodes are alive (collection operators count theirs)."""
    def create_collection(self) -> Collection:
        """A new, empty source collection: a multiset of Python values."""

@final
class Collection:
    """A multiset of Python values: a source changed with `insert` and `delete`, or one an
    operator derives and keeps up to date, change by change, when its results are read."""
    @property
    def version_node(self) -> NodeId:
        """A node whose value counts the collection's changes, for queries that must rerun
        when it changes. Take it once outside any query: the first use creates it."""
    def insert(self, value: Any) -> None:
        """Add one copy of `value` (source collections only)."""
    def delete(self, value: Any) -> bool:
        """Remove one copy equal to `value`: True, or False when none is present."""
    def snapshot_len(self) -> int:
        """How many elements the collection holds as last brought up to date."""
    def filter(self, predicate: Callable[[Any], object]) -> Collection:
        """The elements for which `predicate` is true: one call per change."""
    def map(self, func: Callable[[Any], Any]) -> Collection:
        """`func` of each element: one call per change (deletes too), so `func` must be
        deterministic."""
    def count(self) -> NodeId:
        """A node holding the number of elements, kept up to date without calls."""
    def reduce(self, fold_fn: Callable[[list[Any]], Any]) -> NodeId:
        """A node holding `fold_fn(list of the elements)`, called again on the whole list
        after each change."""
    def aggregate(
        self, identity: Any, lift: Callable[[Any], Any], combine: Callable[[Any, Any], Any]
    ) -> NodeId:
        """A node holding the fold of `lift` of every element with `combine`, which must be
        associative with `identity` as its unit: O(log n) `combine` calls per change."""
    def sort_by_key(self, key_fn: Callable[[Any], Any]) -> SortedCollection:
        """The elements in the order of `key_fn` (equal keys in insertion order): one key
        call per insert."""
    def group_by(self, key_fn: Callable[[Any], Any]) -> GroupedCollection:
        """One collection per key of `key_fn`: one key call per insert. Routing runs when the
        grouping's `version_node` (or a node reading it) is read."""
    def join(
        self, right: Collection, left_key: Callable[[Any], Any], right_key: Callable[[Any], Any]
    ) -> Collection:
        """`(left, right)` tuples of the elements of both collections whose keys are equal."""

@final
class SortedCollection:
    """A collection kept in key order, O(log n) per change."""
    @property
    def version_node(self) -> NodeId:
        """A node whose value counts the sorted collection's changes; reading it brings the
        order up to date. Take it once outside any query: the first use creates it."""
    def window(self, size: SupportsIndex) -> Collection:
        """Lists of `size` consecutive elements in key order (none while fewer are held)."""
    def pairwise(self) -> Collection:
        """`(a, b)` tuples of neighbours in key order."""
    def snapshot(self) -> list[Any]:
        """The elements in key order as last brought up to date."""
    def snapshot_len(self) -> int:
        """How many elements the sorted collection holds as last brought up to date."""

@final
class GroupedCollection:
    """A collection split by key into groups, each a `Collection`."""
    @property
    def version_node(self) -> NodeId:
        """A node whose value counts the routing runs that found changes; reading it routes
        the source's changes into the groups. Take it once outside any query."""
    def keys(self) -> list[Any]:
        """The keys of the groups made so far, in no particular order (empty groups stay)."""
    def get_group(self, key: Any) -> Collection | None:
        """The group of `key`, or None while no element has been routed to it."""
    def group_count(self) -> int:
        """How many groups have been made."""

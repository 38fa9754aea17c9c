"""NodeId: id, repr, comparison and the process-independent hash; ObserverId."""

import struct
import subprocess
import sys
import textwrap

import pytest

import weft

MASK = (1 << 64) - 1


def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & MASK


def siphash13_zero_key(data):
    v0, v1, v2, v3 = 0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573

    def rounds(n):
        nonlocal v0, v1, v2, v3
        for _ in range(n):
            v0 = (v0 + v1) & MASK
            v1 = _rotl(v1, 13) ^ v0
            v0 = _rotl(v0, 32)
            v2 = (v2 + v3) & MASK
            v3 = _rotl(v3, 16) ^ v2
            v0 = (v0 + v3) & MASK
            v3 = _rotl(v3, 21) ^ v0
            v2 = (v2 + v1) & MASK
            v1 = _rotl(v1, 17) ^ v2
            v2 = _rotl(v2, 32)

    whole = len(data) - len(data) % 8
    for i in range(0, whole, 8):
        m = int.from_bytes(data[i : i + 8], "little")
        v3 ^= m
        rounds(1)
        v0 ^= m
    b = (len(data) << 56) & MASK
    for i, byte in enumerate(data[whole:]):
        b |= byte << (8 * i)
    v3 ^= b
    rounds(1)
    v0 ^= b
    v2 ^= 0xFF
    rounds(3)
    return (v0 ^ v1 ^ v2 ^ v3) & MASK


def expected_hash(slot, generation, runtime_id):
    h = siphash13_zero_key(struct.pack("<IIQ", slot, generation, runtime_id))
    if h >= 1 << 63:
        h -= 1 << 64
    return -2 if h == -1 else h


def runtime_id_of(rt):
    # The foreign-handle message names the runtime a handle was minted by.
    node = rt.create_input(None)
    other = weft.Runtime()
    with pytest.raises(RuntimeError) as info:
        other.get(node)
    rt.delete_node(node)
    return int(str(info.value).split("minted by runtime ")[1].split(",")[0])


def test_id_and_repr():
    rt = weft.Runtime()
    nodes = [rt.create_input(i) for i in range(3)]
    assert [n.id for n in nodes] == [0, 1, 2]
    assert [repr(n) for n in nodes] == ["NodeId(slot=0)", "NodeId(slot=1)", "NodeId(slot=2)"]
    with pytest.raises(AttributeError):
        nodes[0].id = 5


def test_reused_slot_same_repr_but_unequal():
    rt = weft.Runtime()
    old = rt.create_input(1)
    rt.delete_node(old)
    new = rt.create_input(2)
    assert new.id == old.id
    assert repr(new) == repr(old)
    assert new != old and not new == old


def test_equality_and_hash_of_handles():
    rt = weft.Runtime()
    a = rt.create_input(1)
    b = rt.create_input(1)
    assert a == a and a != b
    others = [rt.create_input(0) for _ in range(3)]
    assert len({a, b, *others}) == 5
    assert {a: "a", b: "b"}[a] == "a"


def test_handles_of_two_runtimes_differ():
    n1 = weft.Runtime().create_input(1)
    n2 = weft.Runtime().create_input(1)
    assert n1.id == n2.id
    assert n1 != n2
    assert hash(n1) != hash(n2)


def test_comparison_with_other_objects():
    n = weft.Runtime().create_input(1)
    assert (n == 5) is False
    assert (n != 5) is True
    assert (5 != n) is True
    assert n.__eq__(5) is NotImplemented
    for op in ("<", "<=", ">", ">="):
        with pytest.raises(TypeError, match="not supported between instances of 'builtins.NodeId'"):
            eval(f"n {op} n")


def test_ne_passes_on_the_other_operands_exception():
    class Touchy:
        def __eq__(self, other):
            raise KeyError("eq")

    n = weft.Runtime().create_input(1)
    with pytest.raises(KeyError):
        n != Touchy()
    # `==` itself gives the other side its say too, as the interpreter does.
    with pytest.raises(KeyError):
        n == Touchy()


def test_hash_is_siphash_of_the_handle_fields():
    rt = weft.Runtime()
    rid = runtime_id_of(rt)
    first = rt.create_input(1)  # reuses the slot freed by runtime_id_of, generation 1
    second = rt.create_input(2)
    assert hash(first) == expected_hash(0, 1, rid)
    assert hash(second) == expected_hash(1, 0, rid)


def test_hash_is_identical_in_separate_processes():
    code = textwrap.dedent(
        """
        import weft
        rt = weft.Runtime()
        nodes = [rt.create_input(i) for i in range(3)]
        rt.delete_node(nodes[1])
        nodes.append(rt.create_input(9))
        print(*[hash(n) for n in nodes])
        """
    )
    runs = [
        subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
        for _ in range(2)
    ]
    assert runs[0] == runs[1]
    hashes = [int(h) for h in runs[0].split()]
    assert hashes == [expected_hash(0, 0, 1), expected_hash(1, 0, 1), expected_hash(2, 0, 1), expected_hash(1, 1, 1)]


def test_observer_id_is_an_identity_token():
    rt = weft.Runtime()
    n = rt.create_input(1)
    a = rt.observe(n, print)
    b = rt.observe(n, print)
    assert type(a) is weft.ObserverId
    assert a == a and a != b
    assert hash(a) == object.__hash__(a)
    assert repr(a).startswith("<builtins.ObserverId object at 0x")
    assert not [m for m in vars(weft.ObserverId) if not m.startswith("__")]

"""Reads that nest deeply: a long chain of never-computed queries read from its far end."""

import subprocess
import sys
import textwrap

import pytest

import weft

TOO_DEEP = "weft-core: reads nested too deeply: the thread's stack is nearly exhausted"

# Builds `chain`: an input followed by `n` queries, each one more than the one before, and
# records how the first read of its tail ends.
CHAIN = """
import sys, threading
import weft

def chain(rt, n, via_runtime):
    nodes = [rt.create_input(0)]
    for _ in range(n):
        prev = nodes[-1]
        if via_runtime:
            nodes.append(rt.create_query(lambda ref, prev=prev: rt.get(prev) + 1))
        else:
            nodes.append(rt.create_query(lambda ref, prev=prev: ref.get(prev) + 1))
    return nodes

def first_read(rt, node):
    try:
        return "value", rt.get(node)
    except BaseException as exc:
        return type(exc).__name__, str(exc)
"""


def run_script(body):
    script = CHAIN + textwrap.dedent(body)
    done = subprocess.run(
        [sys.executable, "-c", script],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, (done.returncode, done.stdout[-2000:])
    return done.stdout.splitlines()


# Through RuntimeRef.get (unguarded) the RecursionError travels with the PanicException
# each level passes back; through Runtime.get (guarded) each level re-raises it. Either way
# the outer read raises the RecursionError object itself.
@pytest.mark.parametrize("via_runtime", [False, True], ids=["ref_get", "runtime_get"])
def test_stack_exhaustion_is_a_clean_failure_and_reads_recover(via_runtime):
    # Without the recursion limit in the way, 100000 nested computes would overflow the C
    # stack. The read fails instead, and the chain stays usable: reading from the start
    # up succeeds, and so does the tail afterwards.
    out = run_script(f"""
        sys.setrecursionlimit(10**6)
        rt = weft.Runtime()
        nodes = chain(rt, 100_000, {via_runtime})
        kind, text = first_read(rt, nodes[-1])
        print(kind)
        print(text)
        for node in nodes[::100]:
            rt.get(node)
        print(rt.get(nodes[-1]))
        print(rt.get(nodes[-1]))
    """)
    assert out[0] == "RecursionError"
    assert out[1].startswith(TOO_DEEP)
    assert out[2:] == ["100000", "100000"]


def test_reading_the_tail_again_continues_where_it_stopped():
    # Every failed read leaves the nodes it reached Stale with their dependencies recorded,
    # so the next read walks those without nesting and gets further down.
    out = run_script("""
        sys.setrecursionlimit(10**6)
        rt = weft.Runtime()
        nodes = chain(rt, 30_000, False)
        tries = 1
        while first_read(rt, nodes[-1])[0] != "value":
            tries += 1
            assert tries < 100
        print(tries, rt.get(nodes[-1]))
    """)
    tries, value = map(int, out[0].split())
    assert value == 30_000 and 1 < tries < 100


def test_stack_exhaustion_on_a_thread_with_a_small_stack():
    out = run_script("""
        sys.setrecursionlimit(10**6)
        threading.stack_size(1 << 20)
        box = []

        def body():
            rt = weft.Runtime()
            nodes = chain(rt, 20_000, False)
            box.append(" ".join(first_read(rt, nodes[-1])))
            for node in nodes[::20]:
                rt.get(node)
            box.append(rt.get(nodes[-1]))

        thread = threading.Thread(target=body)
        thread.start()
        thread.join()
        print(box[0])
        print(box[1])
    """)
    assert out[0].startswith("RecursionError " + TOO_DEEP)
    assert out[1] == "20000"


def test_recursion_limit_stops_the_nesting_cleanly_and_reads_continue(capfd):
    # With the default limit, reads stop nesting before Python would raise RecursionError
    # on the way into a compute (which would fail that compute before its first read, for
    # good): the outer read raises the RecursionError of the innermost read, no exception
    # text is lost to the limit, and reading again continues where the read stopped.
    rt = weft.Runtime()
    source = rt.create_input(0)
    nodes = [source]
    for _ in range(3 * sys.getrecursionlimit()):
        nodes.append(rt.create_query(lambda ref, prev=nodes[-1]: ref.get(prev) + 1))
    with pytest.raises(RecursionError) as info:
        rt.get(nodes[-1])
    assert str(info.value).startswith(TOO_DEEP)
    err = capfd.readouterr().err
    assert "SystemError" not in err and "str() failed" not in err and "lost sys.stderr" not in err
    for tries in range(2, 50):
        try:
            assert rt.get(nodes[-1]) == len(nodes) - 1
            break
        except RecursionError as exc:
            assert str(exc).startswith(TOO_DEEP)
    assert tries < 20
    assert [rt.get(node) for node in nodes[:500:100]] == [0, 100, 200, 300, 400]


def test_a_query_that_recurses_by_itself_meets_pythons_own_limit():
    # Only reads that nest computes stop early: the callable's own recursion is its own.
    rt = weft.Runtime()
    a = rt.create_input(0)

    def down(n):
        return n if n == 0 else down(n - 1)

    q = rt.create_query(lambda ref: down(10**6) + ref.get(a))
    with pytest.raises(RecursionError, match="^maximum recursion depth exceeded"):
        rt.get(q)
    with pytest.raises(RuntimeError, match="read but its last compute panicked"):
        rt.get(q)

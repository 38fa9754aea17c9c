"""A program that exits while daemon threads, each with a runtime of its own, are inside
Python code that weft called: the interpreter ends those threads as it finalizes, and the
process must exit normally."""

import subprocess
import sys
import textwrap

import pytest

SCRIPT = """
import sys, threading, time
import weft

inside = threading.Event()

def wait_forever():
    inside.set()
    while True:
        time.sleep(0.001)  # gives up the interpreter lock and takes it back

class SlowEq:
    def __eq__(self, other):
        wait_forever()
    __hash__ = object.__hash__

class SlowDel:
    def __del__(self):
        wait_forever()

def query(rt):
    rt.get(rt.create_query(lambda ref: wait_forever()))

def observer(rt):
    a = rt.create_input(0)
    rt.observe(a, lambda value: wait_forever())
    rt.set(a, 1)
    rt.stabilize()

def equality(rt):  # the cutoff test of a write
    rt.set(rt.create_input(SlowEq()), 1)

def finaliser(rt):  # the value a write replaces
    rt.set(rt.create_input(SlowDel()), 1)

def sort_key(rt):
    c = rt.create_collection()
    c.insert(1)
    rt.get(c.sort_by_key(lambda x: wait_forever()).version_node)

work = globals()[sys.argv[1]]
threading.Thread(target=lambda: work(weft.Runtime()), daemon=True).start()
assert inside.wait(60)
print("exiting")
"""


@pytest.mark.parametrize("inside", ["query", "observer", "equality", "finaliser", "sort_key"])
def test_exit_with_a_daemon_thread_inside_a_callback(inside):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(SCRIPT), inside],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "exiting\n"), done.stderr[-2000:]

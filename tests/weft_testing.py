"""Helpers shared by the Python suites."""

import gc
import threading

import weft


def _find_panic_exception():
    # The class is not a module attribute: catch one to get hold of it.
    rt = weft.Runtime()
    node = rt.create_input(0)
    rt.delete_node(node)
    try:
        rt.observe(node, print)
    except BaseException as exc:  # noqa: BLE001 - it derives from BaseException
        return type(exc)
    raise AssertionError("observe on a stale handle did not fail")


PanicException = _find_panic_exception()


class ReleasesItsRuntime:
    """For state machines holding a runtime whose callables refer back to the machine: a
    cycle through the runtime, which the garbage collector does not see. Dropping the
    machine's references at teardown lets the runtime go."""

    def teardown(self):
        self.__dict__.clear()


def run_in_thread(fn):
    """Runs fn() on a new thread; returns (result, exception). Garbage left by earlier code
    is collected first: a collection that the new thread happened to trigger would free weft
    objects there, and report each as dropped on another thread."""
    gc.collect()
    box = {}

    def target():
        try:
            box["result"] = fn()
        except BaseException as exc:  # noqa: BLE001
            box["error"] = exc

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return box.get("result"), box.get("error")


class Tracked:
    """A weak-referenceable value whose release a test can observe."""

    def __init__(self, name="v"):
        self.name = name

    def __repr__(self):
        return f"Tracked({self.name!r})"


class Boom(Exception):
    """The error the suites' hostile callables and protocol methods raise."""


class RaisingEq:
    """Hashable by identity; every equality test raises."""

    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = object.__hash__

"""Every public operation, success and error paths, called thousands of times:
neither the interpreter's live memory blocks and objects nor the process's
resident memory may grow with the number of calls."""

import gc
import importlib
import sys
import types

import pytest

from support import EXTENSIONS, collected, fresh_module, heavy

CALLS = 3000  # per operation; image work runs fewer, see `heavy`


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def module_operations():
    """Each module created anew and dropped, as each interpreter or a reload
    does: the module, its classes and its state must all be freed."""

    def recreate(name):
        importlib.import_module(name)

        def call():
            fresh_module(name)

        # The allocator's own noise over a window of new classes runs to a
        # few blocks per call; a module lost with its classes is ~100.
        call.block_slack = 10
        return heavy(call, 100)

    return {f"re-created {name.removeprefix('pravel.')}": recreate(name) for name in EXTENSIONS}


@pytest.fixture
def operations(monkeypatch, capsys, word_file):
    """Each module's leak operations (its tests' OPERATIONS), and every module re-created."""
    kit = types.SimpleNamespace(monkeypatch=monkeypatch, capsys=capsys, word_file=word_file)
    return {**collected("leaks", kit), **module_operations()}


def captured(op):
    """The objects an operation works on, which a lost reference would keep
    alive: what its closure holds and the items of those, the constants of its
    code, the object it returns if that is an existing one, and their types. Numbers and singletons are left
    out: any code moves their counts."""
    objects = [cell.cell_contents for cell in op.__closure__ or ()]
    for o in list(objects):
        if isinstance(o, (tuple, list)):
            objects.extend(o)
        elif isinstance(o, dict):
            objects.extend(o.values())
        elif isinstance(o, types.MethodType):
            objects.extend((o.__self__, o.__func__))
    objects.extend(op.__code__.co_consts)
    result = op()
    if op() is result:  # an object that outlives the call (fresh results are counted as blocks)
        objects.append(result)
    objects = [o for o in objects if not isinstance(o, (int, float, type(None)))]
    objects += [type(o) for o in objects]
    return list({id(o): o for o in objects}.values())


def growth(op):
    """(calls, blocks, objects, references) left behind by `op` per window of
    `calls` calls, the smallest of three windows. Caches and the allocator's
    free lists fill up during the first calls and then stay; a lost reference
    to a new object grows every window by at least one block per call, and
    one to an existing object raises that object's reference count."""
    calls = getattr(op, "calls", CALLS)
    for _ in range(calls // 2):
        op()
    held = captured(op)

    def mark():
        gc.collect()
        return (sys.getallocatedblocks(), len(gc.get_objects()),
                sum(sys.getrefcount(o) for o in held))

    # What exists now is moved out of the collector's way, so that each
    # collection walks only what the calls made.
    gc.freeze()
    try:
        marks = [mark()]
        for _ in range(3):
            for _ in range(calls):
                op()
            marks.append(mark())
    finally:
        gc.unfreeze()
    windows = [[b - a for a, b in zip(before, after)] for before, after in zip(marks, marks[1:])]
    return (calls, *(min(w[i] for w in windows) for i in range(3)))


def leaked(op):
    calls, blocks, objects, refs = growth(op)
    return blocks > calls * getattr(op, "block_slack", 0.2) or objects > calls // 5 or refs > 0


_STORE = {"kept": ["an existing object"]}

needs_pymalloc = pytest.mark.skipif(
    not sys.getallocatedblocks(), reason="block counts need the interpreter's own allocator"
)


@needs_pymalloc
def test_harness_sees_a_lost_reference():
    import ctypes

    def lose_new_object():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(object()))

    argument = [1, 2]

    def lose_argument():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(argument))

    def lose_returned():  # an object reached neither by closure nor constants
        found = _STORE["kept"]
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(found))
        return found

    arguments = ([5, 6],)

    def lose_item():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(arguments[0]))

    assert leaked(heavy(lose_new_object))
    assert leaked(heavy(lose_argument, 10))
    assert leaked(heavy(lose_returned, 10))
    assert leaked(heavy(lose_item, 10))
    assert not leaked(heavy(lambda: len(argument)))
    assert not leaked(heavy(lambda: _STORE["kept"]))


@needs_pymalloc
def test_no_growth(operations):
    start_rss = resident_bytes()
    grown = {name: growth(op) for name, op in operations.items() if leaked(op)}
    assert not grown, f"(calls, blocks, objects, references) left per window: {grown}"
    # Memory outside the interpreter's view (native buffers) must not pile up either.
    assert resident_bytes() - start_rss < 32 * 2**20

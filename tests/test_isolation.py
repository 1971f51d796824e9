"""Module isolation: every module keeps its state in its own module object.

The modules that need neither Pillow nor requests declare support for
interpreters with their own GIL and must load and work in an isolated
subinterpreter (Python 3.14's concurrent.interpreters); every module, created
a second time in one interpreter, must be a fresh, working module that leaves
the first one undisturbed."""

import gc
import importlib
import importlib.util
import json
import sys
import textwrap
import threading
import weakref
from pathlib import Path

import pytest

from support import OWN_GIL, SHARED_GIL, fresh_module, operations_of
from pravel.response.faultmark import Faultmark

try:
    from concurrent import interpreters
except ImportError:  # before 3.14
    interpreters = None

needs_subinterpreters = pytest.mark.skipif(
    interpreters is None, reason="concurrent.interpreters arrived in Python 3.14")

TESTS = str(Path(__file__).resolve().parent)

# Runs the isolated operations of the own-GIL modules (their tests'
# OPERATIONS) in any interpreter, given `codes` ({module: code} as JSON),
# `word_file` and `tests`; leaves `outcomes`, as JSON: what each call gave.
RUN = textwrap.dedent("""
    import json, sys
    if tests not in sys.path:
        sys.path.insert(0, tests)
    from pravel.exceptions import PromptBanError
    from support import Raised, outcome

    def shown(got):
        if not isinstance(got, Raised):
            return repr(got)
        hits = f" {sorted(got.error.data)}" if isinstance(got.error, PromptBanError) else ""
        return f"{got.type.__name__}: {got.message}{hits}"

    found = {}
    for name, code in json.loads(codes).items():
        namespace = {"word_file": word_file}
        exec(code, namespace)
        found[name] = [shown(outcome(call)) for call in namespace["calls"]]
    outcomes = json.dumps(found, ensure_ascii=False)
""")
CODES = json.dumps({name: operations_of(name).isolated for name in OWN_GIL})


@pytest.fixture
def words_path(word_file):
    return word_file("cat\ndog\nstraße\nдом\n")


def run_here(words_path):
    namespace = {"codes": CODES, "word_file": words_path, "tests": TESTS}
    exec(RUN, namespace)
    return json.loads(namespace["outcomes"])


def run_in(interp, code, **values):
    """Runs `code` in `interp` and returns the value it left in `result`."""
    queue = interpreters.create_queue()
    interp.prepare_main(queue=queue, **values)
    interp.exec(code + "\nqueue.put(result)\n")
    return queue.get(timeout=60)


@pytest.fixture
def isolated():
    """A new subinterpreter with the isolated configuration (its own GIL)."""
    import _interpreters

    made = []

    def make():
        interp = interpreters.create()
        config = _interpreters.get_config(interp.id)
        assert config.gil == "own" and config.check_multi_interp_extensions
        made.append(interp)
        return interp

    yield make
    for interp in made:
        interp.close()


# ---------------------------------------------------------------- subinterpreters


@needs_subinterpreters
def test_own_gil_modules_work_in_isolated_subinterpreters(isolated, words_path):
    expected = run_here(words_path)
    assert "PromptBanError: Prohibited prompt words:" in expected["pravel.wordguard"][0]  # the calls really ran
    code = RUN + "\nresult = outcomes"
    # Several at once, each interpreter running under its own GIL.
    subs = [isolated() for _ in range(3)]
    results, errors = {}, []

    def work(interp):
        try:
            results[interp.id] = json.loads(run_in(interp, code, codes=CODES, word_file=words_path, tests=TESTS))
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(interp,)) for interp in subs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    assert list(results.values()) == [expected] * len(subs)


@needs_subinterpreters
@pytest.mark.parametrize("name", SHARED_GIL)
def test_modules_needing_pillow_or_requests_are_refused_by_isolated_interpreters(isolated, name):
    # Refused by their own declaration, before their imports run.
    code = textwrap.dedent(f"""
        import importlib.util
        found = importlib.util.find_spec({name!r})
        try:
            importlib.util.module_from_spec(found)
            result = "loaded"
        except ImportError as e:
            result = str(e)
    """)
    message = run_in(isolated(), code)
    assert name in message and "loaded" != message


@needs_subinterpreters
def test_each_interpreter_has_its_own_classes_and_state(isolated, monkeypatch):
    from pravel.orvid import OrvidSizeCalculator
    from pravel.response.faultroll import Faultroll
    from pravel.response.result import ServiceResult

    monkeypatch.setattr(OrvidSizeCalculator, "MAX_EDGE", 1000)
    monkeypatch.setattr(ServiceResult, "_error_rules", [(["boom"], Faultmark.TIMEOUT)])
    main_code = Faultroll.register("MAIN_ONLY", "主解释器")
    try:
        sub = isolated()
        seen = run_in(sub, textwrap.dedent("""
            from pravel.orvid import OrvidSizeCalculator
            from pravel.response.faultmark import Faultmark
            from pravel.response.faultroll import Faultroll
            from pravel.response.result import ServiceResult
            Faultroll.register("SUB_ONLY", "子解释器")
            result = (OrvidSizeCalculator.calc_size("16:9", "4k")["size"],
                      ServiceResult.fail(Faultmark.SERVICE_BUSY, "boom").msg,
                      Faultroll.get("MAIN_ONLY") is None, list(Faultroll.list_all()))
        """))
        assert seen == ("3840x2160", "boom", True, ["SUB_ONLY"])
        # The main interpreter's state is untouched by the subinterpreter's.
        assert Faultroll.get("SUB_ONLY") is None and Faultroll.get("MAIN_ONLY") is main_code
        assert ServiceResult.fail(Faultmark.SERVICE_BUSY, "boom").msg == Faultmark.TIMEOUT.msg
        assert not OrvidSizeCalculator.calc_size("16:9", "4k")["valid"]
        # A module stays loaded in the subinterpreter between runs.
        assert run_in(sub, "result = list(Faultroll.list_all())") == ["SUB_ONLY"]
    finally:
        Faultroll._registry.pop("MAIN_ONLY", None)


# ---------------------------------------------------------------- re-created modules


def works(module, words_path):
    """A real operation of `module`, for its answer (its tests' OPERATIONS)."""
    return operations_of(module.__name__).recreated(module, words_path)


@pytest.mark.parametrize("name", OWN_GIL + SHARED_GIL)
def test_a_recreated_module_is_fresh_and_leaves_the_first_alone(name, words_path):
    first = importlib.import_module(name)
    answer = works(first, words_path)
    fresh = fresh_module(name)
    assert fresh is not first and fresh.__dict__ is not first.__dict__
    public = [n for n in vars(first) if n[0].isupper() and isinstance(vars(first)[n], type)
              and vars(first)[n].__module__ == name]
    assert public and all(getattr(fresh, n) is not getattr(first, n) for n in public)
    assert works(fresh, words_path) == answer

    # Dropped, the second module is freed with its state; the first works on.
    gone = weakref.ref(fresh)
    del fresh
    gc.collect()
    assert gone() is None
    assert works(first, words_path) == answer


def test_recreated_modules_keep_their_own_registry_and_rules():
    from pravel.response.faultroll import Faultroll
    from pravel.response.result import ServiceResult

    roll, result = fresh_module("pravel.response.faultroll"), fresh_module("pravel.response.result")
    assert roll.Faultroll._registry is not Faultroll._registry
    try:
        made = roll.Faultroll.register("FRESH_ONLY", "新模块")
        assert Faultroll.get("FRESH_ONLY") is None and roll.Faultroll.get("FRESH_ONLY") is made
        # The rules are read from each module's own ServiceResult.
        result.ServiceResult._error_rules = [(["boom"], Faultmark.TIMEOUT)]
        assert result.ServiceResult.fail(Faultmark.SERVICE_BUSY, "boom").msg == Faultmark.TIMEOUT.msg
        assert ServiceResult.fail(Faultmark.SERVICE_BUSY, "boom").msg == "boom"
    finally:
        roll.Faultroll.clear()


@pytest.fixture
def reimport(monkeypatch):
    """Imports a module anew after taking it out of sys.modules; the first one
    is put back afterwards."""

    def again(name):
        parent, _, child = name.rpartition(".")
        monkeypatch.setattr(sys.modules[parent], child, sys.modules[name])
        monkeypatch.delitem(sys.modules, name)
        return importlib.import_module(name)

    return again


@pytest.mark.parametrize("name", OWN_GIL + SHARED_GIL)
def test_importing_again_after_removal_gives_a_new_working_module(name, reimport, words_path):
    first = importlib.import_module(name)
    answer = works(first, words_path)
    second = reimport(name)
    assert second is not first and sys.modules[name] is second
    assert works(second, words_path) == works(first, words_path) == answer

"""What the test files share, as plain functions (conftest.py holds only
fixtures): the registry of extension modules, modules made afresh, the
package's own messages, outcomes of calls, a thread runner, encoded images,
and the record through which each module's tests hand their operations to the
cross-cutting suites (leaks, threads, isolation, shutdown).

Nothing here imports Pillow at import time: the isolation suite imports this
module in subinterpreters, where Pillow cannot load."""

import importlib
import importlib.machinery
import importlib.util
import io
import json
import sys
import threading
from pathlib import Path
from typing import Callable, NamedTuple, Optional

# ---------------------------------------------------------------- the extension modules

# Every extension module a build makes, from the registry the build reads
# (src/modules.json), with the GIL it works under in a subinterpreter: "own"
# modules load in isolated interpreters with a GIL of their own; "shared"
# ones need Pillow or requests, which do not, and are refused there.
# test_build.py holds the registry to the sources, the build and the package.
REGISTRY = json.loads((Path(__file__).resolve().parent.parent / "src" / "modules.json").read_text())["modules"]
EXTENSIONS = {entry["name"]: entry["interpreters"] for entry in REGISTRY}
OWN_GIL = [name for name, gil in EXTENSIONS.items() if gil == "own"]
SHARED_GIL = [name for name, gil in EXTENSIONS.items() if gil == "shared"]

# Exercises the native core directly; built only for the tests (CMake option
# PRAVEL_CORE_TESTS, which tools/test.sh turns on) and never shipped.
CORE_TEST_MODULE = "pravel._coretest"


def built_extensions() -> dict[str, Path]:
    """The extension modules of the installed package: dotted name -> file."""
    import pravel

    package = Path(pravel.__file__).resolve().parent
    found = {}
    for path in package.rglob("*"):
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            if path.name.endswith(suffix):
                stem = path.name[: -len(suffix)]
                found[".".join(("pravel", *path.relative_to(package).parent.parts, stem))] = path
                break
    return found


def fresh_module(name):
    """The extension module `name` created and executed once more. As in an
    import, it stands in sys.modules while it executes (dataclass() looks
    there); the first one is put back."""
    found = importlib.util.find_spec(name)
    module = importlib.util.module_from_spec(found)
    first = sys.modules[name]
    sys.modules[name] = module
    try:
        found.loader.exec_module(module)
    finally:
        sys.modules[name] = first
    return module


# ---------------------------------------------------------------- what the suites run


class Operations(NamedTuple):
    """What the cross-cutting suites run of one extension module; each
    tests/test_<module>.py exports one as OPERATIONS.

    leaks(kit) and threads(kit) return {name: call}; the suites name the
    attributes their kit has. Leak operations import the classes they call
    inside leaks(): the leak suite watches the reference counts of what the
    calls' closures hold. recreated(module, word_file) is a real call of
    `module` (the first one or one made afresh), for its answer. isolated is
    code for any interpreter (own-GIL modules only): given `word_file` and
    `outcome`, it leaves `calls`, a list of calls. shutdown maps a name to code
    that, after test_shutdown.py's prelude, starts a daemon thread that spends
    its time inside one long operation; a module without one maps nothing."""

    leaks: Callable[..., dict]
    threads: Callable[..., dict]
    recreated: Callable[..., object]
    shutdown: dict[str, str]
    isolated: Optional[str] = None


def operations_of(name: str) -> Operations:
    """The OPERATIONS of extension module `name`, from tests/test_<module>.py;
    a module whose tests export none fails every suite that collects them."""
    test_file = "test_" + name.rsplit(".", 1)[1]
    found = getattr(importlib.import_module(test_file), "OPERATIONS", None)
    if not isinstance(found, Operations):
        raise LookupError(f"tests/{test_file}.py exports no OPERATIONS for {name}")
    if EXTENSIONS[name] == "own" and found.isolated is None:
        raise LookupError(f"tests/{test_file}.py gives no isolated operations for own-GIL {name}")
    return found


def collected(suite: str, *args) -> dict:
    """The named calls of `suite` ("leaks" or "threads") of every module, each
    field called with `args`; names must not repeat across modules."""
    calls = {}
    for name in EXTENSIONS:
        made = getattr(operations_of(name), suite)(*args)
        assert not calls.keys() & made.keys(), (name, suite, calls.keys() & made.keys())
        calls.update(made)
    return calls


def raises(exc, fn, *args, **kwargs):
    """A call that must raise `exc`: fn(*args, **kwargs)."""

    def call():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc}")

    return call


def heavy(fn, calls=1000):
    """A leak operation too slow for the full count; one lost reference per
    call still shows plainly at this many calls."""
    fn.calls = calls
    return fn


# ---------------------------------------------------------------- messages


def wrong_type(name: str, expected: str, got: object) -> str:
    """The TypeError message of a wrongly typed argument: `got` is the type's
    name or the object given."""
    got_name = got if isinstance(got, str) else type(got).__name__
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got_name})"


# ---------------------------------------------------------------- calls


class Raised(tuple):
    """An exception a call raised: equal to (type, message), with the
    exception itself as `error` for what else a test compares."""

    def __new__(cls, error: BaseException):
        raised = super().__new__(cls, (type(error), str(error)))
        raised.error = error
        return raised

    type = property(lambda self: self[0])
    message = property(lambda self: self[1])


def outcome(call, *args, **kwargs):
    """What call(*args, **kwargs) gives: its value, or the Raised exception,
    to compare two implementations or two runs."""
    try:
        return call(*args, **kwargs)
    except Exception as error:
        return Raised(error)


def in_threads(work, count=4):
    """Runs work(k) for k in range(count), each in its own thread, started
    together; returns the results in that order. An exception in a thread
    fails the caller."""
    results, errors = [None] * count, []
    start = threading.Barrier(count)

    def run(k):
        try:
            start.wait()
            results[k] = work(k)
        except BaseException as error:  # raised again below, in the caller
            errors.append(error)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


# ---------------------------------------------------------------- images


def encode(image, fmt: str = "PNG", **options) -> bytes:
    """The image encoded in `fmt`, as an upload would arrive."""
    buffer = io.BytesIO()
    image.save(buffer, fmt, **options)
    return buffer.getvalue()


def decode(data: bytes):
    from PIL import Image

    image = Image.open(io.BytesIO(data))
    image.load()
    return image

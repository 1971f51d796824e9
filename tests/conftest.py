"""What the test files share: the registry of extension modules, modules
made afresh, encoded images, word files, outcomes of calls, a thread runner
and the package's own messages. The plain-Python models the tests compare
with live in benchmarks/plain/ (importable as `plain.<module>`, see
pyproject.toml)."""

import importlib
import importlib.machinery
import json
import importlib.util
import io
import sys
import threading
from pathlib import Path

import pytest
from PIL import Image

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


# ---------------------------------------------------------------- messages


def wrong_type(name: str, expected: str, got: object) -> str:
    """The TypeError message of a wrongly typed argument: `got` is the type's
    name or the object given."""
    got_name = got if isinstance(got, str) else type(got).__name__
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got_name})"


# ---------------------------------------------------------------- calls


def outcome(call, *args, **kwargs):
    """What call(*args, **kwargs) gives: its value, or the type and message of
    the exception it raises, to compare two implementations."""
    try:
        return call(*args, **kwargs)
    except Exception as error:
        return type(error), str(error)


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


# ---------------------------------------------------------------- files and images


@pytest.fixture
def word_file(tmp_path):
    """word_file(content, name="banned.txt") writes a banned-word file (text as
    UTF-8, or raw bytes) and returns its path as a str."""

    def write(content, name="banned.txt"):
        path = tmp_path / name
        path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
        return str(path)

    return write


def encode(image: Image.Image, fmt: str = "PNG", **options) -> bytes:
    """The image encoded in `fmt`, as an upload would arrive."""
    buffer = io.BytesIO()
    image.save(buffer, fmt, **options)
    return buffer.getvalue()


def decode(data: bytes) -> Image.Image:
    image = Image.open(io.BytesIO(data))
    image.load()
    return image


@pytest.fixture
def make_image():
    """make_image(w, h, mode="RGB", fmt="PNG", colour=...) -> encoded bytes."""

    def make(width, height, mode="RGB", fmt="PNG", colour=None, **options):
        if colour is None:
            colour = {"RGB": (30, 120, 200), "RGBA": (30, 120, 200, 255), "L": 90, "P": 3}.get(mode, 0)
        return encode(Image.new(mode, (width, height), colour), fmt, **options)

    return make

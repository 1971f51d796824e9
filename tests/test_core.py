"""The native core on its own, through pravel._coretest (built only for the
tests): parameter kinds and defaults, argument binding with CPython's own
error messages, functions placed in classes, unpacking, and C++ errors
crossing into Python."""

import copy
import inspect
import os
import types
from decimal import Decimal
from fractions import Fraction

import pytest

from support import CORE_TEST_MODULE, outcome, wrong_type

if os.environ.get("PRAVEL_CORE_TESTS") == "1":  # tools/test.sh: the module must be there
    import importlib

    core = importlib.import_module(CORE_TEST_MODULE)
else:
    core = pytest.importorskip(CORE_TEST_MODULE, reason="built only with -DPRAVEL_CORE_TESTS=ON")

Native = core.Probe


class Probe:
    """The native Probe's signatures written in Python: CPython's own
    binding errors, which the core's must equal word for word."""

    def __init__(self, value=0):
        self.value = value

    @staticmethod
    def kinds(any=[], text="s", maybe=None, data=b"b", number=7, real=0.5, flag=0, **kwargs):
        pass

    def method(self, a, b=2):
        pass

    @classmethod
    def make(cls, a, b="x"):
        pass

    @staticmethod
    def required(a, b, c, d=4):
        pass

    @staticmethod
    def one(a):
        pass

    @staticmethod
    def keywords(a, b=2, *, c, d=4):
        pass

    @staticmethod
    def nothing():
        pass


def binding_error(call, *args, **kwargs):
    """The message of the TypeError a call raises, or None."""
    result = outcome(call, *args, **kwargs)
    if isinstance(result, tuple) and len(result) == 2 and result[0] is TypeError:
        return result[1]
    return None


# ---------------------------------------------------------------- binding


CALLS = [
    ("method", (), {}), ("method", (1, 2, 3), {}), ("method", (1,), {"a": 1}),
    ("method", (), {"b": 1}), ("method", (1,), {"zzz": 1}), ("method", (), {"b": 1, "a": 2}),
    ("make", (), {}), ("make", (1, "y", 3), {}), ("make", (), {"b": "y"}),
    ("make", ("q",), {"a": 1}),
    ("required", (), {}), ("required", (1,), {}), ("required", (1, 2), {}),
    ("required", (), {"c": 3}), ("required", (1, 2, 3, 4, 5), {}),
    ("required", (1, 2, 3), {"d": 4, "a": 1}), ("required", (1, 2, 3), {"d": 4}),
    ("one", (), {}), ("one", (1, 2), {}), ("one", (), {"a": 1, "zzz": 2}),
    ("nothing", (1,), {}), ("nothing", (1, 2), {}), ("nothing", (), {"zzz": 1}),
    ("kinds", (1,) * 8, {}), ("kinds", (1,), {"any": 2}), ("kinds", (), {"extra": 2}),
    ("keywords", (), {}), ("keywords", (1,), {}), ("keywords", (1, 2, 3), {}),
    ("keywords", (1,), {"c": 3, "zzz": 1}), ("keywords", (), {"c": 3}),
    ("keywords", (1,), {"d": 5}),
]


@pytest.mark.parametrize("name, args, kwargs", CALLS)
@pytest.mark.parametrize("through", ["class", "instance"])
def test_binding_errors_are_worded_as_cpython_words_them(name, args, kwargs, through):
    native = getattr(Native if through == "class" else Native(), name)
    python = getattr(Probe if through == "class" else Probe(), name)
    assert binding_error(native, *args, **kwargs) == binding_error(python, *args, **kwargs)


@pytest.mark.parametrize("args, kwargs", [((1, 2), {}), ((), {"zzz": 1}), ((), {"value": 1, "v": 2})])
def test_constructor_binding_errors(args, kwargs):
    assert binding_error(Native, *args, **kwargs) == binding_error(Probe, *args, **kwargs)


def test_a_few_wordings_spelled_out():
    """The same, independent of the running CPython: these fail if either changes."""
    assert binding_error(Native.required) == (
        "Probe.required() missing 3 required positional arguments: 'a', 'b', and 'c'")
    assert binding_error(Native.required, 1) == (
        "Probe.required() missing 2 required positional arguments: 'b' and 'c'")
    assert binding_error(Native.one, 1, 2) == (
        "Probe.one() takes 1 positional argument but 2 were given")
    assert binding_error(Native().method, 1, 2, 3) == (
        "Probe.method() takes from 2 to 3 positional arguments but 4 were given")
    assert binding_error(Native.nothing, zzz=1) == (
        "Probe.nothing() got an unexpected keyword argument 'zzz'")
    assert binding_error(Native.make, 1, a=2) == (
        "Probe.make() got multiple values for argument 'a'")


# ---------------------------------------------------------------- parameter kinds


def test_defaults_are_evaluated_once_and_keywords_collected_anew():
    first, second = Native.kinds(), Native.kinds()
    assert first == ([], "s", None, b"b", 7, 0.5, False, {})
    assert first[0] is second[0]  # one default object, as in Python
    assert first[7] is not second[7]
    assert Native.kinds(extra=1, other=2)[7] == {"extra": 1, "other": 2}


def test_signature_and_annotations():
    assert str(inspect.signature(Native.kinds)) == (
        "(any=[], text: 'str' = 's', maybe: 'Optional[str]' = None, data: 'bytes' = b'b', "
        "number: 'int' = 7, real: 'float' = 0.5, flag: 'bool' = 0, **kwargs) -> 'tuple'")
    assert str(inspect.signature(Native.keywords)) == "(a, b=2, *, c, d=4)"
    assert Native.keywords(1, c=3) == (1, 2, 3, 4)
    assert Native.keywords(c=3, a=1, d=5, b=0) == (1, 0, 3, 5)
    assert Native.kinds.__annotations__ == {
        "text": "str", "maybe": "Optional[str]", "data": "bytes", "number": "int",
        "real": "float", "flag": "bool", "return": "tuple"}


def test_object_kinds_hand_over_the_object_itself():
    thing = object()
    assert Native.kinds(thing)[0] is thing
    assert Native.borrowed(thing) is thing
    big = 10**40
    assert Native.kinds(number=big)[4] is big


class Text(str):
    pass


@pytest.mark.parametrize("kwargs, name, expected, got", [
    ({"text": Text("x")}, "text", "str", "Text"),
    ({"text": None}, "text", "str", "NoneType"),
    ({"maybe": b"x"}, "maybe", "str", "bytes"),
    ({"data": bytearray(b"x")}, "data", "bytes", "bytearray"),
    ({"data": "x"}, "data", "bytes", "str"),
    ({"number": "7"}, "number", "int", "str"),
    ({"number": None}, "number", "int", "NoneType"),
    # declaration order decides which is reported, not the order of the call
    ({"number": "7", "text": 1}, "text", "str", "int"),
])
def test_exact_types_are_enforced_with_the_package_message(kwargs, name, expected, got):
    assert binding_error(Native.kinds, **kwargs) == wrong_type(name, expected, got)


def test_conversions():
    assert Native.kinds(maybe="m")[2] == "m"
    numbers = [True, 2.9, -2.9, Decimal("7.9"), Fraction(7, 2)]
    converted = [Native.kinds(number=n)[4] for n in numbers]
    assert converted == [1, 2, -2, 7, 3] and {type(n) for n in converted} == {int}
    assert outcome(Native.kinds, number=1j) == outcome(int, 1j)  # int()'s own error
    assert Native.kinds(real=2)[5] == 2.0 and Native.kinds(real=Fraction(1, 4))[5] == 0.25
    assert outcome(Native.kinds, real="x")[0] is TypeError
    assert [Native.kinds(flag=v)[6] for v in ([], [0], "", 2)] == [False, True, False, True]

    class Undecided:
        def __bool__(self):
            raise RuntimeError("no truth")

    assert outcome(Native.kinds, flag=Undecided()) == (RuntimeError, "no truth")


# ---------------------------------------------------------------- classes


def test_methods_properties_and_their_names():
    class Sub(Native):
        pass

    probe = Sub(21)
    assert probe.method(1) == (probe, 1, 2)
    assert Sub.make(1) == (Sub, 1, "x") and probe.make(1, "y") == (Sub, 1, "y")
    assert probe.one(5) == 5 and Sub.required(1, 2, 3) == (1, 2, 3, 4)
    assert probe.doubled == 42 and Native.doubled.__doc__ == "Twice the value."
    with pytest.raises(AttributeError):
        probe.doubled = 1
    method = Native.__dict__["method"]
    assert (method.__name__, method.__qualname__, method.__module__) == (
        "method", "Probe.method", CORE_TEST_MODULE)


def test_class_method_guard():
    class Inherits(Native):
        pass

    class Overrides(Native):
        @classmethod
        def make(cls, a, b="x"):
            return "mine"

    class Hidden(Native):
        make = staticmethod(Native.make)

    assert Native.makes_own() and Inherits.makes_own()
    assert not Overrides.makes_own() and not Hidden.makes_own()


def test_functions_are_known_by_their_module_s_identity():
    from pravel import orvid
    from pravel.response import faultmark

    getter = faultmark.Faultmark.__dict__["code"].fget
    assert Native.made_by(getter, faultmark) and Native.made_by(Native.__dict__["method"], core)
    assert not Native.made_by(getter, orvid)
    assert not Native.made_by(getter, types.ModuleType(faultmark.__name__))  # only a name

    def impostor(self):
        return "code"

    impostor.__module__, impostor.__name__ = faultmark.__name__, "code"
    assert not Native.made_by(impostor, faultmark)


# ---------------------------------------------------------------- unpacking


@pytest.mark.parametrize("value, count, expected", [
    ((1, 2), 2, (1, 2)), ([1], 1, (1,)), ("abc", 3, ("a", "b", "c")), (iter({7}), 1, (7,)),
    ((1, 2, 3), 2, (ValueError, "too many values to unpack (expected 2)")),
    (iter([1, 2, 3]), 2, (ValueError, "too many values to unpack (expected 2)")),
    ((1,), 2, (ValueError, "need more than 1 value to unpack")),
    ([], 3, (ValueError, "need more than 0 values to unpack")),
    (iter("ab"), 3, (ValueError, "need more than 2 values to unpack")),
    (5, 2, (TypeError, "'int' object is not iterable")),
])
def test_unpack(value, count, expected):
    assert outcome(Native.unpack, value, count) == expected


def test_unpack_reads_one_item_past_the_count_and_passes_errors_on():
    items = iter([1, 2, 3, 4])
    assert outcome(Native.unpack, items, 2)[0] is ValueError
    assert next(items) == 4

    def broken():
        yield 1
        raise KeyError("in the iterator")

    assert outcome(Native.unpack, broken(), 2) == (KeyError, "'in the iterator'")


# ---------------------------------------------------------------- errors


@pytest.mark.parametrize("how, expected", [
    ("runtime_error", (SystemError, "unexpected C++ exception in pravel: broken invariant")),
    ("not_an_exception", (SystemError, "unexpected C++ exception in pravel")),
    ("bad_alloc", (MemoryError, "")),
    ("raise", (LookupError, "raised with pv::raise")),
    ("set_and_return", (KeyError, "'set and returned'")),
    ("ok", None),
])
def test_errors_cross_the_trampoline(how, expected):
    assert outcome(Native.fail, how) == expected


# ---------------------------------------------------------------- declarations


@pytest.fixture(scope="module")
def compiled_declarations():
    """{case: (compiled?, diagnostics)} for the cases of tests/native/mismatch.cpp,
    checked by the C++ compiler alone, all at once."""
    import shutil
    import subprocess
    import sysconfig
    from pathlib import Path

    compiler = shutil.which(os.environ.get("CXX", "c++"))
    source = Path(__file__).resolve().parent / "native" / "mismatch.cpp"
    core_headers = source.parent.parent.parent / "src" / "core"
    if compiler is None or not core_headers.is_dir():
        pytest.skip("needs a C++ compiler and the source tree")
    # Not under the sanitizer runtime the tests may run with.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    runs = {case: subprocess.Popen(
        [compiler, "-std=c++20", "-fsyntax-only", f"-DMISMATCH={case}", f"-I{core_headers}",
         f"-I{sysconfig.get_paths()['include']}", str(source)],
        stderr=subprocess.PIPE, text=True, env=env) for case in range(6)}
    results = {}
    for case, run in runs.items():
        errors = run.communicate()[1]
        results[case] = (run.returncode == 0, errors)
    return results


def test_declarations_that_do_not_fit_their_implementation_do_not_compile(compiled_declarations):
    compiled, errors = compiled_declarations[0]
    assert compiled, errors
    for case, reason in [(1, "as many arguments"), (2, "as many arguments"),
                         (3, "does not match its parameter's kind"),
                         (4, "does not match its parameter's kind"), (5, "after the parameters")]:
        compiled, errors = compiled_declarations[case]
        assert not compiled and reason in errors, (case, errors)


def test_optional_attributes_swallow_only_attribute_errors():
    class Thing:
        there = 1

        @property
        def missing(self):
            raise AttributeError("computed and missing")

        @property
        def broken(self):
            raise ValueError("broken")

    assert Native.optional(Thing(), "there") == (True, 1)
    assert Native.optional(Thing(), "absent") == (False, None)
    assert Native.optional(Thing(), "missing") == (False, None)
    with pytest.raises(ValueError, match="broken"):
        Native.optional(Thing(), "broken")


def test_strip_is_str_strip():
    for text in ["", "   ", " a b ", "\u3000x\u2029", "\x1c\x1dy\x1e\x1f", "\ufeff z"]:
        assert Native.strip(text) == text.strip(), repr(text)


def test_number_conversions_raise_the_host_s_errors():
    assert Native.number(-7, "long") == -7 and Native.number(True, "ssize") == 1
    assert Native.number(2**70, "long_long") == (-1, 1) and Native.number(-(2**70), "long_long") == (-1, -1)
    assert Native.number(Fraction(1, 4), "double") == 0.25
    for value, kind, error in [(2**70, "long", OverflowError), (2**70, "ssize", OverflowError),
                               ("1", "long", TypeError), ("1", "double", TypeError), (1.5, "ssize", TypeError)]:
        with pytest.raises(error):
            Native.number(value, kind)


def test_iteration_stops_early_and_passes_errors_on():
    assert Native.until([1, 2, 3, 4], 3) == ([1, 2], True)
    assert Native.until(iter("ab"), "z") == (["a", "b"], False)

    def broken():
        yield 1
        raise LookupError("in the middle")

    with pytest.raises(LookupError, match="in the middle"):
        Native.until(broken(), 9)


def test_try_except_lets_interrupts_and_memory_errors_through():
    def raising(error):
        def fn():
            raise error("from fn")
        return fn

    assert Native.attempt(lambda: 5) == 5
    assert Native.attempt(raising(ValueError)) == ("caught", "from fn")
    for error in (KeyboardInterrupt, SystemExit, MemoryError):
        with pytest.raises(error):
            Native.attempt(raising(error))


def test_native_values_belong_to_their_module_s_type():
    box = Native.boxed("held")
    assert repr(box) == "held" and Native.unboxed(box) == "held"
    assert copy.copy(box) is box and copy.deepcopy(box) is box
    assert Native.unboxed(object()) is None and Native.unboxed(None) is None
    with pytest.raises(TypeError):
        type(box)()
    assert type(box).__module__ == "pravel._coretest" and type(box).__name__ == "box"

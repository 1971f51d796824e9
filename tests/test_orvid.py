import inspect
import itertools
import math
from decimal import Decimal
from fractions import Fraction

import pytest

from support import Operations, Raised, outcome, raises
from pravel.orvid import OrvidSizeCalculator

# The same algorithms in plain Python, step by step.
from plain.orvid import OrvidSizeCalculator as Model


def same_everywhere(calculator, model, ratios, tiers):
    for ratio in ratios:
        for tier in tiers:
            expected = outcome(model.calc_size, ratio, tier)
            assert outcome(calculator.calc_size, ratio, tier) == expected, (ratio, tier)


TABLE = [
    ("1:1", "1k", "1248x1248"), ("1:1", "2k", "1920x1920"), ("1:1", "4k", "2880x2880"),
    ("16:9", "1k", "1664x944"), ("16:9", "2k", "2560x1440"), ("16:9", "4k", "3840x2160"),
    ("9:16", "4k", "2160x3840"), ("4:3", "2k", "2224x1664"), ("4:3", "4k", "3312x2496"),
    ("7:10", "1k", "1056x1504"), ("3:1", "1k", "2160x720"), ("3:1", "4k", "3840x1280"),
    ("1:3", "4k", "1280x3840"), ("21:9", "4k", "3840x1648"), ("2:1", "4k", "3840x1920"),
    ("3:2", "4k", "3520x2352"),
]
TIERS = ["1k", "2k", "4k", "4K", "8k", "", "2K "]


# ---------------------------------------------------------------- calc_size


@pytest.mark.parametrize("ratio, tier, size", TABLE)
def test_table(ratio, tier, size):
    result = OrvidSizeCalculator.calc_size(ratio, tier)
    width, height = map(int, size.split("x"))
    assert result == {"width": width, "height": height, "size": size, "pixels": width * height,
                      "aspect_ratio": ratio, "resolution": tier, "valid": True}
    assert list(result) == ["width", "height", "size", "pixels", "aspect_ratio", "resolution",
                            "valid"]
    assert type(result["valid"]) is bool and type(result["width"]) is int


def test_defaults_tiers_and_instances():
    assert OrvidSizeCalculator.calc_size()["size"] == "1920x1920"
    upper = OrvidSizeCalculator().calc_size(aspect_ratio="16:9", resolution="4K")
    assert (upper["size"], upper["resolution"]) == ("3840x2160", "4k")
    unknown = OrvidSizeCalculator.calc_size("16:9", "8k")
    assert (unknown["size"], unknown["resolution"]) == ("2560x1440", "8k")


def test_both_terms_negative_never_settle():
    assert OrvidSizeCalculator.calc_size("-16:-9", "2k")["size"] == "2560x1440"
    for ratio, size in [("-4:-1", "3840x960"), ("-1:-9", "416x3840")]:
        result = OrvidSizeCalculator.calc_size(ratio)
        assert (result["size"], result["valid"], result["aspect_ratio"]) == (size, False, ratio)


def test_terms_are_read_by_int():
    for ratio in [" 16 : 9 ", "1_6:9", "\uff11\uff16:\uff19", "+16:09"]:
        result = OrvidSizeCalculator.calc_size(ratio, "2k")
        assert (result["size"], result["aspect_ratio"]) == ("2560x1440", ratio)


@pytest.mark.parametrize("ratio, error, message", [
    ("4:1", ValueError, "宽高比超出限制3:1，输入比例：4:1"),
    ("1:4", ValueError, "宽高比超出限制3:1，输入比例：1:4"),
    ("16:9:1", ValueError, "too many values to unpack (expected 2)"),
    ("1:2:3:4", ValueError, "too many values to unpack (expected 2)"),
    ("169", ValueError, "need more than 1 value to unpack"),
    ("", ValueError, "invalid literal for int() with base 10: ''"),
    ("a:b:c", ValueError, "invalid literal for int() with base 10: 'a'"),
    ("1:2:x", ValueError, "invalid literal for int() with base 10: 'x'"),
    # every part is converted before the count is checked
    ("1:2:3:x", ValueError, "invalid literal for int() with base 10: 'x'"),
    ("2:2:2:", ValueError, "invalid literal for int() with base 10: ''"),
    ("1:2:3:4:5:6:7:8:9:10:11:ab", ValueError, "invalid literal for int() with base 10: 'ab'"),
    ("16:", ValueError, "invalid literal for int() with base 10: ''"),
    ("16:0", ZeroDivisionError, None),
    ("0:16", ZeroDivisionError, None),
    ("1:-9", ValueError, None),
])
def test_failures(ratio, error, message):
    with pytest.raises(error) as raised:
        OrvidSizeCalculator.calc_size(ratio)
    # Without a message of our own, the host's error as the model meets it.
    expected = message or outcome(Model.calc_size, ratio, "2k")[1]
    assert type(raised.value) is error and str(raised.value) == expected


@pytest.mark.parametrize("args", [(None,), (b"16:9",), ("16:9", 4), ("16:9", None)])
def test_strings_only(args):
    with pytest.raises(TypeError, match=r"^Argument '\w+' has incorrect type \(expected str, "):
        OrvidSizeCalculator.calc_size(*args)

    class Text(str):
        pass

    with pytest.raises(TypeError, match=r"got Text\)$"):
        OrvidSizeCalculator.calc_size(Text("16:9"))


def test_every_small_ratio_at_every_tier_matches_the_model():
    ratios = [f"{w}:{h}" for w in range(-4, 101) for h in range(-4, 101)]
    same_everywhere(OrvidSizeCalculator, Model, ratios, TIERS[:5])


def test_repeated_calls_give_fresh_results_with_the_callers_strings():
    first = OrvidSizeCalculator.calc_size("16:9", "2k")
    first["width"] = 0
    for ratio, tier in [("16:9", "2k"), (" 16:9", "8K"), ("16:9", "2k")]:
        ratio, tier = "".join(ratio), "".join(tier)  # equal strings, new objects
        result = OrvidSizeCalculator.calc_size(ratio, tier)
        assert result == Model.calc_size(ratio, tier) and result is not first
        assert result["aspect_ratio"] is ratio


# ---------------------------------------------------------------- subclasses


def pair(**attributes):
    return (type("Sub", (OrvidSizeCalculator,), dict(attributes)),
            type("SubModel", (Model,), dict(attributes)))


def round_up_to_32(cls, value, multiple=None):
    return 32 * math.ceil(value / 32)


@pytest.mark.parametrize("attributes", [
    {"MAX_EDGE": 4096},
    {"MULTIPLE": 8, "MAX_RATIO": 2},
    {"MIN_PIXELS": 10**6, "MAX_PIXELS": 4 * 10**6},
    {"RESOLUTION_PRESET": {"1k": 10**6, "2k": 2.5e6, "8k": 3.3e7}},
    {"MAX_EDGE": Decimal(3000), "MAX_RATIO": Fraction(5, 2)},
    {"MULTIPLE": 2**60},
    {"round_to_multiple": classmethod(round_up_to_32)},
    {"is_valid_image_size": classmethod(lambda cls, w, h: w * h > 3 * 10**6)},
    {"floor_to_multiple": classmethod(lambda cls, value, multiple=None: 64)},
])
def test_subclass_overrides(attributes):
    calculator, model = pair(**attributes)
    ratios = [f"{w}:{h}" for w in range(-2, 23, 3) for h in range(-2, 23, 2)] + ["3:1", "1:3"]
    same_everywhere(calculator, model, ratios, TIERS)
    for size in [(2896, 2880), (3840, 2160), (4096, 1024), (1000, 1000), (2160, 720), (8, 8)]:
        assert outcome(calculator.is_valid_image_size, *size) == outcome(
            model.is_valid_image_size, *size)


def test_a_native_method_in_another_place_counts_as_an_override():
    class Swapped(OrvidSizeCalculator):
        round_to_multiple = OrvidSizeCalculator.__dict__["floor_to_multiple"]

    class SwappedModel(Model):
        round_to_multiple = Model.__dict__["floor_to_multiple"]

    same_everywhere(Swapped, SwappedModel, [r for r, _, _ in TABLE], ["1k", "4k"])


def test_host_arithmetic_for_any_subclass_matches_the_model():
    # A method that defers to ours still takes the general route.
    class Counting(OrvidSizeCalculator):
        calls = 0

        @classmethod
        def round_to_multiple(cls, value, multiple=None):
            cls.calls += 1
            return super().round_to_multiple(value, multiple)

    ratios = [f"{w}:{h}" for w in range(-3, 40) for h in range(1, 40, 3)]
    same_everywhere(Counting, Model, ratios, ["1k", "4k", "8k"])
    assert Counting.calls > len(ratios)


def test_changes_to_a_class_take_effect_at_once():
    calculator, model = pair(RESOLUTION_PRESET=dict(Model.RESOLUTION_PRESET))  # one dict for both
    assert calculator.calc_size("3:1", "4k")["size"] == "3840x1280"
    for name, value in [("MAX_EDGE", 4096), ("MAX_RATIO", 4.0), ("MULTIPLE", 64)]:
        setattr(calculator, name, value)
        setattr(model, name, value)
        same_everywhere(calculator, model, ["3:1", "4:1", "16:9"], ["1k", "4k"])
    calculator.RESOLUTION_PRESET["4k"] = 2 * 10**6
    same_everywhere(calculator, model, ["16:9"], ["4k"])
    del calculator.RESOLUTION_PRESET["2k"]
    with pytest.raises(KeyError):
        calculator.calc_size("16:9", "4k")


# ---------------------------------------------------------------- helpers


def test_is_valid_image_size():
    valid = OrvidSizeCalculator.is_valid_image_size
    cases = {(3840, 2160): True, (3856, 2160): False, (1920, 1080): False, (2160, 720): True,
             (2176, 720): False, (800, 800): False, (816, 816): True, (2880, 2880): True,
             (2896, 2880): False, (16, 16): False, (-3840, -2160): True,
             (3840.9, 2160.5): True, (10**40, 16): False}
    for (width, height), expected in cases.items():
        assert valid(width=width, height=height) is expected, (width, height)
    with pytest.raises(ZeroDivisionError):
        valid(0, 1920)
    with pytest.raises(TypeError, match=r"^Argument 'width' has incorrect type "
                                        r"\(expected int, got str\)$"):
        valid("3840", 2160)


def test_alignment():
    calc = OrvidSizeCalculator
    rounded = {24: 32, 40: 32, 56: 64, 8: 16, 0: 16, -100: 16, 1254: 1248, 2171.99: 2176}
    for value, expected in rounded.items():
        assert calc.round_to_multiple(value) == expected
    assert (calc.round_to_multiple(25, 10), calc.round_to_multiple(35, multiple=10)) == (20, 40)
    assert [calc.floor_to_multiple(v) for v in (47, 15, 2172.0)] == [32, 16, 2160]
    odd = [(Decimal("40.5"), None), (Fraction(81, 2), 3), (10**30 + 7, None), (True, None),
           (100, 7.5), (100, Decimal("7.5")), (1e300, 1e-10), (-37, -8), (2**70, 3)]
    for value, multiple in odd:
        for name in ("round_to_multiple", "floor_to_multiple"):
            result = outcome(getattr(calc, name), value, multiple)
            assert result == outcome(getattr(Model, name), value, multiple), (name, value)
            assert type(result) in (int, Raised)  # an exact int, or the error
    with pytest.raises(OverflowError):
        calc.round_to_multiple(math.inf)


def test_helpers_match_the_model_at_bounds():
    bounds = [0, 1, 8, 10, 16, 24, 720, 2160, 3840, 3856, 2**53 - 1, 2**53 + 1, 10**20, -16,
              15.5, 16.5, 2171.99, 1e20, -0.0]
    for value in bounds:
        for multiple in (None, 1, 10, 16, 0.5, 2**53 + 1):
            for name in ("round_to_multiple", "floor_to_multiple"):
                assert outcome(getattr(OrvidSizeCalculator, name), value, multiple) == outcome(
                    getattr(Model, name), value, multiple), (name, value, multiple)
        for other in bounds:
            assert outcome(OrvidSizeCalculator.is_valid_image_size, value, other) == outcome(
                Model.is_valid_image_size, value, other), (value, other)


# Floats far beyond any size, tiny ones, signed zero, and integers next to the
# limits of exact doubles and of C's long long: where the native path must hand
# over to the host path, and the host raises for some.
EXTREMES = [1e19, -1e19, 9.2e18, 9.3e18, float(2**63), 2.0**53, 1e300, -1e300, 1e308,
            5e-324, -5e-324, -0.0, 0.5, math.inf, math.nan,
            2**53 - 1, 2**53, 2**53 + 1, 2**63 - 1, 2**63, -2**63, 2**64 + 1]


def test_helpers_with_extreme_numbers_match_the_model():
    for value in EXTREMES + [0, 16, 1254]:
        for multiple in [None] + EXTREMES:
            for name in ("round_to_multiple", "floor_to_multiple"):
                assert outcome(getattr(OrvidSizeCalculator, name), value, multiple) == outcome(
                    getattr(Model, name), value, multiple), (name, value, multiple)
        for other in (16, 2160, 2**53 + 16, 2**63):
            assert outcome(OrvidSizeCalculator.is_valid_image_size, value, other) == outcome(
                Model.is_valid_image_size, value, other), (value, other)


def test_extreme_constants_of_a_subclass_match_the_model():
    for name in ("MULTIPLE", "MAX_EDGE", "MIN_PIXELS", "MAX_PIXELS", "MAX_RATIO",
                 "RESOLUTION_PRESET"):
        for extreme in EXTREMES:
            value = {"2k": extreme, "4k": 8294400} if name == "RESOLUTION_PRESET" else extreme
            calculator, model = pair(**{name: value})
            for method in ("round_to_multiple", "floor_to_multiple"):
                for number in (1, 100, 2171.99, 1e19):
                    assert outcome(getattr(calculator, method), number) == outcome(
                        getattr(model, method), number), (name, extreme, method, number)
            for size in [(3840, 2160), (16, 16), (2**53 + 16, 16)]:
                assert outcome(calculator.is_valid_image_size, *size) == outcome(
                    model.is_valid_image_size, *size), (name, extreme, size)
            same_everywhere(calculator, model, ["16:9", "1:1", "3:1"], ["2k", "4k"])


# ---------------------------------------------------------------- published interface


def test_class_constants_and_documentation():
    calc = OrvidSizeCalculator
    constants = [k for k in vars(calc) if k.isupper()]
    assert constants == ["MIN_PIXELS", "MAX_PIXELS", "MAX_EDGE", "MULTIPLE", "MAX_RATIO",
                         "RESOLUTION_PRESET"]
    assert [getattr(calc, k) for k in constants] == [getattr(Model, k) for k in constants]
    assert type(calc.MAX_RATIO) is float and calc.__bases__ == (object,)
    lines = [line.strip() for line in calc.__doc__.splitlines() if line.strip()]
    assert lines == ["Orvid 尺寸计算器", "功能：", "- 根据 aspect_ratio + resolution 自动生成合法尺寸",
                     "- 自动满足约束：", "* 最大边 <= 3840", "* 宽高为16倍数", "* 宽高比 <= 3:1",
                     "* 总像素 655360 ≤ pixels ≤ 8294400"]
    assert calc.round_to_multiple.__doc__ == "四舍五入对齐到指定倍数，最小不低于倍数本身"
    assert calc.floor_to_multiple.__doc__ == "向下对齐倍数，用于像素超限时压缩"
    assert calc.is_valid_image_size.__doc__ == "完整校验所有尺寸约束"
    assert [line.strip() for line in calc.calc_size.__doc__.strip().splitlines()] == [
        "生成合规图像尺寸，严格限制总像素不超过8294400", "Args:",
        "aspect_ratio: 宽高比字符串，如 1:1 / 16:9 / 9:16 / 4:3 / 7:10",
        "resolution: 档位 1k / 2k / 4k", "Returns:",
        "包含宽、高、尺寸字符串、总像素、比例、档位、是否合法的字典"]
    assert calc.__init__.__doc__ is None
    with pytest.raises(TypeError):
        calc(1)


def test_signatures():
    calc = OrvidSizeCalculator
    assert str(inspect.signature(calc.round_to_multiple)) == "(value, multiple=None) -> 'int'"
    assert str(inspect.signature(calc.is_valid_image_size)) == (
        "(width: 'int', height: 'int') -> 'bool'")
    assert str(inspect.signature(calc.calc_size)) == (
        "(aspect_ratio: 'str' = '1:1', resolution: 'str' = '2k')")
    assert calc.calc_size.__func__.__annotations__ == {"aspect_ratio": "str",
                                                       "resolution": "str"}
    with pytest.raises(TypeError):
        calc.calc_size("1:1", "2k", "extra")
    with pytest.raises(TypeError):
        calc.round_to_multiple(value=1, step=2)


# ---------------------------------------------------------------- what the cross-cutting suites run


def leak_operations(kit):
    from pravel.orvid import OrvidSizeCalculator as Calc

    class Overridden(Calc):  # calc_size goes the step-by-step way
        @classmethod
        def round_to_multiple(cls, value, multiple=None):
            return super().round_to_multiple(value, multiple)

    class Exotic(Calc):  # constants the fast way cannot stand for
        MAX_RATIO = Fraction(3)

    # More ratios than the module keeps recent results for, in turn.
    ratios = itertools.cycle([f"{w}:{h}" for w in range(1, 16) for h in range(1, 16)
                              if max(w, h) <= 3 * min(w, h)])
    return {
        "OrvidSizeCalculator()": lambda: Calc(),
        "calc_size": lambda: Calc.calc_size("16:9", "4K"),
        "calc_size defaults": lambda: Calc().calc_size(),
        "calc_size many ratios": lambda: Calc.calc_size(next(ratios), "1k"),
        "calc_size unknown tier": lambda: Calc.calc_size("7:10", "8k"),
        "calc_size no legal size": lambda: Calc.calc_size("-4:-1", "1k"),
        "calc_size parsed by int()": lambda: Calc.calc_size(" 16 :\uff19", "2k"),
        "calc_size overridden": lambda: Overridden.calc_size("3:1", "4k"),
        "calc_size exotic": lambda: Exotic.calc_size("4:3", "2k"),
        "calc_size(too wide)": raises(ValueError, Calc.calc_size, "4:1"),
        "calc_size(too wide, overridden)": raises(ValueError, Overridden.calc_size, "1:4"),
        "calc_size(three terms)": raises(ValueError, Calc.calc_size, "16:9:1"),
        "calc_size(one term)": raises(ValueError, Calc.calc_size, "169"),
        "calc_size(not a number)": raises(ValueError, Calc.calc_size, "16:x"),
        "calc_size(zero height)": raises(ZeroDivisionError, Calc.calc_size, "16:0"),
        "calc_size(zero width)": raises(ZeroDivisionError, Calc.calc_size, "0:16"),
        "calc_size(zero, overridden)": raises(ZeroDivisionError, Overridden.calc_size, "0:16"),
        "calc_size(negative)": raises(ValueError, Calc.calc_size, "-1:16"),
        "calc_size(negative, exotic)": raises(ValueError, Exotic.calc_size, "-1:16"),
        "calc_size(bad ratio type)": raises(TypeError, Calc.calc_size, None),
        "calc_size(bad tier type)": raises(TypeError, Calc.calc_size, "1:1", 2),
        "calc_size(bad call)": raises(TypeError, Calc.calc_size, ratio="1:1"),
        "round_to_multiple(too many)": raises(TypeError, Calc.round_to_multiple, 1, 2, 3),
        "round_to_multiple": lambda: Calc.round_to_multiple(40),
        "round_to_multiple(step)": lambda: Calc.round_to_multiple(25, 10),
        "round_to_multiple(float step)": lambda: Calc.round_to_multiple(10, 2.5),
        "round_to_multiple(big)": lambda: Calc.round_to_multiple(2**80),
        "round_to_multiple(fraction)": lambda: Calc.round_to_multiple(Fraction(7, 2), 3),
        "round_to_multiple(bad)": raises(TypeError, Calc.round_to_multiple, "40"),
        "round_to_multiple(infinite)": raises(OverflowError, Calc.round_to_multiple, math.inf),
        "floor_to_multiple": lambda: Calc.floor_to_multiple(2172.0),
        "floor_to_multiple(nan)": raises(ValueError, Calc.floor_to_multiple, math.nan),
        "is_valid_image_size": lambda: Calc.is_valid_image_size(3840, 2160),
        "is_valid_image_size(float)": lambda: Calc.is_valid_image_size(2160.9, 720),
        "is_valid_image_size(big)": lambda: Exotic.is_valid_image_size(2**70, 16),
        "is_valid_image_size(zero)": raises(ZeroDivisionError, Calc.is_valid_image_size, 0, 16),
        "is_valid_image_size(bad)": raises(TypeError, Calc.is_valid_image_size, "16", 16),
    }


def thread_operations(kit):
    class Coarse(OrvidSizeCalculator):
        MULTIPLE = 32

    class Overridden(OrvidSizeCalculator):
        @classmethod
        def round_to_multiple(cls, value, multiple=None):
            return super().round_to_multiple(value, multiple)

    class Wide(OrvidSizeCalculator):
        MAX_RATIO = 4.0

    class Tiers(OrvidSizeCalculator):
        RESOLUTION_PRESET = {"1k": 1_000_000, "2k": 2_000_000}

    class Exotic(OrvidSizeCalculator):
        MAX_RATIO = Fraction(3)

    # More classes than the module keeps views of, more ratios than results.
    classes = [OrvidSizeCalculator, Coarse, Overridden, Wide, Tiers, Exotic]
    ratios = ["1:1", "16:9", "9:16", "4:3", "3:1", "7:10", "21:9", "-4:-1", "4:1", "16:0",
              "16:9:1", "a:b"] + [f"{w}:{h}" for w in range(1, 9) for h in range(1, 9)]
    tasks = {}
    for cls in classes:
        for ratio in ratios:
            for tier in ("1k", "2K", "4k", "8k"):
                tasks[f"orvid {cls.__name__} {ratio} {tier}"] = (
                    lambda cls=cls, ratio=ratio, tier=tier: cls.calc_size(ratio, tier))
        tasks[f"orvid {cls.__name__} valid"] = lambda cls=cls: cls.is_valid_image_size(2160, 720)
        tasks[f"orvid {cls.__name__} round"] = lambda cls=cls: cls.round_to_multiple(1254)
        tasks[f"orvid {cls.__name__} floor"] = lambda cls=cls: cls.floor_to_multiple(2172.0)
    return tasks


ISOLATED = """
from pravel.orvid import OrvidSizeCalculator

class Wide(OrvidSizeCalculator):
    MAX_RATIO = 4.0

calls = [
    lambda: OrvidSizeCalculator.calc_size("16:9", "4K"),
    lambda: OrvidSizeCalculator.calc_size("-4:-1", "1k"),
    lambda: Wide.calc_size("4:1"),
    lambda: OrvidSizeCalculator.calc_size("4:1"),
    lambda: OrvidSizeCalculator.calc_size("16:0"),
    lambda: OrvidSizeCalculator.calc_size("16:9:1"),
    lambda: OrvidSizeCalculator.is_valid_image_size(2160.9, 720),
    lambda: OrvidSizeCalculator.round_to_multiple(40),
]
"""

SHUTDOWN = {
    "orvid calc_size on Python numbers": """
        from fractions import Fraction
        from pravel.orvid import OrvidSizeCalculator

        class Calculator(OrvidSizeCalculator):
            MULTIPLE = Fraction(16)
            MAX_RATIO = Fraction(3)

        def sizes():
            for ratio in ("16:9", "7:10", "3:1", "21:9"):
                for tier in ("1k", "2k", "4k"):
                    Calculator.calc_size(ratio, tier)
        in_daemon_thread(sizes)
    """,
}

OPERATIONS = Operations(
    leaks=leak_operations, threads=thread_operations, shutdown=SHUTDOWN, isolated=ISOLATED,
    recreated=lambda module, word_file: module.OrvidSizeCalculator.calc_size("3:1", "4k")["size"])

"""Every public operation, success and error paths, called thousands of times:
neither the interpreter's live memory blocks and objects nor the process's
resident memory may grow with the number of calls."""

import collections
import copy
import dataclasses
import gc
import importlib
import itertools
import logging
import math
import os
import pickle
import re
import sys
import types
from fractions import Fraction

import pytest
from PIL import Image

from conftest import EXTENSIONS, encode, fresh_module

CALLS = 3000  # per operation; image work runs fewer, see `heavy`


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def raises(exc, fn, *args, **kwargs):
    def call():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc}")

    return call


def heavy(fn, calls=1000):
    """An operation too slow for the full count; one lost reference per call
    still shows plainly at this many calls."""
    fn.calls = calls
    return fn


def small_png(w=6, h=4, mode="RGBA"):
    return encode(Image.new(mode, (w, h), 7))


def framekit_operations():
    from pravel.framekit import Framekit

    png, jpeg = small_png(), encode(Image.new("RGB", (6, 4), 9), "JPEG")
    exif = Image.Exif()
    exif[0x0112] = 6
    phone = encode(Image.new("RGB", (6, 4), 9), "JPEG", exif=exif, icc_profile=b"profile")
    damaged = encode(Image.new("RGB", (6, 4), 9), "JPEG", exif=b"Exif\x00\x00MM\x00\x2a\x00\x00\x00\x08\x00\x05")
    fill, resize, asked = Framekit(), Framekit(need_adjust="resize"), Framekit("3:4")
    return {
        "Framekit()": lambda: Framekit("1:1", "fill", (0, 0, 0, 0), extra=1),
        "Framekit(bad type)": raises(TypeError, Framekit, 3),
        "_parse_ratio": lambda: Framekit._parse_ratio(" 16:9 "),
        "_parse_ratio(bad)": raises(ValueError, Framekit._parse_ratio, "16 : 9"),
        "_closest": lambda: fill._get_closest_standard_ratio(1920.5, 1080),
        "_closest(zero)": raises(ZeroDivisionError, fill._get_closest_standard_ratio, 1, 0),
        "adjust_size fill": heavy(lambda: fill.adjust_size(png, True)),
        "adjust_size resize": heavy(lambda: resize.adjust_size(jpeg)),
        "adjust_size mismatch": lambda: asked.adjust_size(png, True),
        "adjust_size turned, with profile": heavy(lambda: fill.adjust_size(phone, True)),
        "adjust_size damaged EXIF": heavy(lambda: resize.adjust_size(damaged)),
        "adjust_size(undecodable)": raises(OSError, fill.adjust_size, b"not an image"),
        "adjust_size(bad type)": raises(TypeError, fill.adjust_size, bytearray(png)),
        "adjust_size(crop)": raises(ValueError, Framekit(need_adjust="crop").adjust_size, png),
        "adjust_size(bad call)": raises(TypeError, fill.adjust_size, png, nope=1),
    }


def shapelens_operations():
    from pravel.shapelens import ImageShapelens

    png, lens = small_png(1366, 768, "L"), ImageShapelens()
    return {
        "ImageShapelens()": lambda: ImageShapelens(7.9),
        "ImageShapelens(bad)": raises(TypeError, ImageShapelens, "10"),
        "_gcd": lambda: ImageShapelens._gcd(2**80 * 6, -(2**70) * 4),
        "raw ratio": lambda: lens.get_raw_simple_ratio(png),
        "approx ratio": lambda: lens.get_approx_simple_ratio(png),
        "ratio(undecodable)": raises(OSError, lens.get_approx_simple_ratio, b"junk"),
        "ratio(bad type)": raises(TypeError, lens.get_raw_simple_ratio, None),
    }


def marvale_operations(capsys):
    from pravel.marvale import MarvaleImageScale

    image = Image.new("L", (30, 20))  # one band: the resize to ~1 megapixel dominates
    zero = Image.new("RGB", (5, 0))

    def Unpacked(resolutions):  # entries that are neither tuples nor lists are iterated
        return type("Unpacked", (MarvaleImageScale,), {"PREFERED_MARVALE_RESOLUTIONS": resolutions})

    def start():
        MarvaleImageScale(image).start()
        capsys.readouterr()

    return {
        "start": heavy(start, 200),
        "start(zero height)": raises(ZeroDivisionError, MarvaleImageScale(zero).start),
        "start(three sides)": raises(ValueError, Unpacked([range(3)])(image).start),
        "start(one side)": raises(ValueError, Unpacked([range(1)])(image).start),
        "start(not an image)": raises(AttributeError, MarvaleImageScale(object()).start),
    }


class _OfflineRequests:
    """Stands in for requests: every call fails like a refused connection."""

    class exceptions:
        class ConnectionError(Exception):
            pass

    def get(self, url, timeout, **kwargs):
        raise self.exceptions.ConnectionError("Connection refused")


def hostwarden_operations(monkeypatch, capsys):
    from pravel.comfyui import hostwarden

    monkeypatch.setattr(hostwarden, "requests", _OfflineRequests())
    quiet = logging.getLogger("pravel.tests.quiet")
    quiet.disabled = True
    manager = hostwarden.ComfyUIManager("http://127.0.0.1:9//", max_wait_seconds=0, logger=quiet)

    def reboot():
        manager.trigger_reboot()
        capsys.readouterr()

    return {
        "ComfyUIManager()": lambda: hostwarden.ComfyUIManager("http://x/", 2.5, 3, 1, quiet),
        "ComfyUIManager(bad)": raises(TypeError, hostwarden.ComfyUIManager, None),
        "trigger_reboot": reboot,
        "run_reboot_and_wait": lambda: manager.run_reboot_and_wait(),
    }


def orvid_operations():
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


def faultmark_operations():
    from pravel.response.faultmark import Faultmark

    value = ("TIMEOUT", "服务超时，请稍后重试")
    return {
        "Faultmark code and msg": lambda: (Faultmark.TIMEOUT.code, Faultmark.AUTH_FAILED.msg),
        "Faultmark(value)": lambda: Faultmark(value),
        "Faultmark(unknown)": raises(ValueError, Faultmark, "TIMEOUT"),
        "Faultmark.code = ...": raises(AttributeError, setattr, Faultmark.TIMEOUT, "code", "X"),
        "iterate Faultmark": lambda: [member.msg for member in Faultmark],
    }


def faultroll_operations():
    from pravel.response.faultroll import CustomFaultmark, Faultroll

    class Roll(Faultroll):  # a registry of its own: the shared one stays as it is
        _registry = {}

    class OrderedRoll(Faultroll):  # a registry that is not exactly a dict
        _registry = collections.OrderedDict()

    code = CustomFaultmark("MY_ERROR", "自定义错误消息")

    def clear_and_register():
        Roll.clear()
        return Roll.register("AGAIN", "再次")

    return {
        "CustomFaultmark()": lambda: CustomFaultmark("MY_ERROR", "自定义错误消息"),
        "CustomFaultmark(bad code)": raises(TypeError, CustomFaultmark, None, "m"),
        "CustomFaultmark(bad msg)": raises(TypeError, CustomFaultmark, "C", 1),
        "CustomFaultmark(missing)": raises(TypeError, CustomFaultmark, "C"),
        "CustomFaultmark(both missing)": raises(TypeError, CustomFaultmark),
        "register(twice)": raises(TypeError, Roll.register, "C", "m", code="D"),
        "CustomFaultmark code, msg, repr": lambda: (code.code, code.msg, repr(code)),
        "register": lambda: Roll.register("MY_ERROR", "自定义错误消息"),
        "register(ordered)": lambda: OrderedRoll.register("MY_ERROR", "m"),
        "register(bad)": raises(TypeError, Roll.register, "C", None),
        "get": lambda: Roll.get("MY_ERROR"),
        "get(unknown)": lambda: Roll.get("NOPE"),
        "get(ordered)": lambda: OrderedRoll.get("MY_ERROR"),
        "get(bad)": raises(TypeError, Roll.get, b"MY_ERROR"),
        "list_all": lambda: Roll.list_all(),
        "clear": clear_and_register,
    }


def result_operations():
    from pravel.response.faultmark import Faultmark
    from pravel.response.faultroll import CustomFaultmark
    from pravel.response.result import ResultStatus, ServiceResult

    @dataclasses.dataclass
    class Inner:
        items: list

    class Sub(ServiceResult):  # built through its generated constructor
        pass

    class Hooked(ServiceResult):
        @staticmethod
        def _process_error_message(msg):
            return f"[{msg}]"

    class Bare:
        code, msg = "BARE", None

    custom, empty = CustomFaultmark("QUOTA", "额度"), CustomFaultmark("EMPTY", "")
    record = ServiceResult.success({"inner": Inner([1, (2, 3)]), "list": [{"a": 1}]})
    rules = [(["boom"], Faultmark.TIMEOUT, "自定义"), (("quota",), custom), ("xyz", Faultmark.AUTH_FAILED)]
    process = ServiceResult._process_error_message

    def with_rules(rules, fn, *args):
        """fn(*args) while ServiceResult._error_rules holds `rules`."""
        def call():
            saved = ServiceResult._error_rules
            ServiceResult._error_rules = rules
            try:
                return fn(*args)
            finally:
                ServiceResult._error_rules = saved

        return call

    return {
        "ServiceResult()": lambda: ServiceResult(),
        "ServiceResult(fields)": lambda: ServiceResult("fail", [1], "X", "m", 500),
        "ResultStatus(value)": lambda: ResultStatus("wait"),
        "success": lambda: ServiceResult.success({"a": 1}),
        "success(msg)": lambda: Sub.success(None, "好"),
        "success(bad msg)": raises(TypeError, ServiceResult.success, 1, None),
        "success(missing)": raises(TypeError, ServiceResult.success),
        "fail": lambda: ServiceResult.fail(Faultmark.RATE_LIMIT, status_code=429),
        "fail(rule matches)": lambda: ServiceResult.fail(Faultmark.IMAGE_GENERATE_FAIL,
                                                         "Upstream model timed out"),
        "fail(lower-cased)": lambda: ServiceResult.fail(Faultmark.TIMEOUT, "ÄÖ INSUFFICIENT BALANCE"),
        "fail(no rule)": lambda: Sub.fail(Faultmark.TIMEOUT, "other text " * 40),
        "fail(empty message)": lambda: ServiceResult.fail(empty),
        "fail(custom, float status)": lambda: ServiceResult.fail(custom, "x", 503.7),
        "fail(hooked)": lambda: Hooked.fail(Faultmark.TIMEOUT),
        "fail(bad status)": raises(TypeError, ServiceResult.fail, custom, None, "500"),
        "fail(not a code)": raises(AttributeError, ServiceResult.fail, object()),
        "fail(bad msg)": raises(TypeError, ServiceResult.fail, Faultmark.TIMEOUT, ValueError("x")),
        "fail(code msg None)": raises(TypeError, ServiceResult.fail, Bare()),
        "to_dict": lambda: record.to_dict(),
        "get_default_error_rules": lambda: ServiceResult.get_default_error_rules(),
        "_process_error_message": lambda: process("余额不足了"),
        "_process_error_message(empty)": lambda: process(""),
        "_process_error_message(bad)": raises(TypeError, process, None),
        "custom rules": with_rules(rules, process, "BOOM"),
        "custom rules, code message": with_rules(rules, process, "over quota"),
        "custom rules, keywords of a str": with_rules(rules, process, "..y.."),
        "custom rules, no match": with_rules(rules, ServiceResult.fail, Faultmark.TIMEOUT, "fine"),
        "custom rules(short rule)": raises(IndexError, with_rules([(["a"],)], process, "a")),
        "custom rules(bad keyword)": raises(TypeError, with_rules([([1], custom)], process, "a")),
        "custom rules(bad message)": raises(TypeError, with_rules([(["a"], custom, 5)], process, "a")),
    }


def wordguard_operations(word_file):
    from pravel.exceptions import PromptBanError
    from pravel.wordguard import NormalizedPromptBanChecker, PromptBanChecker

    path = word_file("cat\ndog\nStraße\n违禁词\n a.b \ncat\n")
    blank = word_file(" \n\t\n", "blank.txt")
    broken = word_file(b"fine\n\xff\xfe\n", "broken.txt")
    missing = path + ".missing"

    checker, strict = PromptBanChecker(path), PromptBanChecker(path, ignore_case=False)
    empty = PromptBanChecker(blank)
    undecodable, gone = PromptBanChecker(path), PromptBanChecker(path)
    undecodable.ban_word_file, gone.ban_word_file = broken, missing
    replaced = PromptBanChecker(path)
    replaced._ban_regex = re.compile("cat|dog")  # the automaton no longer applies

    class Finder(PromptBanChecker):
        def find_matched_words(self, text):
            return ["x"] if "x" in text else []

    finder = Finder(path)
    long_prompt = "a clean prompt, " * 200 + "违禁词 and a CAT"  # scanned without the GIL

    return {
        "PromptBanChecker()": lambda: PromptBanChecker(path),
        "PromptBanChecker(case-sensitive)": lambda: PromptBanChecker(path, ignore_case=False),
        "PromptBanChecker(no words)": lambda: PromptBanChecker(str(blank)),
        "PromptBanChecker(bad type)": raises(TypeError, PromptBanChecker, None),
        "PromptBanChecker(missing)": raises(FileNotFoundError, PromptBanChecker, missing),
        "PromptBanChecker(directory)": raises(IsADirectoryError, PromptBanChecker,
                                              os.path.dirname(path)),
        "load_banned_words": lambda: checker.load_banned_words(),
        "load_banned_words(undecodable)": raises(UnicodeDecodeError, undecodable.load_banned_words),
        "load_banned_words(file gone)": raises(FileNotFoundError, gone.load_banned_words),
        "_build_regex": lambda: strict._build_regex(),
        "_build_regex(no words)": lambda: empty._build_regex(),
        "find_matched_words": lambda: checker.find_matched_words("Cat, DOG and STRASSE, a.b"),
        "find_matched_words(long)": lambda: checker.find_matched_words(long_prompt),
        "find_matched_words(replaced expression)": lambda: replaced.find_matched_words("a cat"),
        "find_matched_words(no words)": lambda: empty.find_matched_words("cat"),
        "find_matched_words(bad)": raises(TypeError, checker.find_matched_words, b"cat"),
        "check": lambda: checker.check("a clean prompt"),
        "check(banned)": raises(PromptBanError, checker.check, "a Cat, a dog, a cat"),
        "check(banned, case-sensitive)": raises(PromptBanError, strict.check, "cat"),
        "check(overridden finder)": raises(PromptBanError, finder.check, "x"),
        "check(bad)": raises(TypeError, checker.check, None),
        "copy": lambda: copy.copy(checker),
        "pickle": heavy(lambda: pickle.loads(pickle.dumps(checker))),
        **normalized_operations(path, NormalizedPromptBanChecker, PromptBanError),
    }


def normalized_operations(path, Checker, PromptBanError):
    checker, strict = Checker(path), Checker(path, ignore_case=False)
    disguised = "a c.a.t, a Ｄ0Ｇ and 違禁詞, ｓｔｒａßｅ\u0301, a.b " * 3
    return {
        "normalized: Checker()": heavy(lambda: Checker(path)),
        "normalized: _build_regex": heavy(lambda: strict._build_regex()),
        "normalized: find_matched_words": lambda: checker.find_matched_words(disguised),
        "normalized: find_matched_words(long)": lambda: checker.find_matched_words(disguised * 40),
        "normalized: find_matched_words(bad)": raises(TypeError, checker.find_matched_words, None),
        "normalized: check(banned)": raises(PromptBanError, strict.check, disguised),
        "normalized: copy": heavy(lambda: copy.copy(checker).find_matched_words("d.o.g")),
    }


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
    ops = {}
    ops.update(framekit_operations())
    ops.update(shapelens_operations())
    ops.update(marvale_operations(capsys))
    ops.update(hostwarden_operations(monkeypatch, capsys))
    ops.update(orvid_operations())
    ops.update(faultmark_operations())
    ops.update(faultroll_operations())
    ops.update(result_operations())
    ops.update(wordguard_operations(word_file))
    ops.update(module_operations())
    return ops


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

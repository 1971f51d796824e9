"""All modules from eight threads at once, for a few seconds: shared instances,
classes and module state must give every thread exactly what one thread alone
gets."""

import collections
import contextlib
import hashlib
import logging
import random
import re
import threading
import time
from fractions import Fraction

import pytest
from PIL import Image

from conftest import encode, fresh_module
from pravel.comfyui import hostwarden
from pravel.exceptions import PromptBanError
from pravel.framekit import Framekit
from pravel.marvale import MarvaleImageScale
from pravel.orvid import OrvidSizeCalculator
from pravel.response.faultmark import Faultmark
from pravel.response.faultroll import CustomFaultmark, Faultroll
from pravel.response.result import ServiceResult
from pravel.shapelens import ImageShapelens
from pravel.wordguard import NormalizedPromptBanChecker, PromptBanChecker

THREADS = 8
SECONDS = 3.0


# ---------------------------------------------------------------- what threads print and log


class PerThreadOutput:
    """Stands in for sys.stdout: what each thread prints is kept apart."""

    def __init__(self):
        self.pieces = collections.defaultdict(list)

    def write(self, text):
        self.pieces[threading.get_ident()].append(text)
        return len(text)

    def flush(self):
        pass

    def take(self):
        return "".join(self.pieces.pop(threading.get_ident(), []))


class PerThreadLog(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = collections.defaultdict(list)

    def emit(self, record):
        self.lines[record.thread].append(f"{record.levelname} {record.getMessage()}")

    def take(self):
        return self.lines.pop(threading.get_ident(), [])


class FakeRequests:
    """requests for a server that restarts at once ("online") or is not there."""

    class exceptions:
        class ConnectionError(Exception):
            pass

    class Answer:
        status_code = 200

    def get(self, url, timeout, **kwargs):
        if "offline" in url:
            raise self.exceptions.ConnectionError("Connection refused")
        if url.endswith("/api/manager/reboot"):
            raise self.exceptions.ConnectionError("Remote end closed connection without response")
        return self.Answer()


def outcome(call):
    """What a call gives, in a form to compare: its value or its error."""
    try:
        value = call()
    except PromptBanError as e:
        return "PromptBanError", e.error_msg, e.data
    except Exception as e:
        return type(e).__name__, re.sub(r"0x[0-9a-f]+", "0x?", str(e))
    if isinstance(value, Image.Image):
        return "image", value.size, value.mode, hashlib.sha256(value.tobytes()).hexdigest()
    return "value", value


# ---------------------------------------------------------------- the shared work


def image_tasks():
    png = encode(Image.new("RGBA", (40, 30), (9, 80, 200, 128)))
    jpeg = encode(Image.new("RGB", (30, 40), (200, 9, 80)), "JPEG")
    wide = encode(Image.new("L", (1366, 768), 90))
    fill, resize, asked = Framekit(), Framekit(need_adjust="resize"), Framekit("3:4")
    lens = ImageShapelens()
    scaler = MarvaleImageScale(Image.new("L", (30, 20), 7))
    return {
        "framekit fill": lambda: fill.adjust_size(png, True, 25),
        "framekit resize": lambda: resize.adjust_size(jpeg),
        "framekit mismatch": lambda: asked.adjust_size(png) is png,
        "framekit undecodable": lambda: fill.adjust_size(b"not an image"),
        "framekit parse": lambda: Framekit._parse_ratio(" 21:9 "),
        "shapelens raw": lambda: lens.get_raw_simple_ratio(wide),
        "shapelens approx": lambda: lens.get_approx_simple_ratio(wide),
        "shapelens gcd": lambda: ImageShapelens._gcd(2**90 * 6, 2**70 * 4),
        # Printing is part of the answer: each thread reads back its own lines.
        "marvale shared": lambda: (outcome(scaler.start), OUT.take()),
        "marvale tall": lambda: (outcome(MarvaleImageScale(Image.new("L", (9, 30))).start), OUT.take()),
    }


def orvid_tasks():
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


def response_tasks():
    class Sub(ServiceResult):
        pass

    custom = CustomFaultmark("QUOTA", "额度已用完")
    messages = [None, "", "upstream model TIMED OUT", "余额不足", "Insufficient Balance ÄÖ", "plain"]
    tasks = {}
    for cls in (ServiceResult, Sub):
        for msg in messages:
            for error in (Faultmark.IMAGE_GENERATE_FAIL, custom):
                tasks[f"fail {cls.__name__} {error.code} {msg!r}"] = (
                    lambda cls=cls, error=error, msg=msg: cls.fail(error, msg, 503.7).to_dict())
        tasks[f"success {cls.__name__}"] = lambda cls=cls: cls.success({"a": [1, (2,)]}).to_dict()
    tasks["fail not a code"] = lambda: ServiceResult.fail(object())
    tasks["process"] = lambda: ServiceResult._process_error_message("upstream model timed out")
    tasks["faultmark lookup"] = lambda: Faultmark(("TIMEOUT", Faultmark.TIMEOUT.msg)).code
    tasks["faultmark unknown"] = lambda: Faultmark("TIMEOUT")
    return tasks


PROMPTS = ["a clean prompt", "a CAT, a dog and another Cat", "straße STRASSE ДОМ дом",
           "违禁词" * 3 + "a.b axb", "clean words " * 300 + "and a cat at the end"]


def wordguard_tasks(path, guard):
    """`guard["cls"]` is the checker class new checkers are made of."""
    checker, strict = PromptBanChecker(path), PromptBanChecker(path, ignore_case=False)
    tasks = {"reload": checker.load_banned_words, "words": lambda: checker.banned_words}
    for n, prompt in enumerate(PROMPTS):
        tasks[f"check {n}"] = lambda prompt=prompt: checker.check(prompt) is prompt
        tasks[f"find {n}"] = lambda prompt=prompt: checker.find_matched_words(prompt)
        tasks[f"strict {n}"] = lambda prompt=prompt: strict.find_matched_words(prompt)
        tasks[f"new checker {n}"] = lambda prompt=prompt: guard["cls"](path).find_matched_words(prompt)
    return tasks


def hostwarden_tasks(log):
    offline = hostwarden.ComfyUIManager("http://offline:1/", max_wait_seconds=0, logger=log)
    online = hostwarden.ComfyUIManager("http://online:1", max_wait_seconds=3600, logger=log)
    return {
        "hostwarden offline": lambda: (offline.run_reboot_and_wait(), LOG.take(), OUT.take()),
        "hostwarden online": lambda: (online.run_reboot_and_wait(), LOG.take(), OUT.take()),
    }


OUT, LOG = PerThreadOutput(), PerThreadLog()


@pytest.fixture
def log(monkeypatch):
    monkeypatch.setattr(hostwarden, "requests", FakeRequests())
    logger = logging.getLogger("pravel.tests.threads")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.addHandler(LOG)
    yield logger
    logger.removeHandler(LOG)


def test_all_modules_from_eight_threads(log, word_file):
    guard = {"cls": PromptBanChecker}
    words = word_file("cat\ndog\nStraße\nдом\n违禁词\n a.b \ncat\n\n")
    tasks = {**image_tasks(), **orvid_tasks(), **response_tasks(),
             **wordguard_tasks(words, guard), **hostwarden_tasks(log)}
    names, calls = list(tasks), list(tasks.values())

    class Roll(Faultroll):
        _registry = {}

    def register_own(index):
        """Each thread registers codes of its own in the shared registry."""
        for k in range(20):
            code = f"T{index}-{k}"
            made = Roll.register(code, f"线程 {index}")
            found = Roll.get(code)
            if found is not made or (found.code, found.msg) != (code, f"线程 {index}"):
                return f"{code}: registered {made!r}, found {found!r}"
        return None

    failures, rounds = [], [0] * THREADS

    def worker(index, start, deadline):
        rng, order = random.Random(index), list(range(len(calls)))
        start.wait()
        try:
            while True:
                rng.shuffle(order)
                for i in order:
                    got = outcome(calls[i])
                    if got != expected[i]:
                        failures.append((names[i], got, expected[i]))
                if problem := register_own(index):
                    failures.append(problem)
                rounds[index] += 1
                if time.monotonic() > deadline:
                    return
        except BaseException as e:  # reported below
            failures.append(("worker", repr(e)))

    with contextlib.redirect_stdout(OUT):
        expected = [outcome(call) for call in calls]
        # The first case-insensitive load of a module happens in all threads at
        # once: a new copy of wordguard has read no case rules yet.
        guard["cls"] = fresh_module("pravel.wordguard").PromptBanChecker
        start = threading.Barrier(THREADS)
        deadline = time.monotonic() + SECONDS
        threads = [threading.Thread(target=worker, args=(k, start, deadline))
                   for k in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    assert not failures, failures[:10]
    assert all(rounds), rounds
    assert sorted(Roll.list_all()) == sorted(f"T{i}-{k}" for i in range(THREADS) for k in range(20))
    # The calls really did their work.
    by_name = dict(zip(names, expected))
    assert by_name["check 1"][0] == "PromptBanError" and by_name["find 4"] == ("value", ["cat"])
    assert by_name["hostwarden online"][1][0] is True and "输出尺寸" in by_name["marvale shared"][1][1]
    assert by_name["orvid OrvidSizeCalculator 16:9 4k"][1]["size"] == "3840x2160"


@pytest.mark.parametrize("cls", [PromptBanChecker, NormalizedPromptBanChecker])
def test_reload_while_serving(tmp_path, cls):
    """A service shares one checker among its threads and reloads the list
    when the file changes: every check sees the old list or the new one
    whole, and a reload that fails leaves the list in force."""
    path = tmp_path / "banned.txt"
    lists = {"old": "cat\ndog\n", "new": "dog\nbird\n猫\n"}
    # Long prompts are scanned without the GIL, while a reload swaps the list.
    prompt = "a cat, a bird and a 猫 " + "calm sea " * 300 + "and a dog"
    answers = {}
    for name, words in lists.items():
        path.write_text(words, encoding="utf-8")
        answers[name] = cls(str(path)).find_matched_words(prompt)
    assert answers == {"old": ["cat", "dog"], "new": ["bird", "猫", "dog"]}

    path.write_text(lists["old"], encoding="utf-8")
    checker = cls(str(path))
    seen, failures, stop = collections.Counter(), [], threading.Event()

    def serve():
        while not stop.is_set():
            found = checker.find_matched_words(prompt)
            if found not in answers.values():
                failures.append(found)
            seen[found == answers["new"]] += 1

    threads = [threading.Thread(target=serve) for _ in range(4)]
    for t in threads:
        t.start()
    try:
        for n in range(60):
            path.write_text(lists["new" if n % 2 else "old"], encoding="utf-8")
            checker.load_banned_words()
            time.sleep(0.002)
        path.write_bytes(b"\xff\xfe not UTF-8")
        with pytest.raises(UnicodeDecodeError):
            checker.load_banned_words()
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert not failures, failures[:5]
    assert seen[True] and seen[False]
    assert checker.banned_words == ["bird", "dog", "猫"]
    assert checker.find_matched_words(prompt) == answers["new"]


def test_reloads_of_a_long_list_while_checking(tmp_path):
    """Checks that arrive while a long list is being built go on with the list
    in force; the moment a reload returns, its list alone is in force."""
    long_list = tmp_path / "long.txt"
    long_list.write_text("gore\n" + "".join(f"w{i:06d}q\n" for i in range(40_000)), encoding="utf-8")
    short_list = tmp_path / "short.txt"
    short_list.write_text("zebra\n", encoding="utf-8")
    checker = NormalizedPromptBanChecker(str(short_list))
    prompt = "gore zebra"
    failures, stop = [], threading.Event()

    def check():
        while not stop.is_set():
            found = checker.find_matched_words(prompt)
            if found not in (["gore"], ["zebra"]):
                failures.append(found)

    threads = [threading.Thread(target=check) for _ in range(3)]
    for t in threads:
        t.start()
    try:
        for _ in range(3):
            for path, want in ((long_list, ["gore"]), (short_list, ["zebra"])):
                checker.ban_word_file = str(path)
                checker.load_banned_words()
                got = checker.find_matched_words(prompt)
                if got != want:
                    failures.append((path.name, got))
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert not failures, failures[:5]
    assert checker.banned_words == ["zebra"] and checker.find_matched_words(prompt) == ["zebra"]

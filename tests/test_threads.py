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
import types

import pytest
from PIL import Image

from support import Raised, collected, fresh_module, outcome
from pravel.exceptions import PromptBanError
from pravel.response.faultroll import Faultroll
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


def comparable(call):
    """What a call gives, in a form to compare: its value or its error."""
    got = outcome(call)
    if isinstance(got, Raised):
        if isinstance(got.error, PromptBanError):
            return "PromptBanError", got.error.error_msg, got.error.data
        return got.type.__name__, re.sub(r"0x[0-9a-f]+", "0x?", got.message)
    if isinstance(got, Image.Image):
        return "image", got.size, got.mode, hashlib.sha256(got.tobytes()).hexdigest()
    return "value", got


OUT, LOG = PerThreadOutput(), PerThreadLog()


@pytest.fixture
def log():
    logger = logging.getLogger("pravel.tests.threads")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.addHandler(LOG)
    yield logger
    logger.removeHandler(LOG)


def test_all_modules_from_eight_threads(log, word_file, monkeypatch):
    # Each module's thread operations (its tests' OPERATIONS).
    kit = types.SimpleNamespace(word_file=word_file, monkeypatch=monkeypatch, log=log, logged=LOG.take,
                                printed=OUT.take, outcome=comparable, checker_class=PromptBanChecker)
    tasks = collected("threads", kit)
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
                    got = comparable(calls[i])
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
        expected = [comparable(call) for call in calls]
        # The first case-insensitive load of a module happens in all threads at
        # once: a new copy of wordguard has read no case rules yet.
        kit.checker_class = fresh_module("pravel.wordguard").PromptBanChecker
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

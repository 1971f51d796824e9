import copy
import inspect
import os
import pickle
import random
import re
import types

import pytest

from support import Operations, fresh_module, heavy, in_threads, raises, wrong_type
from pravel import wordguard
from pravel.exceptions import PromptBanError
from pravel.wordguard import NormalizedPromptBanChecker, PromptBanChecker


def regex_hits(checker, text):
    """What the compiled expression finds, each piece once, in order."""
    return list(dict.fromkeys(checker._ban_regex.findall(text)))


# ---------------------------------------------------------------- loading


def test_lines_are_trimmed_deduplicated_and_sorted_longest_first(word_file):
    path = word_file("  foo \nfoo\nfoo\t\nfoo bar\n\u3000甲乙\u3000\n#note\nab\ncd\nAB\nabcdef\n")
    checker = PromptBanChecker(path)
    assert checker.banned_words == ["foo bar", "abcdef", "#note", "foo", "甲乙", "ab", "cd", "AB"]
    assert checker._ban_regex.pattern == r"foo\ bar|abcdef|\#note|foo|甲乙|ab|cd|AB"
    assert checker._ban_regex.flags & re.IGNORECASE
    assert checker.ban_word_file == path and checker.ignore_case is True


@pytest.mark.parametrize("cls", [PromptBanChecker, NormalizedPromptBanChecker])
def test_words_of_one_length_keep_the_file_order_in_long_lists(word_file, cls):
    # Forty three-letter words out of alphabetical order around two longer
    # ones: an unstable sort reorders equal lengths once a list passes sixteen.
    short = [f"{chr(ord('a') + k * 7 % 26)}{k:02d}" for k in range(40)]
    words = short[:25] + ["zebra", "apple"] + short[25:]
    checker = cls(word_file("\n".join(words)))
    assert checker.banned_words == ["zebra", "apple", *short]
    assert checker._ban_regex.pattern == "|".join(["zebra", "apple", *short])


def test_universal_newlines_and_blank_lines(word_file):
    checker = PromptBanChecker(word_file(b"one\rtwo\r\nthree\n\n \t\r\n"), ignore_case=0)
    assert checker.banned_words == ["three", "one", "two"]
    assert checker.ignore_case is False
    assert not checker._ban_regex.flags & re.IGNORECASE


def test_blank_file_lets_everything_pass(word_file):
    checker = PromptBanChecker(word_file(" \n\t\n\u3000\n"))
    assert checker.banned_words == [] and checker._ban_regex is None
    prompt = "anything at all"
    assert checker.find_matched_words(prompt) == []
    assert checker.check(prompt) is prompt


def test_byte_order_mark_is_dropped_once_at_the_start(word_file):
    checker = PromptBanChecker(word_file(b"\xef\xbb\xbfbad\n\xef\xbb\xbfworse\n"))
    assert checker.banned_words == ["\ufeffworse", "bad"]
    assert checker.find_matched_words("a bad day, worse \ufeffworse") == ["bad", "\ufeffworse"]
    checker = PromptBanChecker(word_file("\ufeff\ufeffx\n"))
    assert checker.banned_words == ["\ufeffx"]


def test_missing_file(tmp_path):
    path = str(tmp_path / "nope.txt")
    with pytest.raises(FileNotFoundError) as info:
        PromptBanChecker(path)
    assert info.value.args == ("违禁词文件不存在: " + path,)


def test_failed_reload_keeps_the_previous_state(word_file, tmp_path):
    path = word_file("bad\n")
    checker = PromptBanChecker(path)
    words, regex = checker.banned_words, checker._ban_regex

    def unchanged():
        assert checker.banned_words is words and checker._ban_regex is regex
        assert checker.find_matched_words("so bad") == ["bad"]

    word_file(b"fine\n\xff\xfe\n")
    with pytest.raises(UnicodeDecodeError):
        checker.load_banned_words()
    unchanged()
    checker.ban_word_file = str(tmp_path)
    with pytest.raises(OSError):
        checker.load_banned_words()
    unchanged()
    checker.ban_word_file = str(tmp_path / "gone.txt")
    with pytest.raises(FileNotFoundError, match="违禁词文件不存在: .*gone.txt"):
        checker.load_banned_words()
    unchanged()


def test_reload_takes_edits_case_flag_and_path(word_file, tmp_path):
    path = word_file("bad\n")
    checker = PromptBanChecker(path, ignore_case=False)
    earlier = checker.banned_words
    assert checker.find_matched_words("BAD bad") == ["bad"]
    word_file("bad\nworse\n")
    checker.ignore_case = True
    assert checker.find_matched_words("BAD worse") == []  # not before the reload
    checker.load_banned_words()
    assert checker.find_matched_words("BAD worse") == ["BAD", "worse"]
    assert earlier == ["bad"] and checker.banned_words is not earlier
    other = tmp_path / "other.txt"
    other.write_text("other\n", encoding="utf-8")
    checker.ban_word_file = str(other)
    checker.load_banned_words()
    assert checker.banned_words == ["other"]


# ---------------------------------------------------------------- checking


@pytest.mark.parametrize("words, text, ignore_case, hits", [
    ("abc\nabcdef", "xxabcdefxx", True, ["abcdef"]),
    ("ab\nbc", "abc", True, ["ab"]),
    ("Bad", "BAD and bad", True, ["BAD", "bad"]),
    ("Bad", "BAD and bad", False, []),
    ("a.b", "axb a.b", True, ["a.b"]),
    ("(x|y)*", "x|y (x|y)*", True, ["(x|y)*"]),
    ("ab", "ab ab AB ab", True, ["ab", "AB"]),
    ("色情\n暴力", "暴力和色情和暴力", True, ["暴力", "色情"]),
])
def test_matches(word_file, words, text, ignore_case, hits):
    checker = PromptBanChecker(word_file(words), ignore_case)
    assert checker._ban_matcher is not None
    assert checker.find_matched_words(text) == hits == regex_hits(checker, text)


def test_check_raises_with_message_and_data(word_file):
    checker = PromptBanChecker(word_file("foo\nbar\n"))
    with pytest.raises(PromptBanError) as info:
        checker.check("bar, FOO and bar")
    assert info.value.error_msg == "Prohibited prompt words: bar,FOO"
    assert info.value.data == ["bar", "FOO"]
    prompt = "".join(["a clean ", "prompt"])
    assert checker.check(prompt) is prompt


def test_check_uses_an_overridden_finder(word_file):
    class Strict(PromptBanChecker):
        def find_matched_words(self, text):
            return ["x", "y"]

    with pytest.raises(PromptBanError, match="^Prohibited prompt words: x,y$"):
        Strict(word_file("foo\n")).check("clean")


def test_arguments_must_be_exactly_str(word_file, tmp_path):
    checker = PromptBanChecker(word_file("foo\n"))

    class Text(str):
        pass

    for call, name in [(checker.check, "prompt"), (checker.find_matched_words, "text"),
                       (PromptBanChecker, "ban_word_file")]:
        for wrong, type_name in [(None, "NoneType"), (Text("foo"), "Text"), (b"foo", "bytes")]:
            with pytest.raises(TypeError) as info:
                call(wrong)
            assert str(info.value) == wrong_type(name, "str", type_name)


def test_interface(word_file):
    assert wordguard.PromptBanError is PromptBanError
    assert wordguard.re is re and wordguard.List is not None and wordguard.Set is not None
    doc_lines = [line.strip() for line in PromptBanChecker.__doc__.splitlines() if line.strip()]
    assert doc_lines == ["提示词违禁词校验工具。", "从文件加载违禁词列表，使用正则预编译实现高效匹配，",
                         "支持忽略大小写、长词优先匹配。"]
    check_doc = [line.strip() for line in PromptBanChecker.check.__doc__.splitlines()]
    assert [line for line in check_doc if line][-2:] == ["Raises:", "PromptBanError: 检测到违禁词时抛出"]
    assert PromptBanChecker._build_regex.__doc__ == "内部构建正则匹配规则"
    assert str(inspect.signature(PromptBanChecker)) == (
        "(ban_word_file: 'str', ignore_case: 'bool' = True)")
    assert PromptBanChecker.find_matched_words.__annotations__ == {"text": "str",
                                                                    "return": "List[str]"}
    assert PromptBanChecker.load_banned_words.__annotations__ == {"return": "None"}


# ---------------------------------------------------------------- the automaton

CASE_SENSITIVE_CHARS = (
    "sSſ" "σςΣ" "kKK" "µμΜ" "iIıİ" "ßẞ" "ﬅﬆ" "ΐΐΰΰ" "ιΙιͅ" "βϐΒ" "θϑϴΘ" "вВᲀ" "тᲄᲅ"
    "ṡṠẛ" "ǅǄǆ" "ΩωΩ" "åÅÅ" "ＡａＺｚ" "\U00010400\U00010428\U00010401\U00010429"
)
POOLS = [
    "abcAB .*+?|()[]{}^$\\-#",
    CASE_SENSITIVE_CHARS,
    "色情暴力赌博毒品内容的一是不了",
    "😀😁🙂\U0001F600\U000E0041a\u3000",
]


def random_words(rng, pool):
    shape = rng.random()
    count = rng.randint(1, 8)
    if shape < 0.2:  # single characters: the engine makes a character class of them
        words = [rng.choice(pool) for _ in range(count)]
    elif shape < 0.4:  # one shared stem, differing in the last character
        stem = "".join(rng.choices(pool, k=rng.randint(1, 3)))
        words = [stem + rng.choice(pool) for _ in range(count)]
    else:  # overlapping words, prefixes and suffixes of each other
        words = ["".join(rng.choices(pool, k=rng.randint(1, 5))) for _ in range(count)]
        words += [w[:-1] for w in words if len(w) > 1 and rng.random() < 0.3]
        words += [w[1:] for w in words if len(w) > 1 and rng.random() < 0.3]
    words = list(dict.fromkeys(words))
    return sorted(words, key=len, reverse=True)


def rebuilt(checker, words, ignore_case):
    checker.banned_words, checker.ignore_case = words, ignore_case
    checker._build_regex()
    assert checker._ban_matcher is not None, words
    return checker


@pytest.mark.parametrize("seed", range(4))
def test_same_hits_as_the_expression(word_file, seed):
    rng = random.Random(seed)
    checker = PromptBanChecker(word_file("x\n"))
    for _ in range(400):
        pool = rng.choice(POOLS + ["".join(POOLS)])
        words = random_words(rng, pool)
        rebuilt(checker, words, rng.random() < 0.7)
        source = pool + "".join(words)
        for _ in range(4):
            text = "".join(rng.choices(source, k=rng.randint(0, 40)))
            assert checker.find_matched_words(text) == regex_hits(checker, text), (words, text)


def test_case_equivalents_of_every_letter_match_as_the_expression_does(word_file):
    # Each case-sensitive character as a word alone and in a longer word,
    # against a text holding all of them.
    checker = PromptBanChecker(word_file("x\n"))
    text = " ".join(CASE_SENSITIVE_CHARS) + "".join(CASE_SENSITIVE_CHARS)
    for c in CASE_SENSITIVE_CHARS:
        for words in ([c], ["x" + c, c + "y"], [c, "x", "y"]):
            rebuilt(checker, words, True)
            assert checker.find_matched_words(text) == regex_hits(checker, text), words


def test_long_prompts_and_unsorted_lists(word_file):
    rng = random.Random(7)
    checker = PromptBanChecker(word_file("x\n"))
    pool = "abcdeABC色情暴力"
    for _ in range(60):
        words = ["".join(rng.choices(pool, k=rng.randint(1, 6))) for _ in range(30)]
        rng.shuffle(words)  # not longest first: the first-listed word wins, as in the expression
        rebuilt(checker, words, rng.random() < 0.5)
        text = "".join(rng.choices(pool + " ", k=rng.randint(2000, 6000)))
        assert checker.find_matched_words(text) == regex_hits(checker, text)


def test_a_replaced_expression_is_used_as_it_is(word_file):
    checker = PromptBanChecker(word_file("foo\n"))
    checker._ban_regex = re.compile(r"o+|f")
    assert checker.find_matched_words("foo fo o") == ["f", "oo", "o"]
    checker._ban_regex = None
    assert checker.find_matched_words("foo") == []


def test_threads_share_one_checker(word_file):
    rng = random.Random(3)
    checker = PromptBanChecker(word_file("\n".join(f"word{i}" for i in range(500))))
    texts = ["".join(rng.choices("word0123456789 ", k=5000)) for _ in range(8)]
    expected = [regex_hits(checker, t) for t in texts]

    def work(_):
        return [[checker.find_matched_words(t) for t in texts] for _ in range(20)]

    assert in_threads(work) == [[expected] * 20] * 4


def test_copies_and_pickles_keep_the_automaton(word_file):
    checker = PromptBanChecker(word_file("bad\nworse\n"))
    for other in (copy.copy(checker), copy.deepcopy(checker),
                  pickle.loads(pickle.dumps(checker))):
        assert other._ban_matcher is not None
        assert other.banned_words == checker.banned_words
        assert other.find_matched_words("Bad, WORSE") == ["Bad", "WORSE"]
    state = checker.__getstate__()
    assert sorted(state) == ["_ban_regex", "ban_word_file", "banned_words", "ignore_case"]
    state["banned_words"] = ["changed"]
    restored = PromptBanChecker.__new__(PromptBanChecker)
    restored.__setstate__(state)  # the list no longer fits the expression
    assert restored._ban_matcher is None
    assert restored.find_matched_words("bad") == ["bad"]


# ---------------------------------------------------------------- a patched `re`


class Wrapped:
    """A compiled expression seen through a shim: the real one, except that
    its matches give their groups as bytes."""

    def __init__(self, pattern):
        self._pattern = pattern

    def __getattr__(self, name):
        return getattr(self._pattern, name)

    def match(self, *args):
        found = self._pattern.match(*args)
        return found and types.SimpleNamespace(groups=lambda: b"\x01" * 4096)


def patched_re(**changes):
    shim = types.ModuleType("re")
    shim.__dict__.update(vars(re))
    shim.__dict__.update(changes)
    return shim


@pytest.mark.parametrize("shim", [
    patched_re(compile=lambda pattern, flags=0: Wrapped(re.compile(pattern, flags)),
               Pattern=Wrapped),
    patched_re(compile=lambda pattern, flags=0: re.compile("se|a", flags)),
    patched_re(escape=lambda word: re.escape(word).replace("\\.", ".")),
], ids=["groups as bytes", "another expression", "another escape"])
def test_a_patched_re_gets_its_own_findall(word_file, shim):
    # A module of its own, which has read no case rules yet.
    module = fresh_module("pravel.wordguard")
    module.re = shim
    path = word_file("sex\nab\na.b\n")
    text = "iex ſex AB sex axb a.b"
    checker = module.PromptBanChecker(path)
    assert checker._ban_matcher is None
    assert checker.find_matched_words(text) == regex_hits(checker, text)
    # Nothing the shim gave is kept: with `re` back, the rules are the engine's.
    module.re = re
    checker = module.PromptBanChecker(path)
    assert checker._ban_matcher is not None
    assert checker.find_matched_words(text) == regex_hits(checker, text) == ["ſex", "AB", "sex", "a.b"]


def test_an_engine_that_answers_the_case_probe_oddly_gets_no_automaton(word_file, monkeypatch):
    # re.compile, as the module finds it when it loads, wraps every expression
    # with look-aheads, which only the probe of case rules has.
    compile = re.compile
    monkeypatch.setattr(re, "compile", lambda pattern, flags=0: (
        Wrapped(compile(pattern, flags)) if "(?=(" in pattern else compile(pattern, flags)))
    module = fresh_module("pravel.wordguard")
    path = word_file("sex\n")
    checker = module.PromptBanChecker(path)
    assert checker._ban_matcher is None
    assert checker.find_matched_words("iex ſex SEX") == ["ſex", "SEX"]
    exact_case = module.PromptBanChecker(path, ignore_case=False)  # needs no case rules
    assert exact_case._ban_matcher is not None
    assert exact_case.find_matched_words("iex ſex SEX sex") == ["sex"]


# ---------------------------------------------------------------- what the cross-cutting suites run


def leak_operations(kit):
    from pravel.exceptions import PromptBanError
    from pravel.wordguard import NormalizedPromptBanChecker, PromptBanChecker

    path = kit.word_file("cat\ndog\nStraße\n违禁词\n a.b \ncat\n")
    blank = kit.word_file(" \n\t\n", "blank.txt")
    broken = kit.word_file(b"fine\n\xff\xfe\n", "broken.txt")
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
        **normalized_leak_operations(path, NormalizedPromptBanChecker, PromptBanError),
    }


def normalized_leak_operations(path, Checker, PromptBanError):
    checker, strict = Checker(path), Checker(path, ignore_case=False)
    disguised = "a c.a.t, a Ｄ0Ｇ and 違禁詞, ｓｔｒａßｅ\u0301, a.b " * 3
    allowed = os.path.join(os.path.dirname(path), "allowed.txt")
    with open(allowed, "w", encoding="utf-8") as f:
        f.write("catalogue\nhotdog\n")
    everything = Checker(path, allowed_words_file=allowed, sound_alike=True)
    by_sound = "a catalogue, a hot-dog, weijinci, 为禁词 and 违jinci, a cat " * 3
    return {
        "normalized: Checker(allowed, by sound)": heavy(
            lambda: Checker(path, allowed_words_file=allowed, sound_alike=True)),
        "normalized: Checker(allowed missing)": raises(
            FileNotFoundError, Checker, path, allowed_words_file=allowed + ".missing"),
        "normalized: find_hits": lambda: everything.find_hits(by_sound),
        "normalized: find_hits(long)": lambda: everything.find_hits(by_sound * 40),
        "normalized: mask": lambda: everything.mask(by_sound, "#"),
        "normalized: mask(bad)": raises(ValueError, everything.mask, by_sound, "##"),
        "normalized: find_matched_words(by sound)": lambda: everything.find_matched_words(by_sound),
        "normalized: Checker()": heavy(lambda: Checker(path)),
        "normalized: _build_regex": heavy(lambda: strict._build_regex()),
        "normalized: find_matched_words": lambda: checker.find_matched_words(disguised),
        "normalized: find_matched_words(long)": lambda: checker.find_matched_words(disguised * 40),
        "normalized: find_matched_words(bad)": raises(TypeError, checker.find_matched_words, None),
        "normalized: check(banned)": raises(PromptBanError, strict.check, disguised),
        "normalized: copy": heavy(lambda: copy.copy(checker).find_matched_words("d.o.g")),
    }


PROMPTS = ["a clean prompt", "a CAT, a dog and another Cat", "straße STRASSE ДОМ дом",
           "违禁词" * 3 + "a.b axb", "clean words " * 300 + "and a cat at the end"]


def thread_operations(kit):
    """New checkers are made of `kit.checker_class`, which the suite may
    change once the single-thread answers are known."""
    path = kit.word_file("cat\ndog\nStraße\nдом\n违禁词\n a.b \ncat\n\n")
    checker, strict = PromptBanChecker(path), PromptBanChecker(path, ignore_case=False)
    tasks = {"reload": checker.load_banned_words, "words": lambda: checker.banned_words}
    for n, prompt in enumerate(PROMPTS):
        tasks[f"check {n}"] = lambda prompt=prompt: checker.check(prompt) is prompt
        tasks[f"find {n}"] = lambda prompt=prompt: checker.find_matched_words(prompt)
        tasks[f"strict {n}"] = lambda prompt=prompt: strict.find_matched_words(prompt)
        tasks[f"new checker {n}"] = lambda prompt=prompt: kit.checker_class(path).find_matched_words(prompt)
    return tasks


ISOLATED = """
from pravel.wordguard import NormalizedPromptBanChecker, PromptBanChecker

checker = PromptBanChecker(word_file)
strict = PromptBanChecker(word_file, ignore_case=False)
disguised = NormalizedPromptBanChecker(word_file)
calls = [
    lambda: checker.check("a CAT and a dog and a cat"),
    lambda: checker.find_matched_words("Straße STRASSE ДОМ"),
    lambda: strict.check("CAT"),
    lambda: checker.check(None),
    lambda: PromptBanChecker(word_file + ".missing"),
    lambda: disguised.find_matched_words("a c.a.t, a Ｄ0Ｇ, СТРАССЕ and a д о м"),
    lambda: disguised.check("s t r a ß e"),
]
"""

# The long operations, for each of the two checkers.
SHUTDOWN_OF_A_CHECKER = {
    "find_matched_words": """
        import os, tempfile
        from pravel.wordguard import CHECKER
        path = os.path.join(tempfile.mkdtemp(), "words.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write("abc\\ngore\\nsex\\n血腥\\n18+\\n")
        checker = CHECKER(path)
        prompt = "abx g.o.x Sey S 3 y 血 18 " * 100_000
        in_daemon_thread(lambda: checker.find_matched_words(prompt))
    """,
    "load_banned_words": """
        import os, tempfile
        from pravel.wordguard import CHECKER
        path = os.path.join(tempfile.mkdtemp(), "words.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write("\\n".join(f"word{i} Ωmega{i * 7}" for i in range(20_000)))
        checker = CHECKER(path)
        in_daemon_thread(checker.load_banned_words)
    """,
}

OPERATIONS = Operations(
    leaks=leak_operations, threads=thread_operations, isolated=ISOLATED,
    shutdown={f"wordguard {checker} {operation}": code.replace("CHECKER", checker)
              for checker in ("PromptBanChecker", "NormalizedPromptBanChecker")
              for operation, code in SHUTDOWN_OF_A_CHECKER.items()},
    recreated=lambda module, word_file: module.PromptBanChecker(word_file).find_matched_words("a dog, a cat"))

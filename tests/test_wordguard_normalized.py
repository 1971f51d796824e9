import contextlib
import copy
import io
import inspect
import pickle
import random
import re
import sys
import types
import unicodedata
from pathlib import Path

import pytest
from support import fresh_module, in_threads, wrong_type

from pravel.exceptions import PromptBanError
from pravel.wordguard import NormalizedPromptBanChecker, PromptBanChecker

WORDS = "色情\n赌博\ngore\nkill\nsex\nbad word\n18+\n🍆\n"


@pytest.fixture
def checker(word_file):
    return NormalizedPromptBanChecker(word_file(WORDS))


# ---------------------------------------------------------------- disguises

DISGUISES = {
    "separators": ["色 情", "色*情", "色 . 情", "色.情", "色\u3000情", "g.o.r.e", "g - o - r - e", "G_O_R_E", "k.i.l.l"],
    "invisible": ["色\u200b情", "g\u00adore", "go\u200dr\ufe0fe", "g\u2060o\u202er\u202ce",
                  "色\x1f情", "s\x01e\x01x", "g\x7fore", "go\ufff9r\ufffbe", "g\ue000o\U0010fffdre",
                  "g\U000e0fffore", "k\x9bill"],
    "letter pictures": ["🆂🅴🆇", "ꜱᴇx", "🅖🅞🅡🅔", "🇸🇪🇽", "ɢᴏʀᴇ", "🄶🄾🅁🄴"],
    "traditional": ["賭博", "色情"],
    "compatibility": ["ＧＯＲＥ", "ⓖⓞⓡⓔ", "𝐠𝐨𝐫𝐞", "ｇｏｒｅ"],
    "case": ["GORE", "GoRe", "KILL"],
    "accents": ["göre", "go\u0308re\u0301", "gòrê", "ķįļļ", "gore\u0301\u034f", "kill\ufe0f"],
    "look-alikes": ["gоre", "gοre", "ѕех", "kіll", "ɡore"],
    "stand-ins": ["g0re", "k1ll", "ki11", "$ex", "s3x", "5ex", "g0r3", "kIll"],
    "mixed": ["Ｇ.o.r.ё", "賭 博", "ｓ３ｘ"],
}


@pytest.mark.parametrize("kind, disguised",
                         [(k, d) for k, ds in DISGUISES.items() for d in ds])
def test_each_disguise_is_found_and_reported_as_typed(checker, kind, disguised):
    prompt = f"please draw {disguised} in the rain"
    assert checker.find_matched_words(prompt) == [disguised]
    # Its span is exact: astral characters and trailing combining marks included.
    [(word, start, end)] = checker.find_hits(prompt)
    assert (start, end) == (12, 12 + len(disguised)) and word in checker.banned_words
    assert checker.mask(prompt) == f"please draw {'*' * len(disguised)} in the rain"
    with pytest.raises(PromptBanError) as info:
        checker.check(prompt)
    assert info.value.error_msg == f"Prohibited prompt words: {disguised}"
    assert info.value.data == [disguised]


def test_a_mark_after_a_separator_goes_where_marks_are_spelling(word_file):
    # Devanagari and Thai marks are part of the spelling and stay keys; one
    # that follows a separator joins no letter and goes like the separator.
    checker = NormalizedPromptBanChecker(word_file("कम\nกม\n"))
    assert checker.find_hits("क \u094dम") == [("कम", 0, 4)]
    assert checker.find_hits("ก.\u0e48ม") == [("กม", 0, 4)]
    assert checker.find_hits("ก\u0e48ม") == []


NEAR_MISSES = [
    "the logo read", "let's go re-enter", "ago, rehearsal", "kil lings", "s ex-wife", "it's ex",
    "颜色。情况", "颜色，情况", "颜色、情况", "红色, 情侣", "红色;情侣", "《红色》情节",
    "“黑色”情绪", "g    o r e", "g.o.r..  .e", "2010 年", "101 dalmatians", "mp4 file",
    "色\ud800情", "as 5.3", "md5 a715dd0d5ex", "$EXTRA", "100k1ll", "les3xa",
    # Lines and sentences end words between Chinese characters.
    "色\n情", "主色调：红色\n情绪：温暖", "红色\r\n情侣", '他穿着"红色"情侣衫', "他说'红色'情侣",
    "颜色. 情况很好", "g\no\nr\ne",
]


@pytest.mark.parametrize("text", NEAR_MISSES)
def test_near_misses_are_not_flagged(checker, text):
    assert checker.find_matched_words(text) == []
    assert checker.check(text) is text


def test_initials_and_abbreviations_are_no_words(word_file):
    checker = NormalizedPromptBanChecker(word_file("tit\nav\nass\n"))
    for text in ["T.I.T.A.N.", "A.V. Club", "Mr. A. S. S. Rao's shop", "the A.S.S. report"]:
        assert checker.find_matched_words(text) == [], text
    # Spelt out, with the letters as they come, they are still disguises.
    assert checker.find_matched_words("a.s.s, A.S.S, A. S. S and t i t") == ["a.s.s", "A.S.S", "A. S. S", "t i t"]


def test_stand_ins_only_inside_whole_latin_words(word_file):
    checker = NormalizedPromptBanChecker(word_file("lol\nzoe\nak47\n"))
    assert checker.find_matched_words("1o1 and 101, lo1, l01") == ["1o1", "lo1", "l01"]
    assert checker.find_matched_words("2 0 3, it is 20 3e, 1o1s, xl0l") == []
    assert checker.find_matched_words("an ak47, an AKAT, a4k47") == ["ak47", "AKAT"]
    assert checker.find_matched_words("一个1o1的场景") == ["1o1"]


def test_spans_order_and_repeats(checker):
    text = "G.O.R.E, 色 情 and G.O.R.E again; gore\u0301s, GORE, bad   word, 18+!"
    assert checker.find_matched_words(text) == ["G.O.R.E", "色 情", "gore\u0301", "GORE",
                                                "bad   word", "18+"]


def test_words_written_with_separators_or_symbols(checker):
    # A phrase's own space takes any short run of separators; words ending
    # in a separator, and emoji, match as written.
    assert checker.find_matched_words("a bad-word, a bad_word") == ["bad-word", "bad_word"]
    assert checker.find_matched_words("badword") == []
    assert checker.find_matched_words("18+ 18 🍆🍆") == ["18+", "🍆"]
    assert checker.find_matched_words("2018") == []


def test_longest_first_and_no_overlaps(word_file):
    checker = NormalizedPromptBanChecker(word_file("ab\nabcd\nbc\n"))
    assert checker.banned_words == ["abcd", "ab", "bc"]
    assert checker.find_matched_words("x a.b.c.d y, abc") == ["a.b.c.d", "ab"]


def test_a_word_is_never_found_in_part_of_a_character(word_file):
    # A Hangul syllable becomes its letters when taken apart: 가 is the start
    # of 각 and 간, which are other syllables. Written as the letters
    # themselves, it is still the word.
    checker = NormalizedPromptBanChecker(word_file("가\n한국\n"))
    assert checker.find_hits("각 간 한국어, 가각") == [("한국", 4, 6), ("가", 9, 10)]
    assert checker.find_hits("\u1100\u1161 다") == [("가", 0, 2)]


def test_case_sensitive_mode_keeps_case_but_not_the_disguises(word_file):
    checker = NormalizedPromptBanChecker(word_file("gore\n"), ignore_case=False)
    assert checker.find_matched_words("GORE Gore gore") == ["gore"]
    assert checker.find_matched_words("g.o.r.e gоre g0re ｇｏｒｅ") == ["g.o.r.e", "gоre", "g0re", "ｇｏｒｅ"]
    assert checker.find_hits("a g o r e. g. o r e") == [("gore", 2, 9), ("gore", 11, 19)]


@pytest.mark.parametrize("ignore_case", [True, False])
def test_runs_of_spaces(word_file, ignore_case):
    # Up to three separators make a gap inside a word; what follows a longer
    # run, however long (the count saturates), starts afresh; a full stop
    # before spaces ends a sentence between Chinese characters.
    checker = NormalizedPromptBanChecker(word_file("gore\n色情\n"), ignore_case=ignore_case)
    for run in (1, 2, 3, 4, 254, 255, 256, 300):
        spaces = " " * run
        found = [("gore", 0, run + 4), ("色情", run + 5, 2 * run + 7)] if run <= 3 else []
        assert checker.find_hits(f"g{spaces}ore 色{spaces}情") == found, run
        text = f"x{spaces}g o r e{spaces}色 情{spaces}"
        assert checker.find_hits(text) == [("gore", run + 1, run + 8), ("色情", 2 * run + 8, 2 * run + 11)]
    assert checker.find_hits("颜色.  情况, 色 . 情") == [("色情", 9, 14)]


def test_finds_whatever_the_exact_checker_finds(word_file):
    rng = random.Random(5)
    pool = "abcdeABé色情赌博 .-*,，。ſKßİ1@"
    for _ in range(150):
        words = {"".join(rng.choices(pool, k=rng.randint(1, 5))).strip() for _ in range(6)}
        path = word_file("\n".join(w for w in words if w) + "\nz\n")
        for ignore_case in (True, False):
            exact = PromptBanChecker(path, ignore_case)
            normalized = NormalizedPromptBanChecker(path, ignore_case)
            for _ in range(8):
                text = "".join(rng.choices(pool + "".join(words), k=rng.randint(0, 30)))
                if exact.find_matched_words(text):
                    assert normalized.find_matched_words(text), (words, text, ignore_case)


@pytest.mark.parametrize("shortest, longest, count", [(2, 6, 3_000), (2, 40, 300)])
def test_many_words_over_a_wide_alphabet_are_found_as_written(word_file, shortest, longest, count):
    # Hundreds of distinct characters, so that states hold edges for symbols
    # that share their place in any small summary of a state's edges, and
    # words that share their endings, so that failure chains are long. Yi
    # syllables have no case, no look-alikes and no other forms: the hits
    # are the expression's matches. Texts short and long, so that words stand
    # across the middle where a long text's two halves are read side by side.
    rng = random.Random(11)
    alphabet = [chr(0xA000 + i) for i in range(400)]
    common = alphabet[:12]
    words = {"".join(rng.choices(common if rng.random() < 0.5 else alphabet,
                                 k=rng.randint(shortest, longest)))
             for _ in range(count)}
    path = word_file("\n".join(words) + "\n")
    exact, normalized = PromptBanChecker(path), NormalizedPromptBanChecker(path)
    listed = sorted(words)
    longest_word = max(listed, key=len)
    for _ in range(200):
        text = "".join(rng.choices(common + alphabet[:80], k=rng.randint(20, 10 * longest + 200)))
        if rng.random() < 0.5:  # a long word across the middle
            word = longest_word if rng.random() < 0.5 else rng.choice(listed)
            start = max(0, (len(text) + len(word)) // 2 - rng.randint(0, len(word)))
            text = text[:start] + word + text[start:]
        expected = [(m.group(), m.start(), m.end()) for m in exact._ban_regex.finditer(text)]
        assert [(text[b:e], b, e) for _, b, e in normalized.find_hits(text)] == expected, text


# ---------------------------------------------------------------- the contract


def test_interface(checker):
    assert issubclass(NormalizedPromptBanChecker, PromptBanChecker)
    assert str(inspect.signature(NormalizedPromptBanChecker)) == (
        "(ban_word_file: 'str', ignore_case: 'bool' = True, *, "
        "allowed_words_file: 'Optional[str]' = None, sound_alike: 'bool' = False)")
    assert NormalizedPromptBanChecker.find_matched_words.__annotations__ == {
        "text": "str", "return": "List[str]"}
    assert str(inspect.signature(NormalizedPromptBanChecker.mask)) == (
        "(self, text: 'str', char: 'str' = '*') -> 'str'")
    assert checker.allowed_words == [] and checker.sound_alike is False
    assert checker.allowed_words_file is None
    with pytest.raises(TypeError, match="positional"):
        NormalizedPromptBanChecker(checker.ban_word_file, True, None)
    assert "伪装" in NormalizedPromptBanChecker.__doc__
    assert checker.banned_words[:3] == ["bad word", "gore", "kill"]
    assert checker._ban_regex.pattern.startswith(r"bad\ word|")


def test_arguments_must_be_exactly_str(checker):
    class Text(str):
        pass

    for call, name in [(checker.check, "prompt"), (checker.find_matched_words, "text"),
                       (checker.find_hits, "text"), (checker.mask, "text"),
                       (NormalizedPromptBanChecker, "ban_word_file")]:
        for wrong in (None, Text("gore")):
            with pytest.raises(TypeError) as info:
                call(wrong)
            assert str(info.value) == wrong_type(name, "str", type(wrong).__name__)


def test_reload(word_file, tmp_path):
    path = word_file("gore\n")
    checker = NormalizedPromptBanChecker(path)
    word_file("gore\n色情\n")
    assert checker.find_matched_words("色 情") == []
    checker.load_banned_words()
    assert checker.find_matched_words("色 情, g0re") == ["色 情", "g0re"]
    (tmp_path / "banned.txt").write_bytes(b"\xff\n")
    with pytest.raises(UnicodeDecodeError):
        checker.load_banned_words()
    assert checker.find_matched_words("色 情") == ["色 情"]  # the previous list stays
    # Whichever class's build runs, it puts the disguise-aware matcher in
    # force; a check only uses it.
    PromptBanChecker._build_regex(checker)
    matcher = checker._ban_matcher
    assert checker.find_matched_words("g.o.r.e 色 情") == ["g.o.r.e", "色 情"]
    assert checker._ban_matcher is matcher
    checker.banned_words = []
    checker._build_regex()
    assert checker._ban_regex is None and checker.find_matched_words("gore") == []
    with pytest.raises(FileNotFoundError):
        NormalizedPromptBanChecker(str(tmp_path / "missing.txt"))


def test_copies_and_pickles(checker):
    for other in (copy.copy(checker), copy.deepcopy(checker),
                  pickle.loads(pickle.dumps(checker))):
        assert type(other) is NormalizedPromptBanChecker
        assert other.find_matched_words("g.o.r.e 賭博") == ["g.o.r.e", "賭博"]
    state = checker.__getstate__()
    state["banned_words"] = ["other"]
    restored = NormalizedPromptBanChecker.__new__(NormalizedPromptBanChecker)
    restored.__setstate__(state)
    assert restored.find_matched_words("o.t.h.e.r gore") == ["o.t.h.e.r"]


def test_lone_surrogates_and_huge_prompts(checker):
    assert checker.find_matched_words("\udfff色\u200b情\ud800 g\udc00ore") == ["色\u200b情"]
    huge = "a clean prompt, 干净的提示词。" * 400_000 + "g.o.r.e"
    assert checker.find_matched_words(huge) == ["g.o.r.e"]
    assert checker.find_matched_words("、" * 1_000_000) == []


@pytest.mark.parametrize("words", [
    ["a" * k for k in range(1, 41)] + ["ab", "ba"],        # nested
    ["ab" * 300, "b", "ba" * 150 + "c"],                   # long
    [f"#{w}!" for w in ("a", "ab", "ba", "bab")] + ["ab+", "aba"] + [f"#{i}" for i in range(300)],
], ids=["nested", "long", "punctuation"])
def test_hostile_lists_over_long_prompts(word_file, words):
    # Many windows of the scan, with matches across their edges: the hits are
    # those of the exact checker, whose own are those of the expression.
    rng = random.Random(7)
    path = word_file("\n".join(words) + "\n")
    exact, normalized = PromptBanChecker(path), NormalizedPromptBanChecker(path)
    pieces = ["a", "b", "ab", "a" * 45, "#ab!", "ab+", "ab" * 300, "#12"]
    prompt = "".join(rng.choice(pieces) for _ in range(60_000))
    expected = list(dict.fromkeys(exact._ban_regex.findall(prompt)))
    assert exact.find_matched_words(prompt) == expected
    assert normalized.find_matched_words(prompt) == expected


def test_a_repeated_hit_is_kept_once(checker):
    assert checker.find_matched_words("gore g.o.r.e 18+ " * 200_000) == ["gore", "g.o.r.e", "18+"]


class OddMatch:
    """A match of a replaced `re` that points past its expression's groups
    or the prompt."""

    def __init__(self, group, start, end):
        self.lastindex, self._span = group, (start, end)

    def start(self):
        return self._span[0]

    def end(self):
        return self._span[1]


def test_words_written_as_is_ignore_a_replaced_re(word_file, monkeypatch):
    # Words without letters are matched by an automaton that follows the
    # engine the module imported, whatever `re` Python code finds later.
    shim = types.ModuleType("re")
    shim.__dict__.update(vars(re))
    shim.compile = lambda pattern, flags=0: types.SimpleNamespace(
        finditer=lambda text: iter([OddMatch(40, 0, 1)]))
    monkeypatch.setitem(sys.modules, "re", shim)
    checker = NormalizedPromptBanChecker(word_file("18+\n#TAG\ngore\n"))
    assert checker.find_matched_words("x 18+ g o r e #tag 18+") == ["18+", "g o r e", "#tag"]


@pytest.mark.parametrize("answer, error", [(lambda text: text.encode(), TypeError),
                                           (lambda text: text[: len(text) // 2], ValueError)],
                         ids=["bytes", "half"])
@pytest.mark.parametrize("ignore_case", [True, False])
def test_a_replaced_unicodedata_is_read_safely(word_file, monkeypatch, answer, error, ignore_case):
    # A module of its own, which has made no character tables yet.
    module = fresh_module("pravel.wordguard")
    shim = types.ModuleType("unicodedata")
    shim.__dict__.update(vars(unicodedata))
    shim.normalize = lambda form, text: answer(unicodedata.normalize(form, text))
    path = word_file("gore\n")
    monkeypatch.setitem(sys.modules, "unicodedata", shim)
    with pytest.raises(error):
        module.NormalizedPromptBanChecker(path, ignore_case)
    # Nothing the shim gave is kept.
    monkeypatch.setitem(sys.modules, "unicodedata", unicodedata)
    assert module.NormalizedPromptBanChecker(path, ignore_case).find_matched_words("g.o.r.e") == ["g.o.r.e"]


def test_threads_share_one_checker(checker):
    rng = random.Random(9)
    pieces = ["色 情", "g.o.r.e", "賭博", "clean text ", "干净的文字，", "k1ll", "the logo read "]
    texts = ["".join(rng.choices(pieces, k=2000)) for _ in range(6)]
    expected = [checker.find_matched_words(t) for t in texts]
    results = in_threads(lambda k: [[checker.find_matched_words(t) for t in texts] for _ in range(5)])
    assert all(r == [expected] * 5 for r in results)


@pytest.mark.parametrize("heading", ["#### Seeing through disguises",
                                     "#### Allowed phrases, positions and masking"])
def test_readme_examples_print_what_they_show(heading):
    readme = Path(__file__).resolve().parent.parent / "README.md"
    section = readme.read_text(encoding="utf-8").split(heading)[1]
    code = section.split("```python\n")[1].split("```")[0]
    shown = section.split("Output:\n\n```\n")[1].split("```")[0]
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(code, {})
    assert printed.getvalue() == shown


# ---------------------------------------------------------------- positions and masking


def test_hits_in_order_with_the_word_as_listed(checker):
    prompt = "G.O.R.E 🍆 then 色 情, gore and 18+ and kill"
    assert checker.find_hits(prompt) == [
        ("gore", 0, 7), ("🍆", 8, 9), ("色情", 15, 18), ("gore", 20, 24), ("18+", 29, 32),
        ("kill", 37, 41)]
    assert checker.mask(prompt, "#") == "####### # then ###, #### and ### and ####"
    assert checker.mask("clean") == "clean" and checker.find_hits("") == []
    for wrong in ("", "ab"):
        with pytest.raises(ValueError, match="single character"):
            checker.mask(prompt, wrong)
    assert checker.mask("gore", "\U0001f600") == "\U0001f600" * 4


# ---------------------------------------------------------------- allowed phrases


def test_allowed_phrases_suppress_exactly_the_hits_they_cover(word_file):
    banned = word_file("ass\nsshole\n成人\n", "banned.txt")
    allowed = word_file("class\nassassin\n成人教育\n", "allowed.txt")
    checker = NormalizedPromptBanChecker(banned, allowed_words_file=allowed)
    assert checker.allowed_words == ["assassin", "class", "成人教育"]
    assert checker.allowed_words_file == allowed
    # Found with the same normalisation; a hit outside every occurrence counts.
    prompt = "a CLASS, an a.s.s.a.s.s.i.n, 成 人 教育 and an ass"
    assert checker.find_hits(prompt) == [("ass", len(prompt) - 3, len(prompt))]
    assert checker.find_hits("成人影院") == [("成人", 0, 2)]
    # A suppressed hit takes no text away from one that overlaps it.
    assert checker.find_hits("classhole") == [("sshole", 3, 9)]
    unfiltered = NormalizedPromptBanChecker(banned)
    assert [h[0] for h in unfiltered.find_hits("class assassin")] == ["ass", "ass", "ass"]


def test_allowed_phrases_reload_pickle_and_missing_files(word_file, tmp_path):
    banned = word_file("ass\n", "banned.txt")
    allowed = word_file("class\n", "allowed.txt")
    checker = NormalizedPromptBanChecker(banned, allowed_words_file=allowed)
    for other in (copy.deepcopy(checker), pickle.loads(pickle.dumps(checker))):
        assert other.find_hits("class ass") == [("ass", 6, 9)]
    word_file("class\nbass\n", "allowed.txt")
    checker.load_banned_words()
    assert checker.find_hits("bass ass") == [("ass", 5, 8)]
    # Either file failing keeps both old lists.
    word_file("ass\nbad\n", "banned.txt")
    (tmp_path / "allowed.txt").unlink()
    with pytest.raises(FileNotFoundError, match="允许词文件不存在"):
        checker.load_banned_words()
    assert checker.banned_words == ["ass"] and checker.allowed_words == ["class", "bass"]
    assert checker.find_hits("bass bad") == []
    with pytest.raises(FileNotFoundError, match="允许词文件不存在"):
        NormalizedPromptBanChecker(banned, allowed_words_file=str(tmp_path / "none.txt"))


@pytest.mark.parametrize("sound_alike", [False, True])
def test_allowed_phrases_around_hits_as_over_the_whole_text(word_file, sound_alike):
    # A prompt of one piece has its allowed phrases looked for only around
    # its hits; a longer one (here the same prompt with trailing spaces) over
    # all of it. Phrases long and short, overlapping hits and one another,
    # and suppressed hits that free text for others must give the same hits.
    banned = word_file("ass\nsshole\nclass act\n成人\n色情\n人教\nfi\n", "banned.txt")
    allowed = word_file("class\nassassin\n成人教育\nthe first class assassin of the guild\n"
                        "情人\nﬁ…\nhole in one\n", "allowed.txt")
    checker = NormalizedPromptBanChecker(banned, allowed_words_file=allowed, sound_alike=sound_alike)
    pieces = ["ass", "class", "classhole", "a.s.s.a.s.s.i.n", "assassin", "成人教育", "成 人", "色情人",
              "se qing", "涩情", "the first class assassin of the guild", "first class act", "ﬁ…",
              "ﬁ", "hole in one", "sshole", "人教", " ", ", ", "。", "\u0301", "A.", "x"]
    rng = random.Random(20261208)
    padding = " " * 70_000
    for _ in range(300):
        text = "".join(rng.choice(pieces) for _ in range(rng.randint(1, 12)))
        assert checker.find_hits(text) == checker.find_hits(text + padding), text


# ---------------------------------------------------------------- by sound

SOUNDS = {
    "pinyin": ["seqing", "SeQing", "dubo"],
    "separated": ["se qing", "se'qing", "se-qing", "se.qing", "du  bo"],
    "tone marks": ["sè qíng", "sèqíng", "dǔbó"],
    "tone numbers": ["se4 qing2", "se4qing2", "du3bo2", "Se4Qing2", "se0qing", "seqing5"],
    "mixed": ["色qing", "se情", "色 qing", "赌bo", "du博", "sè情"],
    "homophones": ["涩情", "色晴", "堵博", "賭搏"],
    "u as v": ["nvren", "nüren", "nuren", "女ren"],
}


@pytest.fixture
def by_sound(word_file):
    return NormalizedPromptBanChecker(word_file("色情\n赌博\n女人\n色\nsex\n"), sound_alike=True)


@pytest.mark.parametrize("kind, written", [(k, w) for k, ws in SOUNDS.items() for w in ws])
def test_words_found_by_their_sound(by_sound, word_file, kind, written):
    for prompt, at in ((f"draw {written} now", 5), (f"画一张{written}的图", 3),
                       (f"wonderful {written} rainbows", 10)):
        [(word, start, end)] = by_sound.find_hits(prompt)
        assert (start, end) == (at, at + len(written)) and word in ("色情", "赌博", "女人")
    # Off by default.
    plain = NormalizedPromptBanChecker(by_sound.ban_word_file)
    assert all(word == "色" for word, _, _ in plain.find_hits(f"draw {written} now"))


def test_polyphonic_words_by_every_reading(word_file):
    # 乐 is lè and yuè, 重 zhòng and chóng, 行 xíng and háng; a homophone
    # must share a reading with its tone (印 is yìn, 音 yīn).
    checker = NormalizedPromptBanChecker(word_file("音乐\n重庆\n银行\n"), sound_alike=True)
    for text, word in (("yinyue", "音乐"), ("yinle", "音乐"), ("yin1 yue4", "音乐"), ("音月", "音乐"),
                       ("zhongqing", "重庆"), ("chongqing", "重庆"), ("重qing", "重庆"),
                       ("yinhang", "银行"), ("yinxing", "银行"), ("银xing", "银行")):
        assert checker.find_hits(text) == [(word, 0, len(text))], text
    assert checker.find_hits("印乐") == []
    # Tone marks typed as combining marks, after astral characters: the span
    # counts code points and takes the marks in.
    text = "🍆🍆 yi\u0304n yue\u0300\u0301, 🍆"
    assert checker.find_hits(text) == [("音乐", 3, 13)]
    assert checker.mask(text) == "🍆🍆 **********, 🍆"


def test_sound_alike_words_with_latin_letters(word_file):
    # Its Latin letters are matched as written, whole, beside its syllables.
    checker = NormalizedPromptBanChecker(word_file("色情xxx片\n"), sound_alike=True)
    assert checker.find_hits("seqing xxx片") == [("色情xxx片", 0, 11)]
    assert checker.find_hits("wonderful sè qíng xxx pian") == [("色情xxx片", 10, 26)]
    assert checker.find_hits("seqing xx片") == checker.find_hits("seqing xxxx片") == []


def test_sound_alike_beside_a_latin_word(by_sound):
    # A hyphen joins pinyin to a word that ends in a letter, not to one that
    # ends in a digit: the word's last key decides.
    assert by_sound.find_hits("mp3-seqing") == [("色情", 4, 10)]
    assert by_sound.find_hits("1abc-seqing") == by_sound.find_hits("wonderful-seqing") == []


SOUND_NEAR_MISSES = [
    "读博",  # dú bó: another tone
    "seqings", "xseqing", "se qingx",  # pinyin as part of a longer Latin word
    "se6qing", "se44qing", "s4eqing", "seqing22", "seqing2x",  # digits that are no tone
    "色。qing", "se\nqing",  # across a clause
    "se",  # one-character words are not matched by sound
    "涩",
]


@pytest.mark.parametrize("text", SOUND_NEAR_MISSES)
def test_sound_near_misses(by_sound, text):
    assert [hit for hit in by_sound.find_hits(text) if hit[0] != "色"] == []


def test_sound_alike_across_the_pieces_of_a_long_prompt(by_sound):
    # A long prompt is read piece by piece; pinyin that a piece ends in, or
    # that follows it, is found where it stands.
    for at in (0, 65_525, 65_531, 65_536, 65_540, 140_000):
        for written in ("se qing", "seqing", "色qing", "涩情"):
            before = ("x " * at)[:at - 1] + " " if at else ""
            text = before + written + " " * 70_000
            assert by_sound.find_hits(text) == [("色情", at, at + len(written))], (at, written)


def test_sound_alike_settings_survive_copies_and_reloads(by_sound):
    assert by_sound.sound_alike is True
    for other in (copy.copy(by_sound), pickle.loads(pickle.dumps(by_sound))):
        assert other.find_matched_words("seqing, g0re") == ["seqing"]
    by_sound.load_banned_words()
    assert by_sound.find_matched_words("涩情") == ["涩情"]
    by_sound.sound_alike = False
    by_sound.load_banned_words()
    assert by_sound.find_matched_words("涩情 seqing") == []

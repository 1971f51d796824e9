"""Disguised banned words: NormalizedPromptBanChecker against PromptBanChecker on
real text. Prints, measured in this run:

  * recall on disguised banned words, per kind of disguise, each word hidden in
    a clean sentence;
  * clean texts flagged per 1,000 beyond what the exact checker flags: prose,
    and prompt-style texts (tag lists one per line and comma-separated, in
    Chinese and English, "key: value" lines, names with initials, dotted
    abbreviations);
  * the time of a check (1,000-character prompt, 10,000 words) and of a load,
    as ratios to the exact checker.

The clean text is Debian's: the Tang and Song poems of fortunes-zh, the
Chinese manual pages of manpages-zh, the English prose of the Debian
Administrator's Handbook (debian-handbook) and the quotations of fortunes
(with their attributions: names with initials, abbreviations); traditional
forms come from Unicode's Unihan data (unicode-data). The packages
are fetched with apt-get once and cached in $PRAVEL_CORPUS_DIR (default
/var/cache/pravel/wordguard-corpus).

    python benchmarks/bench_wordguard_disguises.py [--variants N]
"""

from __future__ import annotations

import argparse
import bz2
import gzip
import html.parser
import os
import platform
import random
import re
import subprocess
import sys
import tempfile
import time
import unicodedata
from pathlib import Path

from _bench import record  # first: it makes tools/debs.py importable
import debs  # tools/debs.py
from bench_wordguard import make_lists
from pravel.wordguard import NormalizedPromptBanChecker, PromptBanChecker

CORPUS = Path(os.environ.get("PRAVEL_CORPUS_DIR", "/var/cache/pravel/wordguard-corpus"))
PACKAGES = {"fortunes-zh": ["usr/share/games/fortunes/tang300", "usr/share/games/fortunes/song100"],
            "debian-handbook": ["usr/share/doc/debian-handbook/html/en-US"],
            "unicode-data": ["usr/share/unicode/Unihan_Variants.txt.bz2"],
            "fortunes": ["usr/share/games/fortunes"],
            "manpages-zh": ["usr/share/man/zh_CN"]}

BANNED_ZH = ["色情", "赌博", "毒品", "暴力", "血腥", "恐怖主义", "裸体", "自杀", "枪支", "诈骗",
             "卖淫", "嫖娼", "冰毒", "海洛因", "大麻", "强奸", "淫秽", "黄色网站", "成人视频",
             "恐怖袭击", "炸弹", "屠杀", "邪教", "赌场", "裸照", "援交"]
BANNED_EN = ["gore", "porn", "nude", "naked", "sex", "rape", "murder", "cocaine", "heroin",
             "terrorist", "bomb", "suicide", "weapon", "violence", "nsfw", "slaughter",
             "gambling", "massacre", "hentai", "escort", "beheading", "fetish"]

# For the clean texts also short words, and words of common characters, which
# ordinary text comes closest to spelling out.
BANNED_SHORT = ["ass", "tit", "av", "cum", "sm", "fag", "xxx", "milf", "jav", "anal", "dick", "cock",
                "做爱", "性交", "杀人", "一夜情", "情色", "成人", "三级", "裸露", "尸体", "下体", "乳房",
                "杀戮", "人体", "吸毒", "色图", "黄片"]

rng = random.Random(20240611)


# ---------------------------------------------------------------- corpus

def fetch() -> Path:
    """The packages' files under CORPUS, downloaded and unpacked on first use."""
    missing = {name: paths for name, paths in PACKAGES.items() if not (CORPUS / name).exists()}
    if not missing:
        return CORPUS
    CORPUS.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        downloaded = debs.download(missing, Path(tmp))
        for name, paths in missing.items():
            deb = downloaded[name]
            root = Path(tmp) / name
            subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
            target = CORPUS / f".{name}"
            target.mkdir(exist_ok=True)
            for path in paths:
                subprocess.run(["cp", "-r", str(root / path), str(target)], check=True)
            target.rename(CORPUS / name)
    return CORPUS


def poem_lines(path: Path) -> list[list[str]]:
    """Each poem's verse lines, without titles, authors and colour codes."""
    text = re.sub(r"\x1b\[[0-9;]*m", "", path.read_text(encoding="utf-8"))
    poems = []
    for poem in text.split("\n%\n"):
        lines = [line.strip() for line in poem.splitlines()]
        lines = [line for line in lines if line and not line.startswith(("《", "题目", "作者"))
                 and re.search(r"[，。？！：；]", line)]
        if lines:
            poems.append(lines)
    return poems


class _Text(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.parts, self.skip = [], 0

    def handle_starttag(self, tag, attrs):
        self.skip += tag in ("script", "style", "pre", "code")

    def handle_endtag(self, tag):
        self.skip -= tag in ("script", "style", "pre", "code") and self.skip > 0

    def handle_data(self, data):
        if not self.skip:
            self.parts.append(data)


def english_sentences(folder: Path) -> list[str]:
    sentences = []
    for page in sorted(folder.glob("*.html")):
        parser = _Text()
        parser.feed(page.read_text(encoding="utf-8", errors="replace"))
        prose = re.sub(r"\s+", " ", " ".join(parser.parts))
        for sentence in re.split(r"(?<=[.!?])\s+(?=[A-Z])", prose):
            letters = sum(c.isalpha() for c in sentence)
            if 40 <= len(sentence) <= 300 and letters > 0.7 * len(sentence):
                sentences.append(sentence.strip())
    return list(dict.fromkeys(sentences))


def clean_texts(corpus: Path) -> tuple[list[str], list[str]]:
    """Chinese texts (two verse lines of a poem, or a whole poem) and English
    ones (one or two sentences)."""
    poems = poem_lines(corpus / "fortunes-zh" / "tang300") + poem_lines(corpus / "fortunes-zh" / "song100")
    chinese = ["\n".join(poem) for poem in poems]
    chinese += [poem[i] + poem[i + 1] for poem in poems for i in range(len(poem) - 1)]
    sentences = english_sentences(corpus / "debian-handbook" / "en-US")
    english = sentences + [a + " " + b for a, b in zip(sentences[::2], sentences[1::2])]
    return chinese, english


def fortunes(folder: Path) -> list[str]:
    """The English quotations of fortunes, each with its attribution."""
    texts = []
    for path in sorted(folder.iterdir()):
        if path.suffix or path.is_dir() or path.name.startswith("."):
            continue
        for entry in path.read_text(encoding="utf-8", errors="replace").split("\n%\n"):
            entry = entry.strip()
            if 20 <= len(entry) <= 400 and entry.isascii():
                texts.append(entry)
    return texts


def manual_lines(folder: Path) -> list[str]:
    """Chinese lines of the manual pages, without troff requests and escapes."""
    lines = []
    for page in sorted(folder.glob("man*/*.gz")):
        for line in gzip.decompress(page.read_bytes()).decode("utf-8", "replace").splitlines():
            if line.startswith((".", "'")):
                continue
            line = re.sub(r"\\f[A-Z]|\\f\(..|\\[-&|/,]|\\\(..|\\[a-z*]", "", line).strip()
            if len(line) >= 6 and sum("\u4e00" <= c <= "\u9fff" for c in line) >= 4:
                lines.append(line)
    return list(dict.fromkeys(lines))


def tags(phrases: list[str], lo: int, hi: int, chinese: bool) -> list[str]:
    """Short pieces of the phrases: words or runs of characters between
    punctuation, as a prompt's tags are."""
    out = []
    for phrase in phrases:
        for part in re.split(r"[\s,.;:!?()\"'，。、；：！？（）《》“”‘’]+", phrase):
            if chinese:
                part = "".join(c for c in part if "\u4e00" <= c <= "\u9fff")
                while len(part) >= lo:
                    n = rng.randint(lo, hi)
                    out.append(part[:n])
                    part = part[n:]
            elif part.isalpha() and lo <= len(part) <= hi:
                out.append(part.lower() if rng.random() < 0.7 else part)
    return out


def prompt_texts(corpus: Path, chinese_prose: list[str], english_prose: list[str]) -> dict[str, list[str]]:
    """Clean texts written as prompts are: tag lists, one per line or
    separated by commas, "key: value" lines, and the attributions and
    abbreviations of fortunes."""
    zh_tags = tags(chinese_prose + manual_lines(corpus / "manpages-zh" / "zh_CN"), 2, 4, True)
    quotes = fortunes(corpus / "fortunes" / "fortunes")
    en_tags = tags(english_prose + quotes, 3, 12, False)
    rng.shuffle(zh_tags)
    rng.shuffle(en_tags)

    def lists(words, joins, count):
        texts = []
        for _ in range(count):
            k = rng.randint(3, 10)
            texts.append(rng.choice(joins).join(rng.choices(words, k=k)))
        return texts

    keys = ["主色调", "情绪", "风格", "光线", "背景", "构图", "色彩", "主题", "画质", "氛围"]
    key_values = ["\n".join(f"{rng.choice(keys)}{rng.choice(['：', ': ', ':'])}{rng.choice(zh_tags)}"
                            for _ in range(rng.randint(2, 6))) for _ in range(3000)]
    initials = [q for q in quotes if re.search(r"\b[A-Z]\.\s?[A-Z]?\.?", q)]
    return {
        "zh tags, one per line": lists(zh_tags, ["\n", "\r\n"], 3000),
        "zh tags, commas": lists(zh_tags, ["，", ", ", ",", "、", " , "], 3000),
        "zh key: value lines": key_values,
        "en tags, one per line": lists(en_tags, ["\n"], 3000),
        "en tags, commas": lists(en_tags, [", ", ",", " , ", "; "], 3000),
        "mixed tags": [", ".join(rng.choice([rng.choice(zh_tags), rng.choice(en_tags)]) for _ in range(6))
                       for _ in range(3000)],
        "initials, abbreviations": initials,
        "quotations": quotes,
    }


def traditional_forms(corpus: Path) -> dict[str, list[str]]:
    table: dict[str, list[str]] = {}
    with bz2.open(corpus / "unicode-data" / "Unihan_Variants.txt.bz2", "rt", encoding="utf-8") as f:
        for line in f:
            fields = line.split("\t")
            if len(fields) == 3 and fields[1] == "kTraditionalVariant":
                simple = chr(int(fields[0][2:], 16))
                forms = [chr(int(v[2:].split("<")[0], 16)) for v in fields[2].split()]
                forms = [t for t in forms if t != simple]
                if forms:
                    table[simple] = forms
    return table


# ---------------------------------------------------------------- disguises

def compatibility_forms() -> dict[str, list[str]]:
    """Characters whose compatibility form (NFKC) is one given character."""
    forms: dict[str, list[str]] = {}
    for cp in range(0x80, 0x30000):
        c = chr(cp)
        n = unicodedata.normalize("NFKC", c)
        if len(n) == 1 and n != c and (n.isalpha() or n.isdigit()):
            forms.setdefault(n, []).append(c)
    return forms


COMPAT = compatibility_forms()
# Letters of other scripts that look like Latin ones (Cyrillic, Greek, a few others).
LOOKALIKES = {"a": "аα", "c": "сϲ", "e": "еҽ", "i": "іι", "j": "ј", "o": "оοσ", "p": "рρ",
              "s": "ѕ", "x": "х", "y": "уγ", "v": "ν", "h": "һ", "n": "ո", "u": "υ",
              "d": "ԁ", "w": "ԝ", "g": "ɡ"}
STAND_INS = {"o": "0", "i": "1", "l": "1", "e": "3", "a": "4@", "s": "5$", "t": "7"}
# Controls, DEL, annotation characters, private use and unassigned code points.
CONTROLS = ["\x01", "\x1f", "\x7f", "\x9b", "\ufff9", "\ufffb", "\ue000", "\U000f0001", "\U000e0fff"]
PICTURES = {c: [chr(0x1F130 + i), chr(0x1F170 + i), chr(0x1F150 + i), chr(0x24B6 + i), chr(0x1F1E6 + i)]
            for i, c in enumerate("abcdefghijklmnopqrstuvwxyz")}
for _c in range(0x80, 0x30000):
    _name = unicodedata.name(chr(_c), "")
    if _name.startswith("LATIN LETTER SMALL CAPITAL ") and len(_name) == 28:
        PICTURES.setdefault(_name[-1].lower(), []).append(chr(_c))
INVISIBLE = ["\u200b", "\u200c", "\u200d", "\u00ad", "\u2060", "\ufeff", "\u200e", "\u202a",
             "\ufe0f", "\u034f", "\u2063"]
SEPARATORS = [" ", " ", "*", ".", "-", "_", "|", "/", "~", "·", "+", "#", "^", "=", "…", "♥"]


def replace_some(word: str, options: dict[str, str | list[str]]) -> str | None:
    """The word with a random non-empty subset of its replaceable characters
    replaced, or None when it has none."""
    places = [i for i, c in enumerate(word) if options.get(c)]
    if not places:
        return None
    chosen = rng.sample(places, rng.randint(1, len(places)))
    return "".join(rng.choice(options[c]) if i in chosen else c for i, c in enumerate(word))


def between(word: str, pieces) -> str:
    """The word with pieces() put between some of its characters (at least one)."""
    gaps = rng.sample(range(1, len(word)), rng.randint(1, len(word) - 1))
    return "".join((pieces() if i in gaps else "") + c for i, c in enumerate(word))


def disguise(kind: str, word: str, traditional) -> str | None:
    latin = word.isascii()
    if kind == "compatibility":
        return replace_some(word, COMPAT)
    if kind == "case":
        if not latin:
            return None
        cased = "".join(c.upper() if rng.random() < 0.5 else c for c in word)
        return cased if cased != word else word.upper()
    if kind == "accents":
        marks = [chr(m) for m in range(0x300, 0x370)]
        return "".join(c + "".join(rng.choices(marks, k=rng.randint(0, 2))) for c in word) \
            if latin else between(word, lambda: rng.choice(marks))
    if kind == "invisible":
        return between(word, lambda: "".join(rng.choices(INVISIBLE, k=rng.randint(1, 2))))
    if kind == "controls":
        return between(word, lambda: "".join(rng.choices(CONTROLS, k=rng.randint(1, 2))))
    if kind == "letter pictures":
        # One style of letters for the whole word, as such text is typed.
        if not latin:
            return None
        style = rng.randrange(6)
        return "".join(PICTURES[c][min(style, len(PICTURES[c]) - 1)] for c in word)
    if kind == "look-alikes":
        return replace_some(word, LOOKALIKES) if latin else None
    if kind == "stand-ins":
        return replace_some(word, STAND_INS) if latin else None
    if kind == "traditional":
        return None if latin else replace_some(word, traditional)
    if kind == "separators":
        return between(word, lambda: "".join(rng.choices(SEPARATORS, k=rng.randint(1, 3))))
    raise ValueError(kind)


KINDS = ["compatibility", "case", "accents", "invisible", "controls", "letter pictures",
         "look-alikes", "stand-ins", "traditional", "separators"]


def embedded(disguised: str, chinese: list[str], english: list[str]) -> tuple[str, int]:
    """A clean text with the disguised word put in: between two words of an
    English sentence, or between two characters of a verse line."""
    if disguised.isascii() or any(c.isascii() and c.isalpha() for c in disguised):
        sentence = rng.choice(english)
        spaces = [m.start() for m in re.finditer(" ", sentence)] or [len(sentence)]
        at = rng.choice(spaces)
        return sentence[:at] + " " + disguised + sentence[at:], at + 1
    line = rng.choice(chinese)
    at = rng.randrange(len(line) + 1)
    return line[:at] + disguised + line[at:], at


def caught(hits: list[str], text: str, at: int, length: int) -> bool:
    """Whether a hit covers part of the disguised word (hits are pieces of text)."""
    for hit in hits:
        start = text.find(hit)
        while start >= 0:
            if start < at + length and at < start + len(hit):
                return True
            start = text.find(hit, start + 1)
    return False


# ---------------------------------------------------------------- timing

clock = time.process_time


def per_call(fn, budget=0.3, rounds=5):
    runs = 1
    while True:
        start = clock()
        for _ in range(runs):
            fn()
        if clock() - start > budget / 10:
            break
        runs *= 2
    best = float("inf")
    for _ in range(rounds):
        start = clock()
        for _ in range(runs):
            fn()
        best = min(best, (clock() - start) / runs)
    return best


def timings(folder: str, chinese: list[str], english: list[str]):
    words = make_lists([10_000])[10_000]
    path = os.path.join(folder, "words_10000.txt")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(words) + "\n")
    prompt = ""
    while len(prompt) < 1_000:
        prompt += rng.choice(chinese) + " " + rng.choice(english) + " "
    prompt = prompt[:1_000]

    def load(cls):
        return lambda: (re.purge(), cls(path))

    normalized, exact = NormalizedPromptBanChecker(path), PromptBanChecker(path)
    t_load_exact = per_call(load(PromptBanChecker), budget=2, rounds=3)
    t_load = per_call(load(NormalizedPromptBanChecker), budget=2, rounds=3)
    t_check_exact = per_call(lambda: exact.find_matched_words(prompt))
    t_check = per_call(lambda: normalized.find_matched_words(prompt))
    return t_load_exact, t_load, t_check_exact, t_check


def fmt(seconds):
    return f"{seconds * 1e3:.2f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.1f} µs"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--variants", type=int, default=12,
                        help="disguised variants per word and kind (default %(default)s)")
    args = parser.parse_args()
    # The first load of a process makes the character tables (once per
    # interpreter and case mode): timed on its own, with a one-word list.
    folder = tempfile.mkdtemp()
    one = os.path.join(folder, "one.txt")
    with open(one, "w", encoding="utf-8") as f:
        f.write("word\n")
    t_tables = clock()
    NormalizedPromptBanChecker(one)
    t_tables = clock() - t_tables
    corpus = fetch()
    chinese, english = clean_texts(corpus)
    traditional = traditional_forms(corpus)
    print(f"Python {platform.python_version()} on {platform.machine()}; "
          f"{len(chinese):,d} Chinese and {len(english):,d} English clean texts, "
          f"{len(BANNED_ZH) + len(BANNED_EN)} banned words\n")

    path = os.path.join(folder, "banned.txt")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(BANNED_ZH + BANNED_EN) + "\n")
    exact, normalized = PromptBanChecker(path), NormalizedPromptBanChecker(path)

    print(f"{'disguise':<14} {'texts':>6} {'caught':>8}   example")
    total = found = 0
    worst = 1.0
    for kind in KINDS:
        n = k = 0
        missed = []
        example = ""
        for word in BANNED_ZH + BANNED_EN:
            for _ in range(args.variants):
                disguised = disguise(kind, word, traditional)
                if disguised is None:
                    break
                text, at = embedded(disguised, chinese, english)
                n += 1
                if caught(normalized.find_matched_words(text), text, at, len(disguised)):
                    k += 1
                    example = example or disguised
                else:
                    missed.append(text)
        total, found = total + n, found + k
        worst = min(worst, k / n)
        print(f"{kind:<14} {n:6d} {100 * k / n:7.2f}%   {example!r}")
        for text in missed[:3]:
            print(f"{'':<14} missed: {text!r}")
    print(f"{'all':<14} {total:6d} {100 * found / total:7.2f}%   (target: at least 99% in every "
          f"kind; lowest here {100 * worst:.2f}%)\n")

    wide = os.path.join(folder, "banned-wide.txt")
    with open(wide, "w", encoding="utf-8") as f:
        f.write("\n".join(BANNED_ZH + BANNED_EN + BANNED_SHORT) + "\n")
    exact, normalized = PromptBanChecker(wide), NormalizedPromptBanChecker(wide)
    print(f"clean texts, {len(BANNED_ZH) + len(BANNED_EN) + len(BANNED_SHORT)} banned words "
          f"(short ones among them):")
    for name, texts in (("Chinese", chinese), ("English", english)):
        extra = [t for t in texts if normalized.find_matched_words(t) and not exact.find_matched_words(t)]
        by_exact = sum(1 for t in texts if exact.find_matched_words(t))
        print(f"clean {name} texts flagged beyond the exact checker: {len(extra)} of "
              f"{len(texts):,d} ({1000 * len(extra) / len(texts):.2f} per 1,000; "
              f"the exact checker flags {by_exact})")
        for text in extra[:5]:
            print(f"    {normalized.find_matched_words(text)} in {text[:120]!r}")
    all_texts = chinese + english
    flagged = sum(1 for t in all_texts
                  if normalized.find_matched_words(t) and not exact.find_matched_words(t))
    print(f"all clean prose: {1000 * flagged / len(all_texts):.2f} per 1,000 (target: at most 1)\n")

    prompts = prompt_texts(corpus, chinese, english)
    print(f"{'prompt-style clean texts':<26} {'texts':>6} {'flagged beyond exact':>21}")
    extra_all = count_all = 0
    for name, texts in prompts.items():
        extra = [t for t in texts if normalized.find_matched_words(t) and not exact.find_matched_words(t)]
        extra_all, count_all = extra_all + len(extra), count_all + len(texts)
        print(f"{name:<26} {len(texts):6d} {len(extra):8d} ({1000 * len(extra) / len(texts):.2f} per 1,000)")
        for text in extra[:3]:
            print(f"    {normalized.find_matched_words(text)} in {text[:100]!r}")
    print(f"{'all prompt-style texts':<26} {count_all:6d} {extra_all:8d} "
          f"({1000 * extra_all / count_all:.2f} per 1,000; target: at most 1)\n")

    t_load_exact, t_load, t_check_exact, t_check = timings(folder, chinese, english)
    print("10,000 banned words, 1,000-character prompt (CPU times):")
    print(f"  check: exact {fmt(t_check_exact)}, normalized {fmt(t_check)}: "
          f"{t_check / t_check_exact:.2f}x (target: at most 3x)")
    print(f"  load:  exact {fmt(t_load_exact)}, normalized {fmt(t_load)}: "
          f"{t_load / t_load_exact:.2f}x (target: at most 2x)")
    print(f"  the first load of a process also makes the character tables: {fmt(t_tables)}")
    record("check, 10,000 words, disguise-aware", t_check, t_check_exact,
           "PromptBanChecker (exact)", cpu_time=True)
    record("load, 10,000 words, disguise-aware", t_load, t_load_exact,
           "PromptBanChecker (exact)", cpu_time=True)


if __name__ == "__main__":
    sys.exit(main())

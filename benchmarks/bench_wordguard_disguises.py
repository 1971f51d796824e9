"""Disguised banned words: NormalizedPromptBanChecker against PromptBanChecker on
real text. Prints, measured in this run:

  * recall on disguised banned words, per kind of disguise, each word hidden in
    a clean sentence; and the share of them whose hit (find_hits) starts and
    ends where the disguised word does, and the masks (mask) that differ from
    the hits;
  * the same for Chinese words written as they sound (sound_alike=True): in
    pinyin, toneless, with separators, tone marks or tone numbers, partly in
    pinyin, or with homophones (common characters of the same toned reading),
    in an English sentence or a Chinese line;
  * clean texts flagged per 1,000 beyond what the exact checker flags: prose,
    and prompt-style texts (tag lists one per line and comma-separated, in
    Chinese and English, "key: value" lines, names with initials, dotted
    abbreviations), and Chinese technical prose; with sound-alikes off and on;
  * allowed phrases (innocent words with banned words in them): the hits they
    suppress in clean texts, in texts with one put in, and in texts with one and
    a disguised banned word beside it; none may be left inside one, none lost
    outside;
  * the time of a check (1,000-character prompt, 10,000 words) and of a load,
    as ratios to the exact checker; also with sound-alikes and 1,000 allowed
    phrases, and then also on prompts made of the Chinese documentation and
    the quotations of fortunes.

The clean text is Debian's: the Tang and Song poems of fortunes-zh, the
Chinese manual pages of manpages-zh, the English prose of the Debian
Administrator's Handbook (debian-handbook), the quotations of fortunes
(with their attributions: names with initials, abbreviations) and the
Chinese Debian Reference and FAQ (debian-reference-zh-cn, debian-faq-zh-cn);
traditional forms and Mandarin readings (kMandarin, for pinyin and
homophones) come from Unicode's Unihan data (unicode-data). The packages
are fetched with apt-get once and cached in $PRAVEL_CORPUS_DIR (default
/var/cache/pravel/wordguard-corpus).

    python benchmarks/bench_wordguard_disguises.py [--variants N] [--skip-new]
"""

from __future__ import annotations

import argparse
import bz2
import contextlib
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
from collections import Counter
from pathlib import Path

# This folder's modules, also under `python -P`, which keeps the unbuilt
# package of the checkout off the path.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _bench import record  # first: it makes tools/debs.py importable
import debs  # tools/debs.py
from bench_wordguard import make_lists
from pravel.wordguard import NormalizedPromptBanChecker, PromptBanChecker

CORPUS = Path(os.environ.get("PRAVEL_CORPUS_DIR", "/var/cache/pravel/wordguard-corpus"))
PACKAGES = {"fortunes-zh": ["usr/share/games/fortunes/tang300", "usr/share/games/fortunes/song100"],
            "debian-handbook": ["usr/share/doc/debian-handbook/html/en-US"],
            "unicode-data": ["usr/share/unicode/Unihan_Variants.txt.bz2",
                             "usr/share/unicode/Unihan_Readings.txt.bz2"],
            "fortunes": ["usr/share/games/fortunes"],
            "manpages-zh": ["usr/share/man/zh_CN"],
            # sid moved the pages; either way they are kept as debian-reference/.
            "debian-reference-zh-cn": [("usr/share/debian-reference",
                                        "usr/share/doc/debian-reference-common/docs")],
            "debian-faq-zh-cn": ["usr/share/doc/debian/FAQ/zh-cn"]}

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

# Innocent words and phrases that have banned words (or, in Chinese, words
# that sound like them) in them: most of them found in the clean texts.
ALLOWED = ["assassin", "class", "classic", "classical", "bass", "passage", "pass", "password", "assume",
           "assign", "associated", "Essex", "Sussex", "Middlesex", "Sexton", "cocktail", "Hitchcock",
           "Scunthorpe", "analysis", "analyst", "analyze", "canal", "title", "partition", "identity",
           "constitution", "attitude", "document", "documentation", "circumstance", "small", "mechanism",
           "have", "available", "avoid", "behavior", "save", "Dickens", "grape", "drape", "heroine",
           "Bombay", "Kilgore", "java",
           "成人教育", "长大成人", "成人之美", "人体工学", "人体工程学", "三级跳", "暴力破解", "杀人鲸",
           "彩色图片", "黑色图标", "异性交往", "个性交友", "暴利", "三极管", "第三集", "诗体",
           "停车坐爱枫林晚", "东邪西毒", "乘人之危"]

rng = random.Random(20240611)


# ---------------------------------------------------------------- corpus

def fetch() -> Path:
    """The packages' files under CORPUS, downloaded and unpacked on first use
    (and again for the files of a package that an older cache lacks). A path
    given as a tuple lists where releases put the same files: the first one
    the package has is kept under the name of the first."""
    def places(path):
        return path if isinstance(path, tuple) else (path,)
    missing = {name: [path for path in paths
                      if not (CORPUS / name / Path(places(path)[0]).name).exists()]
               for name, paths in PACKAGES.items()}
    missing = {name: paths for name, paths in missing.items() if paths}
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
                found = next((p for p in places(path) if (root / p).exists()), places(path)[0])
                kept = target / Path(places(path)[0]).name
                subprocess.run(["cp", "-r", "-T", str(root / found), str(kept)], check=True)
            if (CORPUS / name).exists():
                for entry in target.iterdir():
                    entry.rename(CORPUS / name / entry.name)
                target.rmdir()
            else:
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


def chinese_documentation(corpus: Path) -> list[str]:
    """The sentences of Debian's Chinese documentation (its reference manual
    and FAQ), without code and program output."""
    pages = sorted((corpus / "debian-reference-zh-cn" / "debian-reference").glob("*.zh-cn.html"))
    pages += sorted((corpus / "debian-faq-zh-cn" / "zh-cn").glob("*.html"))
    sentences = []
    for page in pages:
        parser = _Text()
        parser.feed(page.read_text(encoding="utf-8", errors="replace"))
        prose = re.sub(r"\s+", " ", " ".join(parser.parts))
        for sentence in re.split(r"(?<=[。！？])", prose):
            sentence = sentence.strip()
            if len(sentence) <= 300 and sum(is_han(c) for c in sentence) >= 8:
                sentences.append(sentence)
    return list(dict.fromkeys(sentences))


def is_han(c: str) -> bool:
    return "\u4e00" <= c <= "\u9fff" or "\u3400" <= c <= "\u4dbf"


def unihan(corpus: Path, part: str, field: str) -> dict[str, list[str]]:
    """One field of Unicode's Unihan data: its values by character."""
    table: dict[str, list[str]] = {}
    with bz2.open(corpus / "unicode-data" / f"Unihan_{part}.txt.bz2", "rt", encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) == 3 and fields[1] == field:
                table[chr(int(fields[0][2:], 16))] = fields[2].split()
    return table


def variant_forms(corpus: Path, field: str = "kTraditionalVariant") -> dict[str, list[str]]:
    """Each character's traditional (or simplified) forms other than itself."""
    table: dict[str, list[str]] = {}
    for char, values in unihan(corpus, "Variants", field).items():
        forms = [chr(int(v[2:].split("<")[0], 16)) for v in values]
        forms = [f for f in forms if f != char]
        if forms:
            table[char] = forms
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


def place(text: str, piece: str, latin: bool, avoid: tuple[int, int] = (0, 0)) -> tuple[str, int]:
    """The text with the piece put in, and where it starts: between two words
    of an English text, or anywhere in a Chinese one; never inside `avoid`."""
    if latin:
        points = [m.start() for m in re.finditer(" ", text)] or [len(text)]
        points = [p for p in points if not avoid[0] < p < avoid[1]] or [len(text)]
        at = rng.choice(points)
        return text[:at] + " " + piece + text[at:], at + 1
    at = rng.choice([p for p in range(len(text) + 1) if not avoid[0] < p < avoid[1]])
    return text[:at] + piece + text[at:], at


def embedded(disguised: str, chinese: list[str], english: list[str],
             latin: bool | None = None) -> tuple[str, int]:
    """A clean text with the disguised word put in: between two words of an
    English sentence, or between two characters of a verse line; by default
    the first when the word has Latin letters."""
    if latin is None:
        latin = disguised.isascii() or any(c.isascii() and c.isalpha() for c in disguised)
    return place(rng.choice(english if latin else chinese), disguised, latin)


def caught(hits: list[str], text: str, at: int, length: int) -> bool:
    """Whether a hit covers part of the disguised word (hits are pieces of text)."""
    for hit in hits:
        start = text.find(hit)
        while start >= 0:
            if start < at + length and at < start + len(hit):
                return True
            start = text.find(hit, start + 1)
    return False


def masked(text: str, hits, char: str = "*") -> str:
    chars = list(text)
    for _, start, end in hits:
        chars[start:end] = char * (end - start)
    return "".join(chars)


# ---------------------------------------------------------------- sound-alikes

SOUND_KINDS = ["pinyin", "pinyin spaced", "tone marks", "tone numbers", "pinyin mixed", "homophones"]
TONES = {"\u0304": "1", "\u0301": "2", "\u030c": "3", "\u0300": "4"}
PINYIN_SEPARATORS = [" ", "'", "-", "."]


def syllable(toned: str, style: str) -> str:
    """A syllable as kMandarin gives it ("nǚ"), with its tone mark ("marks"),
    without it ("plain": "nu" or "nv") or with its tone as a digit
    ("numbers": "nv3"); now and then decomposed, as some input methods type it."""
    if style == "marks":
        return unicodedata.normalize("NFD", toned) if rng.random() < 0.25 else toned
    letters = unicodedata.normalize("NFD", toned)
    tone = "".join(TONES.get(c, "") for c in letters)
    plain = "".join(c for c in letters if c not in TONES).replace("u\u0308", rng.choice("uv"))
    return plain + tone if style == "numbers" else plain


def sound_disguise(kind: str, word: str, readings, homophones) -> str | None:
    """The Chinese word written as it sounds: in pinyin (whole or in part) or
    with characters of the same reading; None for a word of fewer than two
    characters."""
    if len(word) < 2 or not all(is_han(c) and c in readings for c in word):
        return None

    def spelled(style):
        return [syllable(readings[c][0], style) for c in word]

    if kind == "pinyin":
        text = "".join(spelled("plain"))
        return text.capitalize() if rng.random() < 0.2 else text
    if kind == "pinyin spaced":
        separator = rng.choice(PINYIN_SEPARATORS)
        return between(spelled("plain"), lambda: separator)
    if kind in ("tone marks", "tone numbers"):
        syllables = spelled("marks" if kind == "tone marks" else "numbers")
        return between(syllables, lambda: " ") if rng.random() < 0.5 else "".join(syllables)
    if kind == "pinyin mixed":
        chosen = set(rng.sample(range(len(word)), rng.randint(1, len(word) - 1)))
        text = ""
        for i, c in enumerate(word):
            if i and (i in chosen or i - 1 in chosen) and rng.random() < 0.2:
                text += " "
            text += syllable(readings[c][0], "plain") if i in chosen else c
        return text
    if kind == "homophones":
        return replace_some(word, homophones)
    raise ValueError(kind)


def homophone_table(words: list[str], readings, common: set[str], variants) -> dict[str, list[str]]:
    """For each character of the words, the common characters that have its
    reading (with its tone) among theirs, its own other forms left out."""
    by_reading: dict[str, list[str]] = {}
    for c in sorted(common):
        for reading in readings.get(c, ()):
            by_reading.setdefault(reading, []).append(c)
    table = {}
    for c in sorted(set("".join(words))):
        if c not in readings:
            continue
        forms = {c, *variants.get(c, ())}
        same = [h for h in by_reading.get(readings[c][0], ())
                if h not in forms and not forms & set(variants.get(h, ()))]
        if same:
            table[c] = same
    return table


@contextlib.contextmanager
def own_draws(seed: int):
    """Random draws of their own for a measurement added to the script later,
    so that the texts of the ones before it stay those of earlier runs."""
    state = rng.getstate()
    rng.seed(seed)
    try:
        yield
    finally:
        rng.setstate(state)


# ---------------------------------------------------------------- timing

clock = time.process_time


def per_call(fns: dict, budget=0.3, rounds=5) -> dict:
    """The best time of one call of each function, in rounds that take each in
    turn: the machine's speed drifts, and a ratio of two times measured minutes
    apart would show the drift."""
    runs = {}
    for name, fn in fns.items():
        runs[name] = 1
        while True:
            start = clock()
            for _ in range(runs[name]):
                fn()
            if clock() - start > budget / 10:
                break
            runs[name] *= 2
    best = dict.fromkeys(fns, float("inf"))
    for _ in range(rounds):
        for name, fn in fns.items():
            start = clock()
            for _ in range(runs[name]):
                fn()
            best[name] = min(best[name], (clock() - start) / runs[name])
    return best


PROMPTS = 200
LEARNT = 20  # the learnt case: this many prompts, each checked this many times in a row


def timings(folder: str, chinese: list[str], english: list[str], allowed: str | None, loads=True,
            only=None):
    """CPU seconds of a load (unless not `loads`: then None), of a check and
    of a check in the learnt case, of the exact checker, the disguise-aware
    one, and (given the file of allowed phrases) the disguise-aware one with
    sound-alikes and allowed phrases on; of those named in `only`, if given."""
    path = write_list(folder, "words_10000.txt", make_lists([10_000])[10_000])
    # Many prompts, not one: how long a check takes depends much on the
    # prompt (how many hits it has, how much of it is Chinese), and the CPU
    # learns a few prompts read again and again (its caches keep just the
    # automata's states they visit, its branch predictor their branches),
    # which no service sees: on one machine the exact checker ran one prompt
    # repeated 4x faster than twenty in turn. The learnt case is shown
    # beside, as the exact checker's best case.
    prompts = []
    for _ in range(PROMPTS):
        prompt = ""
        while len(prompt) < 1_000:
            prompt += rng.choice(chinese) + " " + rng.choice(english) + " "
        prompts.append(prompt[:1_000])
    makers = {"exact": PromptBanChecker, "normalized": NormalizedPromptBanChecker}
    if allowed:
        makers["sound-alikes"] = lambda p: NormalizedPromptBanChecker(p, sound_alike=True)
        makers["allowed phrases"] = lambda p: NormalizedPromptBanChecker(p, allowed_words_file=allowed)
        makers["all on"] = lambda p: NormalizedPromptBanChecker(p, sound_alike=True,
                                                                allowed_words_file=allowed)
    if only:
        makers = {name: makers[name] for name in only}
    checkers = {name: make(path) for name, make in makers.items()}
    loaded = (per_call({name: lambda make=make: (re.purge(), make(path)) for name, make in makers.items()},
                       budget=2, rounds=3) if loads else dict.fromkeys(makers))
    checks = per_call({name: lambda c=c: [c.find_matched_words(p) for p in prompts]
                       for name, c in checkers.items()}, rounds=7)
    learnt = [p for p in prompts[:LEARNT] for _ in range(LEARNT)]
    repeated = per_call({name: lambda c=c: [c.find_matched_words(p) for p in learnt]
                         for name, c in checkers.items()}, rounds=7)
    return {name: (loaded[name], checks[name] / len(prompts), repeated[name] / len(learnt))
            for name in makers}


def fmt(seconds):
    return f"{seconds * 1e3:.2f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.1f} µs"


def write_list(folder: str, name: str, words: list[str]) -> str:
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(words) + "\n")
    return path


# ---------------------------------------------------------------- measurements

def recall(kinds, make, checker, words, variants, chinese, english, anywhere=False, spans=False):
    """Prints, per kind of disguise, the share of disguised words caught (and,
    with `spans`, the share found at exactly their place and the masks that
    differ from the hits); returns the lowest share caught and the counts."""
    header = f"{'disguise':<14} {'texts':>6} {'caught':>8}"
    print(header + (f" {'exact span':>10} {'mask wrong':>10}" if spans else "") + "   example")
    total = found = 0
    worst = 1.0
    for kind in kinds:
        n = k = exact = wrong_masks = 0
        missed, misplaced = [], []
        example = ""
        for word in words:
            for _ in range(variants):
                disguised = make(kind, word)
                if disguised is None:
                    break
                latin = rng.random() < 0.5 if anywhere else None
                text, at = embedded(disguised, chinese, english, latin)
                n += 1
                if caught(checker.find_matched_words(text), text, at, len(disguised)):
                    k += 1
                    example = example or disguised
                else:
                    missed.append(text)
                if spans:
                    hits = checker.find_hits(text)
                    if any((start, end) == (at, at + len(disguised)) for _, start, end in hits):
                        exact += 1
                    else:
                        misplaced.append((text, at, at + len(disguised), hits))
                    wrong_masks += checker.mask(text) != masked(text, hits)
        total, found = total + n, found + k
        worst = min(worst, k / n)
        columns = f" {100 * exact / n:9.2f}% {wrong_masks:10d}" if spans else ""
        print(f"{kind:<14} {n:6d} {100 * k / n:7.2f}%{columns}   {example!r}")
        for text in missed[:3]:
            print(f"{'':<14} missed: {text!r}")
        for text, start, end, hits in misplaced[:3]:
            print(f"{'':<14} span: {text[start:end]!r} at {start}-{end}, hits {shown(text, hits)} "
                  f"in {text!r}")
    return worst, total, found


def shown(text: str, hits) -> list[str]:
    return [f"{word}={text[start:end]!r}@{start}-{end}" for word, start, end in hits]


def flagged_beyond(texts: list[str], exact, checker) -> list[str]:
    return [t for t in texts if checker.find_matched_words(t) and not exact.find_matched_words(t)]


def sound_alike_clean(sources: dict[str, list[str]], exact, off, on) -> None:
    """Prints the clean texts that the disguise-aware checker flags beyond the
    exact one, with sound-alikes off and on, and the first texts flagged with
    them on, with the hits."""
    print(f"{'clean texts, sound-alikes off / on':<36} {'texts':>6} {'exact':>6} "
          f"{'off':>5} {'on':>5}   (flagged beyond the exact checker)")
    count = extra_off = extra_on = 0
    for name, texts in sources.items():
        off_extra = flagged_beyond(texts, exact, off)
        on_extra = flagged_beyond(texts, exact, on)
        by_exact = sum(1 for t in texts if exact.find_matched_words(t))
        count, extra_off, extra_on = count + len(texts), extra_off + len(off_extra), extra_on + len(on_extra)
        print(f"{name:<36} {len(texts):6d} {by_exact:6d} {len(off_extra):5d} {len(on_extra):5d}"
              f"   ({1000 * len(on_extra) / len(texts):.2f} per 1,000 with them on)")
        for text in on_extra[:5]:
            hits = on.find_hits(text)
            start, end = hits[0][1], hits[-1][2]
            print(f"    {shown(text, hits)} in {text[max(0, start - 40):end + 40]!r}")
    print(f"{'all':<36} {count:6d} {'':6} {extra_off:5d} {extra_on:5d}   ({1000 * extra_on / count:.2f} "
          f"per 1,000 with them on; target: at most 1, and none off)\n")


def occurrences(text: str, phrases: list[str]) -> list[tuple[int, int]]:
    """Where the phrases stand in the text as written (letter case aside)."""
    low = text.lower()
    if len(low) != len(text):
        return []
    spans = []
    for phrase in phrases:
        at = low.find(phrase.lower())
        while at >= 0:
            spans.append((at, at + len(phrase)))
            at = low.find(phrase.lower(), at + 1)
    return spans


def covered(hit, spans) -> bool:
    return any(start <= hit[1] and hit[2] <= end for start, end in spans)


ALLOWED_DISGUISES = ["case", "invisible", "compatibility", "accents", "traditional"]


def with_allowed(phrase: str, chinese, english, traditional, make_banned=None):
    """A clean text with the allowed phrase put in (half the time disguised),
    and with make_banned a disguised banned word put in outside it: the text,
    the phrase's span and the banned word's span (or None)."""
    latin = phrase.isascii()
    if rng.random() < 0.5:
        phrase = disguise(rng.choice(ALLOWED_DISGUISES), phrase, traditional) or phrase
    text, at = place(rng.choice(english if latin else chinese), phrase, latin)
    span, banned = (at, at + len(phrase)), None
    if make_banned:
        word = make_banned(latin)
        before = len(text)
        text, start = place(text, word, latin, avoid=span)
        if start <= span[0]:
            span = (span[0] + len(text) - before, span[1] + len(text) - before)
        banned = (start, start + len(word))
    return text, span, banned


def allowed_check(groups: dict[str, list], phrases: list[str], plain, allowed) -> None:
    """Prints, per group of texts (text, span of a phrase put in or None, span
    of a banned word put in or None), what the allowed phrases suppress: hits
    without the list inside an allowed occurrence, those of them left with the
    list, hits outside the occurrences that the list lost, and the banned words
    put in that it still finds."""
    print(f"{'allowed phrases':<40} {'texts':>6} {'hits':>6} {'inside':>7} {'left':>5} {'lost':>5} "
          f"{'banned found':>13}")
    wrong, missed = [], []
    for name, texts in groups.items():
        hits_all = inside = left = lost = banned_n = banned_k = 0
        for text, span, banned in texts:
            spans = occurrences(text, phrases) + ([span] if span else [])
            without, with_list = plain.find_hits(text), allowed.find_hits(text)
            hits_all += len(without)
            inside += sum(covered(h, spans) for h in without)
            bad_left = [h for h in with_list if covered(h, spans)]
            bad_lost = [h for h in without if not covered(h, spans) and h not in with_list]
            left, lost = left + len(bad_left), lost + len(bad_lost)
            if bad_left or bad_lost:
                wrong.append((text, spans, bad_left, bad_lost))
            if banned:
                banned_n += 1
                if any(start < banned[1] and banned[0] < end for _, start, end in with_list):
                    banned_k += 1
                else:
                    missed.append((text, banned))
        found = f"{banned_k}/{banned_n}" if banned_n else "-"
        print(f"{name:<40} {len(texts):6d} {hits_all:6d} {inside:7d} {left:5d} {lost:5d} {found:>13}")
    print("(inside: hits without the list that an allowed occurrence covers; left: of them, found with "
          "the list; lost: hits outside the occurrences that the list took away; target: 0 left and 0 lost, "
          "every banned word found)")
    for text, spans, bad_left, bad_lost in wrong[:5]:
        print(f"    left {shown(text, bad_left)}, lost {shown(text, bad_lost)}, allowed at {spans} "
              f"in {text!r}")
    for text, (start, end) in missed[:3]:
        print(f"    banned word not found: {text[start:end]!r} in {text!r}")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--variants", type=int, default=12,
                        help="disguised variants per word and kind (default %(default)s)")
    parser.add_argument("--skip-new", action="store_true",
                        help="only what the checker measured before hit positions, sound-alikes and "
                             "allowed phrases (also the case when the installed pravel lacks them)")
    args = parser.parse_args()
    new = not args.skip_new and hasattr(NormalizedPromptBanChecker, "find_hits")
    # The first load of a process makes the character tables (once per
    # interpreter and case mode): timed on its own, with a one-word list.
    folder = tempfile.mkdtemp()
    one = write_list(folder, "one.txt", ["word"])
    t_tables = clock()
    NormalizedPromptBanChecker(one)
    t_tables = clock() - t_tables
    corpus = fetch()
    chinese, english = clean_texts(corpus)
    traditional = variant_forms(corpus)
    documentation = chinese_documentation(corpus)
    print(f"Python {platform.python_version()} on {platform.machine()}; "
          f"{len(chinese):,d} Chinese and {len(english):,d} English clean texts, "
          f"{len(BANNED_ZH) + len(BANNED_EN)} banned words\n")
    if not new:
        print("(hit positions, sound-alikes and allowed phrases not measured: "
              + ("--skip-new)\n" if args.skip_new else "the installed pravel has no find_hits)\n"))

    path = write_list(folder, "banned.txt", BANNED_ZH + BANNED_EN)
    exact, normalized = PromptBanChecker(path), NormalizedPromptBanChecker(path)
    worst, total, found = recall(KINDS, lambda kind, word: disguise(kind, word, traditional), normalized,
                                 BANNED_ZH + BANNED_EN, args.variants, chinese, english, spans=new)
    print(f"{'all':<14} {total:6d} {100 * found / total:7.2f}%   (target: at least 99% in every "
          f"kind; lowest here {100 * worst:.2f}%)\n")

    if new:
        readings = unihan(corpus, "Readings", "kMandarin")
        simplified = variant_forms(corpus, "kSimplifiedVariant")
        variants = {c: traditional.get(c, []) + simplified.get(c, []) for c in {*traditional, *simplified}}
        common = Counter(c for text in chinese + documentation for c in text if is_han(c))
        homophones = homophone_table(BANNED_ZH, readings, {c for c, n in common.items() if n >= 2}, variants)
        sound = NormalizedPromptBanChecker(path, sound_alike=True)
        print(f"written as they sound (sound_alike=True; pinyin of kMandarin, homophones among the "
              f"{len(common):,d} characters of the Chinese texts):")
        with own_draws(20261208):
            worst, total, found = recall(
                SOUND_KINDS, lambda kind, word: sound_disguise(kind, word, readings, homophones), sound,
                BANNED_ZH, args.variants, chinese, english, anywhere=True, spans=True)
        print(f"{'all':<14} {total:6d} {100 * found / total:7.2f}%   (target: at least 99% in every "
              f"kind; lowest here {100 * worst:.2f}%)\n")

    wide = write_list(folder, "banned-wide.txt", BANNED_ZH + BANNED_EN + BANNED_SHORT)
    exact, normalized = PromptBanChecker(wide), NormalizedPromptBanChecker(wide)
    print(f"clean texts, {len(BANNED_ZH) + len(BANNED_EN) + len(BANNED_SHORT)} banned words "
          f"(short ones among them):")
    for name, texts in (("Chinese", chinese), ("English", english)):
        extra = flagged_beyond(texts, exact, normalized)
        by_exact = sum(1 for t in texts if exact.find_matched_words(t))
        print(f"clean {name} texts flagged beyond the exact checker: {len(extra)} of "
              f"{len(texts):,d} ({1000 * len(extra) / len(texts):.2f} per 1,000; "
              f"the exact checker flags {by_exact})")
        for text in extra[:5]:
            print(f"    {normalized.find_matched_words(text)} in {text[:120]!r}")
    all_texts = chinese + english
    flagged = len(flagged_beyond(all_texts, exact, normalized))
    print(f"all clean prose: {1000 * flagged / len(all_texts):.2f} per 1,000 (target: at most 1)\n")

    prompts = prompt_texts(corpus, chinese, english)
    print(f"{'prompt-style clean texts':<26} {'texts':>6} {'flagged beyond exact':>21}")
    extra_all = count_all = 0
    for name, texts in prompts.items():
        extra = flagged_beyond(texts, exact, normalized)
        extra_all, count_all = extra_all + len(extra), count_all + len(texts)
        print(f"{name:<26} {len(texts):6d} {len(extra):8d} ({1000 * len(extra) / len(texts):.2f} per 1,000)")
        for text in extra[:3]:
            print(f"    {normalized.find_matched_words(text)} in {text[:100]!r}")
    print(f"{'all prompt-style texts':<26} {count_all:6d} {extra_all:8d} "
          f"({1000 * extra_all / count_all:.2f} per 1,000; target: at most 1)\n")

    allowed_path = None
    if new:
        sound = NormalizedPromptBanChecker(wide, sound_alike=True)
        sources = {"Tang and Song verse": chinese, "English prose": english, **prompts,
                   "Chinese documentation": documentation}
        sound_alike_clean(sources, exact, normalized, sound)

        allowed = NormalizedPromptBanChecker(wide, sound_alike=True,
                                             allowed_words_file=write_list(folder, "allowed.txt", ALLOWED))
        with own_draws(20261209):
            def banned(latin):
                """A banned word disguised in a way that suits the text."""
                while True:
                    if latin and rng.random() < 0.5:
                        kind = rng.choice(["case", "accents", "look-alikes", "stand-ins", "separators"])
                        word = disguise(kind, rng.choice(BANNED_EN), traditional)
                    else:
                        kind = rng.choice(SOUND_KINDS + ([] if latin else ["traditional", "separators"]))
                        word = rng.choice(BANNED_ZH)
                        word = (sound_disguise(kind, word, readings, homophones) if kind in SOUND_KINDS
                                else disguise(kind, word, traditional))
                    if word:
                        return word

            in_corpora = [(t, None, None) for texts in sources.values() for t in texts
                          if occurrences(t, ALLOWED)]
            put_in = [with_allowed(p, chinese, english, traditional)
                      for p in ALLOWED for _ in range(args.variants)]
            both = [with_allowed(p, chinese, english, traditional, banned)
                    for p in ALLOWED for _ in range(args.variants)]
            allowed_check({"clean texts that have one": in_corpora, "one put in a clean text": put_in,
                           "one and a disguised banned word": both}, ALLOWED, sound, allowed)
            zh_tags = tags(chinese + documentation, 2, 4, True)
            en_tags = tags(english, 4, 12, False)
            phrases = rng.sample(sorted(set(zh_tags)), 500) + rng.sample(sorted(set(en_tags)), 500)
            allowed_path = write_list(folder, "allowed-1000.txt", phrases)

    times = timings(folder, chinese, english, allowed_path)
    (t_load_exact, t_check_exact, t_once_exact), (t_load, t_check, _) = times["exact"], times["normalized"]
    print(f"10,000 banned words, 1,000-character prompts (CPU times, a check: the mean over {PROMPTS}"
          " different prompts):")
    print(f"  check: exact {fmt(t_check_exact)}, normalized {fmt(t_check)}: "
          f"{t_check / t_check_exact:.2f}x (target: at most 3x)")
    print(f"  load:  exact {fmt(t_load_exact)}, normalized {fmt(t_load)}: "
          f"{t_load / t_load_exact:.2f}x (target: at most 2x)")
    print(f"  the first load of a process also makes the character tables: {fmt(t_tables)}")
    record("check, 10,000 words, disguise-aware", t_check, t_check_exact,
           "PromptBanChecker (exact)", cpu_time=True)
    record("load, 10,000 words, disguise-aware", t_load, t_load_exact,
           "PromptBanChecker (exact)", cpu_time=True)
    if "all on" in times:
        for name, what in (("sound-alikes", "sound-alikes"), ("allowed phrases", "1,000 allowed phrases"),
                           ("all on", "sound-alikes and 1,000 allowed phrases")):
            t_load, t_check, _ = times[name]
            print(f"  with {what}: check {fmt(t_check)}: {t_check / t_check_exact:.2f}x, "
                  f"load {fmt(t_load)}: {t_load / t_load_exact:.2f}x"
                  + (" (targets: at most 3x and 2x)" if name == "all on" else ""))
        t_load, t_check, _ = times["all on"]
        record("check, 10,000 words, disguise-aware, sound-alikes, 1,000 allowed phrases", t_check,
               t_check_exact, "PromptBanChecker (exact)", cpu_time=True)
        record("load, 10,000 words, disguise-aware, sound-alikes, 1,000 allowed phrases", t_load,
               t_load_exact, "PromptBanChecker (exact)", cpu_time=True)
    print(f"  each prompt checked {LEARNT} times in a row: exact {fmt(t_once_exact)}, " +
          ", ".join(f"{name} {times[name][2] / t_once_exact:.2f}x" for name in times if name != "exact"))
    if new:
        # Prompts of another kind of text, which nothing here was tuned on.
        quotes = fortunes(corpus / "fortunes" / "fortunes")
        times = timings(folder, documentation, quotes, allowed_path, loads=False, only=("exact", "all on"))
        (_, t_check_exact, t_once_exact), (_, t_check, t_once) = times["exact"], times["all on"]
        print("  prompts of the Chinese documentation and the quotations of fortunes instead: all on, "
              f"check {fmt(t_check)}: {t_check / t_check_exact:.2f}x; each prompt checked {LEARNT} times "
              f"in a row: exact {fmt(t_once_exact)}, all on {t_once / t_once_exact:.2f}x")
        record("check, 10,000 words, disguise-aware, sound-alikes, 1,000 allowed phrases, "
               "documentation and quotations", t_check, t_check_exact, "PromptBanChecker (exact)",
               cpu_time=True)

if __name__ == "__main__":
    sys.exit(main())

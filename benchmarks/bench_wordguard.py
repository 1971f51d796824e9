"""Prompt screening: the automaton behind PromptBanChecker.check against the
compiled expression's findall and against pyahocorasick, on realistic word
lists of 1,000, 10,000 and 50,000 words and a 1,000-character mixed
Chinese/English prompt. Prints times and ratios measured in this run.

    python benchmarks/bench_wordguard.py [--sizes 1000,10000,50000]
"""

import argparse
import itertools
import os
import platform
import random
import re
import sys
import tempfile
import time

from _bench import record
from pravel.exceptions import PromptBanError
from pravel.wordguard import PromptBanChecker

try:
    import ahocorasick
except ImportError:  # the peer is optional
    ahocorasick = None

SIZES = (1_000, 10_000, 50_000)
PROMPT_LENGTH = 1_000

# CPU time of this process: the machine may be shared, and a single-threaded
# run's CPU time is its work without the time other processes took.
clock = time.process_time

rng = random.Random(20240607)

# About 3,500 common Chinese characters, drawn from the unified ideographs
# with a Zipf-like frequency, as in real text.
HANZI = rng.sample([chr(c) for c in range(0x4E00, 0x9FA6)], 3_500)
HANZI_CUMULATIVE = list(itertools.accumulate(1 / (rank + 10) for rank in range(len(HANZI))))
ONSETS = ["b", "c", "d", "f", "g", "h", "j", "k", "l", "m", "n", "p", "r", "s", "t", "v",
          "w", "z", "br", "ch", "cl", "cr", "dr", "fl", "gr", "pl", "pr", "sh", "sk", "sl",
          "sp", "st", "str", "th", "tr", ""]
NUCLEI = ["a", "e", "i", "o", "u", "ai", "ea", "ee", "io", "oo", "ou", "y"]
CODAS = ["", "", "n", "r", "s", "t", "l", "m", "nd", "ng", "ck", "st", "x", "ll"]


def english_word(syllables=(1, 1, 2, 2, 3)):
    return "".join(rng.choice(ONSETS) + rng.choice(NUCLEI) + rng.choice(CODAS)
                   for _ in range(rng.choice(syllables)))


def chinese_word(lo=2, hi=6):
    """Prompt text: common characters more often."""
    return "".join(rng.choices(HANZI, cum_weights=HANZI_CUMULATIVE, k=rng.randint(lo, hi)))


def banned_word():
    # Banned words: 2-6 characters from the common set, or English words of
    # two or three syllables and short phrases of them.
    if rng.random() < 0.6:
        return "".join(rng.choices(HANZI, k=rng.randint(2, 6)))
    words = [english_word((2, 2, 3)) for _ in range(rng.choice((1, 1, 1, 2, 3)))]
    text = " ".join(words)
    return text.capitalize() if rng.random() < 0.2 else text


def make_lists(sizes):
    """The first n words of one list, for each n: longer lists extend shorter ones."""
    words = []
    seen = set()
    while len(words) < max(sizes):
        w = banned_word()
        if w not in seen:
            seen.add(w)
            words.append(w)
    return {n: words[:n] for n in sizes}


def make_prompt(planted):
    parts = []
    length = 0
    while length < PROMPT_LENGTH:
        if rng.random() < 0.75:
            piece = "".join(chinese_word(1, 4) for _ in range(rng.randint(2, 6))) + "，"
        else:
            piece = " ".join(english_word() for _ in range(rng.randint(2, 6))) + ", "
        parts.append(piece)
        length += len(piece)
    for word in planted:
        parts.insert(rng.randrange(len(parts)), word.upper() if word.isascii() else word)
    return "".join(parts)[:PROMPT_LENGTH]


def batch_size(fn, budget):
    """How many calls of fn take about `budget` seconds."""
    runs = 1
    while True:
        start = clock()
        for _ in range(runs):
            fn()
        if clock() - start > budget / 4 or runs > 1 << 20:
            return max(1, int(runs * budget / (clock() - start)))
        runs *= 4


def per_call(candidates, rounds=7, budget=0.05):
    """Best time of one call for each function, measured in interleaved rounds
    (the machine may be shared: the best round is the least disturbed)."""
    sizes = {key: batch_size(fn, budget) for key, fn in candidates.items()}
    best = dict.fromkeys(candidates, float("inf"))
    for _ in range(rounds):
        for key, fn in candidates.items():
            start = clock()
            for _ in range(sizes[key]):
                fn()
            best[key] = min(best[key], (clock() - start) / sizes[key])
    return best


def once(fn):
    start = clock()
    fn()
    return clock() - start


def fmt(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:8.2f} ms"
    return f"{seconds * 1e6:8.1f} µs"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)),
                        help="word-list sizes, comma-separated (default %(default)s)")
    sizes = sorted(int(n) for n in parser.parse_args().sizes.split(","))
    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} CPUs;"
          " times are CPU times")
    lists = make_lists(sizes)
    prompt = make_prompt(lists[sizes[0]][:3])
    print(f"prompt: {len(prompt)} characters, "
          f"{sum(map(str.isascii, prompt))} of them ASCII\n")
    folder = tempfile.mkdtemp()

    # The engine's case rules are read once per process, at the first
    # case-insensitive load; shown on their own.
    probe_file = os.path.join(folder, "probe.txt")
    with open(probe_file, "w", encoding="utf-8") as f:
        f.write("probe\n")
    print(f"first case-insensitive load of the process (reads the case rules): "
          f"{fmt(once(lambda: PromptBanChecker(probe_file)))}\n")

    checkers, checks, findalls, peers, found = {}, {}, {}, {}, {}
    for n, words in lists.items():
        path = os.path.join(folder, f"words_{n}.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(words) + "\n")
        checker = checkers[n] = PromptBanChecker(path)
        regex = checker._ban_regex
        found[n] = checker.find_matched_words(prompt)
        assert found[n] == list(dict.fromkeys(regex.findall(prompt))), "results differ"

        def check(checker=checker):
            try:
                checker.check(prompt)
            except PromptBanError:
                pass
        checks[n] = check
        findalls[n] = lambda regex=regex: regex.findall(prompt)

        if ahocorasick is not None:
            peer = ahocorasick.Automaton()
            for w in checker.banned_words:
                peer.add_word(w.lower(), len(w))
            peer.make_automaton()

            def peer_find(peer=peer):
                lowered = prompt.lower()
                return list(dict.fromkeys(prompt[end - size + 1:end + 1]
                                          for end, size in peer.iter_long(lowered)))
            peers[n] = peer_find

    t_check = per_call(checks)
    t_findall = per_call(findalls, rounds=3, budget=0.5)
    t_peer = per_call(peers) if peers else dict.fromkeys(lists)

    rows = []
    for n, checker in checkers.items():
        # Load: the whole reload, the expression's compilation alone, and the
        # automaton (a rebuild with the expression in re's cache, less the
        # escaping and joining that the expression needs anyway).
        pattern = "|".join(map(re.escape, checker.banned_words))
        t_load = min(once(lambda: (re.purge(), checker.load_banned_words())) for _ in range(3))
        t_compile = min(once(lambda: (re.purge(), re.compile(pattern, flags=re.IGNORECASE)))
                        for _ in range(3))
        re.compile(pattern, flags=re.IGNORECASE)
        t_rebuild = min(once(checker._build_regex) for _ in range(5))
        t_join = min(once(lambda: "|".join(map(re.escape, checker.banned_words)))
                     for _ in range(5))
        t_automaton = max(t_rebuild - t_join, 0.0)
        rows.append((n, len(found[n]), t_check[n], t_findall[n], t_peer[n], t_load, t_compile,
                     t_automaton))

    print(f"{'words':>7} {'hits':>5} {'check':>11} {'findall':>11} {'pyahocorasick':>13}"
          f" {'findall/check':>14} {'peer/check':>11}")
    for n, hits, t_check, t_findall, t_peer, *_ in rows:
        peer = fmt(t_peer) if t_peer else "        -"
        ratio = f"{t_peer / t_check:10.1f}x" if t_peer else "         -"
        print(f"{n:7,d} {hits:5d} {fmt(t_check)} {fmt(t_findall)} {peer:>13}"
              f" {t_findall / t_check:13.0f}x {ratio}")
        record(f"check, {n:,d} words", t_check, t_findall, "re: findall of the compiled expression",
               words=n, cpu_time=True)
        if t_peer:
            record(f"check, {n:,d} words", t_check, t_peer, "pyahocorasick, lower-cased prompt",
                   words=n, cpu_time=True)
    base = rows[0][2]
    print(f"\ncheck time against the {rows[0][0]:,d}-word list: "
          + ", ".join(f"{n:,d} words {t / base:.2f}x" for n, _, t, *_ in rows))

    print(f"\n{'words':>7} {'load':>11} {'regex compile':>14} {'automaton':>11}"
          f" {'compile/automaton':>18}")
    for n, *_, t_load, t_compile, t_automaton in rows:
        ratio = f"{t_compile / t_automaton:17.0f}x" if t_automaton else "                 -"
        print(f"{n:7,d} {fmt(t_load)} {fmt(t_compile):>14} {fmt(t_automaton):>11} {ratio}")


if __name__ == "__main__":
    sys.exit(main())

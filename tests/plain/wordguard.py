"""Plain-Python PromptBanChecker: the word file read and cleaned as
pravel.wordguard reads it, and screening by the compiled expression's
findall, which pravel's automaton must match exactly."""

import os
import re

from pravel.exceptions import PromptBanError


def read_words(path: str) -> list[str]:
    """The cleaned word list: lines trimmed, blanks and repeats dropped,
    longest first (a stable sort), a byte-order mark at the start ignored."""
    with open(path, "r", encoding="utf-8") as f:
        text = f.read()  # universal newlines: every line ends in "\n" now
    if text.startswith("\ufeff"):
        text = text[1:]  # a byte-order mark is not part of the first word
    seen: set[str] = set()
    words: list[str] = []
    for line in text.split("\n"):
        word = line.strip()
        if word and word not in seen:
            seen.add(word)
            words.append(word)
    words.sort(key=len, reverse=True)
    return words


class PromptBanChecker:
    def __init__(self, ban_word_file: str, ignore_case: bool = True):
        self.ban_word_file = ban_word_file
        self.ignore_case = bool(ignore_case)
        self.banned_words: list[str] = []
        self._ban_regex: re.Pattern[str] | None = None
        self.load_banned_words()

    def load_banned_words(self) -> None:
        if not os.path.exists(self.ban_word_file):
            raise FileNotFoundError(f"违禁词文件不存在: {self.ban_word_file}")
        self.banned_words = read_words(self.ban_word_file)
        self._build_regex()

    def _build_regex(self) -> None:
        if not self.banned_words:
            self._ban_regex = None
            return
        pattern = "|".join(re.escape(word) for word in self.banned_words)
        self._ban_regex = re.compile(pattern, flags=re.IGNORECASE if self.ignore_case else 0)

    def find_matched_words(self, text: str) -> list[str]:
        """Every hit once, in order of first occurrence."""
        if self._ban_regex is None:
            return []
        return list(dict.fromkeys(self._ban_regex.findall(text)))

    def check(self, prompt: str) -> str:
        matched = self.find_matched_words(prompt)
        if matched:
            raise PromptBanError(error_msg="Prohibited prompt words: " + ",".join(matched),
                                 data=matched)
        return prompt

"""Exceptions of the pravel package."""

from __future__ import annotations


class PromptBanError(Exception):
    """A prompt contained banned words.

    ``error_msg`` is the message (also what ``str()`` gives) and ``data`` the
    list of banned words found in the prompt.
    """

    def __init__(self, error_msg: str = "", data: list[str] | None = None) -> None:
        super().__init__(error_msg)
        self.error_msg = error_msg
        self.data = data

    def __str__(self) -> str:
        return str(self.error_msg)

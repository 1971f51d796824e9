"""The fixtures the test files share; plain helpers live in support.py and
the plain-Python models in plain/."""

import pytest
from PIL import Image

from support import encode


@pytest.fixture
def word_file(tmp_path):
    """word_file(content, name="banned.txt") writes a banned-word file (text as
    UTF-8, or raw bytes) and returns its path as a str."""

    def write(content, name="banned.txt"):
        path = tmp_path / name
        path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
        return str(path)

    return write


@pytest.fixture
def make_image():
    """make_image(w, h, mode="RGB", fmt="PNG", colour=...) -> encoded bytes."""

    def make(width, height, mode="RGB", fmt="PNG", colour=None, **options):
        if colour is None:
            colour = {"RGB": (30, 120, 200), "RGBA": (30, 120, 200, 255), "L": 90, "P": 3}.get(mode, 0)
        return encode(Image.new(mode, (width, height), colour), fmt, **options)

    return make

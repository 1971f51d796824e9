import io
import sys
from pathlib import Path

import pytest
from PIL import Image

# The plain-Python models in benchmarks/ double as the tests' oracles.
sys.path.append(str(Path(__file__).resolve().parent.parent / "benchmarks"))


def encode(image: Image.Image, fmt: str = "PNG", **options) -> bytes:
    """The image encoded in `fmt`, as an upload would arrive."""
    buffer = io.BytesIO()
    image.save(buffer, fmt, **options)
    return buffer.getvalue()


def decode(data: bytes) -> Image.Image:
    image = Image.open(io.BytesIO(data))
    image.load()
    return image


@pytest.fixture
def make_image():
    """make_image(w, h, mode="RGB", fmt="PNG", colour=...) -> encoded bytes."""

    def make(width, height, mode="RGB", fmt="PNG", colour=None, **options):
        if colour is None:
            colour = {"RGB": (30, 120, 200), "RGBA": (30, 120, 200, 255), "L": 90, "P": 3}.get(mode, 0)
        return encode(Image.new(mode, (width, height), colour), fmt, **options)

    return make

import importlib.util
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


def fresh_module(name):
    """The extension module `name` created and executed once more. As in an
    import, it stands in sys.modules while it executes (dataclass() looks
    there); the first one is put back."""
    found = importlib.util.find_spec(name)
    module = importlib.util.module_from_spec(found)
    first = sys.modules[name]
    sys.modules[name] = module
    try:
        found.loader.exec_module(module)
    finally:
        sys.modules[name] = first
    return module


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

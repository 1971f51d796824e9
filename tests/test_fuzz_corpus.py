"""Replays the inputs the fuzzer kept (tests/fuzz_corpus) through the same
oracles: each must still give the imaging library's own outcome, findall's
hits or the plain model's size and helper results, and the outcome its file
is named after."""

import importlib.util
import random
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CORPUS = sorted((ROOT / "tests" / "fuzz_corpus").glob("*.bin"))

fuzz_spec = importlib.util.spec_from_file_location("pravel_fuzz", ROOT / "tools" / "fuzz.py")
fuzz = importlib.util.module_from_spec(fuzz_spec)
fuzz_spec.loader.exec_module(fuzz)


@pytest.fixture(autouse=True)
def bomb_limit(monkeypatch):
    from PIL import Image

    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", fuzz.BOMB_LIMIT)


def test_corpus_is_there():
    kinds = {path.read_bytes().split(b":", 1)[0] for path in CORPUS}
    assert kinds >= {b"image", b"words", b"size", b"helpers"}


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("path", CORPUS, ids=[p.name for p in CORPUS])
def test_replay(path):
    # The file is named after an outcome its input gave when it was kept
    # (and the input's hash): it must give that outcome still.
    label = path.read_bytes()
    kinds = fuzz.replay(label, random.Random(path.name))
    assert path.name in {fuzz.corpus_name(kind, label) for kind in kinds}, sorted(kinds)

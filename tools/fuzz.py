"""Bounded mutation fuzzing of pravel's input-facing operations.

    python tools/fuzz.py [--seconds 60] [--seed N] [--corpus tests/fuzz_corpus]

Feeds mutated image bytes (PNG, JPEG, GIF, WebP, BMP; truncated, corrupted and
oversized headers, decompression-bomb dimensions) to framekit's adjust_size and
the two shapelens readings, mutated word files and prompts to wordguard's two
checkers, arbitrary ratio strings and tiers to orvid, and extreme numbers (huge
and tiny floats, signed zero, integers next to 2**53 and 2**63) to orvid's four
class methods, as arguments and as the constants of a subclass. Every outcome is
checked against an oracle: the imaging library called directly for images, the
host's `re` for prompt screening (the disguise-aware checker's hits must be
distinct pieces of the prompt), the plain-Python calculator of
tests/plain/orvid.py for sizes. Only the oracle's exceptions
may come out; a crash or a hang (an input running longer than --hang seconds)
fails the run. The fuzzing runs in a child process, so that a crash leaves the
input that caused it in the corpus folder (crash-*) and the run reports it.

New kinds of outcome (an exception type not seen before for a target) are
saved to the corpus; tests/test_fuzz_corpus.py replays the corpus in the
regular test suite.
"""

from __future__ import annotations

import argparse
import base64
import faulthandler
import hashlib
import io
import json
import math
import os
import random
import re
import subprocess
import sys
import tempfile
import time
import warnings
import zlib
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
DEFAULT_CORPUS = HERE.parent / "tests" / "fuzz_corpus"
# The tests' helpers (tests/support.py) and the plain-Python models
# (tests/plain/), which are oracles: word lists, sizes.
sys.path.append(str(HERE.parent / "tests"))

from support import Raised, outcome  # noqa: E402


# ---------------------------------------------------------------- oracles


def kind_of(fn: Callable[[], object]) -> tuple[str, object, str]:
    """("ok", value, "") or ("raise", exception type name, gist of the message)."""
    got = outcome(fn)  # the oracle compares types, whatever they are
    if not isinstance(got, Raised):
        return "ok", got, ""
    return "raise", got.type.__name__, " ".join(re.sub(r"[^A-Za-z ]+", " ", got.message).split()[:4])


def pillow_decode(data: bytes) -> None:
    from PIL import Image

    Image.open(io.BytesIO(data)).convert("RGBA")


def pillow_size(data: bytes) -> tuple[int, int]:
    from PIL import Image

    with io.BytesIO(data) as stream, Image.open(stream) as image:
        return image.size


class Mismatch(AssertionError):
    pass


def check_image(data: bytes) -> set[str]:
    """Runs every image target on `data`; returns the outcome kinds seen."""
    from pravel.framekit import Framekit
    from pravel.shapelens import ImageShapelens

    decoded = kind_of(lambda: pillow_decode(data))
    header = kind_of(lambda: pillow_size(data))
    kinds = set()
    for mode in ("fill", "resize"):
        got = kind_of(lambda: Framekit(need_adjust=mode).adjust_size(data, True))
        if decoded[0] == "raise":
            # Pillow's own error must come out, unchanged in type.
            if got[:2] != decoded[:2]:
                raise Mismatch(f"adjust_size({mode}): {got[:2]} where Pillow raises {decoded[1]}")
        elif got[0] == "raise" and got[1] not in ("ValueError", "DecompressionBombError", "MemoryError"):
            # A decodable image can only fail for sizes Pillow refuses to make.
            raise Mismatch(f"adjust_size({mode}) raised {got[1]} on an image Pillow decodes")
        kinds.add(f"framekit:{got[0]}:{got[1] if got[0] == 'raise' else ''}:{got[2]}")
    lens = ImageShapelens()
    for name, method in (("raw", lens.get_raw_simple_ratio), ("approx", lens.get_approx_simple_ratio)):
        got = kind_of(lambda: method(data))
        if header[0] == "raise":
            if got[:2] != header[:2]:
                raise Mismatch(f"shapelens {name}: {got[:2]} where Pillow raises {header[1]}")
        elif got[0] == "raise":
            if got[1] != "ZeroDivisionError" or header[1][1] != 0:
                raise Mismatch(f"shapelens {name} raised {got[1]} for size {header[1]}")
        kinds.add(f"shapelens:{got[0]}:{got[1] if got[0] == 'raise' else ''}:{got[2]}")
    return kinds


def check_words(data: bytes, prompts: list[str], ignore_case: bool) -> set[str]:
    from plain.wordguard import PromptBanChecker as PlainChecker

    from pravel.exceptions import PromptBanError
    from pravel.wordguard import NormalizedPromptBanChecker, PromptBanChecker

    with tempfile.NamedTemporaryFile("wb", suffix=".txt", delete=False) as f:
        f.write(data)
        path = f.name
    try:
        expected = kind_of(lambda: PlainChecker(path, ignore_case))
        got = kind_of(lambda: PromptBanChecker(path, ignore_case))
        if expected[0] == "raise" or got[0] == "raise":
            if (got[0], got[1] if got[0] == "raise" else None) != (expected[0], expected[1] if expected[0] == "raise" else None):
                raise Mismatch(f"loading words: {got[0]} {got[1] if got[0] == 'raise' else ''} vs {expected}")
            return {f"wordguard-load:raise:{got[1]}"}
        checker, model = got[1], expected[1]
        if checker.banned_words != model.banned_words:
            raise Mismatch(f"banned_words {checker.banned_words!r} != {model.banned_words!r}")
        if (checker._ban_regex and checker._ban_regex.pattern) != (model._ban_regex and model._ban_regex.pattern):
            raise Mismatch(f"expression {checker._ban_regex!r} != {model._ban_regex!r}")
        for prompt in prompts:
            want = model.find_matched_words(prompt)
            hits = checker.find_matched_words(prompt)
            if hits != want:
                raise Mismatch(f"find_matched_words({prompt!r}) = {hits!r}, findall gives {want!r}")
            try:
                same = checker.check(prompt)
            except PromptBanError as exc:
                if exc.data != want or exc.error_msg != "Prohibited prompt words: " + ",".join(want):
                    raise Mismatch(f"PromptBanError {exc.error_msg!r} / {exc.data!r} for {want!r}")
            else:
                if want or same is not prompt:
                    raise Mismatch(f"check({prompt!r}) passed with hits {want!r}")
        # The disguise-aware checker: hits are distinct pieces of the prompt.
        normalized = NormalizedPromptBanChecker(path, ignore_case)
        for prompt in prompts:
            hits = normalized.find_matched_words(prompt)
            if len(set(hits)) != len(hits) or not all(hit and hit in prompt for hit in hits):
                raise Mismatch(f"normalized find_matched_words({prompt!r}) = {hits!r}")
        return {"wordguard-load:ok:"}
    finally:
        os.unlink(path)


def detailed(fn: Callable[[], object]) -> tuple[str, object]:
    """("ok", value) or ("raise", "Type: message"): orvid's outcomes, compared exactly."""
    got = outcome(fn)
    return ("raise", f"{got.type.__name__}: {got.message}") if isinstance(got, Raised) else ("ok", got)


def same_sizes(got: tuple[str, object], want: tuple[str, object]) -> bool:
    # Unpacking errors are worded differently by plain Python; compare types then.
    return got == want or (got[0] == want[0] == "raise" and "unpack" in str(got[1])
                           and str(got[1]).split(":")[0] == str(want[1]).split(":")[0])


def size_kind(label: str, got: tuple[str, object]) -> str:
    return f"{label}:{got[0]}:{str(got[1]).split(':')[0] if got[0] == 'raise' else ''}"


def check_size(ratio: str, tier: str) -> set[str]:
    from plain.orvid import OrvidSizeCalculator as PlainCalculator

    from pravel.orvid import OrvidSizeCalculator

    want = detailed(lambda: PlainCalculator.calc_size(ratio, tier))
    got = detailed(lambda: OrvidSizeCalculator.calc_size(ratio, tier))
    if not same_sizes(got, want):
        raise Mismatch(f"calc_size({ratio!r}, {tier!r}) = {got!r}, model {want!r}")
    return {size_kind("orvid", got)}


def check_helpers(case: dict) -> set[str]:
    """Runs orvid's four class methods on a subclass with the case's constants,
    beside the plain calculator with the same constants."""
    from plain.orvid import OrvidSizeCalculator as PlainCalculator

    from pravel.orvid import OrvidSizeCalculator

    constants = dict(case["constants"])
    calculator = type("Calculator", (OrvidSizeCalculator,), constants)
    model = type("Model", (PlainCalculator,), constants)

    kinds = set()
    calls = [
        ("round_to_multiple", (case["value"], case["multiple"])),
        ("floor_to_multiple", (case["value"], case["multiple"])),
        ("is_valid_image_size", tuple(case["size"])),
        ("calc_size", (case["ratio"], case["tier"])),
    ]
    for name, args in calls:
        want = detailed(lambda: getattr(model, name)(*args))
        got = detailed(lambda: getattr(calculator, name)(*args))
        if not (same_sizes(got, want) if name == "calc_size" else got == want):
            raise Mismatch(f"{name}{args!r} with {constants!r} = {got!r}, model {want!r}")
        kinds.add(size_kind(f"orvid-helpers:{name}", got))
    return kinds


# ---------------------------------------------------------------- inputs


def image_seeds() -> list[bytes]:
    from PIL import Image, ImageDraw, features

    picture = Image.new("RGB", (37, 23), (200, 40, 90))
    ImageDraw.Draw(picture).ellipse((4, 3, 30, 20), fill=(20, 200, 120))
    seeds = []
    for fmt, mode in (("PNG", "RGBA"), ("PNG", "P"), ("JPEG", "RGB"), ("GIF", "P"), ("BMP", "RGB"),
                      ("WEBP", "RGBA")):
        if fmt == "WEBP" and not features.check("webp"):
            continue
        buffer = io.BytesIO()
        picture.convert(mode).save(buffer, fmt)
        seeds.append(buffer.getvalue())
    # A phone upload: EXIF orientation and a colour profile, for the EXIF reader.
    exif = Image.Exif()
    exif[0x0112] = 6
    buffer = io.BytesIO()
    picture.save(buffer, "JPEG", exif=exif, icc_profile=b"profile" * 8)
    seeds.append(buffer.getvalue())
    return seeds


def png_with_size(width: int, height: int, body: bytes = b"") -> bytes:
    """A PNG whose header claims any size (decompression-bomb dimensions)."""
    ihdr = width.to_bytes(4, "big") + height.to_bytes(4, "big") + bytes((8, 6, 0, 0, 0))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return len(data).to_bytes(4, "big") + kind + data + zlib.crc32(kind + data).to_bytes(4, "big")

    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(body)) + chunk(b"IEND", b"")


def mutate(rng: random.Random, data: bytes, seeds: list[bytes]) -> bytes:
    buf = bytearray(data)
    for _ in range(rng.choice((1, 1, 2, 3, 8))):
        op = rng.randrange(8)
        if not buf:
            buf = bytearray(rng.choice(seeds))
        pos = rng.randrange(len(buf))
        if op == 0:
            buf[pos] ^= 1 << rng.randrange(8)
        elif op == 1:
            buf[pos] = rng.choice((0, 1, 0x7F, 0x80, 0xFF, 0xFE))
        elif op == 2:
            del buf[rng.randrange(len(buf)) :]  # truncate
        elif op == 3:
            buf[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 16)))
        elif op == 4:
            del buf[pos : pos + rng.randrange(1, 32)]
        elif op == 5:
            other = rng.choice(seeds)
            cut = rng.randrange(len(other))
            buf = buf[:pos] + other[cut:]
        elif op == 6:  # a size field: big-endian or little-endian 16/32-bit
            width = rng.choice((2, 4))
            value = rng.choice((0, 1, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 65535, 100000))
            order = rng.choice(("big", "little"))
            field = (value & ((1 << (8 * width)) - 1)).to_bytes(width, order)
            buf[pos : pos + width] = field
        else:
            start = rng.randrange(len(buf))
            buf[pos:pos] = buf[start : start + rng.randrange(1, 64)]
    return bytes(buf)


def special_images(rng: random.Random) -> bytes:
    choice = rng.randrange(4)
    if choice == 0:  # bomb dimensions with almost no data
        return png_with_size(rng.choice((1, 50000, 2**31 - 1)), rng.choice((1, 70000, 2**31 - 1)))
    if choice == 1:  # zero-sized or plausible header, truncated data
        return png_with_size(rng.choice((0, 3, 64)), rng.choice((0, 5, 64)), bytes(rng.randrange(256) for _ in range(40)))
    if choice == 2:  # BMP claiming a huge size
        header = bytearray(b"BM" + bytes(52))
        header[14:18] = (40).to_bytes(4, "little")
        header[18:22] = rng.choice((60000, 2**31 - 1)).to_bytes(4, "little")
        header[22:26] = rng.choice((60000, 1)).to_bytes(4, "little", signed=False)
        header[26:28] = (1).to_bytes(2, "little")
        header[28:30] = (24).to_bytes(2, "little")
        return bytes(header)
    gif = bytearray(b"GIF89a")  # GIF with a huge logical screen
    gif += rng.choice((65535, 1)).to_bytes(2, "little") + rng.choice((65535, 0)).to_bytes(2, "little") + b"\x00\x00\x00;"
    return bytes(gif)


WORD_SEEDS = [
    "gore\n血腥\nexplicit violence\n  spaced word \t\nA.B\n(x|y)*\n\nGore\n",
    "\ufeffbom first\nsecond\r\nthird\rfourth\n",
    "ſecret\nKelvin\nΣίσυφος\nİstanbul\nＦＵＬＬ\n𐐀deseret\n😀emoji\n",
    "a\nab\nabc\nabcd\nbc\ncd\n",
]
PROMPT_ALPHABET = list("abcdxyzABCD .|*()ſſKkKσςΣıiIİ𐐀𐐨ｆＦ😀血腥暴力\u3000\t\n\ufeff") + ["gore", "GORE", "a.b", "A.B", "secret", "kelvin"]


def random_prompt(rng: random.Random, words: list[str]) -> str:
    parts = []
    for _ in range(rng.randrange(0, 12)):
        if words and rng.random() < 0.4:
            word = rng.choice(words)
            parts.append(rng.choice((word, word.upper(), word.lower(), word.swapcase())))
        else:
            parts.append(rng.choice(PROMPT_ALPHABET))
    return "".join(parts)


def mutate_text(rng: random.Random, data: bytes) -> bytes:
    buf = bytearray(data)
    for _ in range(rng.randrange(1, 4)):
        op = rng.randrange(5)
        pos = rng.randrange(len(buf) + 1)
        if op == 0 and buf:
            buf[min(pos, len(buf) - 1)] = rng.randrange(256)  # may break UTF-8
        elif op == 1:
            buf[pos:pos] = rng.choice(("\r", "\n", "\r\n", " ", "\u3000", "\ufeff", "x", "Σ", "ſ")).encode()
        elif op == 2:
            del buf[pos : pos + rng.randrange(1, 4)]
        elif op == 3:
            buf[pos:pos] = rng.choice(PROMPT_ALPHABET).encode()
        else:
            buf = bytearray(b"\xef\xbb\xbf") + buf
    return bytes(buf)


RATIO_PIECES = ["1", "3", "4", "9", "16", "21", "0", "-1", "-16", "100", " 7 ", "１６", "٣", "1_0", "+2", "x", "", "10" * 30]


def random_ratio(rng: random.Random) -> tuple[str, str]:
    parts = [rng.choice(RATIO_PIECES) for _ in range(rng.choice((1, 2, 2, 2, 3)))]
    ratio = ":".join(parts)
    if rng.random() < 0.1:
        ratio = "".join(rng.choice("0123456789:-+ x.") for _ in range(rng.randrange(8)))
    tier = rng.choice(("1k", "2k", "4k", "4K", "8k", "", "2k ", "İ", rng.choice(PROMPT_ALPHABET)))
    return ratio, tier


EXTREME_NUMBERS = [0, 1, 16, -16, 0.5, -0.0, 1e19, -1e19, 9.2e18, 9.3e18, 2.0**53, 2.0**63, 1e300, -1e300,
                   1.7976931348623157e308, 5e-324, -5e-324, 2.2250738585072014e-308, float("inf"),
                   float("-inf"), float("nan"), 2**53 - 1, 2**53, 2**53 + 1, 2**63 - 1, 2**63, -2**63, 2**64 + 1]


def random_number(rng: random.Random) -> int | float:
    choice = rng.randrange(6)
    if choice == 0:
        return rng.choice(EXTREME_NUMBERS)
    if choice == 1:  # any finite float: mantissa and exponent at random
        return rng.choice((1, -1)) * math.ldexp(rng.random(), rng.randrange(-1074, 1025))
    if choice == 2:  # next to the limits of exact doubles and of long long
        return rng.choice((1, -1)) * (2 ** rng.choice((53, 62, 63, 64)) + rng.randrange(-3, 4))
    if choice == 3:
        return rng.uniform(-1e4, 1e4)
    if choice == 4:
        return float(rng.randrange(1, 2**64)) * rng.choice((1, 16, 1e-3))
    return rng.randrange(-10, 5000)


def random_helpers_case(rng: random.Random) -> dict:
    constants: dict = {}
    for name in rng.sample(["MULTIPLE", "MAX_EDGE", "MIN_PIXELS", "MAX_PIXELS", "MAX_RATIO", "RESOLUTION_PRESET"],
                          rng.randrange(0, 4)):
        if name == "RESOLUTION_PRESET":
            constants[name] = {"1k": random_number(rng), "2k": random_number(rng), "4k": 8294400}
        else:
            constants[name] = random_number(rng)
    ratio, tier = random_ratio(rng)
    return {"constants": constants, "value": random_number(rng),
            "multiple": None if rng.random() < 0.3 else random_number(rng),
            "size": [random_number(rng), random_number(rng)], "ratio": ratio, "tier": tier}


# ---------------------------------------------------------------- driver


BOMB_LIMIT = 4_000_000


def replay(label: bytes, rng: random.Random) -> set[str]:
    """Runs one kept input ("image:...", "words:...", "size:..." or "helpers:...")
    through its oracle."""
    target, data = label.split(b":", 1)
    if target == b"image":
        return check_image(data)
    if target == b"helpers":
        return check_helpers(json.loads(data))
    if target == b"words":
        words = [w.strip() for w in data.decode("utf-8", "replace").splitlines() if w.strip()]
        prompts = [random_prompt(rng, words) for _ in range(8)]
        return check_words(data, prompts, rng.random() < 0.7)
    ratio, tier = data.decode("utf-8").split("\n", 1)
    return check_size(ratio, tier)


def corpus_name(kind: str, data: bytes) -> str:
    safe = re.sub(r"[^A-Za-z0-9_.-]+", "_", kind).strip("_")
    return f"{safe}-{hashlib.sha1(data).hexdigest()[:12]}.bin"


def worker(args: argparse.Namespace) -> int:
    from PIL import Image

    # A service caps decoded sizes; this keeps bomb headers from allocating
    # gigabytes while still exercising the imaging library's refusal.
    Image.MAX_IMAGE_PIXELS = BOMB_LIMIT
    warnings.simplefilter("ignore")
    rng = random.Random(args.seed)
    corpus = Path(args.corpus)
    corpus.mkdir(parents=True, exist_ok=True)
    seen = {p.name.rsplit("-", 1)[0] for p in corpus.glob("*.bin")}
    current = corpus / "crash-current.input"
    seeds = image_seeds()
    targets = [t for t in ("image", "image", "image", "words", "size", "helpers") if t in args.targets.split(",")]
    deadline = time.monotonic() + args.seconds
    count = 0
    while time.monotonic() < deadline:
        target = rng.choice(targets)
        if target == "image":
            data = special_images(rng) if rng.random() < 0.1 else mutate(rng, rng.choice(seeds), seeds)
            label = b"image:" + data
        elif target == "words":
            data = mutate_text(rng, rng.choice(WORD_SEEDS).encode())
            label = b"words:" + data
        elif target == "size":
            ratio, tier = random_ratio(rng)
            data = f"{ratio}\n{tier}".encode()
            label = b"size:" + data
        else:
            label = b"helpers:" + json.dumps(random_helpers_case(rng)).encode()
        current.write_bytes(label)
        faulthandler.dump_traceback_later(args.hang, exit=True)
        try:
            kinds = replay(label, rng)
        except Mismatch as exc:
            faulthandler.cancel_dump_traceback_later()
            (corpus / corpus_name(f"mismatch-{target}", label)).write_bytes(label)
            print(f"fuzz: MISMATCH after {count} inputs: {exc}", file=sys.stderr)
            return 1
        faulthandler.cancel_dump_traceback_later()
        for kind in kinds - seen:
            seen.add(kind)
            (corpus / corpus_name(kind, label)).write_bytes(label)
        count += 1
    current.unlink(missing_ok=True)
    print(f"fuzz: {count} inputs in {args.seconds:g} s, seed {args.seed}, no crash, hang or mismatch")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--hang", type=float, default=20, help="seconds one input may take")
    parser.add_argument("--corpus", default=str(DEFAULT_CORPUS))
    parser.add_argument("--targets", default="image,words,size,helpers",
                        help="comma-separated subset of image,words,size,helpers")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.randrange(2**32)
    if args.worker:
        return worker(args)
    cmd = [sys.executable, __file__, "--worker", "--seconds", str(args.seconds), "--seed", str(args.seed),
           "--hang", str(args.hang), "--corpus", args.corpus, "--targets", args.targets]
    result = subprocess.run(cmd, timeout=args.seconds + args.hang + 60)
    current = Path(args.corpus) / "crash-current.input"
    if result.returncode != 0 and current.exists():
        data = current.read_bytes()
        kept = Path(args.corpus) / corpus_name("crash", data)
        current.rename(kept)
        print(f"fuzz: the worker died (status {result.returncode}); input kept as {kept}", file=sys.stderr)
        # Also in the log, for runs whose folder does not outlive them.
        print("fuzz: the input, base64: " + base64.b64encode(data).decode(), file=sys.stderr)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())

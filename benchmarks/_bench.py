"""Shared pieces of the benchmark scripts: timing, realistic test images, real
photographs and the machine-readable record of each measurement."""

from __future__ import annotations

import importlib.util
import io
import json
import os
import platform
import sys
import time
from pathlib import Path
from typing import Callable

from PIL import Image, ImageFilter

ROOT = Path(__file__).resolve().parent.parent
# The plain models and framekit's Pillow pipeline (tests/plain/), the
# baselines the scripts time pravel against.
sys.path.insert(0, str(ROOT / "tests"))


def _load_tool(name: str) -> None:
    """tools/<name>.py, importable by name without tools/ on the path."""
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)


# The tools that fetch real material from Debian's archive: tools/debs.py,
# and tools/photos.py, which imports it.
_load_tool("debs")
_load_tool("photos")


def machine() -> str:
    return f"{platform.machine()}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}"


# File to which record() appends one JSON line per measurement (benchmarks/report.py
# sets it); unset, record() does nothing and a script only prints.
RESULTS_VARIABLE = "PRAVEL_BENCH_RESULTS"


def record(operation: str, pravel_seconds: float, baseline_seconds: float, baseline: str,
           **details: object) -> None:
    """Notes one comparison measured in this run: seconds per call of pravel and
    of the baseline named by `baseline`. `details` are kept with it (the word
    list size of a wordguard row, for its plot)."""
    path = os.environ.get(RESULTS_VARIABLE)
    if not path:
        return
    row = {"script": os.path.basename(sys.argv[0]), "operation": operation,
           "pravel": pravel_seconds, "baseline": baseline_seconds,
           "baseline_name": baseline, **details}
    with open(path, "a", encoding="utf-8") as out:
        out.write(json.dumps(row, ensure_ascii=False) + "\n")


def best_of(fns: dict[str, Callable[[], object]], repeat: int = 5, number: int = 1,
            budget: float = 1.0) -> dict[str, float]:
    """Seconds per call of each function: the best of at least `repeat` rounds
    of `number` calls (more while the rounds take under `budget` seconds in
    all), the functions interleaved so that drift hits all alike."""
    best = {name: float("inf") for name in fns}
    rounds, spent = 0, 0.0
    while rounds < repeat or spent < budget:
        for name, fn in fns.items():
            start = time.perf_counter()
            for _ in range(number):
                fn()
            elapsed = time.perf_counter() - start
            spent += elapsed
            best[name] = min(best[name], elapsed / number)
        rounds += 1
    return best


def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def encode(image: Image.Image, fmt: str, **options) -> bytes:
    buffer = io.BytesIO()
    image.save(buffer, fmt, **options)
    return buffer.getvalue()


def photo_like(width: int, height: int, fmt: str = "JPEG") -> bytes:
    """A camera-like picture: smooth light and colour with sensor noise."""
    small = Image.linear_gradient("L").resize((width, height))
    colour = Image.merge("RGB", (small, small.rotate(90).resize((width, height)), small.transpose(Image.Transpose.FLIP_TOP_BOTTOM)))
    noise = Image.effect_noise((width, height), 40).convert("RGB")
    picture = Image.blend(colour, noise, 0.25).filter(ImageFilter.SMOOTH)
    return encode(picture, fmt, quality=90) if fmt == "JPEG" else encode(picture, fmt)


def smooth(width: int, height: int, fmt: str = "JPEG") -> bytes:
    """A flat illustration: gradients and large areas of one colour."""
    grad = Image.linear_gradient("L").resize((width, height))
    picture = Image.merge("RGB", (grad, grad.rotate(180), Image.new("L", (width, height), 128)))
    return encode(picture, fmt, quality=90) if fmt == "JPEG" else encode(picture, fmt)


def cutout(width: int, height: int) -> bytes:
    """An RGBA PNG with a soft-edged subject on a transparent background."""
    picture = Image.open(io.BytesIO(photo_like(width, height, "PNG"))).convert("RGBA")
    mask = Image.new("L", (width, height), 0)
    from PIL import ImageDraw

    ImageDraw.Draw(mask).ellipse((width // 8, height // 8, width * 7 // 8, height * 7 // 8), fill=255)
    picture.putalpha(mask.filter(ImageFilter.GaussianBlur(width / 80)))
    return encode(picture, "PNG")


def photo_files() -> dict[str, Path]:
    """Uploads of growing size, by description: real photographs that
    tools/photos.py derives, fetched once and cached outside the checkout
    ($PRAVEL_PHOTOS, default /var/cache/pravel/photos)."""
    import photos as fetcher

    folder = fetcher.ensure(fetcher.default_cache())
    return {
        "1080x1920 photo": folder / "phone-portrait-Path-1080x1920.jpg",
        "2560x1600 photo": next(folder.glob("camera-BytheWater-*.jpg")),
        "3840x2160 photo": folder / "landscape-EveningGlow-3840x2160.jpg",
    }


def photos() -> dict[str, bytes]:
    return {name: path.read_bytes() for name, path in photo_files().items()}

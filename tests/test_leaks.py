"""Every public operation, success and error paths, called thousands of times:
neither the interpreter's live memory blocks and objects nor the process's
resident memory may grow with the number of calls."""

import gc
import io
import logging
import sys
from pathlib import Path

import pytest
from PIL import Image

from conftest import encode

CALLS = 3000  # per operation; image work runs fewer, see `heavy`


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def raises(exc, fn, *args, **kwargs):
    def call():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc}")

    return call


def heavy(fn, calls=1000):
    """An operation too slow for the full count; one lost reference per call
    still shows plainly at this many calls."""
    fn.calls = calls
    return fn


def small_png(w=6, h=4, mode="RGBA"):
    return encode(Image.new(mode, (w, h), 7))


def framekit_operations():
    from pravel.framekit import Framekit

    png, jpeg = small_png(), encode(Image.new("RGB", (6, 4), 9), "JPEG")
    fill, resize, asked = Framekit(), Framekit(need_adjust="resize"), Framekit("3:4")
    return {
        "Framekit()": lambda: Framekit("1:1", "fill", (0, 0, 0, 0), extra=1),
        "Framekit(bad type)": raises(TypeError, Framekit, 3),
        "_parse_ratio": lambda: Framekit._parse_ratio(" 16:9 "),
        "_parse_ratio(bad)": raises(ValueError, Framekit._parse_ratio, "16 : 9"),
        "_closest": lambda: fill._get_closest_standard_ratio(1920.5, 1080),
        "_closest(zero)": raises(ZeroDivisionError, fill._get_closest_standard_ratio, 1, 0),
        "adjust_size fill": heavy(lambda: fill.adjust_size(png, True)),
        "adjust_size resize": heavy(lambda: resize.adjust_size(jpeg)),
        "adjust_size mismatch": lambda: asked.adjust_size(png, True),
        "adjust_size(undecodable)": raises(OSError, fill.adjust_size, b"not an image"),
        "adjust_size(bad type)": raises(TypeError, fill.adjust_size, bytearray(png)),
        "adjust_size(crop)": raises(ValueError, Framekit(need_adjust="crop").adjust_size, png),
        "adjust_size(bad call)": raises(TypeError, fill.adjust_size, png, nope=1),
    }


def shapelens_operations():
    from pravel.shapelens import ImageShapelens

    png, lens = small_png(1366, 768, "L"), ImageShapelens()
    return {
        "ImageShapelens()": lambda: ImageShapelens(7.9),
        "ImageShapelens(bad)": raises(TypeError, ImageShapelens, "10"),
        "_gcd": lambda: ImageShapelens._gcd(2**80 * 6, -(2**70) * 4),
        "raw ratio": lambda: lens.get_raw_simple_ratio(png),
        "approx ratio": lambda: lens.get_approx_simple_ratio(png),
        "ratio(undecodable)": raises(OSError, lens.get_approx_simple_ratio, b"junk"),
        "ratio(bad type)": raises(TypeError, lens.get_raw_simple_ratio, None),
    }


def marvale_operations(capsys):
    from pravel.marvale import MarvaleImageScale

    image = Image.new("RGB", (30, 20))
    zero = Image.new("RGB", (5, 0))

    def start():
        MarvaleImageScale(image).start()
        capsys.readouterr()

    return {
        "start": heavy(start, 300),
        "start(zero height)": raises(ZeroDivisionError, MarvaleImageScale(zero).start),
        "start(not an image)": raises(AttributeError, MarvaleImageScale(object()).start),
    }


class _OfflineRequests:
    """Stands in for requests: every call fails like a refused connection."""

    class exceptions:
        class ConnectionError(Exception):
            pass

    def get(self, url, timeout):
        raise self.exceptions.ConnectionError("Connection refused")


def hostwarden_operations(monkeypatch, capsys):
    from pravel.comfyui import hostwarden

    monkeypatch.setattr(hostwarden, "requests", _OfflineRequests())
    quiet = logging.getLogger("pravel.tests.quiet")
    quiet.disabled = True
    manager = hostwarden.ComfyUIManager("http://127.0.0.1:9//", max_wait_seconds=0, logger=quiet)

    def reboot():
        manager.trigger_reboot()
        capsys.readouterr()

    return {
        "ComfyUIManager()": lambda: hostwarden.ComfyUIManager("http://x/", 2.5, 3, 1, quiet),
        "ComfyUIManager(bad)": raises(TypeError, hostwarden.ComfyUIManager, None),
        "trigger_reboot": reboot,
        "run_reboot_and_wait": lambda: manager.run_reboot_and_wait(),
    }


@pytest.fixture
def operations(monkeypatch, capsys):
    ops = {}
    ops.update(framekit_operations())
    ops.update(shapelens_operations())
    ops.update(marvale_operations(capsys))
    ops.update(hostwarden_operations(monkeypatch, capsys))
    return ops


def captured(op):
    """The objects an operation works on: what its closure holds, and their types."""
    objects = [cell.cell_contents for cell in op.__closure__ or ()]
    return objects + [type(o) for o in objects]


def growth(op):
    """(calls, blocks, objects, references) left behind by `op` per window of
    `calls` calls, the smallest of three windows. Caches and the allocator's
    free lists fill up during the first calls and then stay; a lost reference
    to a new object grows every window by at least one block per call, and
    one to an argument raises the argument's reference count."""
    calls = getattr(op, "calls", CALLS)
    for _ in range(calls // 2):
        op()
    windows = []
    for _ in range(3):
        gc.collect()
        held = captured(op)
        refs = [sys.getrefcount(o) for o in held]
        blocks, objects = sys.getallocatedblocks(), len(gc.get_objects())
        for _ in range(calls):
            op()
        gc.collect()
        after = [sys.getrefcount(o) for o in held]
        extra_refs = sum(a - r for a, r in zip(after, refs))
        windows.append((sys.getallocatedblocks() - blocks, len(gc.get_objects()) - objects, extra_refs))
    return (calls, *(min(w[i] for w in windows) for i in range(3)))


def leaked(op):
    calls, blocks, objects, refs = growth(op)
    return blocks > calls // 5 or objects > calls // 5 or refs > 0


needs_pymalloc = pytest.mark.skipif(
    not sys.getallocatedblocks(), reason="block counts need the interpreter's own allocator"
)


@needs_pymalloc
def test_harness_sees_a_lost_reference():
    import ctypes

    def lose_new_object():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(object()))

    argument = [1, 2]

    def lose_argument():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(argument))

    assert leaked(heavy(lose_new_object))
    assert leaked(heavy(lose_argument, 10))
    assert not leaked(heavy(lambda: len(argument)))


@needs_pymalloc
def test_no_growth(operations):
    start_rss = resident_bytes()
    grown = {name: growth(op) for name, op in operations.items() if leaked(op)}
    assert not grown, f"(calls, blocks, objects, references) left per window: {grown}"
    # Memory outside the interpreter's view (native buffers) must not pile up either.
    assert resident_bytes() - start_rss < 32 * 2**20

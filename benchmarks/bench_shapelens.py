"""Times ImageShapelens.get_approx_simple_ratio on a PNG held in memory
against the plain-Python version in plain/shapelens.py, and splits the
native call into Pillow's header read and the module's own arithmetic.

    python benchmarks/bench_shapelens.py
"""
import io
import os
import platform
import timeit
from types import SimpleNamespace

from PIL import Image

from _bench import record
from plain import shapelens as shapelens_plain
from pravel import shapelens


def best_of(func, number):
    """Fastest time per call, in microseconds."""
    return min(timeit.repeat(func, number=number, repeat=9)) / number * 1e6


def main():
    out = io.BytesIO()
    Image.new("RGB", (1920, 1080), (30, 60, 90)).save(out, "PNG")
    png = out.getvalue()
    native, plain = shapelens.ImageShapelens(), shapelens_plain.ImageShapelens()
    assert native.get_approx_simple_ratio(png) == plain.get_approx_simple_ratio(png) == "9:5"

    n = 5000
    header = best_of(lambda: shapelens_plain.ImageShapelens._read_size(png), n)
    native_call = best_of(lambda: native.get_approx_simple_ratio(png), n)
    plain_call = best_of(lambda: plain.get_approx_simple_ratio(png), n)
    plain_scan = best_of(lambda: plain.approx_from_size(1920, 1080), n)

    # The native call with Pillow replaced by an object that only knows the
    # size: what remains is the module's own work. Bound 0 skips the scan.
    class Header:
        size = (1920, 1080)
        def __enter__(self):
            return self
        def __exit__(self, *exc):
            return False
    header_only = Header()
    real_image = shapelens.Image
    shapelens.Image = SimpleNamespace(open=lambda stream: header_only)
    no_scan, long_scan = shapelens.ImageShapelens(0), shapelens.ImageShapelens(64)
    try:
        outside_pillow = best_of(lambda: native.get_approx_simple_ratio(png), 4 * n)
        without_scan = best_of(lambda: no_scan.get_approx_simple_ratio(png), 4 * n)
        with_long_scan = best_of(lambda: long_scan.get_approx_simple_ratio(png), n)
    finally:
        shapelens.Image = real_image
    # 100 pairs are too quick to time apart from the call; 64 x 64 are not.
    native_scan = (with_long_scan - without_scan) * 100 / (64 * 64)

    print(f"{platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}")
    print("get_approx_simple_ratio, 1920x1080 PNG in memory, bound 10 (100 pairs):")
    print(f"  native call                    {native_call:8.2f} us")
    print(f"  plain-Python call              {plain_call:8.2f} us   plain/native {plain_call / native_call:5.2f}x")
    print(f"  Pillow header read (Python)    {header:8.2f} us")
    print(f"  native with Pillow stubbed out {outside_pillow:8.2f} us   (call, BytesIO, contexts, scan, result)")
    print(f"  Pillow's share of native call  {1 - outside_pillow / native_call:8.1%}    (at least)")
    print(f"  native scan, per 100 pairs     {native_scan:8.2f} us")
    print(f"  plain-Python scan and result   {plain_scan:8.2f} us   plain/native {plain_scan / native_scan:5.1f}x")
    baseline = "plain Python (plain/shapelens.py)"
    record("get_approx_simple_ratio, 1920x1080 PNG", native_call * 1e-6, plain_call * 1e-6, baseline)
    record("approximate-ratio scan, 100 pairs", native_scan * 1e-6, plain_scan * 1e-6, baseline)


if __name__ == "__main__":
    main()

"""Times pravel.orvid against the plain-Python version of the same algorithms
(plain/orvid.py) and prints how many times faster the extension is.

    python benchmarks/bench_orvid.py
"""

import os
import platform
import timeit

from _bench import record
from plain.orvid import OrvidSizeCalculator as PlainCalculator
from pravel.orvid import OrvidSizeCalculator

# Every row of the documented size table: ratio, tier.
TABLE = [
    ("1:1", "1k"), ("1:1", "2k"), ("1:1", "4k"), ("16:9", "1k"),
    ("16:9", "2k"), ("16:9", "4k"), ("9:16", "4k"), ("4:3", "2k"),
    ("4:3", "4k"), ("7:10", "1k"), ("3:1", "1k"), ("3:1", "4k"),
    ("1:3", "4k"), ("21:9", "4k"), ("2:1", "4k"), ("3:2", "4k"),
]
# Every ratio with terms up to 60 that passes the 3:1 limit, at every tier:
# far more inputs than the extension keeps recent results for, so each call
# computes its size afresh.
FRESH = [(f"{w}:{h}", tier) for w in range(1, 61) for h in range(1, 61)
         if max(w, h) <= 3 * min(w, h) for tier in ("1k", "2k", "4k")]
SIZES = [(3840, 2160), (3856, 2160), (1920, 1080), (2160, 720), (800, 800), (2880, 2880)]
VALUES = [24, 40, 1254, 2171.99, 724.0, 4979.6]


def table_rows(calc):
    def run():
        for ratio, tier in TABLE:
            calc.calc_size(ratio, tier)
    return run


def fresh_rows(calc):
    def run():
        for ratio, tier in FRESH:
            calc.calc_size(ratio, tier)
    return run


def validity(calc):
    def run():
        for w, h in SIZES:
            calc.is_valid_image_size(w, h)
    return run


def rounding(calc):
    def run():
        for v in VALUES:
            calc.round_to_multiple(v)
    return run


def per_run(plain, native, rounds=60):
    """Seconds per run of each function: the fastest of many short rounds,
    alternating between the two so that both see the same machine load."""
    def calls_per_round(func):
        number = 1
        while timeit.timeit(func, number=number) < 0.002:
            number *= 2
        return number

    counts = calls_per_round(plain), calls_per_round(native)
    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        for i, func in enumerate((plain, native)):
            best[i] = min(best[i], timeit.timeit(func, number=counts[i]) / counts[i])
    return best


def main():
    print(f"{platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}")
    print("Repeated inputs are served from the extension's recent results; fresh ones are not.")
    cases = [
        ("calc_size, 16 table rows", table_rows, len(TABLE)),
        (f"calc_size, {len(FRESH)} fresh rows", fresh_rows, len(FRESH)),
        ("is_valid_image_size", validity, len(SIZES)),
        ("round_to_multiple", rounding, len(VALUES)),
    ]
    for label, make, calls in cases:
        plain, native = per_run(make(PlainCalculator), make(OrvidSizeCalculator))
        print(f"{label:30s} plain {plain / calls * 1e9:8.0f} ns/call   "
              f"native {native / calls * 1e9:7.0f} ns/call   {plain / native:5.1f}x faster")
        record(f"{label} (per call)", native / calls, plain / calls, "plain Python (plain/orvid.py)")


if __name__ == "__main__":
    main()

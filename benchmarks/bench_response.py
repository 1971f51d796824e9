"""How much faster pravel.response builds answers than the same classes in
plain Python (plain/response.py). Prints one line per case: the time per call
of each and their ratio, measured in this run.

    python benchmarks/bench_response.py
"""

import os
import platform
import timeit

from _bench import record
from plain import response as plain
from pravel.response import faultmark, faultroll, result

native = type("native", (), {
    "Faultmark": faultmark.Faultmark,
    "Faultroll": faultroll.Faultroll,
    "ServiceResult": result.ServiceResult,
})

DATA = {"images": [{"url": "https://example.com/a.png", "width": 1024, "height": 1536}],
        "seed": 42, "prompt": "a lighthouse at dusk"}

MESSAGE = "upstream model timed out after 120s (request 7f3a)"


def cases(m):
    """The calls to time, for the module `m` (plain or pravel). Methods and
    arguments are looked up here, so that only the calls are measured."""
    result, fault = m.ServiceResult, m.Faultmark
    fail, success, process = result.fail, result.success, result._process_error_message
    get = m.Faultroll.get
    timeout, rate_limit = fault.TIMEOUT, fault.RATE_LIMIT
    return {
        "fail(TIMEOUT, 'upstream model timed out ...')": lambda: fail(timeout, MESSAGE),
        "fail(RATE_LIMIT, status_code=429)": lambda: fail(rate_limit, status_code=429),
        "_process_error_message, a default rule matches":
            lambda: process("Error: Insufficient balance on account"),
        "_process_error_message, no rule matches":
            lambda: process("connection reset by peer while reading the response"),
        "_process_error_message, a Chinese message": lambda: process("请求过于频繁，请稍后再试"),
        "success(data).to_dict()": lambda: success(DATA).to_dict(),
        "success(data)": lambda: success(DATA),
        "Faultroll.get('MY_ERROR')": lambda: get("MY_ERROR"),
    }


def per_call(slow, fast, number=20000, repeat=9):
    """Best time per call of each, their rounds interleaved so that a busy
    moment of the machine weighs on both alike."""
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for i, fn in enumerate((slow, fast)):
            best[i] = min(best[i], timeit.timeit(fn, number=number) / number)
    return best


def main():
    for m in (plain, native):
        m.Faultroll.register("MY_ERROR", "自定义错误消息")
    print(f"Python {platform.python_version()} on {platform.machine()}, "
          f"{os.cpu_count()} CPUs")
    print(f"{'case':50} {'plain':>10} {'pravel':>10} {'ratio':>7}")
    slow_cases, fast_cases = cases(plain), cases(native)
    for name in slow_cases:
        slow, fast = per_call(slow_cases[name], fast_cases[name])
        print(f"{name:50} {slow * 1e9:8.0f}ns {fast * 1e9:8.0f}ns {slow / fast:6.1f}x")
        record(name, fast, slow, "plain Python (plain/response.py)")


if __name__ == "__main__":
    main()

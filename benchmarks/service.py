"""pravel inside a service, measured on real photographs: how long an asyncio
event loop stalls while pravel works (called in a coroutine, or through
asyncio.to_thread), the ComfyUI restart-and-wait in a background task, what
thread and process pools give, and the memory one adjust_size call takes.
Prints what this run measured; nothing is compared with a stored figure.

    python benchmarks/service.py [--parts lag,pools,memory]
"""

from __future__ import annotations

import argparse
import asyncio
import concurrent.futures
import contextlib
import io
import os
import subprocess
import sys
import time
from typing import Awaitable, Callable

from PIL import Image

from _bench import fmt_time, machine, photo_files, photos
from pravel.comfyui.hostwarden import ComfyUIManager
from pravel.demo import _comfyui_server
from pravel.framekit import Framekit

TICK = 0.001  # the period of the timer that stands for the loop's other work


async def loop_lag(work: Callable[[], Awaitable[object]]) -> tuple[float, float, float]:
    """How late a 1 ms timer fires while `work()` runs: the largest and the 99th
    percentile delay, and how long the work took."""
    delays: list[float] = []
    done = False

    async def timer() -> None:
        while not done:
            start = time.perf_counter()
            await asyncio.sleep(TICK)
            delays.append(time.perf_counter() - start - TICK)

    task = asyncio.create_task(timer())
    await asyncio.sleep(0.05)
    delays.clear()
    start = time.perf_counter()
    await work()
    took = time.perf_counter() - start
    done = True
    await task
    delays.sort()
    return delays[-1], delays[int(len(delays) * 0.99)], took


async def lag_report(images: dict[str, bytes]) -> None:
    framekit = Framekit()
    calls = 5

    async def idle() -> None:
        await asyncio.sleep(0.5)

    cases: dict[str, Callable[[], Awaitable[object]]] = {"nothing else running": idle}
    for name in ("1080x1920 photo", "2560x1600 photo"):
        data = images[name]

        # Requests 10 ms apart, each handled by one call.
        async def direct(data: bytes = data) -> None:
            for _ in range(calls):
                framekit.adjust_size(data)  # blocks the loop for the whole call
                await asyncio.sleep(0.01)

        async def threaded(data: bytes = data) -> None:
            for _ in range(calls):
                await asyncio.to_thread(framekit.adjust_size, data)
                await asyncio.sleep(0.01)

        cases[f"adjust_size {name} x{calls}, called in the coroutine"] = direct
        cases[f"adjust_size {name} x{calls}, through asyncio.to_thread"] = threaded

    with _comfyui_server() as url:
        # The stand-in restarts in 0.3 s, as ComfyUI does in a few seconds.
        manager = ComfyUIManager(url, timeout=2, max_wait_seconds=10, poll_interval=0.1)

        def restart() -> bool:
            with contextlib.redirect_stdout(io.StringIO()):  # its waiting lines
                return manager.run_reboot_and_wait()

        async def restart_direct() -> None:
            assert restart()

        async def restart_background() -> None:
            task = asyncio.create_task(asyncio.to_thread(restart))
            assert await task

        cases["run_reboot_and_wait, called in the coroutine"] = restart_direct
        cases["run_reboot_and_wait, background task through asyncio.to_thread"] = restart_background
        print(f"Event-loop stall: delay of a {TICK * 1000:.0f} ms timer while the work runs")
        print(f"  {'work':68} {'largest':>9} {'99th pct':>9} {'work took':>10}")
        for label, work in cases.items():
            largest, p99, took = await loop_lag(work)
            print(f"  {label:68} {fmt_time(largest):>9} {fmt_time(p99):>9} {fmt_time(took):>10}")


_worker_framekit: Framekit | None = None


def _start_worker() -> None:
    global _worker_framekit
    _worker_framekit = Framekit()


def _adjust_in_worker(data: bytes) -> int:
    assert _worker_framekit is not None
    return len(_worker_framekit.adjust_size(data))


def pools_report(images: dict[str, bytes]) -> None:
    data = images["1080x1920 photo"]
    calls, workers = 16, os.cpu_count() or 1
    framekit = Framekit()
    expected = len(framekit.adjust_size(data))

    def serial() -> list[int]:
        return [len(framekit.adjust_size(data)) for _ in range(calls)]

    def threads() -> list[int]:
        # One Framekit shared by every thread.
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            return list(pool.map(lambda d: len(framekit.adjust_size(d)), [data] * calls))

    def processes() -> list[int]:
        with concurrent.futures.ProcessPoolExecutor(workers, initializer=_start_worker) as pool:
            return list(pool.map(_adjust_in_worker, [data] * calls))

    print(f"\nThroughput: {calls} adjust_size calls on the 1080x1920 photo, {workers} workers")
    base = None
    for label, run in (("one thread", serial), ("thread pool, one shared Framekit", threads),
                       ("process pool, a Framekit per process (start-up included)", processes)):
        start = time.perf_counter()
        sizes = run()
        took = time.perf_counter() - start
        assert sizes == [expected] * calls
        base = base or took
        print(f"  {label:58} {calls / took:6.1f} calls/s  x{base / took:.2f}")


def peak_memory_of_one_call(name: str, mode: str) -> None:
    """Run in a process of its own: prints the growth of the peak resident size
    that one adjust_size call causes."""
    data = photo_files()[name].read_bytes()
    framekit = Framekit(need_adjust=mode)
    small = io.BytesIO()
    Image.new("RGB", (64, 48)).save(small, "JPEG")
    framekit.adjust_size(small.getvalue())  # libraries loaded, caches warm
    before = peak_resident_bytes()
    framekit.adjust_size(data)
    print(peak_resident_bytes() - before)


def peak_resident_bytes() -> int:
    # VmHWM belongs to this program's memory map; getrusage's maxrss would
    # carry the parent's peak across exec.
    with open("/proc/self/status", encoding="ascii") as status:
        line = next(line for line in status if line.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024


def memory_report(images: dict[str, bytes]) -> None:
    print("\nMemory: growth of the peak resident size during one adjust_size call")
    print(f"  {'image':20} {'mode':7} {'peak growth':>12} {'x decoded RGBA':>15}")
    for name, data in images.items():
        with Image.open(io.BytesIO(data)) as image:
            rgba = image.width * image.height * 4
        for mode in ("fill", "resize"):
            out = subprocess.run([sys.executable, __file__, "--peak-memory", name, mode],
                                 capture_output=True, text=True, check=True).stdout
            growth = int(out)
            print(f"  {name:20} {mode:7} {growth / 2**20:9.0f} MiB {growth / rgba:15.1f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--parts", default="lag,pools,memory")
    parser.add_argument("--peak-memory", nargs=2, metavar=("IMAGE", "MODE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak_memory:
        peak_memory_of_one_call(*args.peak_memory)
        return
    images = photos()
    print(f"pravel in a service ({machine()})\n")
    parts = args.parts.split(",")
    if "lag" in parts:
        asyncio.run(lag_report(images))
    if "pools" in parts:
        pools_report(images)
    if "memory" in parts:
        memory_report(images)


if __name__ == "__main__":
    main()

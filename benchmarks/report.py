"""Runs every benchmark script (benchmarks/bench_*.py) and writes the report:
benchmarks/RESULTS.md, one table of pravel against each baseline with the
machine it ran on, and benchmarks/wordguard_scaling.png, wordguard's check
time against the size of the word list. tools/bench.sh runs it in the 3.14
chroot; it runs as well under any interpreter with pravel installed.

    python benchmarks/report.py [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timezone
from pathlib import Path

from _bench import RESULTS_VARIABLE, fmt_time

HERE = Path(__file__).resolve().parent
REPORT = HERE / "RESULTS.md"
PLOT = HERE / "wordguard_scaling.png"
# Word-list sizes of the plot; the largest is the script's own, so that its
# prompt (drawn after the list) is the one of a plain run.
WORDGUARD_SIZES = "100,300,1000,3000,10000,30000,50000"


def script_arguments(script: str, quick: bool) -> list[str]:
    if script == "bench_wordguard.py":
        return ["--sizes", WORDGUARD_SIZES]
    if script == "bench_framekit.py" and quick:
        return ["--quick"]
    return []


def run_script(script: Path, arguments: list[str], env: dict[str, str]) -> tuple[str, float]:
    """Runs one script, echoing its output as it comes; returns the output and
    the seconds it took."""
    print(f"\n$ python {script.name} {' '.join(arguments)}".rstrip(), flush=True)
    start = time.monotonic()
    with subprocess.Popen([sys.executable, str(script), *arguments], env=env, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT) as process:
        assert process.stdout is not None
        lines = []
        for line in process.stdout:
            print(line, end="", flush=True)
            lines.append(line)
    if process.returncode:
        sys.exit(f"{script.name} failed with status {process.returncode}")
    return "".join(lines), time.monotonic() - start


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def load_average() -> float | None:
    try:
        return os.getloadavg()[0]
    except OSError:
        return None


def speed_up(ratio: float) -> str:
    return f"{ratio:,.0f}×" if ratio >= 100 else f"{ratio:.3g}×"


def table(rows: list[dict]) -> list[str]:
    lines = ["| Module | Operation | pravel | Baseline | Baseline time | Speed-up |",
             "|---|---|--:|---|--:|--:|"]
    for row in rows:
        module = row["script"].removeprefix("bench_").removesuffix(".py")
        lines.append(f"| {module} | {row['operation']} | {fmt_time(row['pravel'])} | "
                     f"{row['baseline_name']} | {fmt_time(row['baseline'])} | "
                     f"{speed_up(row['baseline'] / row['pravel'])} |")
    return lines


def plot(rows: list[dict]) -> str | None:
    """Draws the wordguard plot; returns why not when it cannot."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter
    except ImportError:
        return "matplotlib is not installed"
    checks = [r for r in rows if r["script"] == "bench_wordguard.py" and r["operation"].startswith("check")]
    if not checks:
        return "bench_wordguard.py recorded no check times"
    series: dict[str, dict[int, float]] = {"pravel PromptBanChecker.check": {}}
    for row in checks:
        series["pravel PromptBanChecker.check"][row["words"]] = row["pravel"]
        series.setdefault(row["baseline_name"], {})[row["words"]] = row["baseline"]
    figure, axes = plt.subplots(figsize=(7.5, 5), dpi=120)
    for (label, points), marker in zip(series.items(), "osD^"):
        sizes = sorted(points)
        axes.plot(sizes, [points[n] for n in sizes], marker=marker, label=label)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:,.0f}"))
    axes.yaxis.set_major_formatter(FuncFormatter(lambda y, _: fmt_time(y)))
    axes.set_xlabel("banned words in the list")
    axes.set_ylabel("CPU time per check of a 1,000-character prompt")
    axes.set_title(f"wordguard: check time against word-list size\n"
                   f"Python {platform.python_version()}, {platform.machine()}, {cpu_model()}", fontsize=10)
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(PLOT)
    plt.close(figure)
    return None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="framekit without its 4000x3000 images")
    args = parser.parse_args()

    scripts = sorted(HERE.glob("bench_*.py"))
    started = datetime.now(timezone.utc)
    load_before = load_average()
    outputs, durations = {}, {}
    with tempfile.TemporaryDirectory() as folder:
        results = Path(folder) / "results.jsonl"
        results.touch()
        env = dict(os.environ, **{RESULTS_VARIABLE: str(results)})
        for script in scripts:
            outputs[script.name], durations[script.name] = run_script(
                script, script_arguments(script.name, args.quick), env)
        rows = [json.loads(line) for line in results.read_text(encoding="utf-8").splitlines()]
    load_after = load_average()
    no_plot = plot(rows)

    cpus = os.cpu_count() or 1
    loads = [f"{x:.2f}" for x in (load_before, load_after) if x is not None]
    lines = [
        "# Benchmark results",
        "",
        f"Measured by benchmarks/report.py on {started:%Y-%m-%d %H:%M} UTC"
        f"{' with --quick (framekit without its 4000x3000 images)' if args.quick else ''}.",
        "",
        f"- Python: {platform.python_implementation()} {platform.python_version()}",
        f"- Machine: {platform.machine()}, {cpus} CPUs ({cpu_model()}), {platform.system()} {platform.release()}",
        f"- Run time: {sum(durations.values()):.0f} s "
        f"({', '.join(f'{name} {sec:.0f} s' for name, sec in durations.items())})",
    ]
    if len(loads) == 2:
        busy = max(load_before or 0, load_after or 0) > cpus / 2
        lines.append(f"- Load average (1 min) before and after: {loads[0]} and {loads[1]}"
                     + (f" on {cpus} CPUs: the machine was shared with other work, so absolute"
                        " times are noisy. Each script takes the best of several interleaved"
                        " rounds, which keeps the ratios steadier than the times." if busy else ""))
    lines += [
        "",
        "Each row compares pravel with a baseline doing the same work, both timed in this run "
        "(the best round of several). Speed-up is baseline time ÷ pravel time: above 1× pravel "
        "is faster. The baselines: for framekit, the same steps written directly on Pillow "
        "(tests/plain/framekit.py); for orvid, response and shapelens, the same classes in "
        "plain Python (tests/plain/); "
        "for wordguard, the compiled expression's findall (what a plain-Python checker runs) and "
        "pyahocorasick. wordguard's times are CPU times of the process. orvid keeps recent "
        "results, so its 16 table rows repeat inputs; its fresh rows do not.",
        "",
        *table(rows),
        "",
        "## wordguard: check time against word-list size",
        "",
        f"![wordguard check time against word-list size]({PLOT.name})" if no_plot is None
        else f"(No plot: {no_plot}.)",
        "",
        "## Output of each script",
        "",
    ]
    for name, output in outputs.items():
        summary = " ".join([name, *script_arguments(name, args.quick)])
        lines += [f"<details><summary>{summary}</summary>", "",
                  "```", output.rstrip("\n"), "```", "", "</details>", ""]
    REPORT.write_text("\n".join(lines), encoding="utf-8")
    print(f"\nwrote {REPORT.relative_to(HERE.parent)}"
          + ("" if no_plot else f" and {PLOT.relative_to(HERE.parent)}"))


if __name__ == "__main__":
    main()

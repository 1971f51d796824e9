"""The extension modules written in plain Python: the same classes, steps and
messages, kept simple rather than fast; and framekit's adjust_size as the
bare Pillow pipeline (framekit.py).

They are the oracles of the tests and of the fuzzer, which compare pravel's
results and errors with theirs, and the baselines the benchmarks time pravel
against. All import them as `plain.<module>` with `tests/` on the path:
pytest puts it there (pyproject.toml), benchmarks/_bench.py and
tools/fuzz.py add it.
"""

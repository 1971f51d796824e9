"""The extension modules written in plain Python: the same classes, steps and
messages, kept simple rather than fast.

They are the oracles of the tests and of the fuzzer, which compare pravel's
results and errors with theirs, and the baselines the benchmarks time pravel
against. Tests import them as `plain.<module>` (pytest puts `benchmarks/` on
the path, see pyproject.toml); the benchmark scripts find them beside
themselves; tools/fuzz.py adds `benchmarks/` to its path.
"""

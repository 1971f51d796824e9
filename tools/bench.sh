#!/usr/bin/env bash
# The benchmark report: every benchmarks/bench_*.py in the 3.14 chroot,
# written to benchmarks/RESULTS.md and benchmarks/wordguard_scaling.png in
# this checkout (see benchmarks/report.py).
#
#   tools/bench.sh [--quick]     --quick: framekit without its 4000x3000 images
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
PRAVEL_CHROOT_COPY_BACK="benchmarks/RESULTS.md benchmarks/wordguard_scaling.png" \
    tools/chroot314.sh run bash -c '
        set -e
        python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
        python benchmarks/report.py "$@"' bench "$@"

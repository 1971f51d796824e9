#!/usr/bin/env bash
# Builds the extensions for Debian's debug build of CPython 3.14
# (python3.14-dbg: reference-count and object checks, assertions in the C
# API's inline functions, which our code then compiles in) in the 3.14 chroot,
# and runs the whole test suite on it in development mode (-X dev: more
# warnings and checks, the debug memory allocators).
#
#   tools/debug.sh [PYTEST ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
exec tools/chroot314.sh run env PRAVEL_CORE_TESTS=1 bash -c '
    set -e
    python3.14-dbg -m venv --without-pip --system-site-packages .debug-venv
    . .debug-venv/bin/activate
    python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
        -C cmake.define.PRAVEL_CORE_TESTS=ON -C build-dir=build/debug .
    python -X dev -P -m pytest -q -p no:cacheprovider "$@"' debug "$@"

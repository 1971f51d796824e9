#!/usr/bin/env bash
# Builds the extensions with AddressSanitizer and UndefinedBehaviorSanitizer in
# the 3.14 chroot, runs the whole test suite under them, then fuzzes the
# sanitized build for PRAVEL_FUZZ_SECONDS seconds (default 60; 0 skips it).
#
#   tools/sanitize.sh [PYTEST ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
exec tools/chroot314.sh run env PRAVEL_FUZZ_SECONDS="${PRAVEL_FUZZ_SECONDS:-60}" PRAVEL_CORE_TESTS=1 bash -c '
    set -e
    # The build directory lies in this run'"'"'s own copy: runs at the same time
    # share the chroot'"'"'s /tmp.
    python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
        -C cmake.define.PRAVEL_SANITIZE=ON -C cmake.define.PRAVEL_CORE_TESTS=ON \
        -C build-dir=build/asan .
    # The interpreter is not instrumented: the runtimes are preloaded (libstdc++
    # too, so that ASan intercepts C++ exceptions from the start), and
    # PYTHONMALLOC=malloc lets ASan see every object allocation.
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    export PYTHONMALLOC=malloc
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
    export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # --capture=sys: a report written just before the process dies must not stay
    # in a capture file.
    python -P -m pytest -q -p no:cacheprovider --capture=sys "$@"
    if [ "$PRAVEL_FUZZ_SECONDS" != 0 ]; then
        python tools/fuzz.py --seconds "$PRAVEL_FUZZ_SECONDS"
    fi' sanitize "$@"

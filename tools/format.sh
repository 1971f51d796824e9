#!/usr/bin/env bash
# Formats the C++ of src/ and tests/native/ by .clang-format, with the
# clang-format of PyPI's wheel (pinned, so that every machine formats alike),
# installed into the virtual environment of the tests (PRAVEL_VENV, default .venv).
#
#   tools/format.sh           format in place
#   tools/format.sh --check   only report what is not formatted (exit status 1)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
venv=${PRAVEL_VENV:-$top/.venv}
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
[ -x "$venv/bin/clang-format" ] ||
    "$venv/bin/python" -m pip install -q --disable-pip-version-check clang-format==19.1.7
cd "$top"
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/native/*.cpp')
if [ "${1:-}" = --check ]; then
    exec "$venv/bin/clang-format" --dry-run -Werror "${files[@]}"
fi
exec "$venv/bin/clang-format" -i "${files[@]}"

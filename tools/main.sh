#!/usr/bin/env bash
# The main job: builds pravel into a virtual environment on this machine and
# runs the demo on the bundled samples, writing its outputs to out/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
tools/setup-machine.sh
venv=${PRAVEL_VENV:-$top/.venv}
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check .
"$venv/bin/python" -P -m pravel demo --out "$top/out" "$@"

#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need on this machine
# (only those missing). Needs root when something is missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
missing=()
while read -r pkg; do
    case $pkg in ''|'#'*) continue ;; esac
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
done <"$top/tools/machine-packages.txt"
if [ ${#missing[@]} -gt 0 ]; then
    echo "[setup] installing ${missing[*]}" >&2
    apt-get -o Acquire::Check-Valid-Until=false update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Check-Valid-Until=false install -y -qq "${missing[@]}" >/dev/null
fi

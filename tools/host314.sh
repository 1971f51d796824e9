#!/usr/bin/env bash
# The former name of tools/chroot314.sh, kept for scripts that still call it.
exec "$(dirname "$0")/chroot314.sh" "$@"

#!/usr/bin/env bash
# with_display.sh ROOT WINE_PREFIX PROGRAM ARGS...: the Windows program under Wine on a
# private virtual display, which goes with it.
set -u
root="$1" prefix="$2"
shift 2
source "$root/scripts/lib/xvfb.sh"
xvfb_start 1280x1024 || exit 1
trap xvfb_stop EXIT
"$root/scripts/wine-run" --prefix "$prefix" "$@"

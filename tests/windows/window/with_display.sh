#!/usr/bin/env bash
# with_display.sh ROOT WINE_PREFIX PROGRAM ARGS...: the Windows program under Wine on a
# private virtual display, which goes with it.
set -u
root="$1" prefix="$2"
shift 2
source "$root/scripts/lib/xvfb.sh"
# Wine's desktop process comes up with the first program of a server and keeps that display:
# a fresh server on this display before, and none left holding a dead one after.
end_wine() { WINEPREFIX="$prefix" timeout 30 wineserver -k >/dev/null 2>&1 || true; }
end_wine
xvfb_start 1280x1024 || exit 1
trap 'end_wine; xvfb_stop' EXIT
"$root/scripts/wine-run" --prefix "$prefix" "$@"

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
# Screenshots the program asks for (LARKSPUR_SHOTS set): it writes NAME.request holding the crop
# (WxH+X+Y on the screen) into that folder; the picture lands there as NAME.png, then the
# request goes.
shots_pid=""
if [ -n "${LARKSPUR_SHOTS:-}" ]; then
  mkdir -p "$LARKSPUR_SHOTS"
  (
    while :; do
      for request in "$LARKSPUR_SHOTS"/*.request; do
        [ -f "$request" ] || continue
        timeout 20 import -window root -crop "$(cat "$request")" +repage "${request%.request}.png" 2>/dev/null
        rm -f "$request"
      done
      sleep 0.1
    done
  ) &
  shots_pid=$!
fi
trap '[ -n "$shots_pid" ] && kill "$shots_pid" 2>/dev/null; end_wine; xvfb_stop' EXIT
"$root/scripts/wine-run" --prefix "$prefix" "$@"

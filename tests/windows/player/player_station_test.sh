#!/usr/bin/env bash
# player_station_test.sh ROOT WINE_PREFIX PLAYER_EXE PROBE_EXE SHOT_DIR
# The whole station under Wine: a virtual display, the test sound server (a 1000 Hz microphone),
# a real Icecast; player.exe plays a tagged 440 Hz WAV through Plugins\dsp_wren.dll; xdotool
# presses Connect, holds Speak, presses Connect again; the player's window is closed. A listener,
# Icecast's status and the settings file tell what happened. Screenshots land in SHOT_DIR.
set -uo pipefail
root="$1" prefix="$2" player="$3" probe="$4" shots="$5"
source "$root/scripts/lib/icecast.sh"
source "$root/scripts/lib/pulse.sh"
source "$root/scripts/lib/settings.sh"
source "$root/scripts/lib/xvfb.sh"
work="$(mktemp -d /tmp/larkspur-win-player.XXXXXX)"
chmod 755 "$work"  # Icecast drops to its own user, which must reach its folder
mkdir -p "$shots" "$work/station"
rm -f "$shots/player-failure.png"  # only the last run's failure
player_pid="" listener_pid=""
cleanup() {
  [ -n "$listener_pid" ] && kill "$listener_pid" 2>/dev/null
  [ -n "$player_pid" ] && kill "$player_pid" 2>/dev/null && wait "$player_pid" 2>/dev/null
  pulse_stop
  icecast_stop
  xvfb_stop
  if [ "${LARKSPUR_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  [ -f "$work/player.log" ] && { echo "--- player.log"; grep -v '^ALSA lib' "$work/player.log" | tail -n 30; }
  DISPLAY="${DISPLAY:-}" timeout 20 import -window root "$shots/player-failure.png" 2>/dev/null
  exit 1
}

# Every Wine call is bounded; the probe gets a short bound of its own.
probe() { LARKSPUR_WINE_TIMEOUT=30 "$root/scripts/wine-run" --prefix "$prefix" "$probe" "$@" 2>/dev/null | tr -d '\r'; }
xdo() { timeout 10 xdotool "$@"; }
# until SECONDS_BOUND COMMAND...: polls COMMAND every 0.2 s until it succeeds or the bound passes.
until_ok() {
  local bound="$1" end
  shift
  end=$((SECONDS + bound))
  while ! "$@"; do
    [ $SECONDS -lt $end ] || return 1
    kill -0 "$player_pid" 2>/dev/null || return 1
    sleep 0.2
  done
}

xvfb_start 1280x1024 || fail "no virtual display"
icecast_start "$work/icecast" || fail "Icecast did not start"
pulse_start "$work/pulse" || fail "the sound server did not start"
pulse_feed_tone 1000 600
port="$ICECAST_PORT"
status="http://127.0.0.1:$port/status-json.xsl"
settings="$work/station/Larkspur_Settings.dat"
settings_write "$settings" 127.0.0.1 "$port" "$ICECAST_SOURCE_PASSWORD" "Larkspur Wine" "Ambient" \
  "http://127.0.0.1:$port/" "A station under Wine" audio/mpeg 128 || fail "cannot write the settings"
written_at="$(stat -c %.9Y "$settings")"
# The track: 440 Hz at half scale with its tags in the WAV's INFO chunk.
timeout 30 ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=30" \
  -af "volume=0.5" -ac 2 -c:a pcm_s16le -metadata artist="Wren Test" -metadata title="Wine Tone" \
  "$work/tone.wav" || fail "cannot make the test track"

(cd "$work/station" && LARKSPUR_WINE_TIMEOUT=200 exec "$root/scripts/wine-run" --prefix "$prefix" "$player" --loop "Z:$work/tone.wav") \
  >"$work/player.log" 2>&1 &
player_pid=$!

# ---- the configuration window: 259 x 416 client area (meters below the pages), centred, with the host's title known ----
config_up() { probe config >"$work/config.txt" && grep -q "^window " "$work/config.txt"; }
until_ok 90 config_up || fail "the configuration window did not appear"
read -r _ left top right bottom _ cw ch _ sw sh <"$work/config.txt"
echo "configuration window: $(cat "$work/config.txt")"
[ "$cw" = 259 ] && [ "$ch" = 416 ] || fail "client area ${cw}x${ch}, not 259x416"
ow=$((right - left)) oh=$((bottom - top))
[ $((left - (sw - ow) / 2)) -ge -1 ] && [ $((left - (sw - ow) / 2)) -le 1 ] &&
  [ $((top - (sh - oh) / 2)) -ge -1 ] && [ $((top - (sh - oh) / 2)) -le 1 ] ||
  fail "the window at $left,$top (${ow}x${oh}) is not centred on ${sw}x${sh}"
host_title="$(probe host)"
[ "$host_title" = "1. Wren Test - Wine Tone - Winamp" ] || fail "the host's title is '$host_title'"

# control N: sets cx cy (its centre) and ctext.
control() {
  local l t r b vis
  read -r l t r b vis ctext < <(probe control "$1")
  [ "${vis:-}" = visible ] || return 1
  cx=$(((l + r) / 2)) cy=$(((t + b) / 2))
}
shoot() {
  sleep 0.3  # the page's repaint after the event that showed it
  timeout 20 import -window root -crop "$((ow + 40))x$((oh + 40))+$((left - 20))+$((top - 20))" +repage "$shots/$1.png" ||
    fail "no screenshot $1"
}
tab_is() { [ "$(probe tab)" = "$1" ]; }

# ---- a screenshot of each tab, chosen with the mouse along the tab row ----
control 31 || fail "no Connect toggle on the first page"
[ "$ctext" = Connect ] || fail "control 31 reads '$ctext'"
shoot player-window-streaming
read -r tl tt tr _ < <(probe control 0)
x=$((tl + 25))
for page in 1 2 3; do
  # The tabs' widths follow their texts in the system's font: step right until the page turns.
  while ! tab_is "$page"; do
    x=$((x + 20))
    [ $x -lt "$tr" ] || fail "no tab on the tab row turned to page $page"
    xdo mousemove "$x" $((tt + 10)) click 1
    until_ok 2 tab_is "$page"  # the window thread turns the page in its own time
  done
  shoot "player-window-page$page"
done
# Tabs that do not fit scroll the row; its left arrow brings the first one back into view.
first_tab() {
  local al at ar ab
  read -r al at ar ab < <(probe arrows)
  [ "$al" != none ] && xdo mousemove $(((3 * al + ar) / 4)) $(((at + ab) / 2)) click 1
  xdo mousemove $((tl + 25)) $((tt + 10)) click 1
  until_ok 2 tab_is 0
}
for _ in 1 2 3 4; do first_tab && break; done
tab_is 0 || fail "the first tab did not come back"

# ---- Connect: on the air with the station's metadata and the track's title ----
source_field() {
  python3 - "$1" "$work/status.json" <<'PY'
import json, sys
src = json.load(open(sys.argv[2]))["icestats"].get("source")
src = (src[0] if isinstance(src, list) else src) or {}
print(src.get(sys.argv[1], ""))
PY
}
fetch_status() { curl -s --max-time 2 "$status" >"$work/status.json"; }
on_air() { fetch_status && grep -q '"listenurl"' "$work/status.json"; }
titled() { on_air && [ "$(source_field title)" = "Wren Test - Wine Tone" ]; }
control 31 || fail "the Connect toggle went away"
xdo mousemove "$cx" "$cy" click 1
until_ok 30 on_air || fail "no source reached Icecast after Connect"
until_ok 15 titled || fail "the track's title did not reach the server (title '$(source_field title)')"
for pair in "server_name=Larkspur Wine" "genre=Ambient" "server_description=A station under Wine"; do
  got="$(source_field "${pair%%=*}")"
  [ "$got" = "${pair#*=}" ] || fail "${pair%%=*} is '$got', expected '${pair#*=}'"
done
[ "$(probe checked 31)" = 1 ] || fail "the Connect toggle is not down while on the air"
echo "on the air: $(source_field server_name) / $(source_field genre) / $(source_field title)"
shoot player-window-on-air

# ---- Speak, held with the mouse: the music drops to its level, the microphone opens ----
heard="$work/heard.raw"
timeout 60 ffmpeg -nostdin -loglevel error -t 20 -i "http://127.0.0.1:$port/live" -ac 1 -ar 44100 -f s16le "$heard" &
listener_pid=$!
heard_seconds() { echo $(($(stat -c %s "$heard" 2>/dev/null || echo 0) / 88200)); }
heard_at_least() { [ "$(heard_seconds)" -ge "$1" ]; }
# The listener first gets Icecast's burst (a few seconds already played), then real time.
until_ok 30 heard_at_least 7 || fail "the listener heard too little before Speak"
control 38 || fail "no Speak button"
xdo mousemove "$cx" "$cy" mousedown 1
until_ok 30 heard_at_least 14 || fail "the listener heard too little while speaking"
shoot player-window-speaking
xdo mouseup 1
wait "$listener_pid"
listener_pid=""
python3 - "$heard" <<'PY' || fail "Speak did not switch the levels at the listener"
import math, struct, sys
raw = open(sys.argv[1], "rb").read()
s = struct.unpack("<%dh" % (len(raw) // 2), raw[: len(raw) // 2 * 2])
win = 4410  # 0.1 s: whole periods of 440, 700 and 1000 Hz
def level(chunk, freq):
    re = sum(x * math.cos(2 * math.pi * freq * i / 44100) for i, x in enumerate(chunk))
    im = sum(x * math.sin(2 * math.pi * freq * i / 44100) for i, x in enumerate(chunk))
    return 2 * math.hypot(re, im) / len(chunk)
rows = [(level(c, 440), level(c, 1000), level(c, 700)) for c in (s[i:i + win] for i in range(0, len(s) - win, win))]
mic_peak = max(r[1] for r in rows)
music_peak = max(r[0] for r in rows)
med = lambda v: sorted(v)[len(v) // 2]
# Before the first press and after the release the microphone is closed and the music at its
# level.
closed = [i for i, r in enumerate(rows) if r[1] < 0.02 * mic_peak and r[0] > 0.5 * music_peak]
full = med([rows[i][0] for i in closed]) if closed else 0
# Held: the microphone open and the music well below its level.
held = [i for i, r in enumerate(rows) if r[1] > 0.3 * mic_peak and r[0] < 0.6 * full]
after = [i for i in closed if held and i > max(held)]
print("listener: %d windows, %d held, %d after the release; peaks 440 Hz %.0f, 1000 Hz %.0f"
      % (len(rows), len(held), len(after), music_peak, mic_peak))
if len(held) < 20 or len(after) < 20:
    sys.exit("FAIL: expected seconds of Speak held and seconds after its release")
lowered = med([rows[i][0] for i in held])
noise = med([rows[i][2] for i in after])  # the floor beside the music alone
print("music level %.0f after the release, %.0f while Speak is held (%.2f; the record says 0.30); "
      "700 Hz floor %.0f" % (full, lowered, lowered / full, noise))
if not (0.2 < lowered / full < 0.42):
    sys.exit("FAIL: the music was not lowered to its speaking level")
if not (mic_peak > 20 * noise and full > 20 * noise):
    sys.exit("FAIL: the tones do not stand out of the floor")
PY

# ---- Disconnect: off the air, no encoder left ----
# Counted inside this Wine server: other builds on the machine may run encoders of their own.
lame_processes() { probe processes lame.exe; }
[ "$(lame_processes)" -ge 1 ] || fail "no lame.exe of this station while on the air"
off_air() { fetch_status && ! grep -q '"listenurl"' "$work/status.json"; }
no_encoder() { [ "$(lame_processes)" = 0 ]; }
control 31 || fail "the Connect toggle went away"
xdo mousemove "$cx" "$cy" click 1
until_ok 15 off_air || fail "the source stayed on Icecast after Disconnect"
until_ok 10 no_encoder || fail "an encoder process outlived Disconnect"
[ "$(probe checked 31)" = 0 ] || fail "the Connect toggle is still down"
echo "disconnected: off the air, no encoder process"

# ---- Quit: the host's window closes, the module saves the settings ----
probe close-host >/dev/null || fail "no host window to close"
end=$((SECONDS + 60))
while kill -0 "$player_pid" 2>/dev/null && [ $SECONDS -lt $end ]; do sleep 0.2; done
kill -0 "$player_pid" 2>/dev/null && fail "the player did not end within 60 s of its window closing"
wait "$player_pid"
rc=$?
player_pid=""
[ $rc -eq 0 ] || fail "the player ended with status $rc"
grep -q "player: stopping (window closed)" "$work/player.log" || fail "the player did not stop for its window"
size=$(stat -c %s "$settings")
[ "$size" = 2584 ] || fail "the settings file has $size bytes, not 2584"
[ "$(stat -c %.9Y "$settings")" != "$written_at" ] || fail "Quit did not write the settings file"
[ "$(settings_text "$settings" 0)" = 127.0.0.1 ] && [ "$(settings_int "$settings" 1785)" = "$port" ] ||
  fail "the saved settings lost the server"
echo "quit: the settings file written again ($size bytes); screenshots in $shots"

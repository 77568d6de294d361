#!/usr/bin/env bash
# station_test.sh ROOT WINE_PREFIX STATION_EXE [restart]: a real Icecast and the test sound
# server on loopback, the Windows station under Wine, a listener that checks what went on the
# air. With "restart" the sound server is killed and started again in the middle: the
# microphone must come back by itself.
set -u
root="$1" prefix="$2" exe="$3" restart="${4:-}"
source "$root/scripts/lib/icecast.sh"
source "$root/scripts/lib/pulse.sh"
work="$(mktemp -d /tmp/larkspur-win-station.XXXXXX)"
chmod 755 "$work"  # Icecast drops to its own user, which must reach its folder
cleanup() {
  [ -n "${station_pid:-}" ] && kill "$station_pid" 2>/dev/null
  pulse_stop
  icecast_stop
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

icecast_start "$work/icecast" || fail "Icecast did not start"
pulse_start "$work/pulse" || fail "the sound server did not start"
pulse_feed_tone 1000 60
export LARKSPUR_ICECAST_PORT="$ICECAST_PORT" LARKSPUR_ICECAST_PASSWORD="$ICECAST_SOURCE_PASSWORD"
export LARKSPUR_ON_AIR_SECONDS=14
[ -n "$restart" ] && LARKSPUR_ON_AIR_SECONDS=30

"$root/scripts/wine-run" --prefix "$prefix" "$exe" --gtest_brief=1 >"$work/station.log" 2>&1 &
station_pid=$!

status="http://127.0.0.1:$ICECAST_PORT/status-json.xsl"
on_air=0
for _ in $(seq 1 200); do
  if curl -s "$status" | grep -q '"listenurl"'; then on_air=1; break; fi
  kill -0 "$station_pid" 2>/dev/null || break
  sleep 0.1
done
[ $on_air -eq 1 ] || { cat "$work/station.log"; fail "no source reached Icecast"; }

listen() {  # SECONDS FILE
  timeout 20 ffmpeg -nostdin -loglevel error -t "$1" -i "http://127.0.0.1:$ICECAST_PORT/live" -ac 1 -ar 44100 \
    -f s16le "$2"
}
if [ -n "$restart" ]; then
  listen 3 "$work/before.raw" || fail "the listener heard nothing"
  kill -9 "$PULSE_PID" 2>/dev/null
  pulse_feed_stop
  rm -f "$work/pulse/native"
  pulse_start "$work/pulse" || fail "the sound server did not start again"
  pulse_feed_tone 1000 60
  listen 4 "$work/return.raw" || fail "the station left the air with the sound server"
fi

listen 5 "$work/heard.raw" || fail "the listener heard nothing"
curl -s "$status" >"$work/status.json"

wait "$station_pid"
rc=$?
station_pid=""
grep -v '^ALSA lib' "$work/station.log"
[ $rc -eq 0 ] || fail "the Windows station failed ($rc)"

PYTHONIOENCODING=utf-8 python3 - "$work/heard.raw" "$work/status.json" <<'PY' || exit 1
import json, math, struct, sys
raw = open(sys.argv[1], "rb").read()
n = len(raw) // 2
samples = struct.unpack("<%dh" % n, raw[: n * 2])[-44100 * 2:]
def level(freq):
    re = sum(s * math.cos(2 * math.pi * freq * i / 44100) for i, s in enumerate(samples))
    im = sum(s * math.sin(2 * math.pi * freq * i / 44100) for i, s in enumerate(samples))
    return math.hypot(re, im) / max(len(samples), 1)
host, mic, quiet = level(440), level(1000), level(700)
print("listener: 440 Hz %.0f, 1000 Hz %.0f, 700 Hz %.0f" % (host, mic, quiet))
ok = len(samples) > 44100 and host > 10 * quiet and mic > 10 * quiet
src = json.load(open(sys.argv[2], encoding="utf-8"))["icestats"]["source"]
src = src[0] if isinstance(src, list) else src
print("status: %s / %s / %s / %s" % (src.get("server_name"), src.get("genre"), src.get("server_description"), src.get("title")))
# An MP3 stream's texts are Latin-1 on a stock Icecast: the en dash arrives as '-'.
for key, want in (("server_name", "Night Owl FM - Caf\u00e9 \u00c6r\u00f8"), ("genre", "Jazz \u00b7 Chanson"),
                  ("server_description", "D\u00e9j\u00e0 vu, late"),
                  ("title", "Beyonc\u00e9 & Sigur R\u00f3s - D\u00e9j\u00e0 vu - \u00c6r\u00f8 Stra\u00dfe")):
    if src.get(key) != want:
        print("FAIL: %s is %r, expected %r" % (key, src.get(key), want)); ok = False
if not ok:
    print("FAIL: the host's tone and the microphone's were not both on the air"); sys.exit(1)
PY
echo "on the air: host tone, microphone, metadata and title"

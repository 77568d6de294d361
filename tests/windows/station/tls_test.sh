#!/usr/bin/env bash
# tls_test.sh ROOT WINE_PREFIX TLS_EXE: a real Icecast with a TLS port whose certificate comes
# from a fresh test CA; the Windows build casts to it under Wine, untrusted first, then with
# the CA in the prefix's root store; the server's status says what arrived.
set -u
root="$1" prefix="$2" exe="$3"
source "$root/scripts/lib/icecast.sh"
work="$(mktemp -d /tmp/larkspur-win-tls.XXXXXX)"
chmod 755 "$work"  # Icecast drops to its own user, which must reach its folder
cleanup() {
  [ -n "${station_pid:-}" ] && kill "$station_pid" 2>/dev/null
  [ -n "${old_pid:-}" ] && kill "$old_pid" 2>/dev/null
  icecast_stop
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

icecast_test_certificate "$work" || fail "openssl could not make the test certificate"
ICECAST_TLS_CERT="$work/server-bundle.pem" icecast_start "$work/icecast" || fail "Icecast did not start"
export LARKSPUR_ICECAST_TLS_PORT="$ICECAST_TLS_PORT" LARKSPUR_ICECAST_PASSWORD="$ICECAST_SOURCE_PASSWORD"
# A server of the same certificate that speaks nothing newer than TLS 1.1.
old_port="$(icecast_free_port)"
openssl s_server -quiet -accept "127.0.0.1:$old_port" -cert "$work/server.pem" -key "$work/server.key" \
  -tls1_1 -cipher 'DEFAULT:@SECLEVEL=0' >/dev/null 2>&1 </dev/null &
old_pid=$!
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$old_port") 2>/dev/null && break
  kill -0 "$old_pid" 2>/dev/null || fail "openssl s_server did not start"
  sleep 0.05
done
export LARKSPUR_OLD_TLS_PORT="$old_port"
# Wine sees the root folder as drive Z:.
export LARKSPUR_TEST_CA="Z:$work/ca.pem" LARKSPUR_TLS_SEEN="Z:$work/seen"
wine() { "$root/scripts/wine-run" --prefix "$prefix" "$exe" --gtest_brief=1 "$@"; }
show() { grep -v '^ALSA lib' "$1"; }

wine --gtest_filter='WindowsTls.Untrusted*' >"$work/untrusted.log" 2>&1
grep -q '^\[  PASSED  \] 1 test' "$work/untrusted.log" || { show "$work/untrusted.log"; fail "the untrusted cases"; }

wine --gtest_filter='WindowsTls.Trusted*' >"$work/trusted.log" 2>&1 &
station_pid=$!
status="http://127.0.0.1:$ICECAST_PORT/status-json.xsl"
want='
import json, sys
try:
    src = json.load(sys.stdin)["icestats"].get("source", [])
except ValueError:
    sys.exit(1)
src = src if isinstance(src, list) else [src]
got = {s["listenurl"].rsplit("/", 1)[1]: (s.get("server_name"), s.get("title")) for s in src}
sys.exit(0 if got.get("live") == ("Secure Owl", "Wren Test - Over TLS") and
         got.get("other") == ("Secure Lark", "Wren Test - By Address") else 1)'
seen=0
for _ in $(seq 1 1200); do  # bounded by the station's own wait too; Wine may be slow to start
  if curl -s --max-time 3 "$status" | python3 -c "$want"; then seen=1; break; fi
  kill -0 "$station_pid" 2>/dev/null || break
  sleep 0.1
done
# What a listener hears decodes: the records the station sealed arrived whole and in order.
heard=0
if [ $seen -eq 1 ] &&
   timeout 20 ffmpeg -nostdin -loglevel error -t 2 -i "http://127.0.0.1:$ICECAST_PORT/live" -f null - >"$work/ffmpeg.log" 2>&1 &&
   [ ! -s "$work/ffmpeg.log" ]; then
  heard=1
fi
touch "$work/seen"
wait "$station_pid"
station_pid=""
grep -q '^\[  PASSED  \] 1 test' "$work/trusted.log" || { show "$work/trusted.log"; curl -s "$status"; echo; fail "the trusted cases"; }
[ $seen -eq 1 ] || { curl -s "$status"; echo; fail "the sources and titles over TLS did not reach Icecast"; }
[ $heard -eq 1 ] || { cat "$work/ffmpeg.log"; fail "the stream sent over TLS did not decode at a listener"; }
echo "over TLS: untrusted, TLS 1.1 and wrong host refused; two sources, their titles and a stream that decodes"

#!/usr/bin/env bash
# The demo's settings writer: the module's 2584-byte layout, field by field, and it never
# replaces a file that is there.
set -u
source "$1/scripts/lib/settings.sh"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
failures=0
check() {  # WHAT GOT WANT
  if [ "$2" != "$3" ]; then echo "FAIL: $1: got '$2', want '$3'"; failures=$((failures + 1)); fi
}

f="$dir/Larkspur_Settings.dat"
long="$(printf 'x%.0s' $(seq 1 300))"
settings_write "$f" 127.0.0.1 8123 'pa ss"word' "Larkspur Demo" "Ambient" "http://127.0.0.1:8123/" "$long" audio/mpeg 128
check "status" "$?" 0
check "size" "$(wc -c <"$f")" 2584
check "server" "$(settings_text "$f" 0)" 127.0.0.1
check "password" "$(settings_text "$f" 255)" 'pa ss"word'
check "station name" "$(settings_text "$f" 510)" "Larkspur Demo"
check "url" "$(settings_text "$f" 765)" "http://127.0.0.1:8123/"
check "genre" "$(settings_text "$f" 1020)" "Ambient"
check "description cut to 255" "$(settings_text "$f" 1275)" "${long:0:255}"
check "content type" "$(settings_text "$f" 1530)" "audio/mpeg"
check "port" "$(settings_int "$f" 1785)" 8123
check "bitrate" "$(settings_int "$f" 1789)" 128
check "public, auto reconnect" "$(od -An -t d1 -j 1793 -N 2 "$f" | xargs)" "0 0"
check "levels" "$(od -An -t d4 -j 1795 -N 12 "$f" | xargs)" "100 100 30"
check "format" "$(od -An -t d4 -j 1807 -N 12 "$f" | xargs)" "44100 2 0"
check "contacts empty" "$(tail -c 765 "$f" | tr -d '\000' | wc -c)" 0

# An existing file is the user's: left alone, byte for byte.
before="$(md5sum <"$f")"
settings_write "$f" other.example.org 9000 x y z w v 2>/dev/null
check "refuses to replace" "$?" 1
check "existing file untouched" "$(md5sum <"$f")" "$before"
settings_write "$dir/bad.dat" 127.0.0.1 "80a" x y z w v 2>/dev/null
check "bad port refused" "$?" 1
check "nothing written for a bad port" "$(ls "$dir" | wc -l)" 1

[ "$failures" -eq 0 ] && echo "settings writer: all checks passed"
exit $((failures > 0))

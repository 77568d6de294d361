# The station's settings file, Larkspur_Settings.dat (2584 bytes: four raw blocks of the
# station record, no header). Source this file, then:
#   settings_write FILE SERVER PORT PASSWORD NAME GENRE URL DESCRIPTION [CONTENT_TYPE] [BITRATE]
#       writes a complete file (levels 100/30/100, 44100 Hz, 2 channels, capture device 0);
#       refuses (status 1) to replace an existing file
#   settings_text FILE OFFSET     a text field (offsets: server 0, password 255, station name 510)
#   settings_int FILE OFFSET      a 32-bit field (port 1785, bitrate 1789, sample rate 1807)

# A 255-byte text field: at most 255 bytes of the text, then NUL bytes.
_settings_field() {
  local n
  n=$(printf '%s' "$1" | head -c 255 | wc -c)
  printf '%s' "$1" | head -c 255
  head -c $((255 - n)) /dev/zero
}

# 32-bit little-endian two's complement.
_settings_int32() {
  local v=$(($1 & 0xFFFFFFFF))
  # shellcheck disable=SC2059
  printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255)))"
}

_settings_byte() {
  # shellcheck disable=SC2059
  printf "$(printf '\\%03o' $(($1 & 255)))"
}

settings_write() {
  local file="$1" server="$2" port="$3" password="$4" name="$5" genre="$6" url="$7" description="$8"
  local type="${9:-audio/mpeg}" bitrate="${10:-128}"
  if [ -e "$file" ]; then
    echo "settings_write: $file exists; not replacing it" >&2
    return 1
  fi
  case "$port" in '' | *[!0-9]*) echo "settings_write: bad port '$port'" >&2; return 1 ;; esac
  local tmp="$file.tmp.$$"
  {
    # Block 1: texts, port, bitrate, public, auto reconnect.
    _settings_field "$server"; _settings_field "$password"; _settings_field "$name"
    _settings_field "$url"; _settings_field "$genre"; _settings_field "$description"
    _settings_field "$type"
    _settings_int32 "$port"; _settings_int32 "$bitrate"; _settings_byte 0; _settings_byte 0
    # Block 2: music level, capture level while speaking, music level while speaking.
    _settings_int32 100; _settings_int32 100; _settings_int32 30
    # Block 3: sample rate, channels, capture device.
    _settings_int32 44100; _settings_int32 2; _settings_int32 0
    # Block 4: the contact entries, empty.
    _settings_field ""; _settings_field ""; _settings_field ""
  } >"$tmp" || { rm -f "$tmp"; return 1; }
  if [ "$(wc -c <"$tmp")" -ne 2584 ]; then
    echo "settings_write: wrote $(wc -c <"$tmp") bytes, not 2584" >&2
    rm -f "$tmp"
    return 1
  fi
  # Never over a file that appeared meanwhile.
  if ! ln "$tmp" "$file" 2>/dev/null; then
    rm -f "$tmp"
    echo "settings_write: cannot create $file" >&2
    return 1
  fi
  rm -f "$tmp"
}

settings_text() {
  tail -c +$(($2 + 1)) "$1" 2>/dev/null | head -c 255 | tr '\000' '\n' | head -n 1
}

settings_int() {
  od -An -t d4 -j "$2" -N 4 "$1" 2>/dev/null | tr -d ' '
}

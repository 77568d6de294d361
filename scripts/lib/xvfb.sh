# A private virtual display. Source this file, then:
#   xvfb_start [WIDTHxHEIGHT]   starts Xvfb on a free display number; sets XVFB_PID, XVFB_DIR
#                               and exports DISPLAY
#   xvfb_stop                   ends it and removes its folder

xvfb_start() {
  local size="${1:-1280x1024}"
  XVFB_DIR=$(mktemp -d /tmp/xvfb.XXXXXX)
  mkfifo "$XVFB_DIR/displayfd"
  # -displayfd picks a free display itself and writes its number once it accepts clients;
  # -noreset keeps it from turning clients away while it resets after its last one left.
  Xvfb -displayfd 5 -noreset -screen 0 "${size}x24" -nolisten tcp \
    5>"$XVFB_DIR/displayfd" >"$XVFB_DIR/xvfb.log" 2>&1 &
  XVFB_PID=$!
  local number=""
  if ! read -r -t 10 number <"$XVFB_DIR/displayfd" || [ -z "$number" ]; then
    echo "xvfb_start: Xvfb did not start (see $XVFB_DIR/xvfb.log)" >&2
    xvfb_stop
    return 1
  fi
  export DISPLAY=":$number"
  export XVFB_PID XVFB_DIR
}

xvfb_stop() {
  if [ -n "${XVFB_PID:-}" ]; then
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
  fi
  [ -n "${XVFB_DIR:-}" ] && rm -rf "$XVFB_DIR"
  unset XVFB_PID XVFB_DIR
}

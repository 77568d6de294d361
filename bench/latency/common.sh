# Shared by bench/peers/run and bench/latency/run: services, the player, process-tree figures.
# Source after setting lh_root (the checkout) and lh_work (a private temp folder).

source "$lh_root/scripts/lib/packages.sh"
source "$lh_root/scripts/lib/icecast.sh"
source "$lh_root/scripts/lib/pulse.sh"
source "$lh_root/scripts/lib/settings.sh"
source "$lh_root/scripts/lib/xvfb.sh"

lh_die() {
  # A picture of our own virtual display shows what the window said.
  if [ -n "${XVFB_PID:-}" ] && import -window root "$lh_work/screen.png" 2>/dev/null; then
    set -- "$*; screen in $lh_work/screen.png"
  fi
  echo "$(basename "$0"): $*" >&2
  exit 1
}
lh_note() { echo "-- $*" >&2; }

# Builds into $1 the targets given after it, or by default the player, the module, the encoder
# links and the latency helpers (these need the benchmarks configured in).
lh_build() {
  local build="$1"; shift
  local bench=()
  if [ $# -eq 0 ]; then
    set -- player dsp_wren player_encoders larkspur_latency larkspur_latency_probe
    bench=(-DLARKSPUR_BENCH=ON)
  fi
  cmake -S "$lh_root" -B "$build" -G Ninja "${bench[@]}" >"$lh_work/cmake.log" 2>&1 ||
    { tail -20 "$lh_work/cmake.log" >&2; lh_die "cmake failed (see above)"; }
  cmake --build "$build" --target "$@" -j "$(nproc)" >"$lh_work/build.log" 2>&1 ||
    { tail -30 "$lh_work/build.log" >&2; lh_die "the build failed (see above)"; }
}

# Stops one process we started (and its children), politely, then firmly.
lh_stop_tree() {
  local pid="$1" i
  [ -n "$pid" ] || return 0
  local kids
  kids="$(lh_tree_pids "$pid" | tail -n +2)"
  kill "$pid" 2>/dev/null
  for i in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" $kids 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  return 0
}

# pid, then every descendant
lh_tree_pids() {
  ps -e -o pid=,ppid= | awk -v root="$1" '
    { parent[$1] = $2; pids[NR] = $1 }
    END {
      print root; want[root] = 1
      do {
        grew = 0
        for (i in pids) { p = pids[i]; if (!(p in want) && (parent[p] in want)) { want[p] = 1; print p; grew = 1 } }
      } while (grew)
    }'
}

# CPU clock ticks used by a process tree so far: its own and its reaped children's.
lh_tree_ticks() {
  local total=0 pid line
  for pid in $(lh_tree_pids "$1"); do
    line="$(cat "/proc/$pid/stat" 2>/dev/null)" || continue
    line="${line##*) }"
    total=$((total + $(echo "$line" | awk '{ print $12 + $13 + $14 + $15 }')))
  done
  echo "$total"
}

# Peak resident memory, in kB, of one process.
lh_peak_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }

# The descendant of a tree whose program name is $2 (first found).
lh_find_in_tree() {
  local pid
  for pid in $(lh_tree_pids "$1"); do
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$2" ] && { echo "$pid"; return 0; }
  done
  return 1
}

# Bytes the server has read from the source on a mount so far; empty while it is not there.
lh_mount_bytes() {
  curl -s -m 2 -u "admin:$ICECAST_ADMIN_PASSWORD" "http://127.0.0.1:$ICECAST_PORT/admin/stats" |
    awk -v m="$1" '
      index($0, "<source mount=\"" m "\"") { on = 1 }
      on && match($0, /<total_bytes_read>[0-9]+/) { print substr($0, RSTART + 18, RLENGTH - 18); exit }
      on && /<\/source>/ { exit }'
}

# Waits up to $2 seconds for a source on mount $1.
lh_wait_mount() {
  local i
  for i in $(seq 1 $(($2 * 10))); do
    [ -n "$(lh_mount_bytes "$1")" ] && return 0
    sleep 0.1
  done
  return 1
}

# The configuration window: the visible one of at least 259 x 416 (it may grow to the right
# and below) and smaller than the screen's root window; the player's own window is 420 x 70.
lh_config_window() {
  local w
  for w in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
    if xdotool getwindowgeometry "$w" 2>/dev/null |
         awk -F '[ x]+' '/Geometry:/ { ok = $3 >= 259 && $3 < 1000 && $4 >= 416 && $4 < 1000 } END { exit !ok }'; then
      echo "$w"
      return 0
    fi
  done
  return 1
}

# Presses Connect (control 31, at 13,13 on the first tab page, 130 x 25) with the mouse;
# the page starts below the tab row, at y 65 + the row's height.
lh_press_connect() {
  local w="" i
  for i in $(seq 1 100); do
    w="$(lh_config_window)" && break
    sleep 0.1
  done
  [ -n "$w" ] || return 1
  sleep 0.5  # let the window fill itself
  xdotool mousemove --window "$w" 78 $((65 + ${LARKSPUR_TAB_ROW:-24} + 25)) click 1
}

# Presses Hold (control 39, at 178,223 on the first tab page, 70 x 30): the microphone, closed
# from Connect until the presenter speaks, stays open at its "while speaking" level.
lh_press_hold() {
  local w
  w="$(lh_config_window)" || return 1
  xdotool mousemove --window "$w" 213 $((65 + ${LARKSPUR_TAB_ROW:-24} + 238)) click 1
}

# A private PulseAudio server with a test microphone: null sink "micfeed" remapped as the
# source "mic" (description Test_Mic, the default source). Source this file, then:
#   pulse_start [DIR]          sets PULSE_DIR, PULSE_PID and exports PULSE_SERVER
#   pulse_feed_tone FREQ [SECONDS] [RATE]   paced tone into the microphone; sets PULSE_FEED_PID
#   pulse_feed_stop
#   pulse_stop
source "$(dirname "${BASH_SOURCE[0]}")/process.sh"

pulse_start() {
  local dir="${1:-$(mktemp -d /tmp/pulse.XXXXXX)}"
  mkdir -p "$dir/cfg"
  cat >"$dir/config.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
load-module module-null-sink sink_name=micfeed sink_properties=device.description=MicFeed
load-module module-remap-source master=micfeed.monitor source_name=mic source_properties=device.description=Test_Mic
set-default-source mic
PA
  XDG_RUNTIME_DIR="$dir" XDG_CONFIG_HOME="$dir/cfg" HOME="$dir" pulseaudio -n -F "$dir/config.pa" \
    --daemonize=no --exit-idle-time=-1 --log-level=error --system=no --use-pid-file=no \
    >"$dir/pulse.log" 2>&1 &
  PULSE_PID=$!
  PULSE_DIR=$dir
  export PULSE_SERVER="unix:$dir/native" PULSE_DIR PULSE_PID
  local i
  for i in $(seq 1 100); do
    if pactl info >/dev/null 2>&1; then return 0; fi
    kill -0 "$PULSE_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "pulse_start: the sound server did not start (see $dir/pulse.log)" >&2
  pulse_stop
  return 1
}

pulse_feed_tone() {
  local freq="${1:-1000}" secs="${2:-60}" rate="${3:-44100}"
  pulse_feed_stop
  ( sox -q -n -t raw -r "$rate" -e signed -b 16 -c 2 - synth "$secs" sine "$freq" |
      pacat --playback --latency-msec=20 --device=micfeed --format=s16le --rate="$rate" \
        --channels=2 --raw ) &
  PULSE_FEED_PID=$!
  export PULSE_FEED_PID
}

pulse_feed_stop() {
  [ -n "${PULSE_FEED_PID:-}" ] || return 0
  pkill -P "$PULSE_FEED_PID" 2>/dev/null
  kill "$PULSE_FEED_PID" 2>/dev/null
  wait "$PULSE_FEED_PID" 2>/dev/null
  unset PULSE_FEED_PID
}

pulse_stop() {
  pulse_feed_stop
  [ -n "${PULSE_PID:-}" ] || return 0
  stop_started "$PULSE_PID"
  unset PULSE_PID
}

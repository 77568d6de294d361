# Stopping a service this script started. Source this file, then:
#   stop_started PID     TERM, up to 2.5 s to go, then KILL; reaped when it is our child
stop_started() {
  local pid="$1" i
  kill -CONT "$pid" 2>/dev/null  # a frozen process cannot act on TERM
  kill "$pid" 2>/dev/null
  for i in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

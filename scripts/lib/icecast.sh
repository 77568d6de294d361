# A private Icecast 2 on loopback with a SHOUTcast v1 source port (PORT + 1) for /live.
# Source this file, then:
#   icecast_start [DIR] [SOURCE_PASSWORD] [ADMIN_PASSWORD]
#       sets ICECAST_PORT, ICECAST_DIR, ICECAST_PID, ICECAST_SOURCE_PASSWORD, ICECAST_ADMIN_PASSWORD;
#       with ICECAST_TLS_CERT (key and certificate in one PEM) also a TLS port, ICECAST_TLS_PORT,
#       on 127.0.0.1 and 127.0.0.2 (an address the certificate need not name); with
#       ICECAST_EXTRA_XML that text too, inside <icecast> (a relay, a further authentication)
#   icecast_test_certificate DIR    a test CA (DIR/ca.pem) and a certificate it signed for
#                                   localhost and 127.0.0.1 (DIR/server-bundle.pem)
#   icecast_stop
#   icecast_free_port        prints a free loopback port whose successor is free too
source "$(dirname "${BASH_SOURCE[0]}")/process.sh"

# Below the range outgoing connections draw their local ports from: no client can take it
# between this choice and Icecast's bind.
icecast_free_port() {
  python3 - <<'PY' 2>/dev/null || shuf -i 10000-32000 -n 1
import random, socket
try:
    low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
except (OSError, ValueError, IndexError):
    low = 32768
for _ in range(500):
    p = random.randint(10000, max(11000, low - 2))
    try:
        for q in (p, p + 1):
            s = socket.socket(); s.bind(("127.0.0.1", q)); s.close()
    except OSError:
        s.close(); continue
    print(p); break
PY
}

icecast_start() {
  local dir="${1:-$(mktemp -d /tmp/icecast.XXXXXX)}"
  local pass="${2:-hackme}" admin="${3:-adminpass}"
  mkdir -p "$dir/log"
  local try
  for try in 1 2 3 4 5; do
    local port tls_port=""
    port="$(icecast_free_port)"
    if [ -n "${ICECAST_TLS_CERT:-}" ]; then
      tls_port="$(icecast_free_port)"
      [ "$tls_port" = "$port" ] || [ "$tls_port" = "$((port + 1))" ] && continue
    fi
    cat >"$dir/icecast.xml" <<XML
<icecast>
  <limits><sources>4</sources><clients>32</clients></limits>
  <authentication><source-password>$pass</source-password>
    <admin-user>admin</admin-user><admin-password>$admin</admin-password></authentication>
  <hostname>127.0.0.1</hostname>
  <listen-socket><port>$port</port><bind-address>127.0.0.1</bind-address>
    <shoutcast-mount>/live</shoutcast-mount></listen-socket>
  <mount type="normal"><mount-name>/live</mount-name></mount>
  <paths><logdir>$dir/log</logdir><pidfile>$dir/icecast.pid</pidfile>
    <webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>
  <logging><errorlog>error.log</errorlog><accesslog>access.log</accesslog><loglevel>2</loglevel></logging>
  <security><chroot>0</chroot>
XML
    if [ "$(id -u)" -eq 0 ]; then
      chown -R icecast2:icecast "$dir/log" 2>/dev/null || true
      echo '    <changeowner><user>icecast2</user><group>icecast</group></changeowner>' >>"$dir/icecast.xml"
    fi
    echo '  </security>' >>"$dir/icecast.xml"
    [ -n "$tls_port" ] && cat >>"$dir/icecast.xml" <<XML
  <listen-socket><port>$tls_port</port><bind-address>127.0.0.1</bind-address><ssl>1</ssl></listen-socket>
  <listen-socket><port>$tls_port</port><bind-address>127.0.0.2</bind-address><ssl>1</ssl></listen-socket>
  <paths><ssl-certificate>$ICECAST_TLS_CERT</ssl-certificate></paths>
XML
    [ -n "${ICECAST_EXTRA_XML:-}" ] && printf '%s\n' "$ICECAST_EXTRA_XML" >>"$dir/icecast.xml"
    echo '</icecast>' >>"$dir/icecast.xml"
    chmod 755 "$dir"
    icecast2 -c "$dir/icecast.xml" >"$dir/stdout.log" 2>&1 &
    local pid=$!
    local i
    for i in $(seq 1 100); do
      if ! kill -0 "$pid" 2>/dev/null; then break; fi
      # Up once its stats thread has set up the counters: a connection that comes before makes
      # Icecast 2.4 crash (its increment finds no counter), and a probe may be that connection,
      # so a server that dies is started again.
      if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && (exec 3<>"/dev/tcp/127.0.0.1/$((port + 1))") 2>/dev/null &&
         curl -s --max-time 3 -u "admin:$admin" "http://127.0.0.1:$port/admin/stats" | grep -q '<listener_connections>' &&
         { [ -z "$tls_port" ] || curl -sk -o /dev/null --max-time 3 "https://127.0.0.1:$tls_port/status-json.xsl"; } &&
         kill -0 "$pid" 2>/dev/null; then
        ICECAST_PORT=$port ICECAST_DIR=$dir ICECAST_PID=$pid ICECAST_TLS_PORT=$tls_port
        ICECAST_SOURCE_PASSWORD=$pass ICECAST_ADMIN_PASSWORD=$admin
        export ICECAST_PORT ICECAST_DIR ICECAST_PID ICECAST_TLS_PORT ICECAST_SOURCE_PASSWORD ICECAST_ADMIN_PASSWORD
        return 0
      fi
      sleep 0.05
    done
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  done
  echo "icecast_start: Icecast did not start (see $dir/log, $dir/stdout.log)" >&2
  return 1
}

icecast_test_certificate() {  # DIR
  (cd "$1" &&
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj '/CN=Larkspur Test CA' &&
    openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj '/CN=localhost' &&
    printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >san.cnf &&
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile san.cnf &&
    cat server.pem server.key >server-bundle.pem && chmod 644 server-bundle.pem) >/dev/null 2>&1
}

icecast_stop() {
  [ -n "${ICECAST_PID:-}" ] || return 0
  stop_started "$ICECAST_PID"
  unset ICECAST_PID
}

#!/usr/bin/env bash
# Memory of our HTTP server under clients that send and never read: N connections (2,048 by default, the
# service's whole limit, 32 from each of as many loopback addresses), each with a 4 KiB receive buffer, pipeline
# GET /static/config.js (32 KiB) with a 60,000-byte header and never read an answer. The server's RSS over a
# while is set against its idle RSS (the service's bound: less than 200 MiB more), and a fresh client is served
# once all are open. "tls" as the fourth argument runs the same over HTTPS (a certificate made with openssl),
# where each connection takes four of the slots: the last 512 opened hold them all.
# Usage: bench/httpunread.sh <build dir> [connections] [seconds] [tls]
set -euo pipefail

build=${1:?usage: $0 <build dir> [connections] [seconds] [tls]}
connections=${2:-2048}
seconds=${3:-20}
tls=${4:-}
server_bin="$build/bench/bench_httpserver"
# The client's sockets need descriptors too; the server raises its own limit itself.
ulimit -n "$(ulimit -Hn)"

. "$(dirname "$0")/benchserver.sh"
scheme=http
if [ "$tls" = tls ]; then
    scheme=https
    mkdir -p "$work/tls/ssl"
    openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout "$work/tls/ssl/server.key" \
        -out "$work/tls/ssl/server.crt" 2>/dev/null
    start_bench_server 0 "$connections" "$work/tls"
else
    start_bench_server 0 "$connections"
fi
read -r _ port _ _ < "$work/server.out"

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$server_pid/status"; }
idle=$(rss_kib)
peak=$idle
python3 - "$port" "$connections" "$seconds" "$tls" "$work/connected" > "$work/sent" <<'PY' &
import socket, ssl, sys, time
port, count, seconds, tls = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), sys.argv[4] == "tls"
request = b"GET /static/config.js HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"h" * 60000 + b"\r\n\r\n"
context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
context.check_hostname = False
context.verify_mode = ssl.CERT_NONE
socks, sent = [], 0
for i in range(count):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.bind(("127.0.0.%d" % (1 + i // 32), 0))
    s.connect(("127.0.0.1", port))
    if tls:
        s = context.wrap_socket(s)
    s.setblocking(False)
    socks.append([s, 0])
open(sys.argv[5], "w").close()
end = time.time() + seconds
while time.time() < end:
    for entry in socks:
        try:
            written = entry[0].send(request[entry[1]:])
            sent += written
            entry[1] = (entry[1] + written) % len(request)
        except (BlockingIOError, ssl.SSLWantWriteError, ssl.SSLWantReadError):
            pass
        except OSError:
            entry[1] = -1
    socks = [entry for entry in socks if entry[1] >= 0]
    time.sleep(0.01)
print(f"{sent / 1048576:.0f} {len(socks)}")
PY
client_pid=$!
fresh=none
turns=0
while kill -0 "$client_pid" 2>/dev/null; do
    now=$(rss_kib)
    [ "$now" -gt "$peak" ] && peak=$now
    [ -e "$work/connected" ] && turns=$((turns + 1))
    # Once every connection is open and the budget has had time to fill.
    if [ "$fresh" = none ] && [ "$turns" -ge 30 ]; then
        fresh=$(curl -k -s -o /dev/null -m 5 -w '%{http_code}' "$scheme://127.0.0.1:$port/bench" || true)
    fi
    sleep 0.1
done
wait "$client_pid"
kill -0 "$server_pid" 2>/dev/null && alive=yes || alive=no
read -r mib open < "$work/sent"
echo "$connections $scheme connections pipelining 60,000-byte heads, never reading, ${seconds}s: $mib MiB written;" \
     "$open still open at the end (the others were closed to make room or refused a head while the budget was spent)"
echo "server alive: $alive, a fresh client answered $fresh"
echo "RSS idle $idle KiB, peak $peak KiB, grown $(( (peak - idle) / 1024 )) MiB (target less than 200 MiB)"

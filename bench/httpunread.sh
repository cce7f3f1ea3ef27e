#!/usr/bin/env bash
# Memory of our HTTP server under clients that send and never read: N connections (64 by default) from one
# address, each with a 4 KiB receive buffer, pipeline GET /static/config.js (32 KiB) with a 60,000-byte
# header and never read an answer. The server's RSS over a while is set against its idle RSS (the service's
# bound: less than 100 MB more), and a fresh client is served meanwhile.
# Usage: bench/httpunread.sh <build dir> [connections] [seconds]
set -euo pipefail

build=${1:?usage: $0 <build dir> [connections] [seconds]}
connections=${2:-64}
seconds=${3:-20}
server_bin="$build/bench/bench_httpserver"

. "$(dirname "$0")/benchserver.sh"
start_bench_server 0 "$connections"
read -r _ port _ _ < "$work/server.out"

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$server_pid/status"; }
idle=$(rss_kib)
peak=$idle
python3 - "$port" "$connections" "$seconds" > "$work/sent" <<'PY' &
import socket, sys, time
port, count, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
request = b"GET /static/config.js HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"h" * 60000 + b"\r\n\r\n"
socks, sent = [], 0
for _ in range(count):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", port))
    s.setblocking(False)
    socks.append([s, 0])
end = time.time() + seconds
while time.time() < end:
    for entry in socks:
        try:
            sent += entry[0].send(request[entry[1]:])
            entry[1] = 0
        except BlockingIOError:
            pass
        except OSError:
            pass
    time.sleep(0.01)
print(f"{sent / 1048576:.0f}")
PY
client_pid=$!
fresh=none
while kill -0 "$client_pid" 2>/dev/null; do
    now=$(rss_kib)
    [ "$now" -gt "$peak" ] && peak=$now
    if [ "$fresh" = none ]; then
        fresh=$(curl -s -o /dev/null -m 5 -w '%{http_code}' "http://127.0.0.1:$port/bench" || true)
    fi
    sleep 0.1
done
wait "$client_pid"
kill -0 "$server_pid" 2>/dev/null && alive=yes || alive=no
echo "$connections connections pipelining 60,000-byte heads, never reading, ${seconds}s: $(cat "$work/sent") MiB taken by the kernels"
echo "server alive: $alive, a fresh client answered $fresh"
echo "RSS idle $idle KiB, peak $peak KiB, grown $(( (peak - idle) / 1024 )) MiB (target less than 100 MiB)"

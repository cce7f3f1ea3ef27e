#!/usr/bin/env bash
# Memory and latency of our HTTP server after bursts of idle connections: N connections (10,000 by
# default, from 40 loopback addresses) are opened, held a second and closed, three times; then the
# server's RSS is set against its idle RSS and one fresh request is timed. With the service's own
# limits most of each burst is turned away at once; a third argument lets the server hold them all.
# Usage: bench/httpidle.sh <build dir> [connections] [server connection limit]
set -euo pipefail

build=${1:?usage: $0 <build dir> [connections] [limit]}
connections=${2:-10000}
limit=${3:-}
server_bin="$build/bench/bench_httpserver"
# The client's sockets need descriptors too; the server raises its own limit itself.
ulimit -n "$(ulimit -Hn)"

. "$(dirname "$0")/benchserver.sh"
start_bench_server 0 $limit
read -r _ port _ _ < "$work/server.out"

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$server_pid/status"; }

# Milliseconds of one GET /bench on a new connection, the best of three.
fresh_ms() {
    python3 - "$port" <<'PY'
import socket, sys, time
best = None
for _ in range(3):
    start = time.perf_counter()
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
    s.sendall(b"GET /bench HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    while s.recv(65536):
        pass
    s.close()
    took = (time.perf_counter() - start) * 1000
    best = took if best is None else min(best, took)
print(f"{best:.2f}")
PY
}

burst() {
    python3 - "$port" "$connections" <<'PY'
import selectors, socket, sys, time
port, count = int(sys.argv[1]), int(sys.argv[2])
sel = selectors.DefaultSelector()
socks = []
for i in range(count):
    s = socket.socket()
    s.setblocking(False)
    s.bind((f"127.0.0.{2 + i // 250}", 0))
    s.connect_ex(("127.0.0.1", port))
    sel.register(s, selectors.EVENT_WRITE)
    socks.append(s)
pending, connected = count, 0
deadline = time.time() + 30
while pending and time.time() < deadline:
    for key, _ in sel.select(timeout=1):
        sel.unregister(key.fileobj)
        pending -= 1
        connected += key.fileobj.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0
time.sleep(1)
held = 0
for s in socks:
    try:
        s.recv(1, socket.MSG_PEEK)  # end of stream or a reset: the server closed it
    except BlockingIOError:
        held += 1
    except OSError:
        pass
    s.close()
print(connected, held)
PY
}

fresh_ms > /dev/null
idle=$(rss_kib)
echo "idle: RSS $idle KiB, a fresh request in $(fresh_ms) ms"
for round in 1 2 3; do
    read -r connected held <<<"$(burst)"
    echo "burst $round: $connections opened ($connected connected, $held not closed by the server within 1 s), RSS $(rss_kib) KiB"
done
sleep 3 # the server hands memory back a second after a burst has gone
after=$(rss_kib)
latency=$(fresh_ms)
awk -v a="$after" -v i="$idle" -v l="$latency" 'BEGIN {
    printf "after: RSS %d KiB = %.2fx idle (target 1.5x), a fresh request in %s ms (target 10 ms)\n", a, a / i, l }'

#!/usr/bin/env bash
# Memory of our HTTP server under request bodies it must refuse: N connections (96 by default) each declare
# a 16 MiB body and send 3 MiB of it at once; every one should be answered 413 before its body is read, and
# the server's RSS should stay near its idle RSS (the service's bound: less than 100 MB more).
# Usage: bench/httpbody.sh <build dir> [connections]
set -euo pipefail

build=${1:?usage: $0 <build dir> [connections]}
connections=${2:-96}
server_bin="$build/bench/bench_httpserver"

. "$(dirname "$0")/benchserver.sh"
start_bench_server
read -r _ port _ _ < "$work/server.out"

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$server_pid/status"; }
idle=$(rss_kib)
peak=$idle
python3 - "$port" "$connections" > "$work/statuses" <<'PY' &
import socket, sys, threading
port, count = int(sys.argv[1]), int(sys.argv[2])
chunk = b"b" * (64 * 1024)
results = []
def one():
    s = socket.create_connection(("127.0.0.1", port))
    s.settimeout(20)
    s.sendall(b"POST /bench HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % (16 * 1024 * 1024))
    try:
        for _ in range(48):  # 3 MiB
            s.sendall(chunk)
    except OSError:
        pass  # refused and closed: the rest is not wanted
    answer = b""
    try:
        while b"\r\n" not in answer:
            data = s.recv(4096)
            if not data:
                break
            answer += data
    except OSError:
        pass
    results.append(answer.split(b" ")[1].decode() if b" " in answer else "none")
threads = [threading.Thread(target=one) for _ in range(count)]
for t in threads: t.start()
for t in threads: t.join()
print("\n".join(results))
PY
client_pid=$!
while kill -0 "$client_pid" 2>/dev/null; do
    now=$(rss_kib)
    [ "$now" -gt "$peak" ] && peak=$now
    sleep 0.05
done
wait "$client_pid"
echo "$connections connections declaring 16 MiB, 3 MiB sent each: $(sort "$work/statuses" | uniq -c | awk '{printf "%s %s; ", $1, $2}')"
echo "RSS idle $idle KiB, peak $peak KiB, grown $(( (peak - idle) / 1024 )) MiB"

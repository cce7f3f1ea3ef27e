#!/usr/bin/env bash
# Requests per second and p99 latency of a small JSON answer with keep-alive, 1 and 50 connections,
# for our HTTP server (one thread) and for nginx (one worker) serving a file of the same size, both on
# loopback. Needs wrk and nginx (not part of scripts/setup: install them for the benchmark only).
# Usage: bench/httpserver.sh <build dir> [seconds per run]
set -euo pipefail

build=${1:?usage: $0 <build dir> [seconds]}
seconds=${2:-10}
server_bin="$build/bench/bench_httpserver"
for tool in wrk nginx; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

. "$(dirname "$0")/benchserver.sh"
nginx_started=
stop_others() {
    [ -n "$nginx_started" ] && nginx -p "$work" -c "$work/nginx.conf" -s stop 2>/dev/null || true
}
# wrk's connections all come from one address: the per-client limit is raised so that all of them are served.
start_bench_server 0 2048
read -r _ port _ body_size < "$work/server.out"

# nginx: one worker, a private prefix, a file as large as our JSON answer.
nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/html" "$work/logs"
head -c "$body_size" /dev/zero | tr '\0' 'x' > "$work/html/bench.json"
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
daemon on;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $work/tmp_body;
    proxy_temp_path $work/tmp_proxy;
    fastcgi_temp_path $work/tmp_fastcgi;
    uwsgi_temp_path $work/tmp_uwsgi;
    scgi_temp_path $work/tmp_scgi;
    keepalive_requests 100000000;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/html;
        default_type application/json;
    }
}
CONF
nginx -p "$work" -c "$work/nginx.conf"
nginx_started=1

run() { # name url connections
    local out rps p99
    out=$(wrk -t1 -c"$3" -d"${seconds}s" --latency "$2")
    rps=$(awk '/^Requests\/sec/ {print $2}' <<<"$out")
    p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
    printf '%-8s %3s connections: %10s requests/s   p99 %s\n' "$1" "$3" "$rps" "$p99"
    echo "$rps" > "$work/rps_$1_$3"
}

echo "JSON answer of $body_size bytes, keep-alive, ${seconds}s per run, wrk with one thread"
for c in 1 50; do
    run ours "http://127.0.0.1:$port/bench" "$c"
    run nginx "http://127.0.0.1:$nginx_port/bench.json" "$c"
    awk -v a="$(cat "$work/rps_ours_$c")" -v b="$(cat "$work/rps_nginx_$c")" \
        'BEGIN { printf "ratio ours/nginx with %d connections: %.2f\n", '"$c"', a / b }'
done

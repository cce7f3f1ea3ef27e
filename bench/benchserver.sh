# Sourced by the HTTP benchmarks: a scratch directory in $work, removed at exit together with the server
# (a benchmark with more to stop defines stop_others); start_bench_server starts bench_httpserver with the
# given arguments in the background (its pid in server_pid) and waits for its first line, "port <port> ...",
# which it leaves in $work/server.out for the caller to read.
work=$(mktemp -d)
server_pid=
stop_others() { :; }
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    stop_others
    rm -rf "$work"
}
trap cleanup EXIT

start_bench_server() {
    "$server_bin" "$@" > "$work/server.out" 2>/dev/null &
    server_pid=$!
    for _ in $(seq 50); do
        grep -q '^port' "$work/server.out" 2>/dev/null && break
        sleep 0.1
    done
}

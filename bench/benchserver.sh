# Sourced by the HTTP benchmarks: starts bench_httpserver with the given arguments in the background
# (its pid in server_pid) and waits for its first line, "port <port> ...", which it leaves in
# $work/server.out for the caller to read.
start_bench_server() {
    "$server_bin" "$@" > "$work/server.out" 2>/dev/null &
    server_pid=$!
    for _ in $(seq 50); do
        grep -q '^port' "$work/server.out" 2>/dev/null && break
        sleep 0.1
    done
}

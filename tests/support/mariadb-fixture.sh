#!/usr/bin/env bash
# A private MariaDB server for the tests: its own datadir, 127.0.0.1 on a free port, its own socket and pid files.
#
#   mariadb-fixture.sh start DIR [WATCH_PID]   initialise DIR (first time) and start the server; writes DIR/mariadb.env
#   mariadb-fixture.sh halt DIR                stop the server and keep its data (a later start reuses data and port)
#   mariadb-fixture.sh stop DIR                stop the server and remove DIR
#
# The server must never outlive the run that started it: a watchdog stops it and removes DIR when WATCH_PID (by
# default the caller, i.e. ctest or the test program) is gone, or after ORVIX_MARIADB_MAX_LIFETIME seconds.
set -euo pipefail

readonly database=orvix_test
readonly user=orvix
readonly password='orvix-test-secret'
readonly max_lifetime=${ORVIX_MARIADB_MAX_LIFETIME:-7200}

die() {
    echo "mariadb-fixture: $*" >&2
    [ -n "${dir:-}" ] && [ -f "$dir/error.log" ] && tail -n 20 "$dir/error.log" >&2
    exit 1
}

find_tool() {
    local name
    for name in "$@"; do
        if command -v "$name" >/dev/null 2>&1; then command -v "$name"; return 0; fi
        if [ -x "/usr/sbin/$name" ]; then echo "/usr/sbin/$name"; return 0; fi
    done
    return 1
}

# Whether the process still runs. A zombie has ended: where nothing reaps orphans (a container whose first process is
# no init), a stopped server stays one, and waiting for it to go would cost the whole TERM and KILL grace.
running() {
    local state
    kill -0 "$1" 2>/dev/null || return 1
    state=$(sed -e 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

server_pid() {
    local pid
    [ -f "$dir/mariadbd.pid" ] || return 1
    pid=$(cat "$dir/mariadbd.pid" 2>/dev/null) || return 1
    [ -n "$pid" ] && running "$pid" || return 1
    # A stale pid file must never make us kill an unrelated process.
    grep -q -e mariadbd -e mysqld "/proc/$pid/comm" 2>/dev/null || return 1
    echo "$pid"
}

kill_server() {
    local pid i
    rm -f "$dir/mariadb.env"
    pid=$(server_pid) || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 1 100); do
        running "$pid" || return 0
        sleep 0.1
    done
    echo "mariadb-fixture: mariadbd (pid $pid) still running 10 s after SIGTERM; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
    for i in $(seq 1 50); do
        running "$pid" || return 0
        sleep 0.1
    done
}

kill_watchdog() {
    local pid
    [ -f "$dir/watchdog.pid" ] || return 0
    pid=$(cat "$dir/watchdog.pid" 2>/dev/null) || true
    rm -f "$dir/watchdog.pid"
    # Never kill ourselves: the watchdog runs this script to clean up.
    if [ -n "$pid" ] && [ "$pid" != "$$" ] && [ "$pid" != "${WATCHDOG_SELF:-}" ]; then
        kill -TERM "$pid" 2>/dev/null || true
    fi
}

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# A port outside the kernel's range of local ports: a port inside it may become, at any moment, the local end of an
# outgoing connection or the port of a server listening on port 0 (the fake AMI and CRM servers), and a halted server
# must find its port free when it starts again.
pick_port() {
    local low=32768 high=60999 first=20000 span=40000 port i
    read -r low high </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
    if [ "$low" -gt 11024 ]; then
        first=10000
        span=$((low - first))
    elif [ "$high" -lt 64535 ]; then
        first=$((high + 1))
        span=$((65536 - first))
    fi
    for i in $(seq 1 50); do
        port=$((first + RANDOM % span))
        if ! port_in_use "$port"; then echo "$port"; return 0; fi
    done
    return 1
}

client() {
    "$mariadb" --no-defaults --protocol=socket --socket="$socket" -uroot "$@"
}

launch() {
    local port=$1 i
    rm -f "$dir/mariadbd.pid"
    local user_opt=()
    [ "$(id -u)" -eq 0 ] && user_opt=(--user=root)
    setsid "$mariadbd" --no-defaults "${user_opt[@]}" \
        --datadir="$dir/data" --tmpdir="$dir/tmp" \
        --bind-address=127.0.0.1 --port="$port" --skip-name-resolve \
        --socket="$socket" --pid-file="$dir/mariadbd.pid" --log-error="$dir/error.log" \
        --innodb-buffer-pool-size=32M --innodb-log-file-size=16M --innodb-flush-log-at-trx-commit=0 \
        --skip-log-bin --max-connections=200 \
        </dev/null >>"$dir/error.log" 2>&1 &
    local pid=$!
    for i in $(seq 1 300); do
        if ! running "$pid"; then
            return 1
        fi
        if client -e 'SELECT 1' >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    return 1
}

start_watchdog() {
    local watch=$1
    # Detached from ctest's pipes, or ctest would wait for it.
    WATCH_PID=$watch DIR=$dir SCRIPT=$0 MAX=$max_lifetime setsid bash -c '
        trap "exit 0" TERM
        started=$SECONDS
        while kill -0 "$WATCH_PID" 2>/dev/null && [ $((SECONDS - started)) -lt "$MAX" ]; do
            sleep 1
        done
        WATCHDOG_SELF=$$ bash "$SCRIPT" stop "$DIR"
    ' </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/watchdog.pid"
}

cmd_start() {
    local watch=${1:-$PPID}
    local fresh=0 port
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    socket="$dir/mariadbd.sock"
    if [ ${#socket} -gt 100 ]; then
        # Unix socket paths are limited to 108 bytes.
        [ -f "$dir/socketdir" ] || mktemp -d /tmp/orvix-mariadb.XXXXXX >"$dir/socketdir"
        socket="$(cat "$dir/socketdir")/mariadbd.sock"
    fi

    kill_watchdog
    kill_server
    if [ ! -d "$dir/data/mysql" ]; then
        fresh=1
        rm -rf "$dir/data" "$dir/tmp" "$dir/port"
        mkdir -p "$dir/data" "$dir/tmp"
        local user_opt=()
        [ "$(id -u)" -eq 0 ] && user_opt=(--user=root)
        # Its own tmpdir: bootstraps of parallel tests must not meet in /tmp.
        "$install_db" --no-defaults "${user_opt[@]}" --datadir="$dir/data" --tmpdir="$dir/tmp" \
            --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1 \
            || { cat "$dir/install.log" >&2; die "mariadb-install-db failed"; }
    fi
    mkdir -p "$dir/tmp"

    if [ -f "$dir/port" ]; then
        # A restart keeps its port, so clients reconnect to the same address.
        port=$(cat "$dir/port")
        local i
        for i in $(seq 1 50); do
            launch "$port" && break
            port=""
            sleep 0.2
        done
        [ -n "$port" ] || die "mariadbd did not start again on port $(cat "$dir/port")"
    else
        local tries
        for tries in 1 2 3 4 5; do
            port=$(pick_port) || die "no free port"
            if launch "$port"; then break; fi
            port=""
        done
        [ -n "$port" ] || die "mariadbd did not start"
        echo "$port" >"$dir/port"
    fi

    if [ "$fresh" -eq 1 ]; then
        # The test user may create its own scratch databases, and kill its own connections.
        client <<SQL || die "creating the test database and user failed"
CREATE DATABASE IF NOT EXISTS \`$database\`;
CREATE USER IF NOT EXISTS '$user'@'127.0.0.1' IDENTIFIED BY '$password';
CREATE USER IF NOT EXISTS '$user'@'localhost' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO '$user'@'127.0.0.1';
GRANT ALL PRIVILEGES ON *.* TO '$user'@'localhost';
FLUSH PRIVILEGES;
SQL
    fi

    start_watchdog "$watch"

    cat >"$dir/mariadb.env.tmp" <<ENV
host=127.0.0.1
port=$port
database=$database
user=$user
password=$password
socket=$socket
ENV
    mv "$dir/mariadb.env.tmp" "$dir/mariadb.env"
    echo "mariadb-fixture: mariadbd on 127.0.0.1:$port (datadir $dir/data)"
}

cmd_halt() {
    [ -d "$dir" ] || return 0
    kill_server
}

cmd_stop() {
    [ -d "$dir" ] || return 0
    kill_watchdog
    kill_server
    if [ -f "$dir/socketdir" ]; then
        rm -rf "$(cat "$dir/socketdir")"
    fi
    rm -rf "$dir"
}

[ $# -ge 2 ] || die "usage: $0 start|halt|stop DIR [WATCH_PID]"
action=$1
dir=$2
shift 2

mariadbd=$(find_tool mariadbd mysqld) || die "mariadbd not found (install mariadb-server)"
install_db=$(find_tool mariadb-install-db mysql_install_db) || die "mariadb-install-db not found"
mariadb=$(find_tool mariadb mysql) || die "mariadb client not found (install mariadb-client)"

case "$action" in
    start) cmd_start "$@" ;;
    halt) cmd_halt ;;
    stop) cmd_stop ;;
    *) die "unknown action $action" ;;
esac

#!/usr/bin/env bash
# The service's cost under load as bench_service measures it on the built executable (10,000 calls up, then 1,000
# CEL rows a second for 20 s, then a burst of some 20,000 CEL rows of new calls written at once while it runs; a
# portal that takes the calls and answers every tenth write 450 ms late, a front end of 2,000 idle connections),
# this build against an older one in the same run. The older one is a throw-away work tree outside this one, e.g.
#   git worktree add --detach /tmp/old f0653ab
# whose executable is built there (configured first when it has no build dir yet); bench_service is this build's.
# Runs each build $RUNS times (3 by default), alternately, and prints the medians and their ratios (this build / the
# older); every run's own lines come first.
# Usage: bench/serviceload.sh <older tree> [build dir, default ./build] [bench_service options]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
old=${1:?usage: $0 <older tree> [build dir] [bench_service options]}
shift
build=$root/build
if [[ $# -gt 0 && $1 != --* ]]; then
    build=$1
    shift
fi
old=$(cd "$old" && pwd)
build=$(cd "$build" && pwd)
case "$old/" in "$root"/*) echo "the older tree must lie outside $root" >&2; exit 2 ;; esac

[[ -f $old/build/CMakeCache.txt ]] || cmake -S "$old" -B "$old/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$old/build" -j 2 --target calvena > /dev/null
cmake --build "$build" -j 2 --target calvena bench_service > /dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One run of one build: its figures appended to $work/<name>.<figure>.
measure() {
    local name=$1 binary=$2
    # From the tests' own folder, where the recorded calls are found by their path relative to it.
    (cd "$root/tests/pbx/asterisk" && "$build/bench/bench_service" --binary "$binary" "${@:3}") > "$work/out"
    cat "$work/out" >&2
    for figure in cpu written behind drain burstcpu crm; do
        sed -n "s/^figure $figure //p" "$work/out" >> "$work/$name.$figure"
    done
}

for ((i = 0; i < ${RUNS:-3}; ++i)); do
    measure older "$old/build/src/app/calvena" "$@"
    measure newer "$build/src/app/calvena" "$@"
done

median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'; }
echo "older build ($(git -C "$old" rev-parse --short HEAD)), this build ($(git -C "$root" rev-parse --short HEAD)):"
for figure in cpu written drain burstcpu crm; do
    o=$(median "$work/older.$figure")
    n=$(median "$work/newer.$figure")
    unit=$(case $figure in
        cpu) echo "% of a core, stream" ;;
        written) echo "MB/s written, stream" ;;
        drain) echo "s from the burst's first row written to its last saved as read" ;;
        burstcpu) echo "CPU s the service used meanwhile" ;;
        crm) echo "s until the burst's CRM work was done" ;;
    esac)
    awk -v f="$figure" -v o="$o" -v n="$n" -v u="$unit" 'BEGIN { printf "%-8s %8.2f %8.2f  ratio %.2f  (%s)\n", f, o, n, n / o, u }'
done
echo "rows behind 0.5 s after the stream's end, worst run: older $(sort -g "$work/older.behind" | tail -1), this $(sort -g "$work/newer.behind" | tail -1)"

#!/usr/bin/env bash
# The CPU the service spends per second of CEL traffic on the call tracker and the CRM task queue's scheduling
# (bench_tracker --load: 10,000 calls up and 1,000 rows a second by default), this build against an older one
# in the same run. The older one is a throw-away work tree outside this one, e.g.
#   git worktree add --detach /tmp/old 7bf6537
# This bench's source is copied into it and built there (configured first when it has no build dir yet).
# Runs each build three times, alternately, and prints the medians and their ratio (this build / the older);
# with --instructions, one run each under callgrind and the instructions of the measured part instead.
# Usage: bench/trackerload.sh <older tree> [build dir, default ./build] [--instructions] [bench_tracker options]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
old=${1:?usage: $0 <older tree> [build dir] [--instructions] [bench_tracker options]}
shift
build=$root/build
if [[ $# -gt 0 && $1 != --* ]]; then
    build=$1
    shift
fi
instructions=0
if [[ ${1:-} == --instructions ]]; then
    instructions=1
    shift
fi
old=$(cd "$old" && pwd)
case "$old/" in "$root"/*) echo "the older tree must lie outside $root" >&2; exit 2 ;; esac

cp "$root/bench/bench_tracker.cpp" "$old/bench/bench_tracker.cpp"
[[ -f $old/build/CMakeCache.txt ]] || cmake -S "$old" -B "$old/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$old/build" -j "$(nproc)" --target bench_tracker > /dev/null
cmake --build "$build" -j "$(nproc)" --target bench_tracker > /dev/null

args=(--load --fixtures "$root/tests/fixtures/asterisk20" "$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One figure of one build.
measure() {
    local binary=$1/bench/bench_tracker
    if [[ $instructions == 1 ]]; then
        valgrind --tool=callgrind --collect-atstart=no '--toggle-collect=*runTrackerLoad*' \
            --callgrind-out-file="$work/callgrind.out" "$binary" "${args[@]}" --seconds 10 2> "$work/valgrind" \
            | grep -v '^cpu_ms' >&2
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/valgrind"
    else
        "$binary" "${args[@]}" | tee /dev/stderr | sed -n 's/^cpu_ms_per_traffic_second //p'
    fi
}

median() { sort -g | sed -n 2p; }

if [[ $instructions == 1 ]]; then
    older=$(measure "$old/build")
    newer=$(measure "$build")
    unit="instructions per 10 s of traffic"
else
    for i in 1 2 3; do
        measure "$old/build" >> "$work/older"
        measure "$build" >> "$work/newer"
    done
    older=$(median < "$work/older")
    newer=$(median < "$work/newer")
    unit="ms CPU per second of traffic"
fi
echo "older build ($(git -C "$old" rev-parse --short HEAD)): $older $unit"
echo "this build ($(git -C "$root" rev-parse --short HEAD)): $newer $unit"
awk -v n="$newer" -v o="$older" 'BEGIN { printf "ratio this/older: %.2f\n", n / o }'

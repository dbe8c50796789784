#!/usr/bin/env bash
# Runs the tests that depend most on timing again and again on a loaded
# machine, where a test that fails by chance shows itself: every test that
# drives a program on a pseudo-terminal (default preset), and the whole
# Windows test sets under Wine (win64; win32 through
# scripts/wine32_namespace.sh). Busy loops run beside them, as many as asked,
# and end with the script.
#
# Usage: bash scripts/soak.sh [--runs N] [--busy N] [terminal|win64|win32]...
#   --runs N   runs of each (default 200)
#   --busy N   busy loops beside the tests (default 2)
#   no set named: all three
# Builds each preset it needs (install the packages first, e.g. with
# bash scripts/test.sh --preset P). Prints a line per run and a summary,
# keeps the log of every failed run, and exits 1 if any run failed.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=200
busy=2
sets=()
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) runs=$2; shift 2 ;;
    --busy) busy=$2; shift 2 ;;
    terminal | win64 | win32) sets+=("$1"); shift ;;
    *) echo "usage: $0 [--runs N] [--busy N] [terminal|win64|win32]..." >&2; exit 2 ;;
    esac
done
[ ${#sets[@]} -gt 0 ] || sets=(terminal win64 win32)

# The tests that start a program on a pseudo-terminal of its own.
terminal_tests='^(KbdseedTerminal|KbdseedAttacks|Progress)\.'
jobs=$(nproc 2>/dev/null || echo 2)
logs=$(mktemp -d)
loops=()
stop_loops() {
    [ ${#loops[@]} -eq 0 ] || kill "${loops[@]}" 2>/dev/null || true
}
trap stop_loops EXIT

build() {
    # shellcheck disable=SC2016 # expanded by the inner shell
    local preset=$1 steps='cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$2" >/dev/null'
    echo "=== building $preset"
    if [ "$preset" = win32 ]; then
        bash scripts/wine32_namespace.sh bash -c "$steps" steps "$preset" "$jobs"
    else
        bash -c "$steps" steps "$preset" "$jobs"
    fi
}

# One run of a set; its output goes to $2.
run_set() {
    case "$1" in
    terminal) ctest --preset default -R "$terminal_tests" -j "$jobs" --output-on-failure ;;
    win64) ctest --preset win64 -j "$jobs" --output-on-failure ;;
    win32)
        bash scripts/wine32_namespace.sh ctest --preset win32 -j "$jobs" --output-on-failure
        ;;
    esac >"$2" 2>&1
}

for set in "${sets[@]}"; do
    case "$set" in terminal) build default ;; *) build "$set" ;; esac
done

for ((i = 0; i < busy; i++)); do
    sh -c 'while :; do :; done' &
    loops+=($!)
done

declare -A failed passed
start=$(date +%s)
echo "=== $runs runs of: ${sets[*]}; the log of a failed run goes to $logs"
for ((run = 1; run <= runs; run++)); do
    for set in "${sets[@]}"; do
        t=$(date +%s)
        if run_set "$set" "$logs/current.log"; then
            result=passed
            passed[$set]=$((${passed[$set]:-0} + 1))
        else
            result=FAILED
            failed[$set]=$((${failed[$set]:-0} + 1))
            cp "$logs/current.log" "$logs/$set-run$run.log"
        fi
        echo "run $run/$runs $set: $result in $(($(date +%s) - t)) s, load $(cut -d' ' -f1 /proc/loadavg)"
    done
done
stop_loops
loops=()

echo "=== $runs runs of each set in $(($(date +%s) - start)) s beside $busy busy loops"
status=0
for set in "${sets[@]}"; do
    echo "$set: ${passed[$set]:-0} passed, ${failed[$set]:-0} failed"
    [ "${failed[$set]:-0}" -eq 0 ] || status=1
done
rm -f "$logs/current.log"
if [ "$status" -eq 0 ]; then
    rm -r "$logs"
else
    echo "logs of the failed runs: $logs"
fi
exit "$status"

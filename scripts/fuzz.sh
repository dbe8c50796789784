#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz) and runs each for a bounded time,
# starting from its committed seed corpus (which the run does not change).
# Usage: bash scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in build/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    mkdir -p "$work/$name"
    cp -r "fuzz/corpus/$name/." "$work/$name/" 2>/dev/null || true
    echo "=== $name: $seconds s"
    "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/$name-" \
        "$work/$name" 2>"$work/$name.log" || { tail -n 40 "$work/$name.log"; exit 1; }
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$work/$name.log" | sed 's/^/    /'
done

#!/usr/bin/env bash
# The tree benchmark: checking every file of a tree against a list, with
# streebogsum and with its peers, run as black boxes on cached files.
#
#   bash bench/tree_bench.sh [TREE]...     (default: /usr/include /usr/lib/x86_64-linux-gnu)
#
# Environment: ROUNDS (default 5), SLOW_ROUNDS (default 3) and SLOW_SECONDS
# (default 8): a command whose first run takes longer than SLOW_SECONDS runs
# SLOW_ROUNDS times in all, so that both default trees take about ten minutes
# on an idle machine of two cores; LOOP_FILES (default 300: the old README
# loop of one hashcheck per file runs on that many files spread over the tree,
# LOOP_ROUNDS times (default 3), and its time is scaled to the whole tree by
# the bytes and files of the sample); BUILD_DIR (default build/default).
#
# For each tree: lists made with find -type f; then, alternating, rounds of
#   streebogsum -c --quiet LIST         (default threads, default engine path)
#   streebogsum -j 1 -c --quiet LIST
#   STREEBOGSUM_FILES_PER_WORKER=1 streebogsum -j 1 -c --quiet LIST
#                                       (one file at a time: what the
#                                        multi-context entry gains)
#   GOST_R3411_2012_IMPL=table streebogsum -c --quiet LIST
#   rhash --gost12-256 -c --skip-ok LIST
#                                       (a list that rhash --gost12-256 made;
#                                        without the option rhash -c tries
#                                        every algorithm of the digest's length
#                                        on each file, about ten times slower)
#   sha256sum -c --quiet LIST           (a list of its own)
#   b3sum -c --quiet LIST               (a list of its own)
# timed as whole processes: the median and the spread (fastest to slowest) of
# the elapsed time, the median processor time (user and system: on a busy
# machine it moves less than the elapsed time), each one's median elapsed time
# over streebogsum's, and the largest peak resident size (/usr/bin/time). Then
# the median and spread of one file at a time's time over -j 1's, round by
# round. The load average is printed before and after. The machine should be
# idle; nothing here is a test. As root it installs missing peers with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${ROUNDS:-5}
SLOW_ROUNDS=${SLOW_ROUNDS:-3}
SLOW_SECONDS=${SLOW_SECONDS:-8}
LOOP_FILES=${LOOP_FILES:-300}
LOOP_ROUNDS=${LOOP_ROUNDS:-3}
BUILD_DIR=${BUILD_DIR:-build/default}
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(/usr/include /usr/lib/x86_64-linux-gnu)

. bench/prepare.sh
bench_prepare tree_bench.sh "cmake rhash b3sum time coreutils" streebogsum hashcheck
sum=$(realpath "$BUILD_DIR/tools/streebogsum/streebogsum")
hashcheck=$(realpath "$BUILD_DIR/tools/hashcheck/hashcheck")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
flags=$(sed -n 's/^flags[[:space:]]*: //p' /proc/cpuinfo | head -1)
has() { case " $flags " in *" $1 "*) echo yes ;; *) echo no ;; esac; }
echo "processor: $model; $(nproc) online; GFNI $(has gfni), AVX-512F $(has avx512f)," \
     "AVX-512BW $(has avx512bw), AVX-512VBMI $(has avx512vbmi)"
if [ "$(has gfni)$(has avx512f)$(has avx512bw)$(has avx512vbmi)" = yesyesyesyes ]; then
    echo "engine path by default: vector (GFNI and AVX-512)"
else
    echo "engine path by default: table (no GFNI and AVX-512 here)"
fi
echo "rounds: $ROUNDS, or $SLOW_ROUNDS for a command whose first run exceeds $SLOW_SECONDS s" \
     "(median, and fastest..slowest)"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"

# median_spread FILE: the median, fastest and slowest of the numbers in FILE.
median_spread() {
    sort -g "$1" | awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.3f %.3f %.3f\n", m, v[1], v[NR] }'
}

for tree in "${trees[@]}"; do
    [ -d "$tree" ] || { echo "no folder $tree, skipped"; continue; }
    find "$tree" -type f -readable -print0 > "$work/files"
    count=$(tr -cd '\0' < "$work/files" | wc -c)
    bytes=$(xargs -0 -r stat -c %s < "$work/files" | awk '{ s += $1 } END { print s + 0 }')
    echo
    echo "== $tree: $count files, $(awk -v b="$bytes" 'BEGIN { printf "%.1f MiB", b / 1048576 }')"
    # Making the lists reads every file once: the runs below find them cached.
    xargs -0 -r "$sum" < "$work/files" > "$work/list.sum" 2>/dev/null || true
    xargs -0 -r rhash --gost12-256 < "$work/files" > "$work/list.rhash" 2>/dev/null || true
    xargs -0 -r sha256sum < "$work/files" > "$work/list.sha256" 2>/dev/null || true
    xargs -0 -r b3sum < "$work/files" > "$work/list.b3" 2>/dev/null || true

    names=(streebogsum "streebogsum -j 1" "-j 1, one file at a time" "streebogsum, table path"
           "rhash --gost12-256 -c" "sha256sum -c" "b3sum -c")
    commands=(
        "\"$sum\" -c --quiet \"$work/list.sum\""
        "\"$sum\" -j 1 -c --quiet \"$work/list.sum\""
        "env STREEBOGSUM_FILES_PER_WORKER=1 \"$sum\" -j 1 -c --quiet \"$work/list.sum\""
        "env GOST_R3411_2012_IMPL=table \"$sum\" -c --quiet \"$work/list.sum\""
        "rhash --gost12-256 -c --skip-ok \"$work/list.rhash\""
        "sha256sum -c --quiet \"$work/list.sha256\""
        "b3sum -c --quiet \"$work/list.b3\""
    )
    rounds=()
    for i in "${!names[@]}"; do
        : > "$work/all.$i"
        rounds[i]=$ROUNDS
    done
    for round in $(seq 1 "$ROUNDS"); do
        for i in "${!names[@]}"; do
            [ "$round" -le "${rounds[i]}" ] || continue
            # GNU time gives the elapsed time in hundredths of a second, too
            # coarse for runs of a tenth: the clock of the shell around it
            # gives the microsecond (its own start and end included, a
            # millisecond or so alike for every command).
            start=$EPOCHREALTIME
            /usr/bin/time -f '%U %S %M' -o "$work/usage" sh -c "exec ${commands[$i]}" \
                >/dev/null 2>&1 || true
            end=$EPOCHREALTIME
            awk -v a="${start/,/.}" -v b="${end/,/.}" '{ printf "%.4f %s\n", b - a, $0 }' \
                "$work/usage" >> "$work/all.$i"
            if [ "$round" -eq 1 ] &&
                awk -v s="$SLOW_SECONDS" '{ exit !($1 > s) }' "$work/all.$i"; then
                rounds[i]=$SLOW_ROUNDS
            fi
        done
    done
    # What two files at a time gain on one worker, round by round: the runs
    # of a round are next to each other, so a slower spell of the host
    # weighs on both.
    gain=$(paste -d' ' "$work/all.2" "$work/all.1" | awk 'NF == 8 { print $1 / $5 }' |
        median_spread /dev/stdin)
    base=""
    printf '%-26s %6s %9s %17s %8s %8s %12s\n' "command" "rounds" "median s" "spread s" "cpu s" \
        "x stb." "peak RSS"
    for i in "${!names[@]}"; do
        awk '{ print $1 }' "$work/all.$i" > "$work/time.$i"
        awk '{ print $2 + $3 }' "$work/all.$i" > "$work/cpu.$i"
        read -r med lo hi < <(median_spread "$work/time.$i")
        read -r cpu _ _ < <(median_spread "$work/cpu.$i")
        rss=$(awk '$4 > m { m = $4 } END { print m + 0 }' "$work/all.$i")
        [ -n "$base" ] || base=$med
        ratio=$(awk -v a="$med" -v b="$base" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }')
        printf '%-26s %6s %9s %8s..%-8s %8s %8s %8s KiB\n' "${names[$i]}" "${rounds[i]}" "$med" \
            "$lo" "$hi" "$cpu" "$ratio" "$rss"
        rm -f "$work/all.$i" "$work/time.$i" "$work/cpu.$i"
    done
    read -r med lo hi <<< "$gain"
    echo "-j 1 against one file at a time, round by round: median $med x ($lo..$hi)"

    # The old README loop: one hashcheck process per file, on LOOP_FILES files
    # taken evenly over the tree, scaled to the tree by files and by bytes.
    step=$(( (count + LOOP_FILES - 1) / LOOP_FILES ))
    [ "$step" -ge 1 ] || step=1
    k=0
    : > "$work/subset"
    while IFS= read -r -d '' f; do
        [ $((k % step)) -eq 0 ] && printf '%s\0' "$f" >> "$work/subset"
        k=$((k + 1))
    done < "$work/files"
    n=$(tr -cd '\0' < "$work/subset" | wc -c)
    sample_bytes=$(xargs -0 -r stat -c %s < "$work/subset" | awk '{ s += $1 } END { print s + 0 }')
    : > "$work/loop"
    for round in $(seq 1 "$LOOP_ROUNDS"); do
        /usr/bin/time -f '%e' -a -o "$work/loop" bash -c '
            while IFS= read -r -d "" f; do
                got=$("$0" -file "$f" 2>/dev/null | sed "s/.* = //")
                [ -n "$got" ] || echo "MISMATCH: $f"
            done < "$1"' "$hashcheck" "$work/subset" > /dev/null
    done
    read -r med lo hi < <(median_spread "$work/loop")
    rm -f "$work/loop"
    # The loop costs a few processes per file plus the hashing of its bytes;
    # scaling by files alone or by bytes alone would miss one of the two, so
    # both are shown.
    by_files=$(awk -v t="$med" -v n="$n" -v c="$count" 'BEGIN { printf "%.1f", (n > 0) ? t * c / n : 0 }')
    by_bytes=$(awk -v t="$med" -v s="$sample_bytes" -v b="$bytes" \
        'BEGIN { printf "%.1f", (s > 0) ? t * b / s : 0 }')
    ratio=$(awk -v a="$by_files" -v b="$base" 'BEGIN { printf "%.0f", (b > 0) ? a / b : 0 }')
    echo "hashcheck loop: $med s (${lo}..${hi}, $LOOP_ROUNDS rounds) for $n files" \
         "($(awk -v b="$sample_bytes" 'BEGIN { printf "%.1f MiB", b / 1048576 }'));" \
         "scaled to the tree: $by_files s by files, $by_bytes s by bytes;" \
         "by files $ratio x streebogsum (extrapolated, not measured whole)"
done
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

#!/usr/bin/env bash
# Models the per-block loop of both vector bodies (`vector`, `vector-lean`), one
# message (blocks_one) and two (blocks_any, count 2), with llvm-mca on a processor
# model (Sapphire Rapids unless MCPU says otherwise). Not part of the tests.
#
# The file is compiled as the release build compiles it (-O2 -DNDEBUG; its
# functions carry their own target attribute), the block loop found by its
# backward branch, and made straight-line for the tool: the round loop inside
# it written out 11 times, each Sigma loop 8 times, directives, labels and
# branches dropped. A second pass compiles with GCC's complete unrolling
# pushed far enough that GCC writes those loops out itself (its own schedule).
#
#   bash bench/model_vector.sh            (CXX, MCA, MCPU, ITERATIONS may be set)
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=${CXX:-g++}
MCA=${MCA:-llvm-mca-19}
MCPU=${MCPU:-sapphirerapids}
ITERATIONS=${ITERATIONS:-100}
command -v "$MCA" >/dev/null || { echo "$MCA not found (apt-get install llvm-19)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# extract.py FILE.s FUNCTION MESSAGES: the block loop of FUNCTION (a part of
# its mangled name), straight-line. For blocks_any, the loop that the dispatch
# on count == MESSAGES reaches.
cat >"$work/extract.py" <<'EOF'
import re, sys
path, func, messages = sys.argv[1], sys.argv[2], int(sys.argv[3])
lines = open(path).read().split("\n")
start = next(i for i, l in enumerate(lines) if re.match(r"_Z\S*" + func + r"\S*:$", l))
body = lines[start:next(i for i in range(start, len(lines)) if "\t.cfi_endproc" in lines[i])]
labels = {m.group(1): i for i, l in enumerate(body) if (m := re.match(r"(\.L\w+):$", l))}
begin = 0
if "blocks_any" in func:  # cmpl $MESSAGES, %reg; je .Lcase
    hit = [i for i, l in enumerate(body) if re.match(r"\tcmpl\t\$%d, %%e" % messages, l)]
    begin = labels[body[hit[0] + 1].split()[-1]]
loops = []  # (top, bottom) of the loop of every backward branch
for i, l in enumerate(body):
    m = re.match(r"\tj\w+\t(\.L\w+)$", l)
    if m and begin <= labels.get(m.group(1), i) < i:
        loops.append((labels[m.group(1)], i))
top, bottom = min(l for l in loops if not any(o[0] < l[0] and l[1] < o[1] for o in loops))
inner = {t: b for t, b in loops if top < t and b < bottom}
out, i, forward = [], top, 0
while i <= bottom:
    if i in inner:
        part = body[i:inner[i] + 1]
        text = "\n".join(part)
        times = 11 if "vgf2p8affineqb" in text else 8 if re.search(r"cmpq\t\$64,", text) else 0
        if not times:
            sys.exit("%s: an inner loop of unknown trip count" % func)
        out += part * times
        i = inner[i] + 1
        continue
    out.append(body[i])
    forward += i != bottom and bool(re.match(r"\tj\w+\t", body[i]))
    i += 1
if forward != messages:  # one out-of-line branch (N's rare carry) a message
    sys.exit("%s: block loop has %d forward branches, not %d" % (func, forward, messages))
for l in out:
    s = l.strip()
    if s and not s.startswith((".", "#")) and not re.match(r"j\w+\s", s):
        print(l)
EOF

# figures FILE.txt MESSAGES: port 5 and port 0 operations, block throughput
# and simulated cycles, a block of each message
figures() {
    awk -v n="$2" -v it="$ITERATIONS" '
        /^\[[0-9]+\] +- / { name[$1] = $3 }
        /^Total Cycles:/ { cycles = $3 }
        /^Block RThroughput:/ { rthr = $3 }
        /^Resource pressure per iteration:/ { getline hdr; getline row
            k = split(hdr, h, " +"); split(row, v, " +")
            for (i = 1; i <= k; i++) { p[name[h[i]]] = v[i] } }
        END { printf "%.0f %.0f %.1f %.0f\n", p["SPRPort05"] / n, p["SPRPort00"] / n,
                rthr / n, cycles / it / n }' "$1"
}

echo "model: $MCA -mcpu=$MCPU -iterations=$ITERATIONS"
echo "tools: $("$CXX" --version | head -1); $("$MCA" --version | grep -m1 'LLVM version' | sed 's/^ *//')"
echo "source: hash_low/gost_r3411_2012_vector.cpp at $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- hash_low || echo ', modified')"
for pass in loops unrolled; do
    flags=()
    [ "$pass" = unrolled ] && flags=(-fpeel-loops --param max-completely-peeled-insns=100000
        --param max-completely-peel-times=64 --param max-unroll-times=64)
    "$CXX" -std=c++17 -O2 -DNDEBUG -Ihash_low -S hash_low/gost_r3411_2012_vector.cpp \
        -o "$work/$pass.s" "${flags[@]}"
    echo
    [ "$pass" = loops ] && echo "== as built (-O2), inner loops written out by this script" ||
        echo "== -O2 ${flags[*]}"
    printf '%-12s %-9s %7s %7s %11s %13s %10s\n' body messages "port 5" "port 0" "block rthr" \
        "cycles/block" "vs vector"
    for messages in 1 2; do
        for body in vector vector-lean; do
            lean=$([ "$body" = vector-lean ] && echo 1 || echo 0)
            func=$([ "$messages" = 1 ] && echo "blocks_oneILb$lean" || echo "blocks_anyILb$lean")
            s="$work/$pass.$body.$messages"
            python3 "$work/extract.py" "$work/$pass.s" "$func" "$messages" >"$s.s"
            "$MCA" -mcpu="$MCPU" -iterations="$ITERATIONS" "$s.s" >"$s.txt"
            read -r p5 p0 rthr cycles < <(figures "$s.txt" "$messages")
            [ "$body" = vector ] && today=$cycles
            printf '%-12s %-9s %7s %7s %11s %13s %10s\n' "$body" "$messages" "$p5" "$p0" "$rthr" \
                "$cycles" "$(awk -v a="$today" -v b="$cycles" 'BEGIN { printf "%.2f", a / b }')"
        done
    done
done
echo
echo "Two messages: a block of each. 'vs vector': today's body's cycles over these."

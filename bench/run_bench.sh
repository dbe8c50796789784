#!/usr/bin/env bash
# The hash benchmark: hashcheck against the packaged GOST R 34.11-2012
# implementations, run as black boxes on the same cached file.
#
#   bash bench/run_bench.sh
#
# What it prints, its knobs (environment variables) and its method are told
# in docs/benchmark.md. It never runs as part of ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${ROUNDS:-7}
FILE_MIB=${FILE_MIB:-128}
ENGINE_MIB=${ENGINE_MIB:-64}
CALLGRIND_MIB=${CALLGRIND_MIB:-16}
RSS_BIG_MIB=${RSS_BIG_MIB:-1024}
BUILD_DIR=${BUILD_DIR:-build/default}

. bench/prepare.sh
bench_prepare run_bench.sh "build-essential cmake rhash libgcrypt20-dev libengine-gost-openssl openssl valgrind time" hashcheck bench_hash
hashcheck="$BUILD_DIR/tools/hashcheck/hashcheck"

peer_dir="$BUILD_DIR/bench-peers"
mkdir -p "$peer_dir"
gcrypt_peer="$peer_dir/gcrypt_stribog256"
cc -O2 -Wall -Wextra bench/peers/gcrypt_stribog256.c -o "$gcrypt_peer" -lgcrypt
openssl_cmd=(openssl dgst -provider gostprov -provider default -md_gost12_256)

# The processor's maker, family and model ("AuthenticAMD 26/2"), beside every
# figure: the engine picks its vector body by the maker.
cpuinfo() { sed -n "s/^$1[[:space:]]*: //p" /proc/cpuinfo | head -n 1; }
cpu_tag="$(cpuinfo vendor_id) $(cpuinfo 'cpu family')/$(cpuinfo model)"

echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), processor $cpu_tag"
"$BUILD_DIR/bench/bench_hash" --engine-mib "$ENGINE_MIB" --file-mib "$FILE_MIB" \
    --rounds "$ROUNDS" \
    --peer "rhash=rhash --gost12-256" \
    --peer "libgcrypt=$gcrypt_peer" \
    --peer "openssl-gost=${openssl_cmd[*]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/run_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Instructions executed, as callgrind counts them.
instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

if [ "$CALLGRIND_MIB" -gt 0 ]; then
    : >"$work/empty"
    head -c $((CALLGRIND_MIB << 20)) /dev/urandom >"$work/data"
    echo "instructions per byte (callgrind, ${CALLGRIND_MIB} MiB minus empty file; hashcheck on its table path, as valgrind has no AVX-512)"
    while IFS='|' read -r name cmd; do
        # shellcheck disable=SC2086
        base=$(instructions $cmd "$work/empty")
        # shellcheck disable=SC2086
        full=$(instructions $cmd "$work/data")
        awk -v n="$name" -v b="$base" -v f="$full" -v s=$((CALLGRIND_MIB << 20)) \
            -v t="$cpu_tag" 'BEGIN { printf "  %-12s %7.2f instructions/byte  %s\n", n, (f - b) / s, t }'
    done <<EOF
hashcheck|$hashcheck -file
rhash|rhash --gost12-256
libgcrypt|$gcrypt_peer
openssl-gost|${openssl_cmd[*]}
EOF
fi

if [ "$RSS_BIG_MIB" -gt 0 ]; then
    echo "hashcheck peak resident size (/usr/bin/time -f %M)"
    for mib in 1 "$RSS_BIG_MIB"; do
        head -c $((mib << 20)) /dev/zero >"$work/rss"
        kib=$(/usr/bin/time -f %M "$hashcheck" -file "$work/rss" 2>&1 >/dev/null | tail -n 1)
        echo "  $(printf '%5d' "$mib") MiB file: ${kib} KiB  $cpu_tag"
        rm -f "$work/rss"
    done
fi

#!/usr/bin/env bash
# The tree audit benchmark: treeaudit init and check against streebogsum -c
# on the same files and against the packaged tree auditors (hashdeep, AIDE,
# mtree), run as black boxes on cached trees; then treeaudit compare on two
# databases of a synthetic tree of many small files.
#
#   bash bench/audit_bench.sh [TREE]...    (default: /usr/include /usr/lib/x86_64-linux-gnu)
#
# Environment: ROUNDS (default 5), COMPARE_FILES (default 100000, made as
# folders of 1,000 files), BUILD_DIR (default build/default, built with the
# default preset; another folder is configured RelWithDebInfo like that
# preset, or only built when it is configured already, from whatever source).
#
# For each tree, after one run of each command that reads every file (so the
# runs timed find them cached) and one warm-up run of each timed command:
#   treeaudit init -o DB TREE            (default threads)
#   treeaudit check DB                   (default threads)
#   streebogsum -c --quiet LIST          (LIST from treeaudit list DB: the
#                                         same regular files, no walk)
#   each of the three again with GOST_R3411_2012_IMPL=table (the engine's
#   table path; the vector path needs GFNI and AVX-512)
#   hashdeep -c sha256 -r TREE > KNOWN   (its init)
#   hashdeep -c sha256 -r -a -k KNOWN TREE
#                                        (its audit; hashdeep takes -c after
#                                         -a as a return to hashing, so -c
#                                         comes first)
#   aide --init / aide --check           (a config of its own: databases in the
#                                         temporary folder, the rule
#                                         p+i+n+u+g+s+m+c+sha256 on the tree,
#                                         one SHA-256 of its database in the
#                                         report; its default of one worker,
#                                         and again with -W as many workers as
#                                         processors, for information)
#   mtree -c -K sha256 -p TREE > MANIFEST / mtree -f MANIFEST -p TREE
#                                        (the default keywords plus sha256)
# in alternating rounds, timed as whole processes: the median and the spread
# of the elapsed time, the median processor time, the median of the 1-minute
# load average read just before each run, and the largest peak resident size
# (/usr/bin/time -f %M). Then the ratios, with the goals of the two default
# trees marked met or not met. Nothing here is a test; the machine should be
# idle. It installs missing packages with apt-get (through sudo when not
# root) and removes its temporary folders.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${ROUNDS:-5}
COMPARE_FILES=${COMPARE_FILES:-100000}
BUILD_DIR=${BUILD_DIR:-build/default}
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(/usr/include /usr/lib/x86_64-linux-gnu)

# Packages: hashdeep, aide and mtree-netbsd are the peers; time gives the
# peak resident size. Without their recommendations (aide's would bring a
# mail server and cron).
missing=()
for p in cmake hashdeep aide mtree-netbsd time coreutils; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing ${missing[*]}"
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
mtree=$(command -v mtree || command -v nmtree || true)
[ -n "$mtree" ] || { echo "audit_bench.sh: mtree-netbsd installed no mtree" >&2; exit 1; }

if [ "$BUILD_DIR" = build/default ]; then
    cmake --preset default >/dev/null
elif [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD_DIR" --target treeaudit streebogsum -j 2 >/dev/null
ta=$(realpath "$BUILD_DIR/tools/treeaudit/treeaudit")
sum=$(realpath "$BUILD_DIR/tools/streebogsum/streebogsum")
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")
source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")

work=$(mktemp -d "${TMPDIR:-/tmp}/audit_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

cpu_field() { sed -n "s/^$1[[:space:]]*: //p" /proc/cpuinfo | head -1; }
flags=$(cpu_field flags)
has() { case " $flags " in *" $1 "*) echo yes ;; *) echo no ;; esac; }
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) processors online"
echo "processor: $(cpu_field vendor_id), family $(cpu_field 'cpu family'), model $(cpu_field model)" \
     "($(cpu_field 'model name')); GFNI $(has gfni), AVX-512F $(has avx512f)," \
     "AVX-512BW $(has avx512bw), AVX-512VBMI $(has avx512vbmi)"
if [ "$(has gfni)$(has avx512f)$(has avx512bw)$(has avx512vbmi)" = yesyesyesyes ]; then
    echo "engine path by default: vector (GFNI and AVX-512); 'table' rows force the table path"
else
    echo "engine path by default: table (no GFNI and AVX-512 here): 'table' rows run the same path"
fi
commit=""
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
    commit=" at $(git -C "$source_dir" rev-parse --short HEAD)"
    git -C "$source_dir" diff --quiet HEAD -- 2>/dev/null || commit+=" with local changes"
fi
echo "build: $build_type$commit; $("$ta" --version); hashdeep $(hashdeep -V 2>&1 | head -1)," \
     "$(aide --version 2>&1 | head -1), mtree-netbsd $(dpkg-query -W -f='${Version}' mtree-netbsd)"
echo "rounds: $ROUNDS after one warm-up run of each command, alternating (median, and fastest..slowest)"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"

# median_spread FILE: the median, fastest and slowest of the numbers in FILE.
median_spread() {
    sort -g "$1" | awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.3f %.3f %.3f\n", m, v[1], v[NR] }'
}

# timed COMMAND OUT: runs COMMAND (a string for sh) once, its output thrown
# away, and appends "elapsed user system peak-KiB load status" to OUT. GNU
# time's elapsed time is in hundredths of a second: the shell's clock around
# it gives the microsecond (its own start and end included, alike for every
# command).
timed() {
    local load start end status=0
    load=$(cut -d' ' -f1 /proc/loadavg)
    start=$EPOCHREALTIME
    /usr/bin/time -f '%U %S %M' -o "$work/usage" sh -c "exec $1" >/dev/null 2>&1 || status=$?
    end=$EPOCHREALTIME
    awk -v a="${start/,/.}" -v b="${end/,/.}" -v l="$load" -v s="$status" \
        'END { printf "%.4f %s %s %s %s %s\n", b - a, $(NF - 2), $(NF - 1), $NF, l, s }' \
        "$work/usage" >> "$2"
}

# A goal's verdict: goal RATIO OP LIMIT -> "met" or "NOT met".
verdict() {
    awk -v r="$1" -v op="$2" -v g="$3" 'BEGIN {
        ok = (op == "<=") ? r <= g : (op == ">=") ? r >= g : r < g
        print ok ? "met" : "NOT met" }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }

q() { printf '%q' "$1"; }
max_rss=0
workers=$(nproc)
for tree in "${trees[@]}"; do
    [ -d "$tree" ] || { echo "no folder $tree, skipped"; continue; }
    tree=$(realpath "$tree")
    d="$work/tree"
    rm -rf "$d"
    mkdir -p "$d"
    # AIDE selects by regular expression: the tree's name taken literally.
    cat > "$d/aide.conf" <<EOF
database_in=file:$d/aide.db
database_out=file:$d/aide.db.new
gzip_dbout=no
database_attrs=sha256
report_url=stdout
Audit = p+i+n+u+g+s+m+c+sha256
$(printf '%s' "$tree" | sed 's/[][\\.*^$+?(){}|]/\\&/g') Audit
EOF
    # The first runs read every file: the databases the checks read.
    "$ta" init -o "$d/ta.db" "$tree" 2>/dev/null
    "$ta" list "$d/ta.db" > "$d/list.sum"
    hashdeep -c sha256 -r "$tree" > "$d/known" 2>/dev/null || true
    aide --init -c "$d/aide.conf" >/dev/null 2>&1 || true
    cp "$d/aide.db.new" "$d/aide.db"
    "$mtree" -c -K sha256 -p "$tree" > "$d/manifest" 2>/dev/null
    count=$(grep -c '' "$d/list.sum" || true)
    bytes=$(awk '$2 == "f" { s += $6 } END { print s + 0 }' "$d/ta.db")
    entries=$(awk '$1 == "end" { print $2 }' "$d/ta.db")
    echo
    echo "== $tree: $count files, $(awk -v b="$bytes" 'BEGIN { printf "%.1f MiB", b / 1048576 }')," \
         "$entries entries in treeaudit's database; load average $(cut -d' ' -f1-3 /proc/loadavg)"

    table="env GOST_R3411_2012_IMPL=table "
    names=("treeaudit init" "treeaudit init, table" "hashdeep init" "aide --init"
           "aide --init -W $workers" "mtree -c"
           "treeaudit check" "treeaudit check, table" "streebogsum -c" "streebogsum -c, table"
           "hashdeep audit" "aide --check" "aide --check -W $workers" "mtree -f")
    commands=(
        "$(q "$ta") init -o $(q "$d/ta.round.db") $(q "$tree")"
        "$table$(q "$ta") init -o $(q "$d/ta.round.db") $(q "$tree")"
        "hashdeep -c sha256 -r $(q "$tree") > $(q "$d/known.round")"
        "aide --init -c $(q "$d/aide.conf")"
        "aide --init -W $workers -c $(q "$d/aide.conf")"
        "$(q "$mtree") -c -K sha256 -p $(q "$tree") > $(q "$d/manifest.round")"
        "$(q "$ta") check $(q "$d/ta.db")"
        "$table$(q "$ta") check $(q "$d/ta.db")"
        "$(q "$sum") -c --quiet $(q "$d/list.sum")"
        "$table$(q "$sum") -c --quiet $(q "$d/list.sum")"
        "hashdeep -c sha256 -r -a -k $(q "$d/known") $(q "$tree")"
        "aide --check -c $(q "$d/aide.conf")"
        "aide --check -W $workers -c $(q "$d/aide.conf")"
        "$(q "$mtree") -f $(q "$d/manifest") -p $(q "$tree")"
    )
    for i in "${!names[@]}"; do
        : > "$d/warm.$i"
        timed "${commands[$i]}" "$d/warm.$i"
        status=$(awk '{ print $6 }' "$d/warm.$i")
        [ "$status" -eq 0 ] ||
            echo "note: ${names[$i]} ended with status $status in its warm-up run" \
                 "(a difference found, or a failure): its figures are not of a clean run"
        : > "$d/all.$i"
    done
    for _ in $(seq 1 "$ROUNDS"); do
        for i in "${!names[@]}"; do
            timed "${commands[$i]}" "$d/all.$i"
        done
    done

    printf '%-24s %9s %17s %7s %8s %11s %6s\n' "command" "median s" "spread s" "cpu s" "load" \
        "peak RSS" "status"
    med=()
    for i in "${!names[@]}"; do
        read -r m lo hi < <(awk '{ print $1 }' "$d/all.$i" | median_spread /dev/stdin)
        read -r cpu _ _ < <(awk '{ print $2 + $3 }' "$d/all.$i" | median_spread /dev/stdin)
        read -r load _ _ < <(awk '{ print $5 }' "$d/all.$i" | median_spread /dev/stdin)
        rss=$(awk '$4 > m { m = $4 } END { print m + 0 }' "$d/all.$i")
        st=$(awk '{ print $6 }' "$d/all.$i" | sort -u | paste -sd, -)
        med[i]=$m
        case ${names[$i]} in
            treeaudit*) [ "$rss" -le "$max_rss" ] || max_rss=$rss ;;
        esac
        printf '%-24s %9s %8s..%-8s %7s %8.2f %7s KiB %6s\n' "${names[$i]}" "$m" "$lo" "$hi" \
            "$cpu" "$load" "$rss" "$st"
    done

    # Goals, by tree: check and init over streebogsum -c, and each peer over
    # treeaudit (the same command kind: init over init, check over check).
    case $tree in
        /usr/include) g_sum=1.15 g_hashdeep=3 g_aide=8 g_mtree=1.5 ;;
        /usr/lib/x86_64-linux-gnu) g_sum="" g_hashdeep=2 g_aide=2 g_mtree="" ;;
        *) g_sum="" g_hashdeep="" g_aide="" g_mtree="" ;;
    esac
    goal() { # RATIO OP LIMIT
        if [ -n "$3" ]; then echo " (goal $2 $3: $(verdict "$1" "$2" "$3"))"; fi
    }
    echo "ratios of median times (default path; table path):"
    for kind in check init; do
        if [ $kind = check ]; then
            t=6 tt=7 h=10 a=11 aw=12 m=13
        else
            t=0 tt=1 h=2 a=3 aw=4 m=5
        fi
        r=$(ratio "${med[t]}" "${med[8]}")
        rt=$(ratio "${med[tt]}" "${med[9]}")
        if [ $kind = check ]; then
            echo "  treeaudit check / streebogsum -c:  $r; $rt$(goal "$r" "<=" "$g_sum")"
        else
            echo "  treeaudit init / streebogsum -c:   $r; $rt (no goal: init also walks and writes)"
        fi
        for peer in "hashdeep $h $g_hashdeep" "aide $a $g_aide" "aide-W$workers $aw -" \
                    "mtree $m $g_mtree"; do
            read -r pname p g <<< "$peer"
            [ "$g" != - ] || g=""
            r=$(ratio "${med[p]}" "${med[t]}")
            rt=$(ratio "${med[p]}" "${med[tt]}")
            printf '  %-34s %s; %s%s\n' "$pname $kind / treeaudit $kind:" "$r" "$rt" \
                "$(goal "$r" ">=" "$g")"
        done
    done
    echo "load average at the end of $tree: $(cut -d' ' -f1-3 /proc/loadavg)"
    rm -rf "$d"
done

# compare: two databases of a synthetic tree of COMPARE_FILES small files
# (folders of 1,000), the second made after 50 changes.
echo
syn="$work/synthetic"
mkdir -p "$syn"
folders=$(( (COMPARE_FILES + 999) / 1000 ))
awk -v n="$COMPARE_FILES" -v root="$syn" 'BEGIN {
    for (i = 0; i < n; i++) {
        dir = sprintf("%s/d%03d", root, int(i / 1000))
        if (i % 1000 == 0) system("mkdir -p " dir)
        f = sprintf("%s/f%05d.txt", dir, i)
        printf "file %d, a line of text to hash\n", i > f
        close(f)
    } }'
"$ta" init -o "$work/old.db" "$syn" 2>/dev/null
# 50 files spread over the tree: in turn one changed, one removed, one
# added beside it, one renamed (a move) and one given another mode.
for j in $(seq 1 50); do
    i=$(( j * COMPARE_FILES / 51 ))
    f=$(printf '%s/d%03d/f%05d.txt' "$syn" $((i / 1000)) "$i")
    case $((j % 5)) in
        0) echo changed >> "$f" ;;
        1) rm "$f" ;;
        2) echo new > "${f%/*}/added$j.txt" ;;
        3) mv "$f" "${f%/*}/moved$j.txt" ;;
        4) chmod 600 "$f" ;;
    esac
done
"$ta" init -o "$work/new.db" "$syn" 2>/dev/null
entries=$(awk '$1 == "end" { print $2 }' "$work/old.db")
lines=$("$ta" compare "$work/old.db" "$work/new.db" | wc -l || true)
: > "$work/compare"
timed "$(q "$ta") compare $(q "$work/old.db") $(q "$work/new.db")" "$work/compare.warm"
for _ in $(seq 1 "$ROUNDS"); do
    timed "$(q "$ta") compare $(q "$work/old.db") $(q "$work/new.db")" "$work/compare"
done
read -r m lo hi < <(awk '{ print $1 }' "$work/compare" | median_spread /dev/stdin)
read -r load _ _ < <(awk '{ print $5 }' "$work/compare" | median_spread /dev/stdin)
rss=$(awk '$4 > m { m = $4 } END { print m + 0 }' "$work/compare")
st=$(awk '{ print $6 }' "$work/compare" | sort -u | paste -sd, -)
echo "== treeaudit compare: two databases of $entries entries ($COMPARE_FILES files in $folders" \
     "folders; 10 files changed, 10 removed, 10 added, 10 moved, 10 modes), $lines lines reported"
echo "  median $m s ($lo..$hi), load $(printf %.2f "$load"), peak RSS $rss KiB, status $st" \
     "(goal < 1 s: $(verdict "$m" "<" 1))"
rm -rf "$syn"

echo
[ "$max_rss" -eq 0 ] ||
    echo "treeaudit init and check, largest peak resident size: $max_rss KiB" \
         "(goal < 64 MiB: $(verdict "$max_rss" "<" 65536))"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and links small consumers
# against the engine and the registry library there, once through pkg-config
# and once through CMake; the registry consumer reads back what the installed
# seedreg stored.
# Usage: test_install.sh <build dir> <source dir of the consumer>
set -euo pipefail
build=$1
consumer_src=$2
want=9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500

work=$(mktemp -d)
store_dir=$(bash "$consumer_src/store_dir.sh")
trap 'rm -rf "$work" "$store_dir"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

fail=0
check() { # name, expected, actual
    if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAIL: $1: wanted '$2', got '$3'"; fail=1; fi
}

for f in bin/hashcheck bin/seedreg share/man/man1/hashcheck.1.gz share/man/man1/kbdseed.1.gz \
         share/man/man1/seedreg.1.gz share/man/man3/gost_r3411_2012.3.gz \
         share/man/man5/quorvant-registry.5.gz include/gost_r3411_2012.h \
         include/quorvant/registry.h lib/libquorvant_registry.a \
         lib/pkgconfig/quorvant-registry.pc lib/cmake/quorvant-registry/quorvant-registryConfig.cmake; do
    check "installed $f" yes "$([ -e "$prefix/$f" ] && echo yes || echo no)"
done

# treeaudit, where it is built: installed with its two pages, and the installed
# program records a small tree and finds a change in it.
if [ -x "$build/tools/treeaudit/treeaudit" ]; then
    for f in bin/treeaudit share/man/man1/treeaudit.1.gz share/man/man5/treeaudit.5.gz; do
        check "installed $f" yes "$([ -e "$prefix/$f" ] && echo yes || echo no)"
    done
    mkdir -p "$work/tree/bin" "$work/db"
    printf 'one\n' > "$work/tree/bin/tool"
    "$prefix/bin/treeaudit" init -o "$work/db/tree.db" "$work/tree" 2>/dev/null || true
    printf 'three\n' > "$work/tree/bin/tool"
    status=0
    report=$("$prefix/bin/treeaudit" check "$work/db/tree.db") || status=$?
    check "installed treeaudit reports a changed content" "content $work/tree/bin/tool 4" "$report $status"
fi

# The installed seedreg stores a seed in a store of the test's own.
export QUORVANT_REGISTRY=$store_dir/registry.reg
mkdir "$work/run"
for i in $(seq 0 47); do printf "\\$(printf '%03o' $(( (i * 37 + 11) % 256 )))"; done > "$work/run/seed.bin"
seed=$(head -c 40 "$work/run/seed.bin" | od -An -tx1 -v | tr -d ' \n')
(cd "$work/run" && "$prefix/bin/seedreg")

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
c++ -o "$work/consumer_pc" "$consumer_src/consumer.cpp" $(pkg-config --cflags --libs gost_r3411_2012)
check "consumer through pkg-config" "$want" "$("$work/consumer_pc")"
# shellcheck disable=SC2046
c++ -o "$work/registry_consumer_pc" "$consumer_src/registry_consumer.cpp" \
    $(pkg-config --cflags --libs quorvant-registry)
check "registry consumer through pkg-config" "$seed" "$("$work/registry_consumer_pc")"

cmake -S "$consumer_src" -B "$work/consumer_build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer_build" >/dev/null
check "consumer through find_package" "$want" "$("$work/consumer_build/consumer")"
check "registry consumer through find_package" "$seed" "$("$work/consumer_build/registry_consumer")"

exit $fail

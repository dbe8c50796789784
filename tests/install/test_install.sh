#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and links a small consumer
# against the engine there, once through pkg-config and once through CMake.
# Usage: test_install.sh <build dir> <source dir of the consumer>
set -euo pipefail
build=$1
consumer_src=$2
want=9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

fail=0
check() { # name, expected, actual
    if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAIL: $1: wanted '$2', got '$3'"; fail=1; fi
}

for f in bin/hashcheck share/man/man1/hashcheck.1 share/man/man1/kbdseed.1 \
         share/man/man1/seedreg.1 include/gost_r3411_2012.h; do
    check "installed $f" yes "$([ -e "$prefix/$f" ] && echo yes || echo no)"
done

pc_dir=$(dirname "$(find "$prefix" -name gost_r3411_2012.pc | head -n 1)")
export PKG_CONFIG_PATH=$pc_dir
# shellcheck disable=SC2046
c++ -o "$work/consumer_pc" "$consumer_src/consumer.cpp" $(pkg-config --cflags --libs gost_r3411_2012)
check "consumer through pkg-config" "$want" "$("$work/consumer_pc")"

cmake -S "$consumer_src" -B "$work/consumer_build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer_build" >/dev/null
check "consumer through find_package" "$want" "$("$work/consumer_build/consumer")"

exit $fail

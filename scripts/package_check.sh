#!/usr/bin/env bash
# Builds the Debian package from a build tree configured for /usr (the preset
# "package"), checks it with lintian, installs it with dpkg, runs the installed
# programs from /usr/bin, builds small programs against the installed libraries
# through pkg-config and through CMake's find_package, and removes the package
# cleanly (also when a check stops the script half-way).
# Without an argument it configures and builds the preset "package" first.
# Usage: bash scripts/package_check.sh [build dir]   (needs root or sudo, lintian)
set -euo pipefail
[ $# -eq 0 ] || build=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
if [ $# -eq 0 ]; then
    cmake --preset package >/dev/null
    cmake --build --preset package -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
    build=$PWD/build/package
fi
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
if [ "$prefix" != /usr ]; then
    echo "$build installs under '$prefix', not /usr: build the package from the preset" \
         "\"package\" (bash $0 with no argument does)" >&2
    exit 2
fi
command -v lintian >/dev/null || { echo "lintian is not installed (apt-get install lintian)" >&2; exit 2; }
libdir=/usr/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

out=$(mktemp -d)
store_dir=$(bash tests/install/store_dir.sh)
pkg=""
cleanup() {
    if [ -n "$pkg" ] && dpkg-query -W "$pkg" >/dev/null 2>&1; then $sudo dpkg -r "$pkg" >/dev/null; fi
    rm -rf "$out" "$store_dir"
}
trap cleanup EXIT
(cd "$out" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$out"/*.deb)
echo "package: $(basename "$deb")"
if dpkg-query -W -f='${Status}' "$(dpkg-deb --field "$deb" Package)" 2>/dev/null | grep -q 'ok installed'; then
    echo "$(dpkg-deb --field "$deb" Package) is installed already: remove it first" >&2
    exit 2
fi
dpkg-deb --field "$deb" Package Version Depends

fail=0
check() { # what, command...
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fail=1; fi
}

# lintian leaves a folder of its own under TMPDIR at every run: here that is
# $out, which goes at the end, instead of the machine's /tmp.
lint_status=0
tmp_before=$(ls -d /tmp/mldbm-* 2>/dev/null | sort || true)
lint=$(TMPDIR="$out" lintian --fail-on error,warning "$deb" 2>&1) || lint_status=$?
printf '%s\n' "$lint" | grep -v -e '^running with root privileges' -e '^$' || true
check "lintian reports no error or warning" test "$lint_status" -eq 0
tmp_after=$(ls -d /tmp/mldbm-* 2>/dev/null | sort || true)
check "lintian left nothing in /tmp" test "$tmp_before" = "$tmp_after"

# gzip -9n leaves the header's name and time out: the same text gives the same file.
dpkg-deb -x "$deb" "$out/tree"
gzip_header_bare() { test "$(od -An -tx1 -N8 "$1" | tr -d ' \n')" = 1f8b080000000000; }
doc=$out/tree/usr/share/doc/quorvant-gost-toolkit
check "changelog compressed without name or time" gzip_header_bare "$doc/changelog.gz"
for page in "$out"/tree/usr/share/man/man*/*; do
    check "${page##*/} compressed without name or time" gzip_header_bare "$page"
done
check "copyright file carries LICENSE's terms" \
    grep -qF ' 2. Redistributions in binary form must reproduce the above copyright notice,' "$doc/copyright"

pkg=$(dpkg-deb --field "$deb" Package)
$sudo dpkg -i "$deb" >/dev/null
printf 'abc' > "$out/abc"
want=$("$build/tools/hashcheck/hashcheck" -file "$out/abc")
check "hashcheck from /usr/bin" test "$(/usr/bin/hashcheck -file "$out/abc")" = "$want"
check "hashcheck man page" test -n "$(man -w hashcheck 2>/dev/null)"
check "streebogsum checks a list from /usr/bin" test "$(cd "$out" && /usr/bin/streebogsum abc | /usr/bin/streebogsum -c)" = "abc: OK"
check "streebogsum man page" test -n "$(man -w streebogsum 2>/dev/null)"
if [ -x "$build/tools/treeaudit/treeaudit" ]; then
    check "treeaudit installed" test -x /usr/bin/treeaudit
    check "treeaudit man page" test -n "$(man -w 1 treeaudit 2>/dev/null)"
    check "treeaudit database man page" test -n "$(man -w 5 treeaudit 2>/dev/null)"
    mkdir -p "$out/audited/bin" "$out/audit-db"
    printf 'one\n' > "$out/audited/bin/tool"
    /usr/bin/treeaudit init -o "$out/audit-db/tree.db" "$out/audited" 2>/dev/null || true
    printf 'three\n' > "$out/audited/bin/tool"
    status=0
    report=$(/usr/bin/treeaudit check "$out/audit-db/tree.db") || status=$?
    check "treeaudit from /usr/bin reports a changed content" \
        test "$report $status" = "content $out/audited/bin/tool 4"
fi
for p in kbdseed seedreg; do
    [ -x "$build/tools/$p/$p" ] || continue
    check "$p installed" test -x "/usr/bin/$p"
    check "$p man page" test -n "$(man -w "$p" 2>/dev/null)"
done
if [ -x /usr/bin/kbdseed ]; then
    status=0
    /usr/bin/kbdseed >/dev/null 2>&1 </dev/null || status=$?
    check "kbdseed from /usr/bin prints its usage" test "$status" -eq 255
fi
check "engine header installed" test -f /usr/include/gost_r3411_2012.h
check "engine pkg-config file in the multiarch folder" test -f "/usr/lib/$multiarch/pkgconfig/gost_r3411_2012.pc"
check "engine man page" test -n "$(man -w 3 gost_r3411_2012 2>/dev/null)"
check "registry library installed" test -f "$libdir/libquorvant_registry.a"
check "registry header installed" test -f /usr/include/quorvant/registry.h
check "registry pkg-config file in the multiarch folder" test -f "/usr/lib/$multiarch/pkgconfig/quorvant-registry.pc"
check "registry store man page" test -n "$(man -w 5 quorvant-registry 2>/dev/null)"

# Programs outside the project built against the installed libraries; the
# registry consumer reads back what the installed seedreg stored in a store of
# this check's own.
consumers=tests/install
engine_want=9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500
export QUORVANT_REGISTRY=$store_dir/registry.reg
mkdir "$out/run"
seq 1 20 | head -c 48 > "$out/run/seed.bin"
seed=$(head -c 40 "$out/run/seed.bin" | od -An -tx1 -v | tr -d ' \n')
(cd "$out/run" && /usr/bin/seedreg)
run_output() { "$@" 2>&1 || true; }
# shellcheck disable=SC2046
c++ -o "$out/consumer_pc" "$consumers/consumer.cpp" $(pkg-config --cflags --libs gost_r3411_2012)
check "engine through pkg-config" test "$(run_output "$out/consumer_pc")" = "$engine_want"
# shellcheck disable=SC2046
c++ -o "$out/registry_consumer_pc" "$consumers/registry_consumer.cpp" \
    $(pkg-config --cflags --libs quorvant-registry)
check "registry through pkg-config" test "$(run_output "$out/registry_consumer_pc")" = "$seed"
cmake -S "$consumers" -B "$out/consumer_build" >/dev/null
cmake --build "$out/consumer_build" >/dev/null
check "engine through find_package" test "$(run_output "$out/consumer_build/consumer")" = "$engine_want"
check "registry through find_package" test "$(run_output "$out/consumer_build/registry_consumer")" = "$seed"

$sudo dpkg -r "$pkg" >/dev/null
check "package removed" test ! -e /usr/bin/hashcheck
check "streebogsum removed" test ! -e /usr/bin/streebogsum
check "treeaudit removed" test ! -e /usr/bin/treeaudit
check "pkg-config files removed" test ! -e "/usr/lib/$multiarch/pkgconfig/gost_r3411_2012.pc"
check "documentation removed" test ! -e /usr/share/doc/quorvant-gost-toolkit
check "no files left behind" test -z "$(dpkg -L "$pkg" 2>/dev/null | grep '^/usr/bin/' || true)"
exit $fail

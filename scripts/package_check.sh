#!/usr/bin/env bash
# Builds the Debian package from a configured build tree, installs it with
# dpkg, runs the installed programs from /usr/bin, and removes it cleanly.
# Usage: bash scripts/package_check.sh [build dir]   (needs root or sudo)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$out" && cpack -G DEB --config "$OLDPWD/$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$out"/*.deb)
echo "package: $(basename "$deb")"
dpkg-deb --field "$deb" Package Version Depends

fail=0
check() { # what, command...
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fail=1; fi
}

$sudo dpkg -i "$deb" >/dev/null
printf 'abc' > "$out/abc"
want=$("$build/tools/hashcheck/hashcheck" -file "$out/abc")
check "hashcheck from /usr/bin" test "$(/usr/bin/hashcheck -file "$out/abc")" = "$want"
check "hashcheck man page" test -n "$(man -w hashcheck 2>/dev/null)"
check "streebogsum checks a list from /usr/bin" test "$(cd "$out" && /usr/bin/streebogsum abc | /usr/bin/streebogsum -c)" = "abc: OK"
check "streebogsum man page" test -n "$(man -w streebogsum 2>/dev/null)"
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
check "engine pkg-config file" pkg-config --exists gost_r3411_2012
check "engine man page" test -n "$(man -w 3 gost_r3411_2012 2>/dev/null)"
check "registry library installed" test -f /usr/lib/libquorvant_registry.a
check "registry header installed" test -f /usr/include/quorvant/registry.h
check "registry pkg-config file" pkg-config --exists quorvant-registry
check "registry store man page" test -n "$(man -w 5 quorvant-registry 2>/dev/null)"

pkg=$(dpkg-deb --field "$deb" Package)
$sudo dpkg -r "$pkg" >/dev/null
check "package removed" test ! -e /usr/bin/hashcheck
check "streebogsum removed" test ! -e /usr/bin/streebogsum
check "no files left behind" test -z "$(dpkg -L "$pkg" 2>/dev/null | grep '^/usr/bin/' || true)"
exit $fail

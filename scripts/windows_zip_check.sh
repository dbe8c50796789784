#!/usr/bin/env bash
# Makes the zip for Windows users from a tested Windows build tree (cpack -G
# ZIP), checks what it holds, unpacks it into a temporary folder and runs its
# hashcheck.exe under the build's Wine on an empty file, "abc" and a file of a
# few MiB: each line must be hashcheck's, with rhash's digest, and nothing on
# standard error. A 32-bit build must run inside scripts/wine32_namespace.sh,
# as its tests do.
# Usage: bash scripts/windows_zip_check.sh <build dir>
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <build dir of the preset win32 or win64>" >&2; exit 2; }
build=$(cd "$1" && pwd)
wine=$(sed -n 's/^QV_WINE:FILEPATH=//p' "$build/CMakeCache.txt")
wineserver=$(sed -n 's/^QV_WINESERVER:FILEPATH=//p' "$build/CMakeCache.txt")
if [ -z "$wine" ] || [ ! -f "$build/wine-env" ]; then
    echo "$build is no Windows build run under Wine" >&2
    exit 2
fi

wine_env() { sh "$build/wine-env" "$@"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cpack -G ZIP --config "$build/CPackConfig.cmake" >/dev/null)
zip=$(ls "$work"/*.zip)
top=$(basename "$zip" .zip)
echo "zip: $top.zip"
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
root=$work/unpacked/$top

fail=0
check() { # what, command...
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fail=1; fi
}
for f in bin/hashcheck.exe bin/streebogsum.exe bin/kbdseed.exe bin/seedreg.exe README.md LICENSE.txt; do
    check "holds $f" test -s "$root/$f"
done
for page in hashcheck.1 streebogsum.1 kbdseed.1 seedreg.1 gost_r3411_2012.3 quorvant-registry.5; do
    check "holds doc/$page.html" grep -q '</html>' "$root/doc/$page.html"
done
# treeaudit is not built for Windows: neither it nor its pages belong here.
check "holds no treeaudit" test ! -e "$root/bin/treeaudit.exe" -a ! -e "$root/doc/treeaudit.1.html" \
    -a ! -e "$root/doc/treeaudit.5.html"

# A 32-bit build without 32-bit Wine: "wine" would start the 64-bit loader,
# which runs no 32-bit program (cmake/wine.cmake).
if grep -q '^QV_WINE32_LOADER:FILEPATH=.*NOTFOUND$' "$build/CMakeCache.txt"; then
    echo "skipped: 32-bit Wine (wine32:i386) is not installed, so hashcheck.exe was not run (as the build's tests say)"
    exit $fail
fi
if ! wine_env "$wine" --version >/dev/null 2>&1; then
    echo "skipped: $wine does not start here, so hashcheck.exe was not run (as the build's tests say)"
    exit $fail
fi
# The build's Wine prefix, made as its tests make it if they have not run:
# making it writes to standard error. Then, as the tests do, a server kept for
# the whole check and Wine's own services started by a first program with their
# streams on /dev/null. Those services inherit the streams of the program that
# starts them and live as long as the server: started by a checked
# hashcheck.exe, one of Wine's 64-bit services that faulted wrote its fault
# into that program's standard error.
wine_env "$wineserver" -k >/dev/null 2>&1 || true
if [ ! -d "$build/wine-prefix" ]; then
    wine_env "$wine" wineboot --init >/dev/null 2>&1
    wine_env "$wineserver" -w
fi
trap 'wine_env "$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
wine_env "$wineserver" -p </dev/null >/dev/null 2>&1
wine_env "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || { echo "FAIL: Wine started no program"; exit 1; }
mkdir "$work/data"
: > "$work/data/empty"
printf 'abc' > "$work/data/abc"
seq 1 600000 > "$work/data/several-mib"
for name in empty abc several-mib; do
    want="GOSTHASH from file $name = $(cd "$work/data" && rhash --gost12-256 "$name" | cut -d' ' -f1)"
    status=0
    (cd "$work/data" && wine_env "$wine" "$root/bin/hashcheck.exe" -file "$name") \
        > "$work/out" 2> "$work/err" || status=$?
    got=$(tr -d '\r' < "$work/out")
    check "hashcheck.exe -file $name agrees with rhash" test "$got" = "$want"
    check "hashcheck.exe -file $name: status 0, nothing on standard error" \
        test "$status" -eq 0 -a ! -s "$work/err"
    [ ! -s "$work/err" ] || { echo "its standard error:"; cat "$work/err"; }
done
exit $fail

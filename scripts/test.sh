#!/usr/bin/env bash
# Installs what the test suite needs (Debian 12), builds it and runs it under
# every preset that CI runs: the host presets, then the cross targets (32-bit
# and big-endian Linux under qemu-user, Windows under Wine).
# Usage: bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build libgtest-dev rhash valgrind
          pkgconf man-db dpkg-dev clang clang-format clang-tidy libclang-rt-14-dev libacl1-dev acl
          googletest qemu-user g++-i686-linux-gnu g++-s390x-linux-gnu
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          wine wine64 wine32:i386)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    # wine32 comes from the i386 architecture.
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
for preset in default sanitize valgrind i686-linux s390x-linux win32 win64; do
    echo "=== preset $preset"
    start=$(date +%s)
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
    echo "=== preset $preset: $(( $(date +%s) - start )) s"
done

echo "=== lint: clang-format and clang-tidy"
bash scripts/lint.sh

echo "=== fuzz targets, bounded"
bash scripts/fuzz.sh 30

echo "=== Debian package"
if [ "$(id -u)" -eq 0 ] || command -v sudo >/dev/null; then
    bash scripts/package_check.sh build/default
else
    echo "skipped: installing the package needs root or sudo"
fi

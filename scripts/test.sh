#!/usr/bin/env bash
# Installs what the test suite needs (Debian 12), builds it and runs it under
# every preset that CI runs. Usage: bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build libgtest-dev rhash valgrind pkgconf man-db dpkg-dev clang libclang-rt-14-dev libacl1-dev acl)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
for preset in default sanitize valgrind; do
    echo "=== preset $preset"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

echo "=== fuzz targets, bounded"
bash scripts/fuzz.sh 30

echo "=== Debian package"
if [ "$(id -u)" -eq 0 ] || command -v sudo >/dev/null; then
    bash scripts/package_check.sh build/default
else
    echo "skipped: installing the package needs root or sudo"
fi

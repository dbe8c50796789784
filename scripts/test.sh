#!/usr/bin/env bash
# Installs what the test suite needs (Debian 12), builds it and runs it under
# every preset that CI runs: the host presets, then the cross targets (32-bit
# and big-endian Linux under qemu-user, Windows under Wine); then lint, the
# fuzz targets and the Debian package. With --preset, only that preset: what
# it needs is installed, and it is configured, built and tested.
# Usage: bash scripts/test.sh [--preset NAME]...
set -euo pipefail
cd "$(dirname "$0")/.."
run_start=$(date +%s)

presets_all=(default sanitize valgrind i686-linux s390x-linux win32 win64)
common=(build-essential cmake ninja-build libgtest-dev googletest rhash pkgconf)
# What each preset needs beyond the common packages. win32 runs 32-bit Wine,
# through qemu-i386 where the kernel cannot (scripts/wine32_namespace.sh),
# with a library for it built by g++-i686-linux-gnu. The Windows zips carry
# the man pages as HTML, which groff's HTML device makes.
declare -A needs=(
    [default]="man-db libacl1-dev acl"
    [sanitize]="libacl1-dev acl"
    [valgrind]="valgrind libacl1-dev acl"
    [i686-linux]="qemu-user g++-i686-linux-gnu"
    [s390x-linux]="qemu-user g++-s390x-linux-gnu"
    [win32]="g++-mingw-w64-i686-posix wine wine64 wine32:i386 qemu-user g++-i686-linux-gnu groff"
    [win64]="g++-mingw-w64-x86-64-posix wine wine64 groff"
)
# Lint, fuzzing and the package (built from the preset "package", checked by lintian).
rest=(clang clang-format clang-tidy libclang-rt-14-dev dpkg-dev lintian)

usage() {
    echo "usage: $0 [--preset NAME]..., NAME one of: ${presets_all[*]}" >&2
    exit 2
}
presets=()
while [ $# -gt 0 ]; do
    [ "$1" = --preset ] && [ $# -ge 2 ] && [ -n "$2" ] && [ -n "${needs[$2]+set}" ] || usage
    presets+=("$2")
    shift 2
done
everything=0
if [ ${#presets[@]} -eq 0 ]; then
    everything=1
    presets=("${presets_all[@]}")
fi

packages=("${common[@]}")
for preset in "${presets[@]}"; do
    read -r -a extra <<< "${needs[$preset]}"
    packages+=("${extra[@]}")
done
[ "$everything" -eq 0 ] || packages+=("${rest[@]}")
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | sort -u)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
# Installs the packages given, with the indexes at hand: a mirror caught
# mid-sync fails one index or another (and then a package whose other
# architecture's version it lists), for minutes, so the install is tried
# again. Returns nonzero when the last try fails.
install_packages() {
    local tries=$1 attempt
    shift
    for attempt in $(seq "$tries"); do
        $sudo apt-get update -qq || echo "apt-get update failed in part (attempt $attempt)" >&2
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" && return 0
        [ "$attempt" -lt "$tries" ] && sleep 60
    done
    return 1
}
native=()
foreign=()
for p in "${missing[@]}"; do
    case "$p" in
    *:i386) foreign+=("$p") ;;
    *) native+=("$p") ;;
    esac
done
if [ ${#native[@]} -gt 0 ]; then
    install_packages 4 "${native[@]}" || exit 1
fi
# 32-bit Wine comes from the i386 architecture, whose indexes a mirror may
# serve out of step with the machine's own for days (its libraries must
# match the 64-bit ones to the version). Without it the win32 build is
# still built and its programs are still made, and its test run reports
# in one skipped test that Wine cannot start; this says why, loudly.
wine32_note=""
if [ ${#foreign[@]} -gt 0 ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
    if ! install_packages 2 "${foreign[@]}"; then
        wine32_note="NOT RUN under 32-bit Wine: ${foreign[*]} could not be installed from this machine's package mirror"
        echo "=== win32: $wine32_note" >&2
    fi
fi

jobs=$(nproc 2>/dev/null || echo 2)
steps='cmake --preset "$1" && cmake --build --preset "$1" -j "$2" && ctest --preset "$1" -j "$2"'
# A Windows preset then makes its zip and runs the hashcheck.exe in it.
zip_step=' && bash scripts/windows_zip_check.sh "build/$1"'
times=()
for preset in "${presets[@]}"; do
    echo "=== preset $preset"
    start=$(date +%s)
    if [ "$preset" = win32 ]; then
        # Configure (which asks whether Wine starts), build and test in one
        # namespace where 32-bit Wine can start.
        bash scripts/wine32_namespace.sh bash -c "$steps$zip_step" steps "$preset" "$jobs"
    elif [ "$preset" = win64 ]; then
        bash -c "$steps$zip_step" steps "$preset" "$jobs"
    else
        bash -c "$steps" steps "$preset" "$jobs"
    fi
    seconds=$(( $(date +%s) - start ))
    echo "=== preset $preset: $seconds s"
    times+=("$preset $seconds s")
done

if [ "$everything" -eq 1 ]; then
    echo "=== lint: clang-format and clang-tidy"
    bash scripts/lint.sh

    echo "=== fuzz targets, bounded"
    bash scripts/fuzz.sh 30

    echo "=== Debian package"
    if [ "$(id -u)" -eq 0 ] || command -v sudo >/dev/null; then
        bash scripts/package_check.sh
    else
        echo "skipped: installing the package needs root or sudo"
    fi
fi

times+=("all $(( $(date +%s) - run_start )) s")
[ -z "$wine32_note" ] || echo "=== win32: $wine32_note"
echo "=== times: $(printf '%s, ' "${times[@]}" | sed 's/, $//')"

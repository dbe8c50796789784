#!/usr/bin/env bash
# Runs a command where 32-bit Wine starts even on a kernel that runs no i386
# program itself: in a user namespace of its own (Linux 6.7 or later) with a
# binfmt_misc instance private to it, which hands i386 programs to qemu-i386.
# Nothing is registered for the rest of the machine: afterwards the script
# checks that the binfmt_misc it was started with is as it was, and fails if
# not. The command runs as process 1 of a PID namespace, so every process it
# leaves behind (Wine's server and services) ends with it.
#
# Where the kernel runs i386 programs itself, nothing is registered (unless
# QV_WINE32_NAMESPACE=qemu, which hands them to qemu-i386 all the same). Where
# no such namespace can be made (an older kernel, user namespaces disabled, no
# qemu-i386), or with QV_WINE32_NAMESPACE=off, the command runs as it is; on a
# kernel without IA-32 emulation a win32 build then finds that Wine cannot
# start and says so in one skipped test.
#
# Usage: bash scripts/wine32_namespace.sh COMMAND [ARG...]
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }

binfmt=/proc/sys/fs/binfmt_misc
# Whether binfmt_misc is mounted here, and what is registered in it.
binfmt_state() {
    local mounted="not mounted" entries
    grep -q " $binfmt binfmt_misc " /proc/self/mounts && mounted="mounted"
    entries=$(find "$binfmt" -mindepth 1 -maxdepth 1 ! -name register ! -name status \
        -printf '%f\n' | sort | paste -sd ' ')
    echo "$mounted, registered: ${entries:-nothing}"
}

# Inside: process 1 of the new namespaces, root of the user namespace only.
inner='
set -eu
binfmt=/proc/sys/fs/binfmt_misc
mount -t binfmt_misc binfmt_misc "$binfmt"
[ "$1" = probe ] && exit 0
shift
# 32-bit Wine'"'"'s loader, an i386 program, tells whether the kernel runs one.
if [ "$QV_WINE32_NAMESPACE" = qemu ] || ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    # i386 ELF executables and shared objects; the kernel decodes the \x
    # escapes. F: qemu is opened now, so its path need not resolve where a
    # program later runs.
    printf "%s" ":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$QV_QEMU_I386:F" \
        > "$binfmt/register"
fi
status=0
"$@" || status=$?
exit "$status"
'
in_namespace() {
    unshare --user --map-root-user --mount --pid --fork --mount-proc --kill-child \
        sh -c "$inner" wine32-namespace "$@"
}

qemu=$(command -v qemu-i386 || true)
export QV_WINE32_NAMESPACE=${QV_WINE32_NAMESPACE:-on}
why=""
if [ "$QV_WINE32_NAMESPACE" = off ]; then
    why="QV_WINE32_NAMESPACE=off"
elif [ -z "$qemu" ]; then
    why="no qemu-i386 (qemu-user)"
elif ! in_namespace probe 2>/dev/null; then
    why="no user namespace with a binfmt_misc of its own here (Linux 6.7 or later)"
fi
if [ -n "$why" ]; then
    echo "wine32_namespace: $why; running the command as it is" >&2
    exec "$@"
fi

before=$(binfmt_state)
status=0
QV_QEMU_I386=$qemu in_namespace run "$@" || status=$?
after=$(binfmt_state)
if [ "$after" != "$before" ]; then
    echo "wine32_namespace: $binfmt of this machine changed while the command ran" >&2
    echo "  before: $before" >&2
    echo "  after:  $after" >&2
    exit 1
fi
echo "wine32_namespace: $binfmt of this machine as before: $after"
exit "$status"

#!/usr/bin/env bash
# Checks every page under the given man folder: no control bytes in the source
# (man drops them when it renders, so the rendered text cannot show them), no
# warnings from man, and a known phrase of each page present in its rendering.
set -u
man_dir=$1
status=0

# One phrase per page; a page without one here fails, so a new page gets one.
phrase_for() {
  case $1 in
    gost_r3411_2012.3) echo 'hash_low/gost_r3411_2012.cpp:line GOSTR3411_2012_Update' ;;
    hashcheck.1) echo 'hashcheck -file path [-file path]...' ;;
    kbdseed.1) echo 'kbdseed [-n] -out file_name' ;;
    quorvant-registry.5) echo '/var/lib/quorvant/registry.reg' ;;
    seedreg.1) echo 'SOFTWARE\Quorvant\Tessaly' ;;
    streebogsum.1) echo 'streebogsum [OPTION]... [FILE]...' ;;
    treeaudit.1) echo 'treeaudit compare [--key FILE] [--json] [--summary] OLD NEW' ;;
    treeaudit.5) echo 'end COUNT DIGEST [hmac MAC]' ;;
    *) return 1 ;;
  esac
}

for page in "$man_dir"/*.[1-8]; do
  name=${page##*/}
  if LC_ALL=C grep -n -P '[\x00-\x08\x0B-\x1F\x7F]' "$page" >/dev/null; then
    echo "$name: control byte on line(s) $(LC_ALL=C grep -n -o -P '[\x00-\x08\x0B-\x1F\x7F]' "$page" | cut -d: -f1 | uniq | tr '\n' ' ')"
    status=1
  fi
  err=$(mktemp)
  out=$(LC_ALL=C MANWIDTH=80 man --warnings -l "$page" 2>"$err")
  if [ -s "$err" ]; then
    echo "$name: man warns: $(cat "$err")"
    status=1
  fi
  rm -f "$err"
  if ! phrase=$(phrase_for "$name"); then
    echo "$name: no phrase to look for in its rendering"
    status=1
  elif ! grep -F -q -- "$phrase" <<<"$out"; then
    echo "$name: rendering lacks \"$phrase\""
    status=1
  fi
done
exit $status

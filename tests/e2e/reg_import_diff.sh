#!/usr/bin/env bash
# The .reg reader held against Wine's builtin `reg import`: generates .reg
# texts, imports each into a fresh key of a Wine prefix of its own, reads the
# keys back with the probe, and has keymason_reg_import_diff compare what the
# reader says each text sets (and whether it refuses it) with what reg import
# did. Fails when a tool is missing, when no text ran, and on any disagreement.
#
#   reg_import_diff.sh --win64 BUILD_DIR --tool keymason_reg_import_diff
#                      [--work DIR] [--count N] [--seed S]
set -uo pipefail

win64="" tool="" work="" count=320 seed=14
while [ $# -gt 0 ]; do
  case $1 in
    --win64) win64=$2; shift 2 ;;
    --tool) tool=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
die() { echo "FAIL  $*" >&2; exit 1; }
[ -n "$win64" ] && [ -n "$tool" ] && [ -n "$work" ] || die "usage: --win64 BUILD_DIR --tool FILE --work DIR"
probe=$win64/tests/e2e/keymason_probe.exe
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
for f in "$probe" "$tool" "$wine" "$wineserver"; do [ -x "$f" ] || [ -f "$f" ] || die "missing: $f"; done

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)  # Wine wants absolute paths
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;reg.exe=b"  # Wine's own reg.exe
unset DISPLAY  # reg and the probe are console programs
trap '"$wineserver" -k 2>/dev/null' EXIT
mkdir -p "$WINEPREFIX"
"$wineserver" -p  # one warm server for every run below
"$wine" wineboot -i >"$work/wineboot.log" 2>&1 || die "wineboot -i (see $work/wineboot.log)"

texts=$WINEPREFIX/drive_c/texts
mkdir -p "$texts"
"$tool" generate "$texts" "$count" "$seed" || die "generating the texts"
: >"$work/exit-codes"
for ((n = 0; n < count; n++)); do
  name=$(printf 't%04d.reg' "$n")
  # Wine now and then fails to start a program under load; that is no answer.
  for _ in 1 2 3; do
    "$wine" reg import "C:\\texts\\$name" >"$work/import-$n.log" 2>&1
    code=$?
    grep -q 'could not be started' "$work/import-$n.log" || break
  done
  echo "$n $code" >>"$work/exit-codes"
done
for _ in 1 2 3; do
  "$wine" "$probe" tree 'HKCU\Software\KmD' 'HKCR\Software\KmD' >"$work/probe-tree" 2>/dev/null
  grep -q '^key HKCU' "$work/probe-tree" && break
done
grep -q '^key HKCU' "$work/probe-tree" || die "the probe read no key back (see $work/probe-tree)"
"$tool" compare "$texts" "$count" "$work/probe-tree" "$work/exit-codes"

#!/usr/bin/env bash
# The largest package the released i686 Keymason.exe applies under Wine's
# WoW64: for each size, a machine-wide package of about that many megabytes
# (10^6 bytes) is applied in a fresh 64-bit prefix of its own, and the run is
# reported: exit code, wall time, CPU time (user and system) and peak
# resident memory of the Wine process (/usr/bin/time -v, kept in
# build/bench-data/limits-MB.time, the run log beside it), the run log's third
# entry (where a read error or memory running out is logged), whether a
# window appeared, and whether the registry holds what the last line sets.
# Each size's figures are also left in build/bench-data/limits-MB.result as
# shell assignments (file_mb lines code wall cpu rss window last refused).
#
#   bench/size_limit.sh KEYMASON_EXE [MB...]      (default: 300 500 700 900)
#   SIZE_LIMIT_MINUTES=N    a run still going after N minutes (default 30) is
#                           killed and reported as hung
#   SIZE_LIMIT_KEEP=1       keep the generated packages (they are deleted after
#                           their run: hundreds of megabytes each)
#
# Needs Wine with its 32-bit half, Xvfb, xdotool and GNU time.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
keymason=${1:?usage: size_limit.sh KEYMASON_EXE [MB...]}
keymason=$(cd "$(dirname "$keymason")" && pwd)/$(basename "$keymason")
shift
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(300 500 700 900)
limit_s=$((${SIZE_LIMIT_MINUTES:-30} * 60))
data=$root/build/bench-data
mkdir -p "$data"

# make_packages.py's apply lines average 170 bytes with their CR LF.
bytes_per_line=170
# Appended to every package: its last line, a text value read back after the run.
last_key='KeymasonBench\SizeLimit'
last_name=LastLine

wine=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] || { echo "Wine's 32-bit half is missing ($wine)" >&2; exit 1; }
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=$data/limits-prefix

xvfb_pid="" run_pid=""
cleanup() {
  [ -z "$run_pid" ] || kill -9 "$run_pid" 2>/dev/null
  [ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT
mkdir -p "$data/limits-x"
. "$here/xvfb.sh"
start_xvfb "$data/limits-x" || exit 1

# A prefix of its own for every size, so that no run meets the registry a
# larger one left behind.
fresh_prefix() {
  [ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null && "$wineserver" -w
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX/drive_c/kmlimit/logs"
  "$wineserver" -p  # one warm server for the run and the read-back
  "$wine64" wineboot -i >"$data/limits-wineboot.log" 2>&1 || return 1
  # A crash ends the process instead of waiting for a debugger.
  "$wine64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f >/dev/null 2>&1
  "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  "$wine" cmd /c exit >/dev/null 2>&1 || true  # the 32-bit side warm too
}

package_for() {  # MB -> path; generated once and kept in build/bench-data
  local mb=$1 lines=$(($1 * 1000000 / bytes_per_line)) file=$data/limits-$1mb.reg.dat
  if [ ! -f "$file" ]; then
    python3 "$here/make_packages.py" apply "$lines" "$file.part" || return 1
    printf '1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*%s*@**@*%s*@*REG_SZ*@*All Users*@*%s*@*\r\n' \
      "$last_key" "$last_name" "last of $mb MB" >>"$file.part"
    mv "$file.part" "$file"
  fi
  printf '%s' "$file"
}

visible_window() { xdotool search --all --onlyvisible --pid "$1" 2>/dev/null | head -1; }

rows=()
for mb in "${sizes[@]}"; do
  [ -f "$data/limits-${mb}mb.reg.dat" ] || echo "== $mb MB: generating" >&2
  package=$(package_for "$mb") || { rows+=("| $mb | | generation failed | | | | | | |"); continue; }
  lines=$(wc -l <"$package")
  file_mb=$(awk -v b="$(stat -L -c %s "$package")" 'BEGIN { printf "%.1f", b / 1e6 }')
  echo "== $mb MB: $lines lines, $file_mb MB; fresh prefix" >&2
  fresh_prefix || { rows+=("| $file_mb | $lines | wineboot failed | | | | | | |"); continue; }
  log=$WINEPREFIX/drive_c/kmlimit/logs/keymason.log
  timing=$data/limits-$mb.time
  echo "== $mb MB: running (load $(cut -d' ' -f1-3 /proc/loadavg))" >&2
  start=$(date +%s%N)
  (cd "$WINEPREFIX/drive_c/kmlimit" && APP_PATH='C:\kmlimit' \
    exec /usr/bin/time -v -o "$timing" "$wine" "$keymason" "Z:${package//\//\\}") &
  run_pid=$!
  seen=no hung=no
  while kill -0 "$run_pid" 2>/dev/null; do
    for pid in $(pgrep -P "$run_pid"); do
      [ -n "$(visible_window "$pid")" ] && seen=yes
    done
    if [ $((($(date +%s%N) - start) / 1000000000)) -ge "$limit_s" ]; then
      hung=yes
      pkill -9 -P "$run_pid"
      break
    fi
    sleep 0.2
  done
  wait "$run_pid"
  rc=$?
  run_pid=""
  wall=$(awk -v ns=$(($(date +%s%N) - start)) 'BEGIN { printf "%.1f", ns / 1e9 }')
  rss=$(awk '/Maximum resident set size/ { printf "%.0f", $NF / 1024 }' "$timing")
  cpu=$(awk '/(User|System) time/ { t += $NF } END { printf "%.1f", t }' "$timing")
  if [ "$hung" = yes ]; then
    code="hung, killed after ${limit_s} s"
  elif grep -q 'Command terminated by signal' "$timing"; then
    code=$(sed -n 's/.*Command terminated by \(signal [0-9]*\).*/\1/p' "$timing")
  else
    code=$(sed -n 's/^[[:space:]]*Exit status: //p' "$timing")
    code=${code:-$rc}
  fi
  third=$( [ -f "$log" ] && tr -d '\r' <"$log" | sed -n 3p | sed -E 's/^\[[^]]*\] keymason\([0-9]+\) *//')
  # The value the last line sets, read in the 64-bit view.
  if "$wine64" reg query "HKLM\\SOFTWARE\\$last_key" /v "$last_name" 2>/dev/null | tr -d '\r' |
      grep -q "REG_SZ *last of $mb MB\$"; then
    last=yes
  else
    last=no
  fi
  [ -f "$log" ] && cp "$log" "$data/limits-$mb.log"
  # Entries past the version and the package's path: a refusal, a read
  # error, memory running out.
  refused='(no run log)'
  [ -f "$log" ] && refused=$(tr -d '\r' <"$log" | awk 'NR >= 3' |
    sed -E 's/^\[[^]]*\] keymason\([0-9]+\) *//' | paste -sd ';' | cut -c 1-300)
  row="| $file_mb | $lines | $code | $wall | $cpu | $rss | ${third:-(none)} | $seen | $last |"
  # The same for scripts, in shell syntax.
  printf 'file_mb=%q lines=%q code=%q wall=%q cpu=%q rss=%q window=%q last=%q refused=%q\n' \
    "$file_mb" "$lines" "$code" "$wall" "$cpu" "$rss" "$seen" "$last" "$refused" \
    >"$data/limits-$mb.result"
  echo "$row" >&2
  rows+=("$row")
  [ "${SIZE_LIMIT_KEEP:-0}" = 1 ] || rm -f "$package"
  "$wineserver" -k 2>/dev/null
  rm -rf "$WINEPREFIX"
done

echo "| MB | lines | exit code | wall s | CPU s | peak RSS MB | third log entry | window | last line applied |"
echo "|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"

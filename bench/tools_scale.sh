#!/usr/bin/env bash
# The tools at the registry's scale, natively; run by scripts/bench's tools
# part, which prints the target lines it writes among the others:
#   one key of SUBKEYS subkeys: --plan and undo of a package that sets a value
#     in every tenth, against from-reg of the same .reg (at most 3 times);
#   PROFILES logged-on profiles and one All Users line: --plan (at most 10 s);
#   a package and a .reg of about MB megabytes: the peak resident memory of
#     lint, --plan and from-reg (/usr/bin/time's maximum), each under three
#     times its input file;
#   the i686 keymason-check.exe and keymason-pack.exe, built as scripts/release
#     builds them (Release, build/win32): large-address-aware, and the plan of
#     a 300 MB package: run through WoW64 where this machine runs 32-bit code
#     (scripts/wow64), else not measured, with the native plan's peak on it.
#
#   bench/tools_scale.sh PACK CHECK DATA_DIR ROUNDS SUBKEYS PROFILES MB
set -euo pipefail
pack=$1 check=$2 data=$3 rounds=$4 subkeys=$5 profiles=$6 mb=$7
root=$(cd "$(dirname "$0")/.." && pwd)

seconds() {  # command...: the best wall time of $rounds runs, in seconds
  local best="" i s e
  for ((i = 0; i < rounds; i++)); do
    s=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; e=$(date +%s.%N)
    best=$(awk -v b="$best" -v d="$(awk -v s="$s" -v e="$e" 'BEGIN { print e - s }')" \
      'BEGIN { print (b == "" || d < b) ? d : b }')
  done
  echo "$best"
}
verdict() {  # awk condition on r: met or missed
  awk -v r="$2" "BEGIN { exit !($1) }" && echo met || echo missed
}
generate() {  # kind count files...
  [ -f "${*: -1}" ] || python3 "$root/bench/make_packages.py" "$@"
}

wide=$data/wide-$subkeys.reg
generate wide "$subkeys" "$wide" "$wide.dat"
from=$(seconds "$pack" from-reg "$wide" -o "$data/wide-from.reg.dat")
undo=$(seconds "$pack" undo --base "$wide" "$wide.dat" -o "$data/wide-undo.reg.dat")
plan=$(seconds "$check" --plan --base "$wide" "$wide.dat")
echo "from-reg of one key of $subkeys subkeys: $from s; undo: $undo s; --plan: $plan s" \
  "($((subkeys / 10)) lines)"
for pair in "undo:$undo" "--plan:$plan"; do
  name=${pair%%:*}
  ratio=$(awk -v a="${pair#*:}" -v b="$from" 'BEGIN { printf "%.1f", a / b }')
  echo "  target: $name / from-reg, $subkeys subkeys in one key, <= 3: $ratio, $(verdict 'r <= 3' "$ratio")"
done

users=$data/profiles-$profiles.reg
generate profiles "$profiles" "$users" "$users.dat"
secs=$(seconds "$check" --plan --base "$users" "$users.dat")
echo "  target: --plan, $profiles logged-on profiles and one All Users line, <= 10 s:" \
  "$(printf '%.2f' "$secs") s, $(verdict 'r <= 10' "$secs")"

# make_packages.py's apply lines average 170 bytes with their CR LF.
big=$data/apply-${mb}mb.reg.dat
generate apply $((mb * 1000000 / 170)) "$big" "${big%.dat}"
peak_bytes() {  # command...: its peak resident memory in bytes
  /usr/bin/time -f %M -o "$data/peak.txt" "$@" >/dev/null 2>&1 || true
  echo $(($(tail -1 "$data/peak.txt") * 1024))
}
for run in "lint:$big:" "--plan:$big:--plan" "from-reg:${big%.dat}:"; do
  IFS=: read -r name input option <<<"$run"
  size=$(stat -L -c %s "$input")
  case $name in
    from-reg) bytes=$(peak_bytes "$pack" from-reg "$input" -o "$data/big-from.reg.dat") ;;
    *) bytes=$(peak_bytes "$check" $option "$input") ;;
  esac
  ratio=$(awk -v p="$bytes" -v s="$size" 'BEGIN { printf "%.2f", p / s }')
  echo "  target: peak memory / input, $name of $((size / 1000000)) MB, < 3: $ratio" \
    "($((bytes / 1048576)) MB), $(verdict 'r < 3' "$ratio")"
done

cmake -S "$root" -B "$root/build/win32" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$root/build/win32" -j "$(nproc)" --target keymason-check keymason-pack >/dev/null
aware=""
for tool in check/keymason-check.exe pack/keymason-pack.exe; do
  headers=$(i686-w64-mingw32-objdump -p "$root/build/win32/$tool")
  [[ $headers == *"large address aware"* ]] && aware+="$(basename "$tool") yes; " ||
    aware+="$(basename "$tool") no; "
done
echo "  target: the i686 tools large-address-aware: ${aware%; }," \
  "$([[ $aware != *" no"* ]] && echo met || echo missed)"
# The i686 keymason-check.exe on a package of 300 MB: run under WoW64 where
# this machine runs 32-bit code; elsewhere the native plan of the same package
# says how much it holds, and the i686 figure is not measured.
big300=$data/apply-300mb.reg.dat
generate apply $((300 * 1000000 / 170)) "$big300"
size300=$(stat -L -c %s "$big300")
native300=$(peak_bytes "$check" --plan "$big300")
echo "native --plan of $((size300 / 1000000)) MB: peak $((native300 / 1048576)) MB" \
  "($(awk -v p="$native300" -v s="$size300" 'BEGIN { printf "%.2f", p / s }') x the input)"
# A prefix of its own, so that the other parts' set-up never depends on it;
# a crash ends the process instead of waiting for a debugger.
export WINEPREFIX=$root/build/bench-tools-prefix WINEARCH=win64 WINEDEBUG=-all
reason=""
"$root/scripts/wow64" 2>"$data/tools-wow64.txt" || reason=$(tail -1 "$data/tools-wow64.txt")
if [ -z "$reason" ] && [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  if /usr/lib/wine/wine64 wineboot -i >"$data/tools-wineboot.log" 2>&1; then
    /usr/lib/wine/wine64 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /d '' /f >/dev/null 2>&1 || true
  else
    reason="wineboot failed, see $data/tools-wineboot.log"
  fi
fi
if [ -z "$reason" ]; then
  set +e
  # The report is 2 to 3 times the package: only whether it got to its summary is kept.
  /usr/bin/time -f %M -o "$data/peak.txt" /usr/lib/wine/wine "$root/build/win32/check/keymason-check.exe" \
    --plan "Z:${big300//\//\\}" 2>/dev/null | grep -c '^summary:' >"$data/plan-i686.txt"
  code=${PIPESTATUS[0]}
  set -e
  peak=$(($(tail -1 "$data/peak.txt") / 1024))
  planned=no
  [ "$code" -le 2 ] && [ "$(cat "$data/plan-i686.txt")" = 1 ] && planned=yes
  echo "  target: the i686 keymason-check.exe plans a 300 MB package under WoW64: exit code $code," \
    "peak $peak MB, $([ "$planned" = yes ] && echo met || echo missed)"
else
  echo "  target: the i686 keymason-check.exe plans a 300 MB package: not measured here ($reason);" \
    "the native plan of it peaks at $((native300 / 1048576)) MB, under the 4096 MB a large-address-aware" \
    "32-bit process has"
fi

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
#     builds them (Release, build/win32): large-address-aware, and what the
#     native peak of --plan says of a 300 MB package there. This machine runs
#     no 32-bit code: the 300 MB figure is the native peak per input byte at
#     MB megabytes, times 300 MB, against the 4 GB such a process may address
#     under WOW64.
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
plan_ratio=""
for run in "lint:$big:" "--plan:$big:--plan" "from-reg:${big%.dat}:"; do
  IFS=: read -r name input option <<<"$run"
  size=$(stat -L -c %s "$input")
  case $name in
    from-reg) bytes=$(peak_bytes "$pack" from-reg "$input" -o "$data/big-from.reg.dat") ;;
    *) bytes=$(peak_bytes "$check" $option "$input") ;;
  esac
  ratio=$(awk -v p="$bytes" -v s="$size" 'BEGIN { printf "%.2f", p / s }')
  [ "$name" = --plan ] && plan_ratio=$ratio
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
needed=$(awk -v r="$plan_ratio" 'BEGIN { printf "%d", r * 300 * 1000000 / 1048576 }')
echo "  target: the i686 keymason-check.exe plans a 300 MB package (native only: peak" \
  "$plan_ratio x the input, so about $needed MB, <= 4096 MB): $(verdict 'r <= 4096' "$needed")"

#!/usr/bin/env bash
# The fuzz targets as a test: builds them with clang, replays every seed and
# regression input, then fuzzes each target for a bounded time.
# Usage: fuzz/run_short.sh [BUILD_DIR] [SECONDS_PER_TARGET]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/fuzz}
seconds=${2:-25}
targets=(fuzz_package_parse fuzz_update_pass fuzz_reg_reader)

"$root/fuzz/build.sh" "$out" >/dev/null

status=0
for target in "${targets[@]}"; do
  work="$out/work/$target"
  artifacts="$out/artifacts"
  rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  inputs=("$root/fuzz/corpus/$target")
  [ -d "$root/fuzz/regressions/$target" ] && inputs+=("$root/fuzz/regressions/$target")

  # Every known input once; a crash here is a finding come back.
  if ! "$out/$target" -runs=0 -timeout=10 -rss_limit_mb=4096 \
      -artifact_prefix="$artifacts/$target-" "${inputs[@]}" >"$out/$target.replay.log" 2>&1; then
    echo "$target: a seed or regression input fails; see $out/$target.replay.log" >&2
    tail -40 "$out/$target.replay.log" >&2
    status=1
    continue
  fi

  if ! "$out/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=8192 \
      -dict="$root/fuzz/$([ "$target" = fuzz_reg_reader ] && echo reg || echo package).dict" -artifact_prefix="$artifacts/$target-" -print_final_stats=1 \
      "$work" "${inputs[@]}" >"$out/$target.log" 2>&1; then
    echo "$target: fuzzing found a failing input (kept in $artifacts); see $out/$target.log" >&2
    tail -40 "$out/$target.log" >&2
    status=1
    continue
  fi
  echo "$target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$out/$target.log" | grep -o '[0-9]*$') runs, no failure"
done
exit $status

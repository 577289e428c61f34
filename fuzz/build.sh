#!/usr/bin/env bash
# Builds the fuzz targets with clang into the given folder (default
# build/fuzz), apart from the g++ build; prints the folder.
# Usage: fuzz/build.sh [OUT] [sanitized|fast|coverage]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/fuzz}
kind=${2:-sanitized}
jobs=${FUZZ_JOBS:-$(nproc)}
mkdir -p "$out"
if ! { cmake -S "$root/fuzz" -B "$out" -DCMAKE_CXX_COMPILER=clang++ -DKEYMASON_FUZZ_KIND="$kind" &&
       cmake --build "$out" -j "$jobs"; } >"$out/build.log" 2>&1; then
  cat "$out/build.log" >&2
  exit 1
fi
echo "$out"

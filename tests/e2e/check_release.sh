#!/usr/bin/env bash
# Checks the release archive and unpacks it for the i686 end-to-end run:
# the files we ship and nothing else, each matching SHA256SUMS, the programs
# those of the i686 build, the README the repository's.
#
#   check_release.sh ARCHIVE WIN32_BUILD_DIR OUT_DIR
#
# OUT_DIR receives the archive's programs. Last line "N passed, N failed".
set -uo pipefail
archive=$1 build=$2 out=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
passed=0 failed=0
pass() { passed=$((passed + 1)); echo "PASS  $1"; }
fail() { failed=$((failed + 1)); echo "FAIL  $1${2:+ -- $2}"; }
expect_eq() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "expected [$2], got [$3]"; fi; }
finish() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; exit $?; }

[ -f "$archive" ] || { fail "archive exists" "$archive (made by scripts/release)"; finish; }
rm -rf "$out"
mkdir -p "$out"
unzip -q "$archive" -d "$out.unpack" 2>/dev/null || { fail "archive unpacks"; finish; }
name=$(basename "$archive" .zip)
dir=$out.unpack/$name
expect_eq "one top folder named after the archive" "$name" "$(ls "$out.unpack")"
shipped="Keymason.exe README.md SHA256SUMS keymason-check.exe"
[ -f "$build/pack/keymason-pack.exe" ] && shipped+=" keymason-pack.exe"
shipped+=" keymason-selftest.exe"
expect_eq "the files we ship, nothing else" "$shipped" "$(ls "$dir" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
expect_eq "SHA256SUMS names every other file" "$(ls "$dir" | grep -vx SHA256SUMS | LC_ALL=C sort)" \
  "$(awk '{print $2}' "$dir/SHA256SUMS" | LC_ALL=C sort)"
if (cd "$dir" && sha256sum --quiet -c SHA256SUMS >/dev/null 2>&1); then
  pass "every sum matches"
else
  fail "every sum matches" "$(cd "$dir" && sha256sum -c SHA256SUMS 2>&1 | grep -v ': OK$' | tr '\n' ';')"
fi
for pair in Keymason.exe:app/Keymason.exe keymason-check.exe:check/keymason-check.exe \
  keymason-selftest.exe:selftest/keymason-selftest.exe; do
  if cmp -s "$dir/${pair%%:*}" "$build/${pair#*:}"; then
    pass "${pair%%:*} is the i686 build's"
  else
    fail "${pair%%:*} is the i686 build's"
  fi
done
if cmp -s "$dir/README.md" "$root/README.md"; then pass "README is the repository's"; else fail "README is the repository's"; fi
cp "$dir"/*.exe "$out/"
rm -rf "$out.unpack"
finish

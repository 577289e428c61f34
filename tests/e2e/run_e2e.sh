#!/usr/bin/env bash
# End-to-end suite: runs Keymason.exe under Wine in a fresh prefix of its own,
# with its own Xvfb, and reads back what each run left (exit code, window,
# run log, registry); checks the built executables' headers, imports and
# resources. The same cases run on either Windows build.
#
#   run_e2e.sh [--arch win64|wow64] [--win64 BUILD_DIR] [--win32 BUILD_DIR]
#              [--programs DIR] [--check FILE --regdiff FILE]
#              [--work DIR] [--artifacts DIR]
#
# --arch:  win64 (default) runs the x86_64 Keymason.exe under wine64; wow64
#          runs the i686 one, the deliverable, through Wine's WoW64 in the
#          same kind of 64-bit prefix. Where this machine cannot run 32-bit
#          code the wow64 suite is skipped (exit code 77), never passed.
# --win64: the x86_64 build: the probe (BUILD_DIR/tests/e2e/keymason_probe.exe)
#          reads the registry back for both archs; for win64 also Keymason.exe,
#          keymason-check.exe, the reg.exe stand-in and keymason-selftest.exe.
# --win32: the i686 build: its Keymason.exe is checked as a file; for wow64
#          its reg.exe stand-in and keymason-selftest.exe run.
# --programs: where Keymason.exe, keymason-check.exe and keymason-selftest.exe
#          are taken from (the released ones); by default BUILD_DIR/app,
#          BUILD_DIR/check and BUILD_DIR/selftest.
# --check, --regdiff: the native keymason-check and keymason_regdiff; with
#          both, a plan against a base is held against Keymason's run on it.
# The last line is "N passed, N failed"; the exit code is 1 on any failure.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
arch=win64 win64="" win32="" programs="" work="" artifacts="" check_tool="" regdiff=""
while [ $# -gt 0 ]; do
  case $1 in
    --arch) arch=$2; shift 2 ;;
    --win64) win64=$2; shift 2 ;;
    --win32) win32=$2; shift 2 ;;
    --programs) programs=$2; shift 2 ;;
    --check) check_tool=$2; shift 2 ;;
    --regdiff) regdiff=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --artifacts) artifacts=$2; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
case $arch in win64 | wow64) ;; *) echo "unknown arch: $arch" >&2; exit 2 ;; esac
work=${work:-$root/build/e2e-work}
absolute() { [ -z "$1" ] || (cd "$1" 2>/dev/null && pwd) || echo "$1"; }
win64=$(absolute "$win64")
win32=$(absolute "$win32")
programs=$(absolute "$programs")
artifacts=${artifacts:-$work/artifacts}
rm -rf "$work"
mkdir -p "$work" "$artifacts"
work=$(cd "$work" && pwd) artifacts=$(cd "$artifacts" && pwd)  # Wine wants absolute paths

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "PASS  $1"; }
fail() { failed=$((failed + 1)); echo "FAIL  $1${2:+ -- $2}"; }
# check NAME COMMAND...: passes when the command succeeds.
check() { local name=$1; shift; if "$@"; then pass "$name"; else fail "$name"; fi; }
# expect_eq NAME EXPECTED ACTUAL
expect_eq() {
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "expected [$2], got [$3]"; fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit $?
}

# ---------------------------------------------------------------------------
# Expected resource bytes, built from the resource table in lower-case hex.
le16() { printf '%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)); }
le32() { le16 $(($1 & 65535)); le16 $((($1 >> 16) & 65535)); }
u16z() {  # ASCII text in UTF-16LE with its terminator
  local text=$1 i
  for ((i = 0; i < ${#text}; i++)); do printf '%02x00' "'${text:i:1}"; done
  printf '0000'
}
# align4 HEX: pads with zero bytes to a multiple of four bytes.
align4() { local hex=$1; while [ $(((${#hex} / 2) % 4)) -ne 0 ]; do hex+=00; done; printf '%s' "$hex"; }

dialog_item() {  # id class style x y cx cy text
  printf '%s' "$(le32 0)$(le32 0)$(le32 "$3")$(le16 "$4")$(le16 "$5")$(le16 "$6")$(le16 "$7")"
  printf '%s' "$(le32 "$1")ffff$(le16 "$2")$(u16z "$8")$(le16 0)"
}

expected_dialog_template() {
  local hex
  hex="$(le16 1)ffff$(le32 0)$(le32 0x00040000)$(le32 0x90C000C8)$(le16 3)"
  hex+="$(le16 0)$(le16 0)$(le16 320)$(le16 200)$(le16 0)$(le16 0)$(u16z Keymason)"
  hex+="$(le16 8)$(le16 0)0001$(u16z 'MS Shell Dlg')"
  hex=$(align4 "$hex")$(dialog_item 1 0x80 0x50010001 209 179 50 14 OK)
  hex=$(align4 "$hex")$(dialog_item 2 0x80 0x50010000 263 179 50 14 Cancel)
  hex=$(align4 "$hex")$(dialog_item 0xFFFFFFFF 0x82 0x50020001 10 96 300 8 'TODO: Place dialog controls here.')
  printf '%s' "$hex"
}

# VS_FIXEDFILEINFO: 1.0.0.2 both ways, mask 0x3F, flags 0, NT 32-bit, application.
expected_fixed_version() {
  printf '%s' "bd04effe$(le32 0x00010000)$(le32 0x00010000)$(le32 2)$(le32 0x00010000)$(le32 2)"
  printf '%s' "$(le32 0x3F)$(le32 0)$(le32 0x00040004)$(le32 1)$(le32 0)$(le32 0)$(le32 0)"
}

# A version string entry: wLength, wValueLength (characters with terminator), type 1, key, value.
expected_version_string() {  # key value
  local body
  body=$(align4 "$(le16 0)$(le16 0)$(le16 1)$(u16z "$1")")$(u16z "$2")
  printf '%s' "$(le16 $((${#body} / 2)))$(le16 $((${#2} + 1)))${body:8}"
}

# Icon group 128: thirteen images, ids 1 to 13, in size/depth order.
expected_icon_layout="48x4 32x4 24x4 16x4 48x8 32x8 24x8 16x8 256x32 48x32 32x32 24x32 16x32"
icon_group_layout() {  # HEX of the RT_GROUP_ICON resource -> "48x4 ... (id 1..13)"
  local hex=$1 count i entry w bpp id out=""
  count=$((16#${hex:10:2}${hex:8:2}))
  for ((i = 0; i < count; i++)); do
    entry=${hex:$((12 + i * 28)):28}
    w=$((16#${entry:0:2})); [ "$w" -eq 0 ] && w=256
    bpp=$((16#${entry:14:2}${entry:12:2}))
    id=$((16#${entry:26:2}${entry:24:2}))
    [ "$id" -eq $((i + 1)) ] || out+="(id $id) "
    out+="${w}x${bpp} "
  done
  printf '%s' "${out% }"
}

file_hex() { od -An -v -tx1 "$1" | tr -d ' \n'; }

# The icon group as the resource compiler builds it from app/keymason.ico:
# each directory entry keeps its first twelve bytes, the offset becomes the id.
expected_icon_group() {
  local ico count i entry group
  ico=$(file_hex "$root/app/keymason.ico")
  count=$((16#${ico:10:2}${ico:8:2}))
  group=${ico:0:12}
  for ((i = 0; i < count; i++)); do
    entry=${ico:$((12 + i * 32)):32}
    group+="${entry:0:24}$(le16 $((i + 1)))"
  done
  printf '%s' "$group"
}
# The resource section's bytes: where the resource compiler's output lands.
rsrc_hex() {  # exe objdump
  local size offset
  read -r size offset < <("$2" -h "$1" | awk '$2 == ".rsrc" { print $3, $6 }')
  [ -n "$size" ] || return 0
  tail -c +$((16#$offset + 1)) "$1" | head -c $((16#$size)) | od -An -v -tx1 | tr -d ' \n'
}
# contains_bytes HEX_FILE NEEDLE: the needle stands in the file at a whole-byte offset.
contains_bytes() {
  grep -obF -- "$2" "$1" | cut -d: -f1 | grep -q '[02468]$'
}

# ---------------------------------------------------------------------------
# PE headers and imports.
pe_field() {  # file offset-from-PE-header size(2|4)
  local pe
  pe=$(od -An -v -tu4 -j 60 -N 4 "$1" | tr -d ' ')
  od -An -v -tu"$3" -j $((pe + $2)) -N "$3" "$1" | tr -d ' '
}
pe_machine() { printf '0x%x' "$(pe_field "$1" 4 2)"; }
pe_subsystem() { pe_field "$1" 92 2; }  # optional header (PE+24) + 68, both formats

# The DLLs that come with every Windows; anything else would have to be shipped.
system_dlls=" advapi32.dll bcrypt.dll comctl32.dll crypt32.dll gdi32.dll kernel32.dll msvcrt.dll shell32.dll user32.dll version.dll "
foreign_imports() {  # objdump exe
  local dll bad=""
  for dll in $("$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z'); do
    case $system_dlls in *" $dll "*) ;; *) bad+="$dll " ;; esac
  done
  printf '%s' "${bad% }"
}

check_executable() {  # label exe objdump machine
  local label=$1 exe=$2 objdump=$3 machine=$4 hex=$work/${1}-rsrc.hex
  if [ ! -f "$exe" ]; then fail "$label: $exe exists"; return; fi
  expect_eq "$label: PE machine" "$machine" "$(pe_machine "$exe")"
  expect_eq "$label: Windows GUI subsystem" 2 "$(pe_subsystem "$exe")"
  expect_eq "$label: imports only system DLLs" "" "$(foreign_imports "$objdump" "$exe")"
  rsrc_hex "$exe" "$objdump" >"$hex"
  check "$label: dialog template 102 exactly as tabled" contains_bytes "$hex" "$(expected_dialog_template)"
  check "$label: fixed version 1.0.0.2, flags, OS, type" contains_bytes "$hex" "$(expected_fixed_version)"
  local key value
  for key in FileDescription:Keymason FileVersion:1.0.0.2 InternalName:Keymason.exe \
             OriginalFilename:Keymason.exe ProductVersion:1.0.0.2; do
    check "$label: version string ${key%%:*}" contains_bytes "$hex" \
      "$(expected_version_string "${key%%:*}" "${key#*:}")"
  done
  check "$label: string table 040904b0" contains_bytes "$hex" "$(u16z 040904b0)"
  check "$label: translation 0409/1200" contains_bytes "$hex" "$(u16z Translation)0000$(le16 0x0409)$(le16 1200)"
  check "$label: manifest" contains_bytes "$hex" "$(file_hex "$root/app/keymason.manifest")"
  check "$label: icon group" contains_bytes "$hex" "$(expected_icon_group)"
}

expect_eq "app/keymason.ico: thirteen images in order" "$expected_icon_layout" \
  "$(icon_group_layout "$(expected_icon_group)")"

if [ -n "$win32" ] && [ "$arch" = win64 ]; then
  check_executable "i686" "${programs:-$win32/app}/Keymason.exe" i686-w64-mingw32-objdump 0x14c
fi
if [ -z "$win64" ]; then finish; fi

# ---------------------------------------------------------------------------
# Under Wine. The host side (set-up, reg, the probe) always runs 64-bit, so
# that it sees the registry as a native tool does; Keymason, keymason-check,
# the self-test and the reg.exe stand-in it starts are of the arch under test.
wine=/usr/lib/wine/wine64
probe=$win64/tests/e2e/keymason_probe.exe
host_standin=$win64/tests/e2e/keymason_reg_standin.exe
case $arch in
  win64)
    build=$win64 wine_km=$wine system_folder=system32 ;;
  wow64)
    build=$win32 wine_km=/usr/lib/wine/wine system_folder=syswow64
    # Skipped with the reason, never passed, where 32-bit code cannot run.
    skip() { echo "SKIP  wow64 suite: $1"; exit 77; }
    [ -n "$win32" ] || { fail "wow64 needs --win32"; finish; }
    reason=$("$root/scripts/wow64" 2>&1) || skip "$reason"
    ;;
esac
keymason=${programs:-$build/app}/Keymason.exe
check_exe=${programs:-$build/check}/keymason-check.exe
standin=$build/tests/e2e/keymason_reg_standin.exe
selftest=${programs:-$build/selftest}/keymason-selftest.exe
# The i686 program's file checks are e2e_win32_exe's, which runs even where
# this machine cannot run it.
[ "$arch" = win64 ] && check_executable "x86_64" "$keymason" x86_64-w64-mingw32-objdump 0x8664
for f in "$keymason" "$check_exe" "$probe" "$host_standin" "$standin" "$selftest"; do
  [ -f "$f" ] || { fail "built: $f"; finish; }
done

wineserver=/usr/lib/wine/wineserver
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=""
running=()
cleanup() {
  local pid
  for pid in "${running[@]}"; do kill "$pid" 2>/dev/null; done
  [ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

mkdir -p "$WINEPREFIX"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
display=""
for _ in $(seq 100); do
  display=$(tr -dc 0-9 <"$work/display")
  [ -n "$display" ] && break
  sleep 0.1
done
if [ -z "$display" ]; then fail "Xvfb started"; finish; fi
export DISPLAY=:$display

"$wineserver" -p  # persistent: one warm server for every run below
if ! "$wine" wineboot -i >"$work/wineboot.log" 2>&1; then fail "wineboot -i"; finish; fi
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
# Keep the desktop process up for the whole suite, so that no run below pays
# for its start (which can wait seconds for Wine's RPC service).
"$wine" "$probe" desktop >"$work/desktop.out" 2>/dev/null &
running+=("$!")
for _ in $(seq 600); do
  grep -q ready "$work/desktop.out" 2>/dev/null && break
  sleep 0.1
done
check "setup: desktop up" grep -q ready "$work/desktop.out"

drive_c=$WINEPREFIX/drive_c
mkdir -p "$drive_c/kmapp/logs" "$drive_c/e2e/all packages"
cp "$here/fixtures/all_types.reg.dat" "$drive_c/e2e/all packages/all types.reg.dat"
app_path='C:\kmapp'
log_file=$drive_c/kmapp/logs/keymason.log

probe() { "$wine" "$probe" "$@" 2>/dev/null | tr -d '\r'; }

# The resources by type and id, as the system loads them.
expect_eq "resource: dialog template 102" "$(expected_dialog_template)" "$(probe resource "$keymason" 5 102)"
expect_eq "resource: icon group 128" "$(expected_icon_group)" "$(probe resource "$keymason" 14 128)"
expect_eq "resource: manifest 1" "$(file_hex "$root/app/keymason.manifest")" "$(probe resource "$keymason" 24 1)"
version_block=$(probe resource "$keymason" 16 1)
check "resource: version block 1 with fixed version 1.0.0.2" \
  bash -c '[[ $1 == *"$2"* ]]' _ "$version_block" "$(expected_fixed_version)"
probe_has() {  # key line: the probe's dump of the key holds the line
  probe key "$1" | grep -Fxq -- "$2"
}
visible_window() { xdotool search --all --onlyvisible --pid "$1" 2>/dev/null | head -1; }
# wait_for_window PID: sets window to PID's visible window, empty when none
# came within 10 s or the process ended first.
wait_for_window() {
  window=""
  for _ in $(seq 200); do
    window=$(visible_window "$1")
    [ -n "$window" ] && return
    kill -0 "$1" 2>/dev/null || return
    sleep 0.05
  done
}

# run_hidden CWD ARGS...: runs Keymason to its end, watching for a window.
# Sets run_rc, run_ms and run_seen (1 when a visible window appeared). A run
# still going after run_limit_s seconds (default 20) is killed.
run_hidden() {
  local cwd=$1; shift
  local start pid deadline
  start=$(date +%s%N)
  (cd "$cwd" && APP_PATH=$app_path exec "$wine_km" "$keymason" "$@") &
  pid=$!
  running+=("$pid")
  run_seen=0
  deadline=$((start + ${run_limit_s:-20} * 1000000000))
  while kill -0 "$pid" 2>/dev/null; do
    [ -n "$(visible_window "$pid")" ] && run_seen=1
    if [ "$(date +%s%N)" -gt "$deadline" ]; then kill "$pid"; break; fi
    sleep 0.05
  done
  wait "$pid"
  run_rc=$?
  run_ms=$((($(date +%s%N) - start) / 1000000))
}

entry_form() {  # log file -> its bytes with each timestamp replaced by [T]
  sed -E 's/^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\]/[T]/' "$1" | od -An -v -c
}
start_entries() {  # DAT texts... -> the two entries of each run
  local dat
  for dat in "$@"; do
    printf '[T] keymason(254)%17s [Version] 1.0.0.2\r\r\n' ''
    printf '[T] keymason(256)%17s [DAT] %s\r\r\n' '' "$dat"
  done
}
not_read_entry() { printf '[T] keymason(258)%17s [DAT] Package could not be read whole; nothing was applied.\r\r\n' ''; }
expected_entries() { start_entries "$@" | od -An -v -c; }  # as od shows them

# --- A package file: every value type, keys made and removed.
"$wine" reg add 'HKLM\Software\KeymasonE2E\Doomed\Child' /v Leaf /d x /f >/dev/null 2>&1
"$wine" reg add 'HKLM\Software\KeymasonE2E\Values' /v Stale /d old /f >/dev/null 2>&1
check "setup: key to remove exists" probe_has 'HKLM\SOFTWARE\KeymasonE2E\Doomed' 'subkey Child'
# Twins of the test keys in the 32-bit view: a 32-bit Keymason that forgot
# the 64-bit view would write, remove and create here instead.
twin='HKLM\SOFTWARE\Wow6432Node\KeymasonE2E'
"$wine" reg add "$twin\Doomed\Child" /v Leaf /d twin /f >/dev/null 2>&1
"$wine" reg add "$twin\Values" /v Stale /d twin /f >/dev/null 2>&1
check "setup: twin in the 32-bit view exists" probe_has "$twin\Doomed" 'subkey Child'
run_hidden "$work" 'C:\e2e\all packages\all types.reg.dat'
expect_eq "package file: exit code 0 (${run_ms} ms)" 0 "$run_rc"
expect_eq "package file: never visible" 0 "$run_seen"

# Every key the package touched, read back in one probe run.
dump=$(probe key 'HKLM\SOFTWARE\KeymasonE2E\Values' 'HKLM\SOFTWARE\KeymasonE2E\Created\Deep' \
  'HKLM\SOFTWARE\KeymasonE2E\Doomed' 'HKLM\SYSTEM\KeymasonE2E' 'HKCR\.kme2e' \
  'HKCR\KeymasonE2E.File' 'HKCU\Software\KeymasonE2E')
printf '%s\n' "$dump" >"$artifacts/registry-after-package.txt"
block() {  # key -> its block of the dump, without the closing empty line
  printf '%s\n' "$dump" | awk -v key="$1" '
    $0 == "key " key || $0 == "missing " key { on = 1 }
    on && $0 == "" { exit }
    on { print }'
}
block_has() { block "$1" | grep -Fxq -- "$2"; }
# The pass hands REG_MULTI_SZ over without a terminator (16 bytes); the
# system's RegSetValueExW, like Windows NT, counts the zero that follows.
while IFS='|' read -r name key line; do
  check "registry: $name" block_has "$key" "$line"
done <<EOF
REG_SZ|HKLM\SOFTWARE\KeymasonE2E\Values|value [Text] type=REG_SZ size=26 data=$(u16z 'Hello, world')
REG_EXPAND_SZ, unexpanded|HKLM\SOFTWARE\KeymasonE2E\Values|value [Path] type=REG_EXPAND_SZ size=44 data=$(u16z '%SystemRoot%\keymason')
REG_BINARY, one byte per character|HKLM\SOFTWARE\KeymasonE2E\Values|value [Blob] type=REG_BINARY size=5 data=306166665a
REG_DWORD|HKLM\SOFTWARE\KeymasonE2E\Values|value [Count] type=REG_DWORD size=4 data=0a000000
REG_DWORD, type name in lower case|HKLM\SOFTWARE\KeymasonE2E\Values|value [Mask] type=REG_DWORD size=4 data=ffffffff
REG_MULTI_SZ, CR LF between lines|HKLM\SOFTWARE\KeymasonE2E\Values|value [Lines] type=REG_MULTI_SZ size=18 data=6f006e0065000d000a00740077006f000000
REG_QWORD|HKLM\SOFTWARE\KeymasonE2E\Values|value [Big] type=REG_QWORD size=8 data=0000000001000000
default value|HKLM\SOFTWARE\KeymasonE2E\Values|value [] type=REG_SZ size=16 data=$(u16z default)
REG_SZ from UTF-8 beyond ASCII|HKLM\SOFTWARE\KeymasonE2E\Values|value [Greeting] type=REG_SZ size=16 data=47007200fc00df006500200013270000
a later line wins|HKLM\SOFTWARE\KeymasonE2E\Values|value [Twice] type=REG_SZ size=14 data=$(u16z second)
HKEY_LOCAL_MACHINE\SYSTEM root|HKLM\SYSTEM\KeymasonE2E|value [Mode] type=REG_DWORD size=4 data=01000000
HKEY_CLASSES_ROOT root|HKCR\.kme2e|value [] type=REG_SZ size=34 data=$(u16z KeymasonE2E.File)
Software\Classes\ prefix dropped under HKEY_CLASSES_ROOT|HKCR\KeymasonE2E.File|value [Kind] type=REG_SZ size=16 data=$(u16z package)
per-user line reaches the logged-on user|HKCU\Software\KeymasonE2E|value [Theme] type=REG_SZ size=10 data=$(u16z dark)
EOF
values=$(block 'HKLM\SOFTWARE\KeymasonE2E\Values')
check "registry: value set then removed is gone" bash -c '! grep -q "^value \[Gone\]" <<<"$1"' _ "$values"
check "registry: existing value removed" bash -c '! grep -q "^value \[Stale\]" <<<"$1"' _ "$values"
expect_eq "registry: key-only line creates the key path, empty" 'key HKLM\SOFTWARE\KeymasonE2E\Created\Deep' \
  "$(block 'HKLM\SOFTWARE\KeymasonE2E\Created\Deep')"
expect_eq "registry: key removed with its subtree" 'missing HKLM\SOFTWARE\KeymasonE2E\Doomed' \
  "$(block 'HKLM\SOFTWARE\KeymasonE2E\Doomed')"
dump=$(probe key "$twin\Values" "$twin\Doomed" "$twin\Doomed\Child" "$twin\Created")
expect_eq "32-bit view: value writes and removals leave the twin alone" "$(cat <<EOF2
key $twin\Values
value [Stale] type=REG_SZ size=10 data=$(u16z twin)
EOF2
)" "$(block "$twin\Values")"
expect_eq "32-bit view: key-only removal leaves the twin's subtree" "$(cat <<EOF2
key $twin\Doomed\Child
value [Leaf] type=REG_SZ size=10 data=$(u16z twin)
EOF2
)" "$(block "$twin\Doomed\Child")"
expect_eq "32-bit view: key-only create makes no twin" "missing $twin\Created" "$(block "$twin\Created")"

# --- A folder given as the package exists but cannot be opened: nothing is
# applied, the log says so, and the exit code is 3.
run_hidden "$work" 'C:\e2e\all packages'
expect_eq "folder as the package: exit code 3 (${run_ms} ms)" 3 "$run_rc"
expect_eq "folder as the package: never visible" 0 "$run_seen"

if [ -f "$log_file" ]; then
  cp "$log_file" "$artifacts/package-argument.log"
  expect_eq "run log in %APP_PATH%\\logs: two entries a run and the folder's read-error entry, byte for byte" \
    "$({ start_entries 'C:\e2e\all packages\all types.reg.dat' 'C:\e2e\all packages'; not_read_entry; } |
       od -An -v -c)" \
    "$(entry_form "$log_file")"
else
  fail "run log in %APP_PATH%\\logs" "no $log_file"
fi

# --- A package named on the command line that does not exist. Run after the
# others, with a log folder of its own, so that start-up costs of a fresh
# prefix do not count in its timing.
mkdir -p "$drive_c/kmapp-missing/logs"
app_path='C:\kmapp-missing'
run_hidden "$work" 'C:\e2e\missing.reg.dat'
app_path='C:\kmapp'
expect_eq "missing package: exit code 1" 1 "$run_rc"
expect_eq "missing package: never visible" 0 "$run_seen"
check "missing package: no log file" test -z "$(ls -A "$drive_c/kmapp-missing/logs")"
check "missing package: ends at the first tick, not before (${run_ms} ms)" \
  test "$run_ms" -ge 1000 -a "$run_ms" -lt 8000

# --- No display, as for a service or an agent's session: the status window
# cannot be created, and the run must not pass for done.
mkdir -p "$drive_c/kmapp-nodisplay/logs"
printf '1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*KeymasonE2E\\NoDisplay*@**@*A*@*REG_SZ*@*All Users*@*shown to nobody*@*\r\n' \
  >"$drive_c/e2e/nodisplay.reg.dat"
while IFS='|' read -r name package rc; do
  (cd "$work" && APP_PATH='C:\kmapp-nodisplay' DISPLAY='' exec "$wine_km" "$keymason" "$package")
  expect_eq "no display, $name: exit code $rc" "$rc" "$?"
done <<EOF
missing package|C:\e2e\missing.reg.dat|1
a folder as the package|C:\e2e\all packages|3
a package|C:\e2e\nodisplay.reg.dat|0
EOF
check "no display, a package: applied" probe_has 'HKLM\SOFTWARE\KeymasonE2E\NoDisplay' \
  "value [A] type=REG_SZ size=32 data=$(u16z 'shown to nobody')"

# --- Another program removes the key that a long run of value lines shares,
# part way through: the lines after the removal still land.
held='HKLM\SOFTWARE\KeymasonE2E\Held'
awk 'BEGIN { for (i = 1; i <= 200000; i++)
  printf "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*KeymasonE2E\\Held*@**@*v%06d*@*REG_DWORD*@*All Users*@*0x%08x*@*\r\n", i, i }' \
  >"$drive_c/e2e/held.reg.dat"
"$wine" "$probe" remove-when "$held" v010000 >"$work/remove-when.out" 2>/dev/null &
remover=$!
running+=("$remover")
run_limit_s=300 run_hidden "$work" 'C:\e2e\held.reg.dat'
wait "$remover"
expect_eq "held key removed part way: another program removed it" removed "$(tr -d '\r' <"$work/remove-when.out")"
expect_eq "held key removed part way: exit code 0 (${run_ms} ms)" 0 "$run_rc"
probe key "$held" >"$work/held-after.txt"
check "held key removed part way: the last line's value is in place" \
  grep -Fxq 'value [v200000] type=REG_DWORD size=4 data=400d0300' "$work/held-after.txt"
check "held key removed part way: a value set before the removal went with the key" \
  bash -c '! grep -q "^value \[v000001\]" "$1"' _ "$work/held-after.txt"

# --- Packages in each encoding the reader honours, read back byte for byte.
# The log folder's name is long, so the log goes through its 8.3 form where
# Wine gives one.
encoded='HKLM\SOFTWARE\KeymasonE2E\Encoded'
line() { printf '1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*KeymasonE2E\\Encoded*@**@*%s*@*REG_SZ*@*All Users*@*%s*@*\r\n' "$1" "$2"; }
{ printf '\xef\xbb\xbf'; line Utf8Bom 'Grüße'; } >"$drive_c/e2e/utf8-bom.reg.dat"
{ printf '\xff\xfe'; line Utf16Bom 'Ω✓' | iconv -f UTF-8 -t UTF-16LE; } >"$drive_c/e2e/utf16-bom.reg.dat"
line BadUtf8 $'a\xffb' >"$drive_c/e2e/bad-utf8.reg.dat"
long_app='C:\Keymason Long Folder Name'
mkdir -p "$drive_c/Keymason Long Folder Name/logs"
app_path=$long_app
for package in utf8-bom utf16-bom bad-utf8; do
  run_hidden "$work" "C:\\e2e\\$package.reg.dat"
  expect_eq "encoding $package: exit code 0 (${run_ms} ms)" 0 "$run_rc"
done
app_path='C:\kmapp'
dump=$(probe key "$encoded")
expect_eq "encodings: UTF-8 and UTF-16LE byte-order marks honoured, invalid UTF-8 as U+FFFD" "$(cat <<EOF2
key $encoded
value [BadUtf8] type=REG_SZ size=8 data=6100fdff62000000
value [Utf16Bom] type=REG_SZ size=6 data=a90313270000
value [Utf8Bom] type=REG_SZ size=12 data=47007200fc00df0065000000
EOF2
)" "$(block "$encoded")"
short_logs=$(probe shortpath "$long_app\\logs")
if [ -z "$short_logs" ] || [ "$short_logs" = "$long_app\\logs" ]; then
  echo "SKIP  8.3 log folder: Wine gives no short form for $long_app\\logs"
else
  long_log="$drive_c/Keymason Long Folder Name/logs/keymason.log"
  if [ -f "$long_log" ]; then
    expect_eq "8.3 log folder ($short_logs): the log lands in the long folder, byte for byte" \
      "$(expected_entries 'C:\e2e\utf8-bom.reg.dat' 'C:\e2e\utf16-bom.reg.dat' 'C:\e2e\bad-utf8.reg.dat')" \
      "$(entry_form "$long_log")"
  else
    fail "8.3 log folder ($short_logs): the log lands in the long folder" "no $long_log"
  fi
fi

# --- A package that exists but is too large to hold: nothing applied, one
# entry, a distinct exit code. Only a 32-bit process meets the limit on a
# sparse file; the x86_64 build would hold it.
if [ "$arch" = wow64 ]; then
  mkdir -p "$drive_c/kmapp-huge/logs"
  truncate -s 5G "$drive_c/e2e/huge.reg.dat"
  app_path='C:\kmapp-huge'
  run_hidden "$work" 'C:\e2e\huge.reg.dat'
  app_path='C:\kmapp'
  rm -f "$drive_c/e2e/huge.reg.dat"
  expect_eq "package too large to hold: exit code 3 (${run_ms} ms)" 3 "$run_rc"
  expect_eq "package too large to hold: never visible" 0 "$run_seen"
  huge_log=$(sed -E 's/^\[[^]]*\] //' "$drive_c/kmapp-huge/logs/keymason.log" 2>/dev/null | tr -d '\r')
  expect_eq "package too large to hold: the entry says nothing was applied" \
    "$(printf 'keymason(258)%17s [DAT] Package could not be read whole; nothing was applied.' '')" \
    "$(sed -n 3p <<<"$huge_log")"
fi

# --- keymason-check's plan of a package against a base, held against what
# Keymason does to the same base here. Wine's builtin reg.exe imports the
# base and exports the keys afterwards, whatever stands in system32. The plan
# sees the registry as a 32-bit Keymason on 64-bit Windows with redirection
# off does; the x86_64 build here sees the same 64-bit view.
plan_keys=('HKEY_LOCAL_MACHINE\SOFTWARE\KeymasonPlanE2E' 'HKEY_LOCAL_MACHINE\SYSTEM\KeymasonPlanE2E'
  'HKEY_CLASSES_ROOT\KeymasonPlanE2E.File')
wine_reg() { WINEDLLOVERRIDES="$WINEDLLOVERRIDES;reg.exe=b" "$wine" reg "$@" >/dev/null 2>&1; }
if [ -z "$check_tool" ] || [ -z "$regdiff" ]; then
  echo "SKIP  plan against Keymason's run: no --check and --regdiff"
else
  plan_dir=$work/plan
  mkdir -p "$plan_dir" "$drive_c/kmapp-plan/logs"
  regdiff_keys=()
  for key in "${plan_keys[@]}"; do regdiff_keys+=(--key "$key"); done
  # The fixture is UTF-8 so that it reads in review; reg import wants UTF-16LE.
  { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$here/fixtures/plan_base.reg"; } >"$drive_c/e2e/plan_base.reg"
  cp "$here/fixtures/plan.reg.dat" "$drive_c/e2e/plan.reg.dat"
  check "plan: base imported with reg import" wine_reg import 'C:\e2e\plan_base.reg'
  "$check_tool" --plan --base "$drive_c/e2e/plan_base.reg" --out "$plan_dir/planned.reg" \
    "$drive_c/e2e/plan.reg.dat" >"$artifacts/plan-report.txt" 2>&1
  expect_eq "plan: keymason-check exit code 0, no finding" 0 "$?"
  # The Windows keymason-check of the arch under test plans the same package
  # against this machine itself, read only.
  "$wine_km" "$check_exe" --live --out 'C:\e2e\planned-live.reg' 'C:\e2e\plan.reg.dat' \
    >"$artifacts/plan-live-report.txt" 2>&1
  expect_eq "plan --live: keymason-check.exe exit code 0, no finding" 0 "$?"
  app_path='C:\kmapp-plan'
  run_hidden "$work" 'C:\e2e\plan.reg.dat'
  app_path='C:\kmapp'
  expect_eq "plan: Keymason on the same base, exit code 0 (${run_ms} ms)" 0 "$run_rc"
  export_pids=()
  for i in "${!plan_keys[@]}"; do  # all at once: each waits mostly on Wine's start
    wine_reg export "${plan_keys[i]}" "C:\\e2e\\plan-export-$i.reg" /y &
    export_pids+=("$!")
  done
  for i in "${!plan_keys[@]}"; do
    wait "${export_pids[i]}"
    expect_eq "plan: reg export ${plan_keys[i]}" 0 "$?"
  done
  cp "$plan_dir/planned.reg" "$drive_c"/e2e/plan-export-*.reg "$artifacts/" 2>/dev/null
  "$regdiff" "${regdiff_keys[@]}" "$plan_dir/planned.reg" "$drive_c"/e2e/plan-export-*.reg \
    >"$artifacts/plan-regdiff.txt" 2>&1
  if [ $? -eq 0 ]; then
    pass "plan: keymason-check's result is what Keymason left ($(tail -1 "$artifacts/plan-regdiff.txt"))"
  else
    fail "plan: keymason-check's result is what Keymason left" \
      "$(grep -v '^terminator added' "$artifacts/plan-regdiff.txt" | head -20 | tr '\n' ';')"
  fi
  expect_eq "plan: Wine's added REG_MULTI_SZ terminator set apart where it is, nowhere else" \
    'terminator added: HKEY_LOCAL_MACHINE\SOFTWARE\KeymasonPlanE2E "Lines"' \
    "$(grep '^terminator added' "$artifacts/plan-regdiff.txt")"
  "$regdiff" "${regdiff_keys[@]}" "$drive_c/e2e/plan_base.reg" "$plan_dir/planned.reg" >/dev/null 2>&1
  expect_eq "plan: the comparison sees the base apart from the result" 1 "$?"
  cp "$drive_c/e2e/planned-live.reg" "$artifacts/" 2>/dev/null
  "$regdiff" --partial "${regdiff_keys[@]}" "$drive_c/e2e/planned-live.reg" "$drive_c"/e2e/plan-export-*.reg \
    >"$artifacts/plan-live-regdiff.txt" 2>&1
  if [ $? -eq 0 ]; then
    pass "plan --live: keymason-check.exe's result is what Keymason left"
  else
    fail "plan --live: keymason-check.exe's result is what Keymason left" \
      "$(grep -v '^terminator added' "$artifacts/plan-live-regdiff.txt" | head -20 | tr '\n' ';')"
  fi
  # Only Wine's one added terminator passes for equal.
  while IFS='|' read -r want got rc; do
    for side in "want:$want" "got:$got"; do
      # UTF-16LE, as reg export writes: in an ANSI file hex string data is ANSI text.
      { printf '\xff\xfe'
        printf 'Windows Registry Editor Version 5.00\n\n[%s\\T]\n"V"=%s\n' "${plan_keys[0]}" "${side#*:}" |
          iconv -f UTF-8 -t UTF-16LE; } >"$plan_dir/${side%%:*}.reg"
    done
    "$regdiff" "${regdiff_keys[@]}" "$plan_dir/want.reg" "$plan_dir/got.reg" >/dev/null 2>&1
    expect_eq "regdiff: $want against $got" "$rc" "$?"
  done <<EOF2
hex(7):61,00|hex(7):61,00,00,00|0
hex(7):61,00|hex(7):61,00,00,00,00,00|1
hex(7):61,00|hex(1):61,00,00,00|1
hex(7):61,00,00,00|hex(7):61,00,00,00,00,00|1
hex(2):61,00|hex(2):61,00,00,00|1
EOF2
fi

# --- No argument: drive r: holds the default package. A FIFO stands in for
# it, so the pass waits on it and the window stays up as long as we need.
rdrive=$work/rdrive
mkdir -p "$rdrive" "$work/cwd-cancel" "$work/cwd-two"
ln -sfn "$rdrive" "$WINEPREFIX/dosdevices/r:"
mkfifo "$rdrive/install.reg.dat"
exec {fifo}<>"$rdrive/install.reg.dat"  # a writer that never writes: reads block

start=$(date +%s%N)
(cd "$work/cwd-cancel" && exec "$wine_km" "$keymason") &
pid=$!
running+=("$pid")
wait_for_window "$pid"
if [ -z "$window" ]; then
  fail "no argument: window visible"
else
  pass "no argument: window visible"
  expect_eq "no argument: window title" Keymason "$(xdotool getwindowname "$window")"
  sleep 0.3  # let it paint
  import -window "$window" "$artifacts/keymason-window.png" 2>/dev/null ||
    import -window root "$artifacts/keymason-window.png" 2>/dev/null
  check "no argument: screenshot kept" test -s "$artifacts/keymason-window.png"
  xdotool windowfocus --sync "$window" 2>/dev/null
  xdotool key Escape
  sleep 0.2
  xdotool key Return
  sleep 1.4  # past a tick: only the end of the pass or Cancel may close it
  check "no argument: Escape and Enter leave it open" kill -0 "$pid"
  check "no argument: still visible after them" test -n "$(visible_window "$pid")"
  cancel_at=$(date +%s%N)
  xdotool key Tab space  # focus moves from OK to Cancel, which space presses
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.02; done
  cancel_ms=$((($(date +%s%N) - cancel_at) / 1000000))
  check "no argument: Cancel ends it at once (${cancel_ms} ms)" test "$cancel_ms" -lt 1500
fi
kill -0 "$pid" 2>/dev/null && kill "$pid"
wait "$pid"
expect_eq "no argument: exit code 0 after Cancel" 0 "$?"
exec {fifo}>&-
if [ -f "$work/cwd-cancel/keymason.log" ]; then
  expect_eq "no argument: run log in the current directory" \
    "$(expected_entries 'r:\install.reg.dat')" "$(entry_form "$work/cwd-cancel/keymason.log")"
else
  fail "no argument: run log in the current directory" "none in $work/cwd-cancel"
fi

# --- Two arguments behave as none: the default package, shown, to its end.
rm -f "$rdrive/install.reg.dat"
cp "$here/fixtures/default.reg.dat" "$rdrive/install.reg.dat"
shown=0
(cd "$work/cwd-two" && exec "$wine_km" "$keymason" first second) &
pid=$!
running+=("$pid")
deadline=$(($(date +%s%N) + 20000000000))
while kill -0 "$pid" 2>/dev/null; do
  [ -n "$(visible_window "$pid")" ] && shown=1
  [ "$(date +%s%N)" -gt "$deadline" ] && kill "$pid"
  sleep 0.05
done
wait "$pid"
expect_eq "two arguments: exit code 0" 0 "$?"
expect_eq "two arguments: window shown" 1 "$shown"
check "two arguments: the default package applied" \
  probe_has 'HKLM\SOFTWARE\KeymasonE2E\Default' "value [Source] type=REG_SZ size=16 data=$(u16z 'r drive')"
check "two arguments: run log in the current directory" test -s "$work/cwd-two/keymason.log"

# --- keymason-selftest, the pilot check, against this prefix's registry,
# processes and files. Its "wine-known:" lines are where Wine is known to
# differ from Windows: shown, neither passed nor failed.
"$wine_km" "$selftest" 2>&1 | tr -d '\r' >"$artifacts/keymason-selftest.txt"
selftest_rc=${PIPESTATUS[0]}
while IFS= read -r line; do
  fail "keymason-selftest: ${line#\[FAIL\] }"
done < <(grep '^\[FAIL\]' "$artifacts/keymason-selftest.txt")
grep '^wine-known: ' "$artifacts/keymason-selftest.txt" | sed 's/^/KNOWN keymason-selftest: /'
selftest_summary=$(tail -1 "$artifacts/keymason-selftest.txt")
if [ "$selftest_rc" -eq 0 ] && [[ $selftest_summary =~ ^[1-9][0-9]*\ passed,\ 0\ failed$ ]]; then
  pass "keymason-selftest: $selftest_summary"
else
  fail "keymason-selftest" "exit code $selftest_rc, last line [$selftest_summary]"
fi

# --- Per-user lines. Wine's reg.exe has no Load or Unload, so the suite's
# stand-in takes its place in the system folder of Keymason's arch and
# logs every command line it gets. Besides Wine's own user (logged on, its
# profile folder in lower case), the profile list gets:
#   Administrator  "logged on": its hive loaded under its SID before the run
#   User           not logged on, NTUSER.DAT and UsrClass.dat
#   Guest          not logged on, NTUSER.DAT and UsrClass.dat
# Wine lists the profiles by name: Wine's own, User, Guest, Administrator.
wine_sid=S-1-5-21-0-0-0-1000
admin_sid=S-1-5-21-7-7-7-500
user_sid=S-1-5-21-7-7-7-1001
guest_sid=S-1-5-21-7-7-7-1002
profile_list='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList'
classes_file='AppData\Local\Microsoft\Windows\UsrClass.dat'
standin_log=$drive_c/windows/reg-standin.log
unix_path() { printf '%s' "$drive_c/$(printf '%s' "${1#C:\\}" | tr '\\' /)"; }
standin() { "$wine" "$host_standin" "$@" >/dev/null 2>&1; }
hive_file() { printf 'C:\\Users\\%s\\%s' "$1" "$2"; }  # user, file in the profile
# Wine writes its own user's profile list entry in the background after the
# prefix is made: the cases below need it, so the set-up waits for it (10 s at most).
eventually() { local _; for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
check "setup: Wine's own user is logged on" eventually probe_has 'HKU' "subkey $wine_sid"
check "setup: Wine's own user is in the profile list" eventually probe_has "$profile_list" "subkey $wine_sid"
for profile in "$admin_sid Administrator" "$user_sid User" "$guest_sid Guest"; do
  "$wine" reg add "$profile_list\\${profile% *}" /v ProfileImagePath /t REG_EXPAND_SZ \
    /d "C:\\Users\\${profile#* }" /f >/dev/null 2>&1
  mkdir -p "$(dirname "$(unix_path "$(hive_file "${profile#* }" "$classes_file")")")"
done
# Each hive file holds a value the package removes and a key it leaves alone.
for user in Administrator User Guest; do
  standin makehive "$(hive_file $user NTUSER.DAT)" 'Software\KeymasonE2E\PerUser' Old stale \
    Environment TEMP 'C:\temp'
done
for user in User Guest; do
  standin makehive "$(hive_file $user "$classes_file")" .kmold '' KeymasonE2E.Old
done
# The default profile, as Windows names it; only the machine policy reaches it.
default_hive='C:\Users\Default\NTUSER.DAT'
"$wine" reg add "$profile_list" /v Default /t REG_EXPAND_SZ /d '%SystemDrive%\Users\Default' /f >/dev/null 2>&1
mkdir -p "$(dirname "$(unix_path "$default_hive")")"
standin makehive "$default_hive" 'Software\KeymasonE2E\PerUser' Old stale Environment TEMP 'C:\temp'
default_sum=$(md5sum <"$(unix_path "$default_hive")")
for file in "$(hive_file Administrator NTUSER.DAT)" "$(hive_file User NTUSER.DAT)" \
  "$(hive_file User "$classes_file")" "$(hive_file Guest NTUSER.DAT)" "$(hive_file Guest "$classes_file")"; do
  check "setup: hive file $file" grep -q '^WINE REGISTRY Version 2' "$(unix_path "$file")"
done
standin Load "HKEY_USERS\\$admin_sid" "$(hive_file Administrator NTUSER.DAT)"
check "setup: Administrator plays a logged-on user" probe_has "HKU\\$admin_sid\\Environment" \
  "value [TEMP] type=REG_SZ size=16 data=$(u16z 'C:\temp')"
# Keymason starts <system folder>\reg.exe; a 32-bit process is sent to
# syswow64 by the file system redirection, where the i686 stand-in waits,
# while system32 keeps Wine's own reg.exe (which has no Load).
cp "$standin" "$drive_c/windows/$system_folder/reg.exe"
cp "$here"/fixtures/per_user*.reg.dat "$drive_c/e2e/"

# run_per_user PACKAGE: runs Keymason with the stand-in in place of reg.exe
# and a fresh stand-in log.
run_per_user() {
  rm -f "$standin_log"
  # Keymason waits up to 30 s for each reg.exe.
  run_limit_s=120 WINEDLLOVERRIDES="$WINEDLLOVERRIDES;reg.exe=n" run_hidden "$work" "C:\\e2e\\$1"
  cp "$standin_log" "$artifacts/reg-standin-${1%%.*}.log" 2>/dev/null
}
# The stand-in's log of one load and unload of User's own hive, each done.
user_hive_commands() {
  printf 'reg.exe Load HKEY_USERS\\Velmar-Mount-%s "%s"\tok\n' "$user_sid" "$(hive_file User NTUSER.DAT)"
  printf 'reg.exe Unload HKEY_USERS\\Velmar-Mount-%s\tok\n' "$user_sid"
}
standin_commands() { tr -d '\r' 2>/dev/null <"$standin_log"; }
no_mount_left() {  # nothing below HKEY_USERS under a mount name of Keymason's
  probe key HKU >"$work/hku.txt"
  grep -q '^key HKU$' "$work/hku.txt" && ! grep -q '^subkey \(Velmar-Mount-\|Keymason-DefaultProfile\)' "$work/hku.txt"
}
# read_hives NAME=FILE... -- KEY...: loads each hive file as HKU\NAME with
# the stand-in and dumps the keys into $dump.
read_hives() {
  local pair names=()
  while [ "$1" != -- ]; do
    pair=$1; shift
    standin Load "HKEY_USERS\\${pair%%=*}" "${pair#*=}"
    names+=("${pair%%=*}")
  done
  shift
  dump=$(probe key "$@")
  for pair in "${names[@]}"; do standin Unload "HKEY_USERS\\$pair"; done
}
# same_dump NAME WANT GOT: two dumps in files are equal, byte for byte.
same_dump() {
  if cmp -s "$2" "$3"; then pass "$1"; else fail "$1" "$(diff "$2" "$3" | head -20 | tr '\n' ';')"; fi
}
# expect_block NAME KEY: the key's block of $dump equals stdin, line for line.
expect_block() { expect_eq "$1" "$(cat)" "$(block "$2")"; }
everyone="value [Everyone] type=REG_SZ size=24 data=$(u16z 'all of them')"
temp_kept="value [TEMP] type=REG_SZ size=16 data=$(u16z 'C:\temp')"
kmpu="value [] type=REG_SZ size=40 data=$(u16z KeymasonE2E.PerUser)"
kmold="value [] type=REG_SZ size=32 data=$(u16z KeymasonE2E.Old)"

# --- Every target: "All Users", "Administrator", "User", a folder name, a
# name of nobody, removal, classes lines, a key-only line.
run_per_user per_user.reg.dat
expect_eq "per-user: exit code 0 (${run_ms} ms)" 0 "$run_rc"
expect_eq "per-user: never visible" 0 "$run_seen"
expect_eq "per-user: reg.exe commands, in order, each done" "$(cat <<LOG
reg.exe Load HKEY_USERS\\Velmar-Mount-$user_sid "$(hive_file User NTUSER.DAT)"	ok
reg.exe Load HKEY_USERS\\Velmar-Mount-Classes-$user_sid "$(hive_file User "$classes_file")"	ok
reg.exe Load HKEY_USERS\\Velmar-Mount-$guest_sid "$(hive_file Guest NTUSER.DAT)"	ok
reg.exe Load HKEY_USERS\\Velmar-Mount-Classes-$guest_sid "$(hive_file Guest "$classes_file")"	ok
reg.exe Unload HKEY_USERS\\Velmar-Mount-$user_sid	ok
reg.exe Unload HKEY_USERS\\Velmar-Mount-Classes-$user_sid	ok
reg.exe Unload HKEY_USERS\\Velmar-Mount-$guest_sid	ok
reg.exe Unload HKEY_USERS\\Velmar-Mount-Classes-$guest_sid	ok
LOG
)" "$(standin_commands)"
check "per-user: no hive left loaded under a mount name" no_mount_left
expect_eq "per-user: without the policy the default profile's hive is untouched" "$default_sum" \
  "$(md5sum <"$(unix_path "$default_hive")")"

# The logged-on users, under their SIDs; classes lines below Software\Classes.
dump=$(probe key "HKU\\$wine_sid\\Software\\KeymasonE2E\\PerUser" \
  "HKU\\$wine_sid\\Software\\KeymasonE2E\\Empty" "HKU\\$wine_sid\\Software\\Classes\\.kmpu" \
  "HKU\\$wine_sid\\Software\\Classes\\KeymasonE2E.PerUser" \
  "HKU\\$admin_sid\\Software\\KeymasonE2E\\PerUser" "HKU\\$admin_sid\\Software\\KeymasonE2E\\Empty" \
  "HKU\\$admin_sid\\Software\\Classes\\.kmpu" "HKU\\$admin_sid\\Software\\Classes\\KeymasonE2E.PerUser")
printf '%s\n' "$dump" >"$artifacts/registry-after-per-user.txt"
expect_block "per-user: Wine's own user gets the \"All Users\" lines only" \
  "HKU\\$wine_sid\\Software\\KeymasonE2E\\PerUser" <<EOF2
key HKU\\$wine_sid\\Software\\KeymasonE2E\\PerUser
$everyone
EOF2
expect_block "per-user: key-only line, logged-on user" "HKU\\$wine_sid\\Software\\KeymasonE2E\\Empty" \
  <<<"key HKU\\$wine_sid\\Software\\KeymasonE2E\\Empty"
expect_block "per-user: classes line below the SID's Software\\Classes" \
  "HKU\\$wine_sid\\Software\\Classes\\.kmpu" <<EOF2
key HKU\\$wine_sid\\Software\\Classes\\.kmpu
$kmpu
EOF2
expect_block "per-user: classes line for \"user\" passes Wine's own user by" \
  "HKU\\$wine_sid\\Software\\Classes\\KeymasonE2E.PerUser" \
  <<<"missing HKU\\$wine_sid\\Software\\Classes\\KeymasonE2E.PerUser"
expect_block "per-user: logged-on Administrator: \"All Users\", \"Administrator\", removal" \
  "HKU\\$admin_sid\\Software\\KeymasonE2E\\PerUser" <<EOF2
key HKU\\$admin_sid\\Software\\KeymasonE2E\\PerUser
value [AdminOnly] type=REG_DWORD size=4 data=00050000
$everyone
EOF2
expect_block "per-user: logged-on Administrator: classes line below the SID's Software\\Classes" \
  "HKU\\$admin_sid\\Software\\Classes\\.kmpu" <<EOF2
key HKU\\$admin_sid\\Software\\Classes\\.kmpu
$kmpu
EOF2
expect_block "per-user: logged-on Administrator: no line for \"user\"" \
  "HKU\\$admin_sid\\Software\\Classes\\KeymasonE2E.PerUser" \
  <<<"missing HKU\\$admin_sid\\Software\\Classes\\KeymasonE2E.PerUser"

# The users who were not logged on: their hive files, loaded back.
read_hives "KeymasonE2E-User=$(hive_file User NTUSER.DAT)" \
  "KeymasonE2E-UserClasses=$(hive_file User "$classes_file")" \
  "KeymasonE2E-Guest=$(hive_file Guest NTUSER.DAT)" \
  "KeymasonE2E-GuestClasses=$(hive_file Guest "$classes_file")" -- \
  'HKU\KeymasonE2E-User\Software\KeymasonE2E\PerUser' 'HKU\KeymasonE2E-User\Software\KeymasonE2E\Empty' \
  'HKU\KeymasonE2E-User\Environment' 'HKU\KeymasonE2E-User\Software\Classes\.kmpu' \
  'HKU\KeymasonE2E-UserClasses\.kmpu' 'HKU\KeymasonE2E-UserClasses\KeymasonE2E.PerUser' \
  'HKU\KeymasonE2E-UserClasses\.kmold' \
  'HKU\KeymasonE2E-Guest\Software\KeymasonE2E\PerUser' 'HKU\KeymasonE2E-Guest\Software\KeymasonE2E\Empty' \
  'HKU\KeymasonE2E-GuestClasses\.kmpu' 'HKU\KeymasonE2E-GuestClasses\KeymasonE2E.PerUser'
printf '%s\n' "$dump" >"$artifacts/hive-files-after-per-user.txt"
expect_block "per-user: User's NTUSER.DAT: \"All Users\", \"User\", removal" \
  'HKU\KeymasonE2E-User\Software\KeymasonE2E\PerUser' <<EOF2
key HKU\\KeymasonE2E-User\\Software\\KeymasonE2E\\PerUser
$everyone
value [UserOnly] type=REG_SZ size=28 data=$(u16z 'just the user')
EOF2
expect_block "per-user: User's NTUSER.DAT: key-only line" \
  'HKU\KeymasonE2E-User\Software\KeymasonE2E\Empty' <<<'key HKU\KeymasonE2E-User\Software\KeymasonE2E\Empty'
expect_block "per-user: User's NTUSER.DAT: what the package left alone is kept" \
  'HKU\KeymasonE2E-User\Environment' <<EOF2
key HKU\\KeymasonE2E-User\\Environment
$temp_kept
EOF2
expect_block "per-user: User's NTUSER.DAT: no classes line in it" \
  'HKU\KeymasonE2E-User\Software\Classes\.kmpu' <<<'missing HKU\KeymasonE2E-User\Software\Classes\.kmpu'
expect_block "per-user: User's UsrClass.dat: \"All Users\" classes line at its root" \
  'HKU\KeymasonE2E-UserClasses\.kmpu' <<EOF2
key HKU\\KeymasonE2E-UserClasses\\.kmpu
$kmpu
EOF2
expect_block "per-user: User's UsrClass.dat: classes line for \"user\"" \
  'HKU\KeymasonE2E-UserClasses\KeymasonE2E.PerUser' <<EOF2
key HKU\\KeymasonE2E-UserClasses\\KeymasonE2E.PerUser
value [Owner] type=REG_SZ size=36 data=$(u16z 'lower-case target')
EOF2
expect_block "per-user: User's UsrClass.dat: what the package left alone is kept" \
  'HKU\KeymasonE2E-UserClasses\.kmold' <<EOF2
key HKU\\KeymasonE2E-UserClasses\\.kmold
$kmold
EOF2
expect_block "per-user: Guest's NTUSER.DAT: \"All Users\", its folder name, removal" \
  'HKU\KeymasonE2E-Guest\Software\KeymasonE2E\PerUser' <<EOF2
key HKU\\KeymasonE2E-Guest\\Software\\KeymasonE2E\\PerUser
$everyone
value [GuestOnly] type=REG_SZ size=30 data=$(u16z 'by folder name')
EOF2
expect_block "per-user: Guest's NTUSER.DAT: key-only line" \
  'HKU\KeymasonE2E-Guest\Software\KeymasonE2E\Empty' <<<'key HKU\KeymasonE2E-Guest\Software\KeymasonE2E\Empty'
expect_block "per-user: Guest's UsrClass.dat: \"All Users\" classes line" \
  'HKU\KeymasonE2E-GuestClasses\.kmpu' <<EOF2
key HKU\\KeymasonE2E-GuestClasses\\.kmpu
$kmpu
EOF2
expect_block "per-user: Guest's UsrClass.dat: no line for \"user\"" \
  'HKU\KeymasonE2E-GuestClasses\KeymasonE2E.PerUser' \
  <<<'missing HKU\KeymasonE2E-GuestClasses\KeymasonE2E.PerUser'

# --- Only "User" lines outside the classes branch: only profiles named
# "User" are selected, and only their own hive is loaded.
run_per_user per_user_one.reg.dat
expect_eq "per-user, \"User\" only: exit code 0 (${run_ms} ms)" 0 "$run_rc"
expect_eq "per-user, \"User\" only: one hive of one user loaded and unloaded" "$(user_hive_commands)" "$(standin_commands)"
check "per-user, \"User\" only: no hive left loaded" no_mount_left
read_hives "KeymasonE2E-User=$(hive_file User NTUSER.DAT)" -- \
  'HKU\KeymasonE2E-User\Software\KeymasonE2E\Single' "HKU\\$admin_sid\\Software\\KeymasonE2E\\Single" \
  "HKU\\$wine_sid\\Software\\KeymasonE2E\\Single"
expect_block "per-user, \"User\" only: in User's NTUSER.DAT" \
  'HKU\KeymasonE2E-User\Software\KeymasonE2E\Single' <<EOF2
key HKU\\KeymasonE2E-User\\Software\\KeymasonE2E\\Single
value [Only] type=REG_SZ size=20 data=$(u16z 'one group')
EOF2
expect_block "per-user, \"User\" only: not for Administrator" \
  "HKU\\$admin_sid\\Software\\KeymasonE2E\\Single" <<<"missing HKU\\$admin_sid\\Software\\KeymasonE2E\\Single"
expect_block "per-user, \"User\" only: not for Wine's own user" \
  "HKU\\$wine_sid\\Software\\KeymasonE2E\\Single" <<<"missing HKU\\$wine_sid\\Software\\KeymasonE2E\\Single"

# --- A hive file that cannot be loaded: the run goes on, and the unload is
# still asked for.
mv "$(unix_path "$(hive_file User NTUSER.DAT)")" "$work/User-NTUSER.DAT"
run_per_user per_user_gone.reg.dat
mv "$work/User-NTUSER.DAT" "$(unix_path "$(hive_file User NTUSER.DAT)")"
expect_eq "per-user, missing hive file: exit code 0 (${run_ms} ms)" 0 "$run_rc"
expect_eq "per-user, missing hive file: load fails, unload still asked for" "$(cat <<LOG
reg.exe Load HKEY_USERS\\Velmar-Mount-$user_sid "$(hive_file User NTUSER.DAT)"	error 2
reg.exe Unload HKEY_USERS\\Velmar-Mount-$user_sid	error 2
LOG
)" "$(standin_commands)"
check "per-user, missing hive file: nothing left below HKEY_USERS" no_mount_left
read_hives "KeymasonE2E-User=$(hive_file User NTUSER.DAT)" -- \
  'HKU\KeymasonE2E-User\Software\KeymasonE2E\Single'
check "per-user, missing hive file: the file put back is untouched" \
  bash -c '[[ $1 == *"value [Only] "* ]]' _ "$dump"

# --- The default profile by machine policy: the "All Users" lines outside the
# classes branch land in its hive, loaded and unloaded after the users' hives.
wine_reg add 'HKLM\Software\Policies\Keymason' /v IncludeDefaultProfile /t REG_DWORD /d 1 /f
run_per_user per_user.reg.dat
wine_reg delete 'HKLM\Software\Policies\Keymason' /f
cp "$log_file" "$artifacts/default-profile.log" 2>/dev/null
expect_eq "default profile: exit code 0 (${run_ms} ms)" 0 "$run_rc"
expect_eq "default profile: its hive loaded and unloaded after the users'" "$(printf 'reg.exe %s HKEY_USERS\\Keymason-DefaultProfile%s\tok\n' \
  Load " \"$default_hive\"" Unload '')" "$(standin_commands | sed -n '5p;10p')"
check "default profile: no hive left loaded" no_mount_left
read_hives "KeymasonE2E-Default=$default_hive" -- 'HKU\KeymasonE2E-Default\Software\KeymasonE2E\PerUser' \
  'HKU\KeymasonE2E-Default\Software\Classes'
expect_block "default profile: \"All Users\" lines only" 'HKU\KeymasonE2E-Default\Software\KeymasonE2E\PerUser' \
  < <(printf '%s\n' 'key HKU\KeymasonE2E-Default\Software\KeymasonE2E\PerUser' "$everyone")
expect_block "default profile: no classes line" 'HKU\KeymasonE2E-Default\Software\Classes' \
  <<<'missing HKU\KeymasonE2E-Default\Software\Classes'

# --- Cancel while the pass holds hives: the default package targets the user
# who is not logged on, and each load waits 4 s. Cancel then only asks; the
# pass skips its records, unloads, and the dialog closes after that.
rm -f "$rdrive/install.reg.dat" "$standin_log"
cp "$here/fixtures/per_user_cancel.reg.dat" "$rdrive/install.reg.dat"
mkdir -p "$work/cwd-cancel-hives"
(cd "$work/cwd-cancel-hives" && REG_STANDIN_LOAD_DELAY_MS=4000 \
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;reg.exe=n" exec "$wine_km" "$keymason") &
pid=$!
running+=("$pid")
wait_for_window "$pid"
for _ in $(seq 100); do  # the load is under way
  pgrep -f 'Load HKEY_USERS.Velmar-Mount-' >/dev/null && break
  sleep 0.05
done
if [ -z "$window" ]; then
  fail "Cancel with hives loaded: window visible"
else
  cancel_at=$(date +%s%N)
  xdotool windowfocus --sync "$window" 2>/dev/null
  xdotool key Tab space
  sleep 1
  check "Cancel with hives loaded: the dialog waits for the pass" kill -0 "$pid"
  for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  cancel_ms=$((($(date +%s%N) - cancel_at) / 1000000))
fi
kill -0 "$pid" 2>/dev/null && kill "$pid"
wait "$pid"
expect_eq "Cancel with hives loaded: exit code 0 (closed ${cancel_ms:-?} ms after Cancel)" 0 "$?"
expect_eq "Cancel with hives loaded: the hive loaded, then unloaded before the end" "$(user_hive_commands)" "$(standin_commands)"
check "Cancel with hives loaded: nothing left loaded" no_mount_left
read_hives "KeymasonE2E-User=$(hive_file User NTUSER.DAT)" -- 'HKU\KeymasonE2E-User\Software\KeymasonE2E\Cancelled'
expect_block "Cancel with hives loaded: no record applied after Cancel" \
  'HKU\KeymasonE2E-User\Software\KeymasonE2E\Cancelled' <<<'missing HKU\KeymasonE2E-User\Software\KeymasonE2E\Cancelled'

# --- keymason-pack's undo, worked out against this machine (read only)
# before the package runs, puts it all back: machine-wide, for the logged-on
# Administrator, and in the hive files of User and Guest, who are not logged
# on. Each state is dumped in a canonical order and compared byte for byte.
pack_exe=${programs:-$build/pack}/keymason-pack.exe
undo_keys=('HKLM\SOFTWARE\KeymasonUndoE2E' 'HKLM\SYSTEM\KeymasonUndoE2E' 'HKCR\.kmundo'
  "HKU\\$admin_sid\\Software\\KeymasonUndoE2E" "HKU\\$admin_sid\\Software\\Classes\\.kmundo"
  "HKU\\$wine_sid\\Software\\KeymasonUndoE2E")
undo_hives=("KmUndo-User=$(hive_file User NTUSER.DAT)" "KmUndo-UserClasses=$(hive_file User "$classes_file")"
  "KmUndo-Guest=$(hive_file Guest NTUSER.DAT)")
undo_hive_keys=('HKU\KmUndo-User\Software\KeymasonUndoE2E' 'HKU\KmUndo-UserClasses\.kmundo'
  'HKU\KmUndo-Guest\Software\KeymasonUndoE2E')
undo_state() {  # -> the dump of every key the package touches, hive files included
  local pair
  probe sorted "${undo_keys[@]}"
  for pair in "${undo_hives[@]}"; do standin Load "HKEY_USERS\\${pair%%=*}" "${pair#*=}"; done
  probe sorted "${undo_hive_keys[@]}"
  for pair in "${undo_hives[@]}"; do standin Unload "HKEY_USERS\\${pair%%=*}"; done
}
"$wine" reg add 'HKLM\Software\KeymasonUndoE2E' /v Changed /t REG_DWORD /d 1 /f >/dev/null 2>&1
"$wine" reg add 'HKLM\Software\KeymasonUndoE2E' /v Removed /d 'was here' /f >/dev/null 2>&1
"$wine" reg add 'HKLM\Software\KeymasonUndoE2E\Doomed\Child' /v Leaf /t REG_BINARY /d 0001ff /f >/dev/null 2>&1
"$wine" reg add "HKU\\$admin_sid\\Software\\KeymasonUndoE2E" /v Theme /d light /f >/dev/null 2>&1
"$wine" reg add "HKU\\$admin_sid\\Software\\Classes" /f >/dev/null 2>&1  # always there on Windows
for pair in "${undo_hives[@]::2}"; do
  standin Load "HKEY_USERS\\${pair%%=*}" "${pair#*=}"
done
"$wine" reg add 'HKU\KmUndo-User\Software\KeymasonUndoE2E' /v Theme /d blue /f >/dev/null 2>&1
"$wine" reg add 'HKU\KmUndo-UserClasses\.kmundo' /ve /d KeymasonE2E.Before /f >/dev/null 2>&1
for pair in "${undo_hives[@]::2}"; do standin Unload "HKEY_USERS\\${pair%%=*}"; done
before_undo=$(undo_state)
printf '%s\n' "$before_undo" >"$artifacts/undo-before.txt"
check "undo: the state before holds what the package changes" \
  grep -q 'value \[Theme\] type=REG_SZ size=10 data=62006c0075006500' "$artifacts/undo-before.txt"
cp "$here/fixtures/undo.reg.dat" "$drive_c/e2e/undo.reg.dat"
# Wine's RegLoadAppKeyW is a stub whose handle reads nothing: --live must
# report those hives as not inspected, never take them for empty.
"$wine_km" "$pack_exe" undo --live 'C:\e2e\undo.reg.dat' -o 'C:\e2e\undo-live.reg.dat' \
  >"$artifacts/undo-pack-live.txt" 2>&1
expect_eq "undo --live: hives Wine cannot read privately are reported, exit code 2" 2 "$?"
check "undo --live: User's hive named not inspected" grep -q "profile $user_sid: not inspected" \
  "$artifacts/undo-pack-live.txt"
# So the base is this machine's state as reg export writes it, with the hive
# files of the users who are not logged on as HiveFile pseudo-keys. Wine's own
# user is logged on: a key of its hive shows that (without it the undo rightly
# names the profile as one it cannot see into).
undo_base=$drive_c/e2e/undo-base.reg
{
  printf 'Windows Registry Editor Version 5.00\n'
  n=0
  for key in "${undo_keys[@]::3}" "$profile_list" "HKU\\$admin_sid\\Software\\KeymasonUndoE2E" \
    "HKU\\$admin_sid\\Software\\Classes" "HKU\\$wine_sid\\Environment"; do
    wine_reg export "$key" "C:\\e2e\\undo-export-$n.reg" /y &&
      iconv -f UTF-16LE -t UTF-8 "$drive_c/e2e/undo-export-$n.reg" | tail -n +2 | tr -d '\r'
    n=$((n + 1))
  done
  for pair in "${undo_hives[@]}" "KmUndo-GuestClasses=$(hive_file Guest "$classes_file")"; do
    standin Load "HKEY_USERS\\${pair%%=*}" "${pair#*=}"
    wine_reg export "HKU\\${pair%%=*}" "C:\\e2e\\undo-export-$n.reg" /y &&
      iconv -f UTF-16LE -t UTF-8 "$drive_c/e2e/undo-export-$n.reg" | tail -n +2 | tr -d '\r' |
      sed "s|^\[HKEY_USERS\\\\${pair%%=*}|[HKEY_USERS\\\\HiveFile:$(printf '%s' "${pair#*=}" | tr '\\' /)|"
    standin Unload "HKEY_USERS\\${pair%%=*}"
    n=$((n + 1))
  done
} | sed '1s/^\xef\xbb\xbf//' | { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE; } >"$undo_base"
# (UTF-16LE with its mark, as reg export writes: in any other file reg import
# takes hex(2) and hex(7) data for ANSI text.)
cp "$undo_base" "$artifacts/undo-base.reg"
"$wine_km" "$pack_exe" undo --base 'C:\e2e\undo-base.reg' 'C:\e2e\undo.reg.dat' -o 'C:\e2e\undo-back.reg.dat' \
  --reg 'C:\e2e\undo-back.reg' >"$artifacts/undo-pack.txt" 2>&1
expect_eq "undo: keymason-pack.exe undo --base, exit code 0, nothing it cannot put back" 0 "$?"
cp "$drive_c/e2e/undo-back.reg.dat" "$drive_c/e2e/undo-back.reg" "$artifacts/" 2>/dev/null
run_per_user undo.reg.dat
expect_eq "undo: the package applied, exit code 0 (${run_ms} ms)" 0 "$run_rc"
changed_undo=$(undo_state)
printf '%s\n' "$changed_undo" >"$artifacts/undo-changed.txt"
check "undo: the package changed the state" test "$changed_undo" != "$before_undo"
run_per_user undo-back.reg.dat
expect_eq "undo: the undo package applied, exit code 0 (${run_ms} ms)" 0 "$run_rc"
after_undo=$(undo_state)
printf '%s\n' "$after_undo" >"$artifacts/undo-after.txt"
if [ "$after_undo" = "$before_undo" ]; then
  pass "undo: every key, value and hive file is back, byte for byte"
else
  fail "undo: every key, value and hive file is back, byte for byte" \
    "$(diff "$artifacts/undo-before.txt" "$artifacts/undo-after.txt" | head -20 | tr '\n' ';')"
fi
check "undo: no hive left loaded" no_mount_left

# --- keymason-pack from-reg: the package it writes leaves what reg import of
# the same .reg file leaves, value for value, byte for byte. Both start from
# the same keys, which the .reg file removes in part.
from_reg_keys=('HKLM\SOFTWARE\KeymasonFromRegE2E' 'HKLM\SYSTEM\KeymasonFromRegE2E' 'HKCR\.kmfromreg'
  "HKU\\$wine_sid\\Software\\KeymasonFromRegE2E" "HKU\\$wine_sid\\Software\\Classes\\.kmfromreg")
from_reg_start() {
  local key
  for key in "${from_reg_keys[@]}"; do "$wine" reg delete "$key" /f >/dev/null 2>&1; done
  "$wine" reg add 'HKLM\Software\KeymasonFromRegE2E' /v Stale /d old /f >/dev/null 2>&1
  "$wine" reg add 'HKLM\Software\KeymasonFromRegE2E\Doomed\Child' /v Leaf /d x /f >/dev/null 2>&1
}
{ printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$here/fixtures/from_reg.reg"; } >"$drive_c/e2e/from_reg.reg"
from_reg_start
check "from-reg: reg import of the .reg file" wine_reg import 'C:\e2e\from_reg.reg'
probe sorted "${from_reg_keys[@]}" >"$artifacts/from-reg-imported.txt"
"$wine_km" "$pack_exe" from-reg 'C:\e2e\from_reg.reg' -o 'C:\e2e\from_reg.reg.dat' >"$artifacts/from-reg.txt" 2>&1
expect_eq "from-reg: keymason-pack.exe from-reg, exit code 0, nothing left out" 0 "$?"
cp "$drive_c/e2e/from_reg.reg.dat" "$artifacts/" 2>/dev/null
# The Windows way to throw output away: the NUL device, written through.
(cd "$drive_c/e2e" && "$wine_km" "$pack_exe" from-reg from_reg.reg -o NUL >/dev/null 2>&1)
expect_eq "from-reg: -o NUL writes to the device, exit code 0" 0 "$?"
check "from-reg: -o NUL leaves no file beside the input" bash -c '! ls "$1" | grep -qi "^nul"' _ "$drive_c/e2e"
if [ -n "$check_tool" ]; then
  "$check_tool" "$drive_c/e2e/from_reg.reg.dat" >"$artifacts/from-reg-lint.txt" 2>&1
  lint_rc=$?
  check "from-reg: keymason-check finds no error in the package (exit code $lint_rc)" test "$lint_rc" -le 1
fi
from_reg_start
run_per_user from_reg.reg.dat
expect_eq "from-reg: Keymason applies the package, exit code 0 (${run_ms} ms)" 0 "$run_rc"
probe sorted "${from_reg_keys[@]}" >"$artifacts/from-reg-applied.txt"
same_dump "from-reg: Keymason's result is reg import's, byte for byte" "$artifacts/from-reg-imported.txt" \
  "$artifacts/from-reg-applied.txt"
check "from-reg: no hive left loaded" no_mount_left

# --- keymason-pack capture: reg export of the keys before and after an
# install (reg import of a vendor's file, and removals), captured into a
# package; the machine put back at the state before, Keymason applies it, and
# the keys then hold what the install left, byte for byte.
capture_export() {  # side -> its files, joined by ';'
  local i files=()
  for i in "${!from_reg_keys[@]}"; do
    wine_reg export "${from_reg_keys[i]}" "C:\\e2e\\capture-$1-$i.reg" /y
    files+=("C:\\e2e\\capture-$1-$i.reg")
  done
  (IFS=';'; printf '%s' "${files[*]}")
}
from_reg_start
for key in "${from_reg_keys[@]}"; do "$wine" reg add "$key" /v Kept /d same /f >/dev/null 2>&1; done
"$wine" reg add "HKU\\$wine_sid\\Software\\KeymasonFromRegE2E\\Gone\\Below" /v Leaf /d x /f >/dev/null 2>&1
captured_before=$(probe sorted "${from_reg_keys[@]}")
capture_before=$(capture_export before)
check "capture: the install's reg import" wine_reg import 'C:\e2e\from_reg.reg'
"$wine" reg delete 'HKCR\.kmfromreg' /v Kept /f >/dev/null 2>&1
"$wine" reg delete "HKU\\$wine_sid\\Software\\KeymasonFromRegE2E\\Gone" /f >/dev/null 2>&1
capture_after=$(capture_export after)
probe sorted "${from_reg_keys[@]}" >"$artifacts/capture-installed.txt"
"$wine_km" "$pack_exe" capture "$capture_before" "$capture_after" --user "$wine_sid" -o 'C:\e2e\capture.reg.dat' \
  >"$artifacts/capture.txt" 2>&1
expect_eq "capture: keymason-pack.exe capture, exit code 0, nothing left out" 0 "$?"
cp "$drive_c/e2e/capture.reg.dat" "$artifacts/" 2>/dev/null
for key in "${from_reg_keys[@]}"; do "$wine" reg delete "$key" /f >/dev/null 2>&1; done
for i in "${!from_reg_keys[@]}"; do wine_reg import "C:\\e2e\\capture-before-$i.reg"; done
check "capture: the machine is back at the state before" test "$(probe sorted "${from_reg_keys[@]}")" = "$captured_before"
run_per_user capture.reg.dat
expect_eq "capture: Keymason applies the package, exit code 0 (${run_ms} ms)" 0 "$run_rc"
probe sorted "${from_reg_keys[@]}" >"$artifacts/capture-applied.txt"
same_dump "capture: the keys hold what the install left, byte for byte" "$artifacts/capture-installed.txt" \
  "$artifacts/capture-applied.txt"

# --- Signed packages under the machine policy. openssl makes a root and a code-signing publisher, trusted (put in
# the machine's Root and TrustedPublisher stores by a fixture: Wine has no certutil) and untrusted; the trusted root
# also issues an impostor under the publisher's own serial number. The table:
# case|policy|signature|exit code|the refusal's reason; "default" is r:\install.reg.dat, run without an argument;
# "dotted" is named with a trailing dot; a policy TYPE:DATA is written as that type.
certs=$drive_c/e2e/signed
mkdir -p "$certs" "$work/cwd-signed"
leaf() {  # name CA subject serial
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Keymason E2E $3" -keyout "$certs/$1.key" \
    -out "$certs/$1.pem" -CA "$certs/$2.pem" -CAkey "$certs/$2.key" -set_serial "$4" \
    -addext extendedKeyUsage=codeSigning -addext basicConstraints=critical,CA:FALSE \
    -addext keyUsage=critical,digitalSignature
}
make_signer() {  # name [the root's key usage]
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Keymason E2E $1 Root" -keyout "$certs/$1-root.key" \
    -out "$certs/$1-root.pem" -addext basicConstraints=critical,CA:TRUE -addext "keyUsage=critical,${2:-keyCertSign}" &&
  leaf "$1" "$1-root" "$1" 0x1001 &&
  openssl x509 -in "$certs/$1-root.pem" -outform DER -out "$certs/$1-root.cer" &&
  openssl x509 -in "$certs/$1.pem" -outform DER -out "$certs/$1.cer"
} >>"$artifacts/signing-setup.txt" 2>&1
# 24 further certificates from the trusted root, one key, for a signature stuffed beyond what signtool carries.
make_stuffing() {
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Keymason E2E stuffing" -keyout "$certs/stuff.key" \
    -out "$certs/stuff.csr" && : >"$certs/stuffing.pem" &&
  for n in $(seq 1 24); do
    openssl x509 -req -in "$certs/stuff.csr" -CA "$certs/trusted-root.pem" -CAkey "$certs/trusted-root.key" \
      -set_serial $((0x2000 + n)) -days 30 >>"$certs/stuffing.pem" || return 1
  done
} >>"$artifacts/signing-setup.txt" 2>&1
check "signing: test certificates made with openssl" \
  eval 'make_signer trusted && make_signer untrusted && make_signer noissue digitalSignature &&
        leaf impostor trusted-root impostor 0x1001 && make_stuffing'
# noissue: a publisher in both stores whose root may not sign certificates.
for store in Root:trusted-root TrustedPublisher:trusted Root:noissue-root TrustedPublisher:noissue; do
  check "signing: ${store#*:} added to the machine's ${store%%:*} store" \
    "$wine_km" "$build/tests/e2e/keymason_trust_store.exe" "${store%%:*}" "C:\\e2e\\signed\\${store#*:}.cer"
done
signed_line() { printf '1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*KeymasonSignedE2E*@**@*%s*@*REG_SZ*@*All Users*@*yes*@*\r\n' "$1"; }
sign() {  # signer package [openssl cms options]
  openssl cms -sign -binary -outform DER -md sha256 -signer "$certs/$1.pem" -inkey "$certs/$1.key" -in "$2" \
    -out "$2.p7s" "${@:3}"
}
set_policy() {
  case $1 in
    *:*) wine_reg add 'HKLM\Software\Policies\Keymason' /v RequireSignedPackages /t "${1%%:*}" /d "${1#*:}" /f ;;
    *) wine_reg add 'HKLM\Software\Policies\Keymason' /v RequireSignedPackages /t REG_DWORD /d "$1" /f ;;
  esac
}
while IFS='|' read -r name policy signature rc reason; do
  set_policy "$policy"
  package=$certs/$name.reg.dat args=("C:\\e2e\\signed\\$name.reg.dat") cwd=$work log=$log_file
  [ "$name" = default ] && package=$rdrive/install.reg.dat args=() cwd=$work/cwd-signed log=$work/cwd-signed/keymason.log
  [ "$name" = dotted ] && args=("C:\\e2e\\signed\\$name.reg.dat.")
  rm -f "$package.p7s" "$log"
  signed_line "$name" >"$package"
  case $signature in
    trusted | untrusted | impostor | noissue) sign "$signature" "$package" ;;
    nocerts) sign trusted "$package" -nocerts ;;
    changed) sign trusted "$package" && signed_line "${name}Added" >>"$package" ;;
    garbage) head -c 700 /dev/urandom >"$package.p7s" ;;
    stuffed) sign trusted "$package" -certfile "$certs/stuffing.pem" ;;
    padded) sign trusted "$package" && head -c 1048576 /dev/zero >>"$package.p7s" ;;
  esac
  run_hidden "$cwd" "${args[@]}"
  expect_eq "signing: $name: exit code $rc (${run_ms} ms)" "$rc" "$run_rc"
  entries=$(printf '[T] keymason(254)%17s [Version] 1.0.0.2\n[T] keymason(256)%17s [DAT] %s' '' '' "${args[0]:-r:\\install.reg.dat}")
  [ -n "$reason" ] &&
    entries+=$(printf '\n[T] keymason(262)%17s [Signature] Package refused: %s; nothing was applied.' '' "$reason")
  expect_eq "signing: $name: the run log" "$entries" "$(sed -E 's/^\[[0-9: -]{19}\]/[T]/' "$log" | tr -d '\r')"
  expect_eq "signing: $name: lines applied" "$([ "$rc" = 0 ] && echo 1 || echo 0)" \
    "$(probe key 'HKLM\SOFTWARE\KeymasonSignedE2E' | grep -c "^value \[$name")"
done <<EOF
off|0|none|0|
unsigned|1|none|4|no signature file beside it (looked for C:\\e2e\\signed\\unsigned.reg.dat.p7s)
trusted|1|trusted|0|
dotted|1|trusted|0|
changed|1|changed|4|it was changed after signing
untrusted|1|untrusted|4|its signer is not in the machine's TrustedPublisher store
impostor|1|impostor|4|its signer is not in the machine's TrustedPublisher store
nocerts|1|nocerts|4|its signature does not carry its signer's certificate
noissue|1|noissue|4|a CA in its signer's chain may not issue certificates
stuffed|1|stuffed|4|its signature carries more than 16 certificates
padded|1|padded|4|its signature file is larger than 1 MiB
garbage|1|garbage|4|its signature file is not a detached signature
textpolicy|REG_SZ:1|none|4|no signature file beside it (looked for C:\\e2e\\signed\\textpolicy.reg.dat.p7s)
textzero|REG_SZ:0|none|0|
default|1|none|4|no signature file beside it (looked for R:\\install.reg.dat.p7s)
EOF
wine_reg delete 'HKLM\Software\Policies\Keymason' /f

finish

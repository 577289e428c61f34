#!/usr/bin/env bash
# End-to-end suite: runs the x86_64 Keymason.exe under wine64 in a fresh
# prefix of its own, with its own Xvfb, and reads back what each run left
# (exit code, window, run log, registry); checks the built executables'
# headers, imports and resources.
#
#   run_e2e.sh [--win64 BUILD_DIR] [--win32 BUILD_DIR] [--work DIR] [--artifacts DIR]
#
# --win64: the whole suite under Wine with BUILD_DIR/app/Keymason.exe and
#          BUILD_DIR/tests/e2e/keymason_probe.exe.
# --win32: checks of the i686 BUILD_DIR/app/Keymason.exe (it cannot run here).
# The last line is "N passed, N failed"; the exit code is 1 on any failure.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
win64="" win32="" work="" artifacts=""
while [ $# -gt 0 ]; do
  case $1 in
    --win64) win64=$2; shift 2 ;;
    --win32) win32=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --artifacts) artifacts=$2; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
work=${work:-$root/build/e2e-work}
absolute() { [ -z "$1" ] || (cd "$1" 2>/dev/null && pwd) || echo "$1"; }
win64=$(absolute "$win64")
win32=$(absolute "$win32")
artifacts=${artifacts:-$work/artifacts}
rm -rf "$work"
mkdir -p "$work" "$artifacts"

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
system_dlls=" advapi32.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll shell32.dll user32.dll version.dll "
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

if [ -n "$win32" ]; then
  check_executable "i686" "$win32/app/Keymason.exe" i686-w64-mingw32-objdump 0x14c
fi
if [ -z "$win64" ]; then finish; fi

# ---------------------------------------------------------------------------
# Under Wine.
keymason=$win64/app/Keymason.exe
probe=$win64/tests/e2e/keymason_probe.exe
check_executable "x86_64" "$keymason" x86_64-w64-mingw32-objdump 0x8664
for f in "$keymason" "$probe"; do
  [ -f "$f" ] || { fail "built: $f"; finish; }
done

wine=/usr/lib/wine/wine64
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

# run_hidden CWD ARGS...: runs Keymason to its end, watching for a window.
# Sets run_rc, run_ms and run_seen (1 when a visible window appeared).
run_hidden() {
  local cwd=$1; shift
  local start pid deadline
  start=$(date +%s%N)
  (cd "$cwd" && APP_PATH=$app_path exec "$wine" "$keymason" "$@") &
  pid=$!
  running+=("$pid")
  run_seen=0
  deadline=$((start + 20000000000))
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
expected_entries() {  # DAT texts... -> the two entries of each run, as od shows them
  local dat
  for dat in "$@"; do
    printf '[T] keymason(254)%17s [Version] 1.0.0.2\r\r\n' ''
    printf '[T] keymason(256)%17s [DAT] %s\r\r\n' '' "$dat"
  done | od -An -v -c
}

# --- A package file: every value type, keys made and removed.
"$wine" reg add 'HKLM\Software\KeymasonE2E\Doomed\Child' /v Leaf /d x /f >/dev/null 2>&1
"$wine" reg add 'HKLM\Software\KeymasonE2E\Values' /v Stale /d old /f >/dev/null 2>&1
check "setup: key to remove exists" probe_has 'HKLM\SOFTWARE\KeymasonE2E\Doomed' 'subkey Child'
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

# --- A folder counts as an existing package: the pass runs and logs.
run_hidden "$work" 'C:\e2e\all packages'
expect_eq "existing folder: exit code 0 (${run_ms} ms)" 0 "$run_rc"
expect_eq "existing folder: never visible" 0 "$run_seen"

if [ -f "$log_file" ]; then
  cp "$log_file" "$artifacts/package-argument.log"
  expect_eq "run log in %APP_PATH%\\logs: two entries a run, byte for byte" \
    "$(expected_entries 'C:\e2e\all packages\all types.reg.dat' 'C:\e2e\all packages')" \
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

# --- No argument: drive r: holds the default package. A FIFO stands in for
# it, so the pass waits on it and the window stays up as long as we need.
rdrive=$work/rdrive
mkdir -p "$rdrive" "$work/cwd-cancel" "$work/cwd-two"
ln -sfn "$rdrive" "$WINEPREFIX/dosdevices/r:"
mkfifo "$rdrive/install.reg.dat"
exec {fifo}<>"$rdrive/install.reg.dat"  # a writer that never writes: reads block

start=$(date +%s%N)
(cd "$work/cwd-cancel" && exec "$wine" "$keymason") &
pid=$!
running+=("$pid")
window=""
for _ in $(seq 200); do
  window=$(visible_window "$pid")
  [ -n "$window" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
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
(cd "$work/cwd-two" && exec "$wine" "$keymason" first second) &
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

finish

# Sourced by the benchmark scripts: start_xvfb DIR starts an Xvfb display of
# its own (its number and log in DIR), sets xvfb_pid and exports DISPLAY.
# Keymason.exe's dialog stays hidden, but windows still need a display.
start_xvfb() {
  local dir=$1 display=""
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    display=$(tr -dc 0-9 <"$dir/display")
    [ -n "$display" ] && break
    sleep 0.1
  done
  [ -n "$display" ] || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=:$display
}

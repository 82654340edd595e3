# What the Linux and the Windows tray tests share before the program starts,
# sourced by both once $scratch and the pids array exist: the pass/fail
# tally, waiting, and a display of their own with a notification area.
passed=0 failed=0
check() {  # check "what" command...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok: $what"; else failed=$((failed + 1)); echo "FAILED: $what"; return 1; fi
}
wait_for() {  # wait_for SECONDS command...: true once the command succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -ge $deadline ] && return 1; sleep 0.1; done
}

# Xvfb, which picks a free display number and tells it on fd 3, and trayer
# on it; DISPLAY names it. Xvfb must not reset when its last client leaves
# (xdotool's probe below): a client that connects during the reset is
# refused. Exits 77 (skipped) when Xvfb cannot start, 1 when trayer cannot.
start_display_with_tray() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
  pids+=($!)
  wait_for 10 test -s "$scratch/display" || { echo "SKIP: Xvfb cannot start"; cat "$scratch/xvfb.log"; exit 77; }
  export DISPLAY=:$(head -1 "$scratch/display")
  wait_for 10 xdotool getdisplaygeometry >/dev/null 2>&1 || { echo "SKIP: Xvfb does not answer on $DISPLAY"; exit 77; }
  trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel --height 32 \
    --transparent false --tint 0x333333 >"$scratch/trayer.log" 2>&1 &
  pids+=($!)
  wait_for 10 sh -c 'xdotool search --class trayer >/dev/null' || {
    echo "FAILED: trayer did not start on $DISPLAY"; cat "$scratch/trayer.log" "$scratch/xvfb.log"; exit 1; }
}

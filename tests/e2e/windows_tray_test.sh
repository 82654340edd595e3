#!/usr/bin/env bash
# The Windows tray program under Wine in a real notification area: Xvfb with
# trayer, driven by xdotool. Usage: windows_tray_test.sh WINDOWS_BUILD SOURCE_DIR
# Runs inside the Wine prefix that scripts/test-windows prepared.
# Exits 77 (skipped) only when Xvfb or its tools are missing or cannot start.
set -u
build=$1
source=$2
bin=$build/bin
for tool in Xvfb trayer xdotool import; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

mkdir -p "$build/test-tmp"
scratch=$(mktemp -d "$build/test-tmp/tray-XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  wine reg delete 'HKLM\SOFTWARE\Vantora' /f >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT
. "$(dirname "$0")/tray_display.sh"

# Wine's desktop process, which docks the icons, takes the display of the
# first program of the Wine session: scripts/test-windows starts the display
# and its panel before any, and names it in PVD_WINE_TRAY_DISPLAY. Run alone,
# in a session of its own, the test starts them itself.
if [ -n "${PVD_WINE_TRAY_DISPLAY:-}" ]; then
  export DISPLAY=$PVD_WINE_TRAY_DISPLAY
else
  start_display_with_tray
fi

# The demo recorder and an order waiting, in the prefix's registry.
mkdir -p "$scratch/dictation/Drafts"
wine reg add 'HKLM\SOFTWARE\Vantora\VNR' /v PATH /d "$(winepath -w "$bin/demo-recorder.exe")" /f >/dev/null 2>&1
wine reg add 'HKLM\SOFTWARE\Vantora\VNRecorder' /v WorkingDirectory /d "$(winepath -w "$scratch/dictation")" /f >/dev/null 2>&1
wine reg delete 'HKCU\Software\VB and VBA Program Settings\Vantora Recorder\Defaults' /v XMLDataPath /f >/dev/null 2>&1
cp "$source/samples/order.xml" "$scratch/dictation/Drafts/ridavaruz.xml"
export DEMO_RECORDER_LOG=$(winepath -w "$scratch/recorder.log")

wine "$bin/pacs-vantora-driver.exe" </dev/null >"$scratch/program.log" 2>&1 &
prog=$!
pids+=($prog)

# Visible windows as "id x y width height" lines: the program's own (by
# process id), or all of them.
windows() {
  local w
  for w in $(if [ "${1:-}" = all ]; then xdotool search --onlyvisible --name ''; else xdotool search --onlyvisible --pid "$prog"; fi 2>/dev/null); do
    [ -n "$(xdotool getwindowpid "$w" 2>/dev/null)" ] || continue  # no client window
    eval "$(xdotool getwindowgeometry --shell "$w")"
    echo "$WINDOW $X $Y $WIDTH $HEIGHT"
  done
}
# Wine's desktop process docks the icon: it is the small window inside the
# panel, which trayer puts at the top right, 120 pixels wide.
px=$((1024 - 120)) pw=120
icon() { windows all | awk -v px="$px" -v pw="$pw" '$4 < 64 && $5 < 64 && $2 >= px && $2 < px + pw && $3 < 64' | head -1; }
# The docked icon is the program's own (its blue ground and white
# microphone), not Windows' generic one: a good share of it is that blue.
mkdir -p "$build/test-artifacts"
ours() {
  local g share
  g=$(icon)
  [ -n "$g" ] || return 1
  set -- $g
  import -window root -crop "${4}x${5}+${2}+${3}" +repage "$build/test-artifacts/windows-tray-icon.png" 2>/dev/null || return 1
  share=$(convert "$build/test-artifacts/windows-tray-icon.png" -alpha off -fuzz 10% -fill '#ff00ff' -opaque '#1f4e8c' -fuzz 0 \
    -fill black +opaque '#ff00ff' -fill white -opaque '#ff00ff' -format '%[fx:mean]' info: 2>/dev/null)
  awk -v s="${share:-0}" 'BEGIN { exit !(s > 0.1) }'
}
check "the icon in the notification area is the program's own" wait_for 10 ours
# A second start while it runs (the Start-menu entry, while it runs from
# logon) ends at once and opens the running program's window; its File menu's
# Close puts it back, for the shared steps.
big_window() { windows | awk '$4 >= 300 && $5 >= 240' | head -1; }
check "the window is hidden before the second start" eval '[ -z "$(big_window)" ]'
wine "$bin/pacs-vantora-driver.exe" </dev/null >"$scratch/second.log" 2>&1
check "a second start ends at once, with status 0" [ $? -eq 0 ]
check "and opens the running program's window" wait_for 10 eval '[ -n "$(big_window)" ]'
read -r _ mx my _ _ <<<"$(big_window)"
if [ -n "${mx:-}" ]; then
  sleep 0.5
  xdotool mousemove $((mx + 20)) $((my + 8)) click 1 sleep 1 key Down Down Return
  wait_for 5 eval '[ -z "$(big_window)" ]'
fi
shots=windows- settle_after_launch=1  # Wine gives the recorder it starts the focus
. "$(dirname "$0")/tray_steps.sh"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

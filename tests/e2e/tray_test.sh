#!/usr/bin/env bash
# The tray program in a real notification area: Xvfb with trayer, driven by
# xdotool. Usage: tray_test.sh BUILD_DIR SOURCE_DIR
# Exits 77 (skipped) only when Xvfb or its tools are missing or cannot start.
set -u
build=$1
source=$2
bin=$build/bin
for tool in Xvfb trayer xdotool import; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

scratch=$(mktemp -d "$build/tray-test.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

. "$(dirname "$0")/tray_display.sh"
start_display_with_tray

# A scratch home with the demo recorder and an order waiting.
mkdir -p "$scratch/home" "$scratch/dictation/Drafts" "$scratch/run"
chmod 700 "$scratch/run"
cat >"$scratch/machine.reg" <<REG
REGEDIT4
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]
"WorkingDirectory"="$scratch/dictation"
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNR]
"PATH"="$bin/demo-recorder"
REG
cp "$source/samples/order.xml" "$scratch/dictation/Drafts/ridavaruz.xml"
export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config XDG_STATE_HOME=$scratch/home/.local/state VANTORA_MACHINE_REGISTRY=$scratch/machine.reg \
  DEMO_RECORDER_LOG=$scratch/recorder.log TEMP=$scratch/temp XDG_RUNTIME_DIR=$scratch/run
unset QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS

"$bin/pacs-vantora-driver" >"$scratch/program.log" 2>&1 &
prog=$!
pids+=($prog)

# The program's visible windows as "id x y width height" lines.
windows() {
  local w
  for w in $(xdotool search --onlyvisible --pid "$prog" 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w")"
    echo "$WINDOW $X $Y $WIDTH $HEIGHT"
  done
}
icon() { windows | awk '$4 < 64 && $5 < 64' | head -1; }        # the tray icon, inside trayer
shots=
. "$(dirname "$0")/tray_steps.sh"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# The Windows tray program as a running process under Wine: it loads nothing
# new at start-up, picks up the order file rewritten in place and replaced by
# rename, starts the recorder for each, runs as a single instance, and ends
# with status 0 on Ctrl+C. Without a display it runs on a message-only window.
# Usage: windows_program.sh WINDOWS_BUILD
# Runs inside the Wine prefix that scripts/test-windows prepared.
set -u
win=$1
fail=0
say() { echo "windows_program: $*" >&2; }
bad() { say "FAIL: $*"; fail=1; }
mkdir -p "$win/test-tmp"
scratch=$(mktemp -d "$win/test-tmp/program-XXXXXX")
pid=
cleanup() {
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
  wine reg delete 'HKLM\SOFTWARE\Vantora' /f >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT
exe() { wine "$win/bin/pacs-vantora-driver.exe" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
order_xml() {
  printf '<?xml version="1.0"?>\n<DictationData><New><PatientID>%s</PatientID><AccessionNumber>%s</AccessionNumber><StudyDescription>CT</StudyDescription><PatientName>Doe^Jane</PatientName><UserID>dr</UserID></New></DictationData>\n' "$1" "$2"
}
# Waits up to 20 s for the recorder log to hold $1 lines.
wait_starts() {
  for _ in $(seq 200); do
    [ "$(grep -c . "$scratch/recorder.log" 2>/dev/null || echo 0)" -ge "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

root="$scratch/dictation"
drafts="$root/Drafts"
mkdir -p "$drafts"
wine reg add 'HKLM\SOFTWARE\Vantora\VNR' /v PATH /d "$(winepath -w "$win/bin/demo-recorder.exe")" /f >/dev/null 2>&1
wine reg add 'HKLM\SOFTWARE\Vantora\VNRecorder' /v WorkingDirectory /d "$(winepath -w "$root")" /f >/dev/null 2>&1
# The order file is the default one in the drafts folder.
wine reg delete 'HKCU\Software\VB and VBA Program Settings\Vantora Recorder\Defaults' /v XMLDataPath /f >/dev/null 2>&1
export DEMO_RECORDER_LOG=$(winepath -w "$scratch/recorder.log")
order="$drafts/ridavaruz.xml"
order_xml 100 A1 >"$order"

log=$(winepath -u "$(exe --paths | sed -n 's/^log file: \(.*\)$/\1/p')" 2>/dev/null)
[ -n "$log" ] || bad "--paths names no log file"
rm -f "$log"
unset DISPLAY  # no display: the message-only window
wine "$win/bin/pacs-vantora-driver.exe" </dev/null >"$scratch/out" 2>&1 &
pid=$!
# Start-up has read the order file once "Load XML" is logged.
for _ in $(seq 300); do grep -q 'Load XML' "$log" 2>/dev/null && break; sleep 0.1; done
grep -q 'Load XML' "$log" 2>/dev/null || bad "start-up logged no load: $(cat "$log" "$scratch/out" 2>/dev/null)"
grep -q 'no display' "$scratch/out" || bad "it did not run on its message-only window: $(cat "$scratch/out")"

order_xml 200 B2 >"$order"  # rewritten in place
wait_starts 1 || bad "the rewrite in place started no recorder"
grep -q '200_B2.iaf' "$scratch/recorder.log" 2>/dev/null || bad "the recorder did not get 200_B2.iaf: $(cat "$scratch/recorder.log" 2>/dev/null)"

order_xml 300 C3 >"$drafts/.tmp"
mv "$drafts/.tmp" "$order"  # replaced by rename
wait_starts 2 || bad "the replacement by rename started no recorder"
grep -q '300_C3.iaf' "$scratch/recorder.log" 2>/dev/null || bad "the recorder did not get 300_C3.iaf: $(cat "$scratch/recorder.log" 2>/dev/null)"
[ -f "$drafts/200_B2.iaf" ] && [ -f "$drafts/300_C3.iaf" ] || bad "the dictation files are missing: $(ls "$drafts")"
[ -f "$drafts/100_A1.iaf" ] && bad "the order present at start-up was launched"

# A second instance ends at once with 0 and leaves the first running.
timeout 60 wine "$win/bin/pacs-vantora-driver.exe" </dev/null >/dev/null 2>&1
status=$?
[ $status -eq 0 ] || bad "a second instance ended with $status"
kill -0 "$pid" 2>/dev/null || bad "the first instance ended with the second"
order_xml 400 D4 >"$order"
wait_starts 3 || bad "after the second instance, a rewrite started no recorder"

# Ctrl+C ends it like "Exit".
kill -INT "$pid"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
  bad "Ctrl+C did not end it"
else
  wait "$pid"
  status=$?
  [ $status -eq 0 ] || bad "it ended with $status on Ctrl+C"
  pid=
fi
[ $fail -eq 0 ] && say "all checks passed"
exit $fail

#!/usr/bin/env bash
# The Windows program's command line under Wine, checked against the Linux
# build: --load gives the same JSON for every order document of the test
# corpus; --launch makes a dictation file (with names outside any ANSI code
# page) that the Linux vnfdump lists exactly as the Windows one, and starts
# the recorder; --paths and --journal answer from the Windows places.
# Usage: windows_command_line.sh WINDOWS_BUILD SOURCE_DIR LINUX_BUILD
# Runs inside the Wine prefix that scripts/test-windows prepared.
set -u
win=$1 src=$2 linux=$3
fail=0
say() { echo "windows_command_line: $*" >&2; }
bad() { say "FAIL: $*"; fail=1; }
if [ ! -x "$linux/bin/pacs-vantora-driver" ] || [ ! -x "$linux/bin/vnfdump" ]; then
  say "the Linux build is missing in $linux (scripts/test builds it)"
  exit 1
fi
scratch=$(mktemp -d "$win/test-tmp/cli-XXXXXX")
# The machine keys set below go with the test, however it ends.
cleanup() { wine reg delete 'HKLM\SOFTWARE\Vantora' /f >/dev/null 2>&1; rm -rf "$scratch"; }
trap cleanup EXIT
exe() { wine "$win/bin/$1.exe" "${@:2}" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# The generated accession of an order without one holds the minute: the two
# runs may straddle one.
normal() { python3 -c 'import json,re,sys; print(json.dumps(json.loads(re.sub(r"T\d{6}_\d{4}", "T<stamp>", sys.stdin.read())), sort_keys=True))'; }

# 1. --load: the same JSON as the Linux build, document for document.
for doc in "$src"/samples/order.xml "$src"/tests/fuzz/corpus/order/*.xml; do
  w=$(exe pacs-vantora-driver --load "$(winepath -w "$doc")" | normal) || bad "--load $doc: exit status $?"
  l=$("$linux/bin/pacs-vantora-driver" --load "$doc" | normal)
  [ "$w" = "$l" ] || bad "--load $doc differs: Windows $w Linux $l"
done

# 2. --launch with the real registry, settings and environment of the prefix.
# The activity log starts empty, so that what it holds below is from now.
old_log=$(exe pacs-vantora-driver --paths | sed -n 's/^log file: \(.*\)$/\1/p')
[ -n "$old_log" ] && rm -f "$(winepath -u "$old_log" 2>/dev/null)"
root="$scratch/Vn Files"  # a space: the recorder gets the path as raw parameter text
mkdir -p "$root/Drafts"
recorder=$(winepath -w "$win/bin/demo-recorder.exe")
wine reg add 'HKLM\SOFTWARE\Vantora\VNR' /v PATH /d "$recorder" /f >/dev/null 2>&1
wine reg add 'HKLM\SOFTWARE\Vantora\VNRecorder' /v WorkingDirectory /d "$(winepath -w "$root")" /f >/dev/null 2>&1
export DEMO_RECORDER_LOG=$(winepath -w "$scratch/recorder.log")
cat >"$scratch/order.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<DictationData><New><PatientID>Ж987</PatientID><AccessionNumber>A678</AccessionNumber>
<StudyDescription>CT Thorax</StudyDescription><PatientName>Łukasz^Zoë^李</PatientName><UserID>drsmith</UserID></New></DictationData>
XML
out=$(exe pacs-vantora-driver --launch "$(winepath -w "$scratch/order.xml")")
status=$?
[ $status -eq 0 ] || bad "--launch: exit status $status, output $out"
made="$root/Drafts/Ж987_A678.iaf"
[ -f "$made" ] || bad "--launch: no $made (printed: $out)"
case $out in *'Ж987_A678.iaf') ;; *) bad "--launch printed $out" ;; esac
if [ -f "$made" ]; then
  w=$(exe vnfdump --json "$(winepath -w "$made")")
  l=$("$linux/bin/vnfdump" --json "$made")
  [ -n "$l" ] && [ "$w" = "$l" ] || bad "vnfdump differs: Windows $w Linux $l"
  case $l in *'Łukasz^Zoë^李'*) ;; *) bad "the patient name did not survive: $l" ;; esac
fi
for _ in $(seq 100); do [ -s "$scratch/recorder.log" ] && break; sleep 0.1; done
grep -q 'Ж987_A678.iaf' "$scratch/recorder.log" 2>/dev/null || bad "the recorder was not started with the file: $(cat "$scratch/recorder.log" 2>/dev/null)"
# It read the whole path, spaces and all, and the fields through the library.
grep -q '"error"' "$scratch/recorder.log" && bad "the recorder could not read the file: $(cat "$scratch/recorder.log")"
grep -q 'Łukasz^Zoë^李' "$scratch/recorder.log" || bad "the recorder did not read the fields: $(cat "$scratch/recorder.log")"
# A second launch reuses the file and starts the recorder again.
exe pacs-vantora-driver --launch "$(winepath -w "$scratch/order.xml")" >/dev/null || bad "second --launch failed"
# An order file that is no order: exit 3, nothing made.
echo '<broken' >"$scratch/bad.xml"
exe pacs-vantora-driver --launch "$(winepath -w "$scratch/bad.xml")" >/dev/null 2>&1
status=$?
[ $status -eq 3 ] || bad "--launch of a broken file: exit status $status, not 3"
# A recorder that cannot start: the file is made all the same, exit 4.
wine reg add 'HKLM\SOFTWARE\Vantora\VNR' /v PATH /d 'C:\no\such\recorder.exe' /f >/dev/null 2>&1
sed 's/A678/A679/' "$scratch/order.xml" >"$scratch/other.xml"
exe pacs-vantora-driver --launch "$(winepath -w "$scratch/other.xml")" >/dev/null 2>&1
status=$?
[ $status -eq 4 ] || bad "--launch with a missing recorder: exit status $status, not 4"
[ -f "$root/Drafts/Ж987_A679.iaf" ] || bad "--launch with a missing recorder made no file"

# A file made on Linux reads identically on Windows.
for iaf in "$src"/tests/fuzz/corpus/dictation/*.iaf; do
  w=$(exe vnfdump --json "$(winepath -w "$iaf")")
  l=$("$linux/bin/vnfdump" --json "$iaf")
  [ -n "$l" ] && [ "$w" = "$l" ] || bad "vnfdump $iaf differs: Windows $w Linux $l"
done

# 3. --paths: every place from the Windows sources.
paths=$(exe pacs-vantora-driver --paths) || bad "--paths: exit status $?"
for want in "dictation root: $(winepath -w "$root")" 'registry HKEY_LOCAL_MACHINE\SOFTWARE\Vantora\VNRecorder WorkingDirectory' \
            'settings file: HKEY_CURRENT_USER\Software\VB and VBA Program Settings\Vantora Recorder' \
            'machine registry file: HKEY_LOCAL_MACHINE' "recorder: C:\\no\\such\\recorder.exe"; do
  case $paths in *"$want"*) ;; *) bad "--paths lacks \"$want\": $paths" ;; esac
done

# The activity log, where --paths says, tells why the recorder did not start.
log=$(sed -n 's/^log file: \(.*\)$/\1/p' <<<"$paths")
logged=$(cat "$(winepath -u "$log" 2>/dev/null)" 2>/dev/null | tr -d '\r')
case $logged in *'Unable to start the recorder C:\no\such\recorder.exe'*) ;; *) bad "the log $log lacks the failed start: $logged" ;; esac

# 4. --journal: the launches above, newest last.
journal=$(exe pacs-vantora-driver --journal --json 50) || bad "--journal: exit status $?"
launches=$(grep -c '"event":"launch"' <<<"$journal")
[ "$launches" -ge 3 ] || bad "--journal lists $launches launches: $journal"

[ $fail -eq 0 ] && say "all checks passed"
exit $fail

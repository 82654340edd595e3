#!/usr/bin/env bash
# The Windows installer under Wine: a silent install for all users puts the
# program, its libraries and tools in Program Files with a Start-menu entry,
# an autostart entry and an uninstaller; the installed program runs; a silent
# uninstall takes all of it away again.
# Usage: windows_installer.sh INSTALLER
# Runs inside the Wine prefix that scripts/test-windows prepared.
set -u
setup=$1
fail=0
say() { echo "windows_installer: $*" >&2; }
bad() { say "FAIL: $*"; fail=1; }
c=$WINEPREFIX/drive_c
dir="$c/Program Files/PACS Vantora Driver"
menu="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/PACS Vantora Driver"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
autostart() { wine reg query "$run_key" /v 'PACS Vantora Driver' </dev/null 2>/dev/null | tr -d '\r' | grep -q 'pacs-vantora-driver.exe'; }

wine "$setup" /S </dev/null >/dev/null 2>&1
status=$?
[ $status -eq 0 ] || bad "the silent install ended with $status"
for f in pacs-vantora-driver.exe vnfformat.dll FileControllerDll.dll vnfdump.exe demo-recorder.exe uninstall.exe; do
  [ -f "$dir/$f" ] || bad "not installed: $f"
done
[ -f "$menu/PACS Vantora Driver.lnk" ] || bad "no Start-menu entry in $menu"
autostart || bad "no autostart entry under $run_key"
paths=$(wine "$dir/pacs-vantora-driver.exe" --paths </dev/null 2>&1 | tr -d '\r')
status=$?
[ $status -eq 0 ] || bad "the installed program's --paths ended with $status: $paths"
case $paths in *'log file: '*'dictation root: '*|*'dictation root: '*'log file: '*) ;; *) bad "the installed --paths printed: $paths" ;; esac

# The uninstaller runs a copy of itself from the temporary folder and returns
# at once: its work is done when the folder is gone.
wine "$dir/uninstall.exe" /S </dev/null >/dev/null 2>&1 || bad "the silent uninstall ended with $?"
for _ in $(seq 300); do [ -e "$dir" ] || break; sleep 0.1; done
[ -e "$dir" ] && bad "still installed after the uninstall: $(ls "$dir")"
[ -e "$menu" ] && bad "the Start-menu entry is left"
autostart && bad "the autostart entry is left"
[ $fail -eq 0 ] && say "all checks passed"
exit $fail

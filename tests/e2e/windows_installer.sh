#!/usr/bin/env bash
# The Windows installer (an MSI) under Wine, as a hospital's administrator
# deploys it: the package's tables; a silent install with the machine values
# as properties, then an order through the installed program; an upgrade and
# an uninstall while the program runs (the running program is ended first,
# and the new one started: exactly the new version runs, or nothing of ours
# is left), and one that does not end stops the uninstall before anything
# changed, nor does an upgrade while another program holds a file of ours;
# an older version over a newer one refused; the autostart left out and the
# tools added on request.
# Usage: windows_installer.sh SOURCE_DIR
# Builds the packages with scripts/package-windows (the project's version from
# build-windows/, and one a patch level higher) and runs inside the Wine
# prefix that scripts/test-windows prepared.
set -u
src=$1
fail=0
say() { echo "windows_installer: $*" >&2; }
bad() { say "FAIL: $*"; fail=1; }
win=$src/build-windows
mkdir -p "$win/test-tmp"
scratch=$(mktemp -d "$win/test-tmp/installer-XXXXXX")
old= new=
c=$WINEPREFIX/drive_c
dir="$c/Program Files/PACS Vantora Driver"
menu="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/PACS Vantora Driver"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
cleanup() {
  [ -n "$new" ] && wine msiexec /x "$new" /qn </dev/null >/dev/null 2>&1
  [ -n "$old" ] && wine msiexec /x "$old" /qn </dev/null >/dev/null 2>&1
  wine reg delete 'HKLM\SOFTWARE\Vantora' /f </dev/null >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT

# --- The packages and their tables ----------------------------------------
version=$(sed -n 's/^project(pacs-vantora-driver VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
newer=${version%.*}.$((${version##*.} + 1))
old=$("$src/scripts/package-windows" --no-build 2>"$scratch/package.log") || { cat "$scratch/package.log" >&2; exit 1; }
new=$(PVD_VERSION=$newer "$src/scripts/package-windows" 2>"$scratch/package.log") || { cat "$scratch/package.log" >&2; exit 1; }
grep -q 'stay unsigned' "$scratch/package.log" || bad "the script did not say that the files stay unsigned"
table() { msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r'; }
prop() { table "$1" Property | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }
[ "$(prop "$old" ProductVersion)" = "$version" ] || bad "the package's version is $(prop "$old" ProductVersion), not $version"
[ "$(prop "$new" ProductVersion)" = "$newer" ] || bad "PVD_VERSION=$newer made version $(prop "$new" ProductVersion)"
[ "$(prop "$old" UpgradeCode)" = "$(prop "$new" UpgradeCode)" ] || bad "the upgrade code changes between versions"
[ "$(prop "$old" ProductCode)" != "$(prop "$new" ProductCode)" ] || bad "two versions share one product code"
[ "$(prop "$old" ALLUSERS)" = 1 ] || bad "not a per-machine package (ALLUSERS=$(prop "$old" ALLUSERS))"
for p in RECORDER DICTATIONROOT PROFILEFOLDER AUTOSTART; do
  case ";$(prop "$old" SecureCustomProperties);" in *";$p;"*) ;; *) bad "$p is not a secure public property" ;; esac
done
upgrade=$(table "$old" Upgrade)
# Older versions are removed; newer ones only detected, which a launch
# condition refuses.
echo "$upgrade" | awk -F'\t' -v v="$version" '$3 == v && $2 == "" && int($5 / 2) % 2 == 0 { f = 1 } END { exit !f }' ||
  bad "no upgrade of older versions: $upgrade"
echo "$upgrade" | awk -F'\t' -v v="$version" '$2 == v && int($5 / 2) % 2 == 1 { f = 1 } END { exit !f }' ||
  bad "newer versions are not detected: $upgrade"
table "$old" LaunchCondition | grep -q '^NOT WIX_DOWNGRADE_DETECTED	.*newer version' || bad "no refusal of a downgrade: $(table "$old" LaunchCondition)"
registry=$(table "$old" Registry)
component() { table "$old" Component | awk -F'\t' -v c="$1" '$1 == c { print $5 }'; }
for row in 'SOFTWARE\Vantora\VNR	PATH	[RECORDER]' 'SOFTWARE\Vantora\VNRecorder	WorkingDirectory	[DICTATIONROOT]' \
  'SOFTWARE\Vantora\VNRecorder	VNPROFILE	[PROFILEFOLDER]' \
  'Software\Microsoft\Windows\CurrentVersion\Run	PACS Vantora Driver	"[INSTALLDIR]pacs-vantora-driver.exe"'; do
  line=$(echo "$registry" | grep -F "	2	$row	")
  [ -n "$line" ] || { bad "no HKLM registry row $row"; continue; }
  # Each written only when its property asks for it.
  cond=$(component "$(echo "$line" | cut -f6)")
  case $row in
    *RECORDER*) [ "$cond" = RECORDER ] ;; *DICTATIONROOT*) [ "$cond" = DICTATIONROOT ] ;;
    *PROFILEFOLDER*) [ "$cond" = PROFILEFOLDER ] ;; *) [ "$cond" = 'AUTOSTART<>"0"' ] ;;
  esac || bad "the row $row is written on condition '$cond'"
done
# Not advertised: the shortcut names the program itself.
table "$old" Shortcut | awk -F'\t' '$2 == "MenuFolder" && $5 == "[INSTALLDIR]pacs-vantora-driver.exe" { f = 1 } END { exit !f }' ||
  bad "no Start-menu shortcut to [INSTALLDIR]pacs-vantora-driver.exe: $(table "$old" Shortcut)"
# The running program is ended by the package's own copy of it, before
# anything is validated or replaced.
step() { table "$old" InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
table "$old" CustomAction | grep -qF 'EndRunningProgram	2	QuitTool	--quit "[INSTALLDIR]."' ||
  bad "no action that ends the running program and checks the installed folder: $(table "$old" CustomAction)"
[ "$(step EndRunningProgram)" -gt "$(step LaunchConditions)" ] && [ "$(step EndRunningProgram)" -lt "$(step InstallValidate)" ] ||
  bad "the program is ended at step $(step EndRunningProgram), not between the launch conditions and InstallValidate"
(cd "$scratch" && msiinfo extract "$old" Binary.QuitTool >quit.exe) && cmp -s "$scratch/quit.exe" "$win/installer/files/pacs-vantora-driver.exe" ||
  bad "the package's own program is not the one it installs"
table "$old" Feature | awk -F'\t' '$1 == "Tools" && $5 > 1 { f = 1 } END { exit !f }' || bad "the tools are installed by default"

# --- A silent install with properties, and an order through it ------------
# A value the site set by hand, which the install is not given: it stays.
wine reg add 'HKLM\SOFTWARE\Vantora\VNRecorder' /v VNPROFILE /d 'C:\site-profiles' /f </dev/null >/dev/null 2>&1
reg_value() { wine reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$3 *REG_[A-Z_]* *//p"; }
root="$scratch/dictation"
mkdir -p "$root/Drafts"
recorder=$(winepath -w "$win/bin/demo-recorder.exe")
export DEMO_RECORDER_LOG=$(winepath -w "$scratch/recorder.log")
unset DISPLAY
# The program the installer starts keeps its journal in the prefix's user
# profile: the events from here on tell which versions run.
journal_file=$(winepath -u "$(wine "$win/bin/pacs-vantora-driver.exe" --paths </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/^launch journal: \(.*\.jsonl\).*/\1/p')")
journal_seen=$(cat "$journal_file" 2>/dev/null | wc -l)
# The versions running now: those whose last event is their start.
running() { tail -n +$((journal_seen + 1)) "$journal_file" 2>/dev/null | python3 -c '
import json, sys
last = {}
for line in sys.stdin:
    e = json.loads(line)
    if e["event"] in ("start", "exit"): last[e["pid"]] = (e["event"], e["version"])
print(" ".join(sorted(v for ev, v in last.values() if ev == "start")))'; }
wait_running() {
  for _ in $(seq 150); do [ "$(running)" = "$1" ] && return 0; sleep 0.2; done
  return 1
}
order_xml() {
  printf '<?xml version="1.0"?>\n<DictationData><New><PatientID>%s</PatientID><AccessionNumber>%s</AccessionNumber><PatientName>Doe^Jane</PatientName></New></DictationData>\n' "$1" "$2"
}
launched() {
  for _ in $(seq 200); do grep -q "$1" "$scratch/recorder.log" 2>/dev/null && [ -f "$root/Drafts/$1" ] && return 0; sleep 0.1; done
  return 1
}

wine msiexec /i "$(winepath -w "$old")" /qn RECORDER="$recorder" DICTATIONROOT="$(winepath -w "$root")" </dev/null >/dev/null 2>&1
status=$?
[ $status -eq 0 ] || bad "the silent install ended with $status"
for f in pacs-vantora-driver.exe vnfformat.dll FileControllerDll.dll README.md; do
  [ -f "$dir/$f" ] || bad "not installed: $f"
done
for f in vnfdump.exe demo-recorder.exe; do [ -e "$dir/$f" ] && bad "installed without being asked for: $f"; done
# The policy templates the tree has, for administrators to copy.
for f in "$src"/data/policy/*.admx "$src"/data/policy/en-US/*.adml; do
  [ -e "$f" ] || continue
  cmp -s "$f" "$dir/${f#"$src"/data/}" || bad "the policy template ${f#"$src"/data/} is not installed"
done
[ "$(reg_value 'HKLM\SOFTWARE\Vantora\VNR' PATH PATH)" = "$recorder" ] || bad "RECORDER was not written: $(reg_value 'HKLM\SOFTWARE\Vantora\VNR' PATH PATH)"
[ "$(reg_value 'HKLM\SOFTWARE\Vantora\VNRecorder' WorkingDirectory WorkingDirectory)" = "$(winepath -w "$root")" ] || bad "DICTATIONROOT was not written"
[ "$(reg_value 'HKLM\SOFTWARE\Vantora\VNRecorder' VNPROFILE VNPROFILE)" = 'C:\site-profiles' ] || bad "the site's VNPROFILE was changed"
reg_value "$run_key" 'PACS Vantora Driver' 'PACS Vantora Driver' | grep -qF 'C:\Program Files\PACS Vantora Driver\pacs-vantora-driver.exe' ||
  bad "no autostart entry under $run_key"
[ -f "$menu/PACS Vantora Driver.lnk" ] || bad "no Start-menu entry in every user's menu"
product=$(prop "$old" ProductCode)
[ "$(reg_value "$uninstall_key\\$product" DisplayVersion DisplayVersion)" = "$version" ] || bad "Programs and Features shows no version $version"
[ "$(reg_value "$uninstall_key\\$product" Publisher Publisher)" = "PACS Vantora Driver" ] || bad "Programs and Features shows no publisher"
[ "$(reg_value "$uninstall_key\\$product" HelpLink HelpLink)" = 'C:\Program Files\PACS Vantora Driver\README.md' ] ||
  bad "Programs and Features has no help link to the README: $(reg_value "$uninstall_key\\$product" HelpLink HelpLink)"
# The icon: Programs and Features takes it from the product's registration.
packed=$(echo "$product" | python3 -c 'import sys; g = sys.stdin.read().strip("{}\n").replace("-", ""); r = lambda s: s[::-1]
print(r(g[0:8]) + r(g[8:12]) + r(g[12:16]) + "".join(r(g[i:i + 2]) for i in range(16, 32, 2)))')
icon=$(reg_value "HKLM\Software\Classes\Installer\Products\\$packed" ProductIcon ProductIcon)
[ -n "$icon" ] && [ -s "$(winepath -u "$icon")" ] || bad "Programs and Features has no icon: '$icon'"
# The installer started the program, as the autostart would.
wait_running "$version" || bad "after the install $version is not running, but: '$(running)'"
order_xml 100 A1 >"$root/Drafts/ridavaruz.xml"
launched 100_A1.iaf || bad "the installed program did not launch the order into DICTATIONROOT with RECORDER: $(cat "$scratch/recorder.log" 2>/dev/null)"

# --- The same version again: a repair of the one product -----------------
wine msiexec /i "$(winepath -w "$old")" /qn </dev/null >/dev/null 2>&1
status=$?
[ $status -eq 0 ] || bad "installing the same version again ended with $status"
products=$(wine reg query "$uninstall_key" /s </dev/null 2>/dev/null | tr -d '\r' | grep -c 'DisplayName *REG_SZ *PACS Vantora Driver$')
[ "$products" -eq 1 ] || bad "$products products are registered after installing the same version again"
wait_running "$version" || bad "after installing the same version again the running versions are '$(running)'"

# --- A file of ours held by another program: the upgrade stops ----------
# With the program running, a process that is not ours holds the format
# library open without sharing: the upgrade fails before anything changed
# (never a replacement left for the next restart, exit 3010), and succeeds
# once that process has ended.
mkdir -p "$scratch/holder"
mkfifo "$scratch/holder/input"
exec 4<>"$scratch/holder/input"
wine "$win/bin/hold-file.exe" "$(winepath -w "$dir/vnfformat.dll")" <"$scratch/holder/input" >"$scratch/holder/output" 2>&1 4>&- &
holder=$!
for _ in $(seq 100); do grep -q held "$scratch/holder/output" 2>/dev/null && break; sleep 0.1; done
grep -q held "$scratch/holder/output" || bad "the helper does not hold vnfformat.dll: $(cat "$scratch/holder/output")"
wine msiexec /i "$(winepath -w "$new")" /qn /l*v "$(winepath -w "$scratch/held.log")" </dev/null >/dev/null 2>&1 4>&-
status=$?
[ $status -ne 0 ] && [ $status -ne 3010 ] || bad "the upgrade with vnfformat.dll held ended with $status"
cmp -s "$dir/pacs-vantora-driver.exe" "$win/installer/files/pacs-vantora-driver.exe" || bad "the stopped upgrade changed the program"
for f in FileControllerDll.dll README.md; do
  cmp -s "$dir/$f" "$win/installer/files/$f" || bad "the stopped upgrade changed $f"
done
[ "$(wine "$dir/pacs-vantora-driver.exe" --version </dev/null 2>/dev/null | tr -d '\r')" = "pacs-vantora-driver $version" ] ||
  bad "after the stopped upgrade the installed program does not run as $version"
products=$(wine reg query "$uninstall_key" /s </dev/null 2>/dev/null | tr -d '\r' | grep -c 'DisplayName *REG_SZ *PACS Vantora Driver$')
[ "$products" -eq 1 ] || bad "$products products are registered after the stopped upgrade"
[ "$(reg_value "$uninstall_key\\$product" DisplayVersion DisplayVersion)" = "$version" ] || bad "after the stopped upgrade $version is not registered"
tr -d '\0\r' <"$scratch/held.log" 2>/dev/null | grep -Eq 'Action ended .*: EndRunningProgram\. Return value [03]\.' ||
  bad "the install log does not show the action that stopped it: $(tr -d '\0\r' <"$scratch/held.log" | grep EndRunningProgram)"
exec 4>&-  # the end of its input ends it
for _ in $(seq 100); do kill -0 $holder 2>/dev/null || break; sleep 0.1; done
kill -9 $holder 2>/dev/null
cmp -s "$dir/vnfformat.dll" "$win/installer/files/vnfformat.dll" || bad "the stopped upgrade changed vnfformat.dll"
# The program was ended by the stopped upgrade: started again by hand, the
# old version runs.
wine "$dir/pacs-vantora-driver.exe" </dev/null >/dev/null 2>&1 &
wait_running "$version" || bad "after the stopped upgrade the running versions are '$(running)', not $version"

# --- An upgrade while it runs: the new version runs, one product ----------
wine msiexec /i "$(winepath -w "$new")" /qn </dev/null >/dev/null 2>&1
status=$?
[ $status -eq 0 ] || bad "the upgrade ended with $status"
cmp -s "$dir/pacs-vantora-driver.exe" "$src/build-windows-$newer/installer/files/pacs-vantora-driver.exe" || bad "the upgrade left the old program in place"
[ "$(wine "$dir/pacs-vantora-driver.exe" --version </dev/null 2>/dev/null | tr -d '\r')" = "pacs-vantora-driver $newer" ] || bad "the installed program is not $newer"
wait_running "$newer" || bad "after the upgrade the running versions are '$(running)', not $newer alone"
products=$(wine reg query "$uninstall_key" /s </dev/null 2>/dev/null | tr -d '\r' | grep -c 'DisplayName *REG_SZ *PACS Vantora Driver$')
[ "$products" -eq 1 ] || bad "$products products are registered after the upgrade"
[ "$(reg_value "$uninstall_key\\$(prop "$new" ProductCode)" DisplayVersion DisplayVersion)" = "$newer" ] || bad "the registered product is not $newer"
# Properties left out: the values stay as they were.
[ "$(reg_value 'HKLM\SOFTWARE\Vantora\VNR' PATH PATH)" = "$recorder" ] || bad "the upgrade lost RECORDER"
[ "$(reg_value 'HKLM\SOFTWARE\Vantora\VNRecorder' WorkingDirectory WorkingDirectory)" = "$(winepath -w "$root")" ] || bad "the upgrade lost DICTATIONROOT"
order_xml 200 B2 >"$root/Drafts/ridavaruz.xml"
launched 200_B2.iaf || bad "the upgraded program did not launch the order"

# --- An older version over the newer one: refused, nothing touched --------
wine msiexec /i "$(winepath -w "$old")" /qn </dev/null >/dev/null 2>&1
status=$?
[ $status -ne 0 ] || bad "installing $version over $newer succeeded"
cmp -s "$dir/pacs-vantora-driver.exe" "$src/build-windows-$newer/installer/files/pacs-vantora-driver.exe" || bad "the refused downgrade changed the program"
[ "$(running)" = "$newer" ] || bad "the refused downgrade stopped the program: '$(running)'"

# --- A program that does not end: the uninstall stops, nothing changed ----
# A process of the program's name that no request reaches (a copy of the
# command prompt, waiting on a pipe this script holds open).
mkdir -p "$scratch/stuck"
cp "$c/windows/system32/cmd.exe" "$scratch/stuck/pacs-vantora-driver.exe"
mkfifo "$scratch/stuck/input"
exec 4<>"$scratch/stuck/input"
wine "$scratch/stuck/pacs-vantora-driver.exe" <"$scratch/stuck/input" >/dev/null 2>&1 4>&- &
stuck=$!
sleep 2
wine msiexec /x "$(winepath -w "$new")" /qn /l*v "$(winepath -w "$scratch/stuck.log")" </dev/null >/dev/null 2>&1 4>&-
status=$?
exec 4>&-  # the end of its input ends it
for _ in $(seq 100); do kill -0 $stuck 2>/dev/null || break; sleep 0.1; done
kill -9 $stuck 2>/dev/null
[ $status -ne 0 ] || bad "the uninstall succeeded although a program of ours did not end"
cmp -s "$dir/pacs-vantora-driver.exe" "$src/build-windows-$newer/installer/files/pacs-vantora-driver.exe" || bad "the stopped uninstall removed the program"
[ -f "$dir/vnfformat.dll" ] && [ -f "$menu/PACS Vantora Driver.lnk" ] || bad "the stopped uninstall removed files"
[ "$(reg_value "$uninstall_key\\$(prop "$new" ProductCode)" DisplayVersion DisplayVersion)" = "$newer" ] || bad "the stopped uninstall unregistered the product"
[ "$(reg_value 'HKLM\SOFTWARE\Vantora\VNR' PATH PATH)" = "$recorder" ] || bad "the stopped uninstall removed RECORDER"
# Wine logs a failed action with return value 0, Windows with 3.
tr -d '\0\r' <"$scratch/stuck.log" 2>/dev/null | grep -Eq 'Action ended .*: EndRunningProgram\. Return value [03]\.' ||
  bad "the install log does not show the action that stopped it: $(tr -d '\0\r' <"$scratch/stuck.log" | grep EndRunningProgram)"
# The real program was asked too, and ended: started again by hand.
wine "$dir/pacs-vantora-driver.exe" </dev/null >/dev/null 2>&1 &
wait_running "$newer" || bad "the installed program does not start again: '$(running)'"

# --- The uninstall while it runs: nothing of ours is left -----------------
wine msiexec /x "$(winepath -w "$new")" /qn </dev/null >/dev/null 2>&1
status=$?
[ $status -eq 0 ] || bad "the uninstall ended with $status"
[ -z "$(running)" ] || bad "still running after the uninstall: $(running)"
[ -e "$dir" ] && bad "left after the uninstall: $(ls "$dir")"
[ -e "$menu" ] && bad "the Start-menu entry is left"
reg_value "$run_key" 'PACS Vantora Driver' 'PACS Vantora Driver' | grep -q . && bad "the autostart entry is left"
wine reg query 'HKLM\SOFTWARE\Vantora\VNR' /v PATH </dev/null >/dev/null 2>&1 && bad "the RECORDER value is left"
wine reg query 'HKLM\SOFTWARE\Vantora\VNRecorder' /v WorkingDirectory </dev/null >/dev/null 2>&1 && bad "the DICTATIONROOT value is left"
wine reg query 'HKLM\SOFTWARE\Vantora\PACS Vantora Driver' </dev/null >/dev/null 2>&1 && bad "the installer's own key is left"
[ "$(reg_value 'HKLM\SOFTWARE\Vantora\VNRecorder' VNPROFILE VNPROFILE)" = 'C:\site-profiles' ] || bad "the uninstall removed the site's VNPROFILE"
wine reg query "$uninstall_key" /s </dev/null 2>/dev/null | tr -d '\r' | grep -q 'PACS Vantora Driver$' && bad "still in Programs and Features"
for f in 100_A1.iaf 200_B2.iaf; do [ -f "$root/Drafts/$f" ] || bad "the uninstall removed the dictation file $f"; done
[ "$(tail -n +$((journal_seen + 1)) "$journal_file" | grep -c '"event":"launch"')" -eq 2 ] || bad "the journal lost its launches"

# --- Without autostart, with the tools ------------------------------------
wine msiexec /i "$(winepath -w "$new")" /qn AUTOSTART=0 ADDLOCAL=ALL </dev/null >/dev/null 2>&1
status=$?
[ $status -eq 0 ] || bad "the install with AUTOSTART=0 ADDLOCAL=ALL ended with $status"
reg_value "$run_key" 'PACS Vantora Driver' 'PACS Vantora Driver' | grep -q . && bad "AUTOSTART=0 wrote the autostart entry"
for f in vnfdump.exe demo-recorder.exe; do [ -f "$dir/$f" ] || bad "ADDLOCAL=ALL did not install $f"; done
sleep 1
[ -z "$(running)" ] || bad "with AUTOSTART=0 the installer started the program"
wine msiexec /x "$(winepath -w "$new")" /qn </dev/null >/dev/null 2>&1 || bad "the second uninstall ended with $?"
[ -e "$dir" ] && bad "left after the second uninstall: $(ls "$dir")"

[ $fail -eq 0 ] && say "all checks passed"
exit $fail

# The tray steps that the Linux and the Windows tray tests share, sourced by
# both after they have started the program ($prog) and defined windows()
# and icon() (check() and wait_for() come from tray_display.sh). $shots
# prefixes the screenshots' names; $settle_after_launch is a pause before
# the last click (seconds).
# Finds the window and menu, runs the clicks, and ends with Exit.
main_window() { windows | awk '$4 >= 300 && $5 >= 240' | head -1; }
menu() { windows | awk '$4 >= 64 && $4 < 300' | head -1; }
has() { [ -n "$("$@")" ]; }
hasnt() { [ -z "$("$@")" ]; }

# Clicks on the icon where it is now, reaching it the way a hand does: the
# pointer comes from elsewhere and rests on the icon before the click.
click_icon() {  # click_icon XDOTOOL-CLICK-ARGS...
  local _ ix iy iw ih
  read -r _ ix iy iw ih <<<"$(icon)"
  [ -n "${iw:-}" ] || return 1
  xdotool mousemove 500 400 sleep 0.2 mousemove $((ix + iw / 2)) $((iy + ih / 2)) sleep 0.3 click "$@"
}

check "the icon appears in the notification area" wait_for 10 has icon
check "start-up ends with the window hidden" hasnt main_window
sleep 0.5  # the panel settles the icon's place

click_icon 1
sleep 1
check "a single click does nothing" hasnt main_window

click_icon --repeat 2 --delay 60 1
check "a double-click shows the window" wait_for 5 has main_window
check "and takes the icon away" wait_for 5 hasnt icon
mkdir -p "$build/test-artifacts"
import -window root "$build/test-artifacts/${shots}tray-window.png"
read -r _ mx my _ _ <<<"$(main_window)"

xdotool mousemove $((mx + 20)) $((my + 8)) click 1   # the File menu in the menu bar
check "the window's File menu opens" wait_for 5 has menu
xdotool key Down Down Return                         # Launch File, Close
wait_for 5 hasnt menu
check "Close hides the window" wait_for 5 hasnt main_window
check "and brings the icon back" wait_for 5 has icon

sleep 0.5
click_icon 3
check "a right-click on the icon pops up the menu" wait_for 5 has menu
import -window root "$build/test-artifacts/${shots}tray-menu.png"
xdotool key Down Return                              # Launch File
check "Launch File starts the recorder for the order" wait_for 10 grep -qs '987_A678.iaf' "$scratch/recorder.log"

wait_for 5 hasnt menu
sleep "${settle_after_launch:-0}"
click_icon 3
check "the menu opens again" wait_for 5 has menu
xdotool key Up Return                                # Exit
ended() { ! kill -0 "$prog" 2>/dev/null || [ "$(ps -o stat= -p "$prog" | cut -c1)" = Z ]; }
if wait_for 10 ended; then
  check "Exit ends the program" true
  wait "$prog"
  status=$?
  check "with exit status 0" test "$status" -eq 0 || { echo "exit status $status:"; tail -40 "$scratch/program.log"; }
else
  check "Exit ends the program" false
fi


// Events from outside the program that its event loop acts on: a request to
// end it (SIGTERM, SIGINT and SIGHUP on POSIX; Ctrl+C, a closed console, the
// end of the session and an administrator's --quit on Windows), on POSIX a
// request to show the window (SIGUSR1, from a second start) and a started
// program that ended and must be collected. The handlers only note the event; the loop
// takes it in its own thread.
#pragma once

namespace pvd {

enum class OutsideEvent { None, EndRequested, ShowRequested, ProgramEnded };

// Installs the handlers; call it first, so that an event during start-up is
// kept until the loop runs. On Windows `wake` is called, from the handler's
// own thread, for each event (it must only post to the loop); on POSIX the
// loop watches OutsideEventDescriptor() instead and `wake` is not used.
void ListenForOutsideEvents(void (*wake)() = nullptr);
// Stops calling `wake` (before what it posts to goes away).
void StopListeningForOutsideEvents();
// POSIX: a descriptor that turns readable while an event is pending. -1 on
// Windows, or when none could be made (then signals end the program as
// they would by default).
int OutsideEventDescriptor();
// The next pending event, None when there is none; never blocks.
OutsideEvent TakeOutsideEvent();

// A tray program started from the Start menu or at logon gets a console made
// for it alone, and leaves it; one shared with the command prompt that
// started it stays. Nothing on POSIX.
void LeaveOwnConsole();

}  // namespace pvd

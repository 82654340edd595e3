// The console's events (Ctrl+C, a closed console, the end of the session)
// as requests to end the program. The handler runs on a thread of its own.
#include "platform/outside_events.h"

#include <windows.h>

#include <atomic>

namespace pvd {
namespace {

std::atomic<void (*)()> g_wake{nullptr};
std::atomic<bool> g_endRequested{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
    g_endRequested = true;
    if (auto wake = g_wake.load()) wake();
    return TRUE;
}

}  // namespace

void ListenForOutsideEvents(void (*wake)()) {
    g_wake = wake;
    SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

void StopListeningForOutsideEvents() {
    g_wake = nullptr;
    SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
}

int OutsideEventDescriptor() { return -1; }

OutsideEvent TakeOutsideEvent() { return g_endRequested.exchange(false) ? OutsideEvent::EndRequested : OutsideEvent::None; }

void LeaveOwnConsole() {
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1) FreeConsole();
}

}  // namespace pvd

// The console's events (Ctrl+C, a closed console, the end of the session)
// and the machine-wide end event (an administrator's --quit) as requests to
// end the program. The handlers run on threads of their own.
#include "platform/outside_events.h"

#include <windows.h>
#include <sddl.h>

#include <atomic>

#include "platform/win32/end_event.h"

namespace pvd {
namespace {

std::atomic<void (*)()> g_wake{nullptr};
std::atomic<bool> g_endRequested{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
    g_endRequested = true;
    if (auto wake = g_wake.load()) wake();
    return TRUE;
}

HANDLE g_endEvent = nullptr, g_endWait = nullptr;

void CALLBACK OnEndEvent(void*, BOOLEAN) { OnConsoleEvent(0); }

// Made with rules that let every user wait on it and only SYSTEM and
// administrators set it; opened only to wait when it is there already.
HANDLE OpenEndEvent() {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100000;;;WD)", SDDL_REVISION_1,
                                                              &sd, nullptr))
        return nullptr;
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    HANDLE h = CreateEventExW(&sa, win32::kEndEventName, CREATE_EVENT_MANUAL_RESET, SYNCHRONIZE);
    LocalFree(sd);
    return h;
}

}  // namespace

void ListenForOutsideEvents(void (*wake)()) {
    g_wake = wake;
    SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
    if (!g_endEvent && (g_endEvent = OpenEndEvent()) != nullptr &&
        !RegisterWaitForSingleObject(&g_endWait, g_endEvent, &OnEndEvent, nullptr, INFINITE, WT_EXECUTEONLYONCE))
        g_endWait = nullptr;
}

void StopListeningForOutsideEvents() {
    g_wake = nullptr;
    SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
    if (g_endWait) UnregisterWaitEx(g_endWait, INVALID_HANDLE_VALUE);  // waits for a callback under way
    g_endWait = nullptr;
}

int OutsideEventDescriptor() { return -1; }

OutsideEvent TakeOutsideEvent() { return g_endRequested.exchange(false) ? OutsideEvent::EndRequested : OutsideEvent::None; }

void LeaveOwnConsole() {
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1) FreeConsole();
}

}  // namespace pvd
